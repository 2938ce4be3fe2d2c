// Writes and registers a type library that describes the application events
// dispinterface {000209FE-0000-0000-C000-000000000046}.
//
//   ormid-events-typelib <path of the .tlb to write>
//
// A server that raises application events asks the advised sink for this
// interface first. Across processes that question can only be answered when
// the interface is registered: registering the library writes
// Interface\{IID} with the standard dispatch proxy, which then marshals the
// sink as an IDispatch. Used by the Wine prefix set-up.
#include <cstdio>
#include <string>

#include "ormid/com_api.h"
#include "ormid/com_ptr.h"
#include "test_server_ids.h"

namespace {

constexpr GUID kLibraryId = {0x6F1D2A48, 0x3C5B, 0x4E8A, {0x9D, 0x21, 0x7A, 0x0B, 0x4C, 0x3E, 0x5F, 0x61}};

using ormid::com::ComPtr;
using ormid::test::kApplicationEvents;

// The events the host listens to, by dispatch identifier; all take their
// parameters as variants, which is all the dispatch proxy needs.
struct EventMethod {
  DISPID id;
  const wchar_t* name;
  int parameters;
};
constexpr EventMethod kEvents[] = {
    {2, L"Quit", 0},
    {3, L"DocumentChange", 0},
    {4, L"DocumentOpen", 1},
    {6, L"DocumentBeforeClose", 2},
    {8, L"DocumentBeforeSave", 3},
    {9, L"NewDocument", 1},
    {10, L"WindowActivate", 2},
    {11, L"WindowDeactivate", 2},
};

HRESULT addEvents(ICreateTypeInfo* info) {
  static const wchar_t* const kParameterNames[] = {L"Doc", L"Cancel", L"Extra"};
  UINT index = 0;
  for (const EventMethod& event : kEvents) {
    ELEMDESC parameters[3] = {};
    for (int i = 0; i < event.parameters; ++i) {
      parameters[i].tdesc.vt = VT_VARIANT;
      parameters[i].paramdesc.wParamFlags = PARAMFLAG_FIN;
    }
    FUNCDESC function = {};
    function.memid = event.id;
    function.funckind = FUNC_DISPATCH;
    function.invkind = INVOKE_FUNC;
    function.callconv = CC_STDCALL;
    function.cParams = static_cast<SHORT>(event.parameters);
    function.lprgelemdescParam = event.parameters ? parameters : nullptr;
    function.elemdescFunc.tdesc.vt = VT_VOID;
    HRESULT hr = info->AddFuncDesc(index, &function);
    if (FAILED(hr)) return hr;
    LPOLESTR names[4] = {const_cast<LPOLESTR>(event.name)};
    for (int i = 0; i < event.parameters; ++i) names[i + 1] = const_cast<LPOLESTR>(kParameterNames[i]);
    hr = info->SetFuncAndParamNames(index, names, static_cast<UINT>(event.parameters + 1));
    if (FAILED(hr)) return hr;
    ++index;
  }
  return S_OK;
}

HRESULT build(const std::wstring& path) {
  ComPtr<ICreateTypeLib2> library;
  HRESULT hr = CreateTypeLib2(SYS_WIN64, path.c_str(), library.put());
  if (FAILED(hr)) return hr;
  library->SetGuid(kLibraryId);
  library->SetVersion(1, 0);
  library->SetLcid(LOCALE_NEUTRAL);
  library->SetName(const_cast<LPOLESTR>(L"OrmidEditorEvents"));

  // The dispinterface derives from IDispatch, taken from the standard library.
  ComPtr<ITypeLib> standard;
  hr = LoadTypeLib(L"stdole2.tlb", standard.put());
  if (FAILED(hr)) return hr;
  ComPtr<ITypeInfo> dispatchInfo;
  hr = standard->GetTypeInfoOfGuid(IID_IDispatch, dispatchInfo.put());
  if (FAILED(hr)) return hr;

  ComPtr<ICreateTypeInfo> events;
  hr = library->CreateTypeInfo(const_cast<LPOLESTR>(L"ApplicationEvents"), TKIND_DISPATCH, events.put());
  if (FAILED(hr)) return hr;
  events->SetGuid(kApplicationEvents);
  HREFTYPE dispatchType = 0;
  if (FAILED(hr = events->AddRefTypeInfo(dispatchInfo.get(), &dispatchType))) return hr;
  if (FAILED(hr = events->AddImplType(0, dispatchType))) return hr;
  if (FAILED(hr = addEvents(events.get()))) return hr;
  if (FAILED(hr = events->LayOut())) return hr;
  if (FAILED(hr = library->SaveAllChanges())) return hr;

  ComPtr<ITypeLib> written;
  hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, written.put());
  if (FAILED(hr)) return hr;
  std::wstring registeredPath = path;  // the function takes a non-const string
  return RegisterTypeLib(written.get(), registeredPath.data(), nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ormid-events-typelib <library.tlb>\n");
    return 2;
  }
  const std::string narrow = argv[1];
  const std::wstring path(narrow.begin(), narrow.end());  // the set-up passes ASCII paths
  CoInitialize(nullptr);
  const HRESULT hr = build(path);
  CoUninitialize();
  if (FAILED(hr)) {
    std::fprintf(stderr, "type library not registered: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  return 0;
}
