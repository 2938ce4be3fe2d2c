// A minimal automation server that proves the Wine harness: activation by
// ProgID as a local server, late-bound calls, a connection point that raises
// an application event into the client's sink, and the server's end.
//
// Application members: Value (text, get/put), ProcessId (get), SinkInterface
// (get: "events" when the sink answered the events interface, "dispatch"
// when only IDispatch, "" without a sink), RaiseBeforeSave (method: raises
// event 8 with a Document and two by-reference booleans, returns the last one,
// Cancel, as the sink left it), Quit (method).
// Document members: FullName (get).
#include <array>
#include <cwchar>
#include <string>

#include "ormid/com_api.h"
#include "ormid/com_ptr.h"
#include "standin/local_server_win32.h"
#include "test_server_ids.h"

namespace {

using ormid::com::ComPtr;
using ormid::com::Variant;
using ormid::test::kApplicationEvents;

struct Member {
  const wchar_t* name;
  DISPID id;
};

HRESULT lookUp(const Member* members, std::size_t count, LPOLESTR* names, UINT nameCount, DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < nameCount; ++i) {
    ids[i] = DISPID_UNKNOWN;
    if (i > 0) {
      hr = DISP_E_UNKNOWNNAME;  // no named parameters
      continue;
    }
    bool found = false;
    for (std::size_t m = 0; m < count && !found; ++m) {
      if (_wcsicmp(names[i], members[m].name) == 0) {
        ids[i] = members[m].id;
        found = true;
      }
    }
    if (!found) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

bool isGet(WORD flags) { return (flags & DISPATCH_PROPERTYGET) != 0; }
bool isPut(WORD flags, const DISPPARAMS* params) {
  return (flags & DISPATCH_PROPERTYPUT) != 0 && params && params->cArgs == 1 && params->cNamedArgs == 1 &&
         params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
}

HRESULT returnText(VARIANT* result, const std::wstring& text) {
  if (!result) return S_OK;
  VariantInit(result);
  result->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!result->bstrVal) return E_OUTOFMEMORY;
  result->vt = VT_BSTR;
  return S_OK;
}

// Reference counting and IDispatch's fixed parts for the objects below.
class DispatchObject : public IDispatch {
 public:
  DispatchObject() { ormid::standin::objectCreated(); }
  virtual ~DispatchObject() { ormid::standin::objectDestroyed(); }
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = queryOwn(iid);
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }

 protected:
  virtual void* queryOwn(REFIID iid) {
    return (iid == IID_IUnknown || iid == IID_IDispatch) ? static_cast<IDispatch*>(this) : nullptr;
  }

 private:
  ULONG references_ = 0;
};

class Document final : public DispatchObject {
 public:
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static const Member members[] = {{L"FullName", 1}};
    return lookUp(members, 1, names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    if (id != 1) return DISP_E_MEMBERNOTFOUND;
    if (!isGet(flags)) return DISP_E_MEMBERNOTFOUND;
    return returnText(result, L"C:\\Docs\\a.docx");
  }
};

