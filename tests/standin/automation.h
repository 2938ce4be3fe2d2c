// Late-bound calls and an event sink for driving the stand-in from tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ormid/com_ptr.h"
#include "standin/standin.h"

namespace ormid::standin::testing {

using com::Bstr;
using com::ComPtr;
using com::Variant;

enum class Kind { get, put, method };

// Looks the member up by name and calls it, arguments in call order.
inline HRESULT call(IDispatch* target, const std::u16string& name, Kind kind, std::vector<Variant> args = {},
                    Variant* result = nullptr) {
  std::u16string text = name;
  LPOLESTR names[] = {text.data()};
  DISPID id = 0;
  if (HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id); FAILED(hr)) return hr;
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(*it->get());
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()),
                    0};
  WORD flags = DISPATCH_METHOD;
  if (kind == Kind::get) flags = DISPATCH_PROPERTYGET;
  if (kind == Kind::put) {
    flags = DISPATCH_PROPERTYPUT;
    params.cNamedArgs = 1;
    params.rgdispidNamedArgs = &putId;
  }
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result ? result->put() : nullptr,
                        nullptr, nullptr);
}

inline ComPtr<IDispatch> object(IDispatch* target, const std::u16string& name, Kind kind,
                                std::vector<Variant> args = {}) {
  Variant result;
  EXPECT_EQ(call(target, name, kind, std::move(args), &result), S_OK) << "calling a member for an object";
  return result.dispatchValue();
}

inline Variant value(IDispatch* target, const std::u16string& name) {
  Variant result;
  EXPECT_EQ(call(target, name, Kind::get, {}, &result), S_OK) << "getting a property";
  return result;
}

inline std::u16string fullName(IDispatch* document) {
  Variant result;
  if (FAILED(call(document, u"FullName", Kind::get, {}, &result)) || result.type() != VT_BSTR) return u"?";
  const BSTR text = result.get()->bstrVal;
  return std::u16string(com::u16(text), SysStringLen(text));
}

inline LONG count(IDispatch* documents) {
  const Variant result = value(documents, u"Count");
  EXPECT_EQ(result.type(), VT_I4);
  return result.get()->lVal;
}

inline std::vector<Variant> args(auto&&... values) {
  std::vector<Variant> result;
  (result.push_back(std::move(values)), ...);
  return result;
}

inline ULONG referencesOf(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

// Records each event with its argument types in call order and the full name
// of its document argument; `onEvent` may act during the call.
class RecordingSink final : public IDispatch {
 public:
  struct Event {
    DISPID id;
    std::vector<VARTYPE> types;
    std::u16string document;
  };
  std::vector<Event> events;
  std::function<void(DISPID id, DISPPARAMS& params)> onEvent;
  ULONG references = 1;

  std::vector<DISPID> ids() const {
    std::vector<DISPID> result;
    for (const Event& e : events) result.push_back(e.id);
    return result;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kApplicationEventsIid) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }  // lives on the test's stack
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    EXPECT_EQ(iid, IID_NULL);
    EXPECT_EQ(flags, DISPATCH_METHOD);
    EXPECT_EQ(result, nullptr);
    Event event{id, {}, {}};
    for (UINT i = params->cArgs; i-- > 0;) event.types.push_back(params->rgvarg[i].vt);
    if (params->cArgs > 0 && params->rgvarg[params->cArgs - 1].vt == VT_DISPATCH) {
      event.document = fullName(params->rgvarg[params->cArgs - 1].pdispVal);
    }
    events.push_back(event);
    if (onEvent) onEvent(id, *params);
    return E_FAIL;  // a failing sink changes nothing
  }
};

}  // namespace ormid::standin::testing
