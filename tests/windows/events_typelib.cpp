// Writes and registers a type library that describes the application events
// dispinterface {000209FE-0000-0000-C000-000000000046}.
//
//   ormid-events-typelib <path of the .tlb to write>
//
// A server that raises application events asks the advised sink for this
// interface first. Across processes that question can only be answered when
// the interface is registered: registering the library writes
// Interface\{IID} with the standard dispatch proxy, which then marshals the
// sink as an IDispatch. Events travel through IDispatch::Invoke, so the
// dispinterface needs no members. Used by the Wine prefix set-up.
#include <cstdio>
#include <string>

#include "ormid/com_api.h"
#include "ormid/com_ptr.h"

namespace {

constexpr IID kApplicationEvents = {0x000209FE, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kLibraryId = {0x6F1D2A48, 0x3C5B, 0x4E8A, {0x9D, 0x21, 0x7A, 0x0B, 0x4C, 0x3E, 0x5F, 0x61}};

using ormid::com::ComPtr;

HRESULT build(std::wstring path) {
  ComPtr<ICreateTypeLib2> library;
  HRESULT hr = CreateTypeLib2(SYS_WIN64, path.c_str(), library.put());
  if (FAILED(hr)) return hr;
  library->SetGuid(kLibraryId);
  library->SetVersion(1, 0);
  library->SetLcid(LOCALE_NEUTRAL);
  library->SetName(const_cast<LPOLESTR>(L"OrmidEditorEvents"));

  // The dispinterface derives from IDispatch, taken from the standard library.
  ComPtr<ITypeLib> standard;
  ComPtr<ITypeInfo> dispatchInfo;
  ComPtr<ICreateTypeInfo> events;
  HREFTYPE dispatchType = 0;
  ComPtr<ITypeLib> written;
  if (FAILED(hr = LoadTypeLib(L"stdole2.tlb", standard.put())) ||
      FAILED(hr = standard->GetTypeInfoOfGuid(IID_IDispatch, dispatchInfo.put())) ||
      FAILED(hr = library->CreateTypeInfo(const_cast<LPOLESTR>(L"ApplicationEvents"), TKIND_DISPATCH,
                                          events.put())) ||
      FAILED(hr = events->SetGuid(kApplicationEvents)) ||
      FAILED(hr = events->AddRefTypeInfo(dispatchInfo.get(), &dispatchType)) ||
      FAILED(hr = events->AddImplType(0, dispatchType)) || FAILED(hr = events->LayOut()) ||
      FAILED(hr = library->SaveAllChanges()) ||
      FAILED(hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, written.put())))
    return hr;
  return RegisterTypeLib(written.get(), path.data(), nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ormid-events-typelib <library.tlb>\n");
    return 2;
  }
  const std::string narrow = argv[1];
  CoInitialize(nullptr);
  const HRESULT hr = build(std::wstring(narrow.begin(), narrow.end()));  // the set-up passes ASCII paths
  CoUninitialize();
  if (FAILED(hr)) {
    std::fprintf(stderr, "type library not registered: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  return 0;
}