class Application final : public DispatchObject, public IConnectionPointContainer {
 public:
  Application() : events_(*this) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    return DispatchObject::QueryInterface(iid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return DispatchObject::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DispatchObject::Release(); }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static const Member members[] = {
        {L"Value", 1}, {L"ProcessId", 2}, {L"SinkInterface", 3}, {L"RaiseBeforeSave", 4}, {L"Quit", 5}};
    return lookUp(members, std::size(members), names, count, ids);
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    try {
      switch (id) {
        case 1:
          if (isPut(flags, params)) {
            Variant text;
            const HRESULT hr = VariantChangeType(text.put(), &params->rgvarg[0], 0, VT_BSTR);
            if (FAILED(hr)) return hr;
            value_.assign(text.get()->bstrVal, SysStringLen(text.get()->bstrVal));
            return S_OK;
          }
          return isGet(flags) ? returnText(result, value_) : DISP_E_MEMBERNOTFOUND;
        case 2:
          if (!isGet(flags)) return DISP_E_MEMBERNOTFOUND;
          if (result) {
            VariantInit(result);
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(GetCurrentProcessId());
          }
          return S_OK;
        case 3:
          return isGet(flags) ? returnText(result, sinkKind_) : DISP_E_MEMBERNOTFOUND;
        case 4:
          return raiseBeforeSave(result);
        case 5:
          ormid::standin::exitSoon();
          return S_OK;
        default:
          return DISP_E_MEMBERNOTFOUND;
      }
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }

  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    if (!point) return E_POINTER;
    *point = nullptr;
    if (iid != kApplicationEvents) return CONNECT_E_NOCONNECTION;
    *point = &events_;
    events_.AddRef();
    return S_OK;
  }

 protected:
  void* queryOwn(REFIID iid) override {
    if (iid == IID_IConnectionPointContainer) return static_cast<IConnectionPointContainer*>(this);
    return DispatchObject::queryOwn(iid);
  }

 private:
  // The application events connection point: part of the application, which
  // it keeps alive while it is referenced.
  class Events final : public IConnectionPoint {
   public:
    explicit Events(Application& owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
      if (!object) return E_POINTER;
      if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
        *object = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
      }
      *object = nullptr;
      return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
      if (!iid) return E_POINTER;
      *iid = kApplicationEvents;
      return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override {
      if (!container) return E_POINTER;
      *container = &owner_;
      owner_.AddRef();
      return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
      if (!sink || !cookie) return E_POINTER;
      *cookie = 0;
      if (owner_.sink_) return CONNECT_E_ADVISELIMIT;
      // The events interface first, as a real application asks for it; a
      // sink that does not know it is still reachable through IDispatch.
      ComPtr<IDispatch> dispatch;
      if (SUCCEEDED(sink->QueryInterface(kApplicationEvents, dispatch.putVoid()))) {
        owner_.sinkKind_ = L"events";
      } else if (SUCCEEDED(sink->QueryInterface(IID_IDispatch, dispatch.putVoid()))) {
        owner_.sinkKind_ = L"dispatch";
      } else {
        return CONNECT_E_CANNOTCONNECT;
      }
      owner_.sink_ = std::move(dispatch);
      *cookie = 1;
      return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
      if (cookie != 1 || !owner_.sink_) return CONNECT_E_NOCONNECTION;
      owner_.sink_.reset();
      owner_.sinkKind_.clear();
      return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

   private:
    Application& owner_;
  };

  // DocumentBeforeSave(Doc, SaveAsUI, Cancel): the arguments travel last first.
  HRESULT raiseBeforeSave(VARIANT* result) {
    VARIANT_BOOL saveAsUi = VARIANT_FALSE;
    VARIANT_BOOL cancel = VARIANT_FALSE;
    if (ComPtr<IDispatch> sink = sink_) {
      ComPtr<IDispatch> document(new Document);
      std::array<Variant, 3> arguments{Variant::boolRef(&cancel), Variant::boolRef(&saveAsUi),
                                       Variant::dispatch(document.get())};
      static_assert(sizeof(Variant) == sizeof(VARIANT));
      DISPPARAMS params{reinterpret_cast<VARIANT*>(arguments.data()), nullptr, 3, 0};
      const HRESULT hr =
          sink->Invoke(8, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
      if (FAILED(hr)) return hr;
    }
    if (result) {
      VariantInit(result);
      result->vt = VT_BOOL;
      result->boolVal = cancel;
    }
    return S_OK;
  }

  std::wstring value_ = L"initial";
  ComPtr<IDispatch> sink_;
  std::wstring sinkKind_;
  Events events_;
};

}  // namespace

int main() {
  ormid::standin::LocalServerOptions options{ormid::test::kTestServerClsid};
  return ormid::standin::runLocalServer(options, [](REFIID iid, void** object) -> HRESULT {
    ComPtr<IDispatch> application(new Application);
    return application->QueryInterface(iid, object);
  });
}
