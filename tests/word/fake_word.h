// An in-process word processor for unit tests of the operations: a scripted
// application, documents collection and documents behind IDispatch, with
// failures chosen per member and every live object counted.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ormid/com_api.h"
#include "ormid/com_ptr.h"

namespace ormid::test {

struct FakeWordState;

// Every member call: "Object.Member" and the arguments' types, in call order.
struct RecordedCall {
  std::string member;
  WORD flags;
  std::vector<VARTYPE> argumentTypes;
};

struct FakeWordState {
  // "Application.Visible", "Documents.Open", "Document.SaveAs", ... -> HRESULT to fail with.
  std::map<std::string, HRESULT> failures;
  bool visibleStuckFalse = false;       // Visible reads false whatever was put
  bool fullNameNotText = false;         // FullName gives an object, which has no text
  HRESULT queryContainer = S_OK;        // QueryInterface for the connection point container
  HRESULT findConnectionPoint = S_OK;
  HRESULT advise = S_OK;
  HRESULT createInstance = S_OK;
  std::vector<std::u16string> documents;  // full names of the open documents
  std::vector<RecordedCall> calls;
  int liveObjects = 0;                   // objects not yet destroyed
  int visibleReads = 0;
  int sinks = 0;                         // advised sinks
  com::ComPtr<IDispatch> sink;           // the advised sink
  void fireEvent(DISPID id, std::vector<VARIANT> reversedArguments);
};

// Registers the fake under "Word.Application" for the duration of a test.
class FakeWord {
 public:
  FakeWord();
  ~FakeWord();
  FakeWordState& state() { return *state_; }
  int calls(const std::string& member) const;

 private:
  std::shared_ptr<FakeWordState> state_;
};

// A bare IDispatch recording how it is invoked, for the call helper.
class RecordingDispatch final : public IDispatch {
 public:
  struct Invocation {
    DISPID id;
    WORD flags;
    std::vector<VARIANT> arguments;  // as received (shallow)
    std::vector<DISPID> named;
  };
  std::vector<std::u16string> known = {u"Alpha", u"Beta"};
  std::vector<Invocation> invocations;
  int lookups = 0;
  HRESULT putRefResult = S_OK;
  ULONG count = 1;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    ++lookups;
    const std::u16string name = com::bstrText(names[0]);
    for (std::size_t i = 0; i < known.size(); ++i) {
      if (known[i] == name) {
        *ids = static_cast<DISPID>(i + 1);
        return S_OK;
      }
    }
    *ids = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    Invocation call{id, flags, {}, {}};
    for (UINT i = 0; i < params->cArgs; ++i) call.arguments.push_back(params->rgvarg[i]);
    for (UINT i = 0; i < params->cNamedArgs; ++i) call.named.push_back(params->rgdispidNamedArgs[i]);
    invocations.push_back(call);
    if (flags == DISPATCH_PROPERTYPUTREF) return putRefResult;
    if (result) {
      result->vt = VT_I4;
      result->lVal = 42;
    }
    return S_OK;
  }
};

}  // namespace ormid::test
