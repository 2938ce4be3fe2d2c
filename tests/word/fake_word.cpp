#include "tests/word/fake_word.h"

#include <algorithm>

#include "ormid/com_registry.h"

namespace ormid::test {
namespace {

const std::vector<std::string> kMembers = {"Visible", "Activate", "WindowState", "Quit", "Documents", "Count",
                                           "Item",    "Add",      "Open",        "FullName", "SaveAs", "Close"};

std::string narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

class FakeObject : public IDispatch {
 public:
  FakeObject(std::shared_ptr<FakeWordState> state, std::string kind) : state_(std::move(state)), kind_(std::move(kind)) {
    ++state_->liveObjects;
  }
  virtual ~FakeObject() { --state_->liveObjects; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = --count_;
    if (count == 0) delete this;
    return count;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    const std::string name = narrow(com::bstrText(names[0]));
    auto found = std::find(kMembers.begin(), kMembers.end(), name);
    if (found == kMembers.end()) return DISP_E_UNKNOWNNAME;
    *ids = static_cast<DISPID>(found - kMembers.begin()) + 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    const std::string member = kMembers.at(static_cast<std::size_t>(id - 1));
    RecordedCall call{kind_ + "." + member, flags, {}};
    for (UINT i = params->cArgs; i > 0; --i) call.argumentTypes.push_back(params->rgvarg[i - 1].vt);
    state_->calls.push_back(call);
    auto failure = state_->failures.find(call.member);
    if (failure != state_->failures.end()) return failure->second;
    return invoke(member, flags, params, result);
  }

 protected:
  virtual HRESULT invoke(const std::string& member, WORD flags, DISPPARAMS* params, VARIANT* result) = 0;
  static void giveObject(VARIANT* result, IDispatch* object) {
    if (!result) {
      object->Release();
      return;
    }
    result->vt = VT_DISPATCH;
    result->pdispVal = object;
  }
  std::shared_ptr<FakeWordState> state_;
  std::string kind_;

 private:
  ULONG count_ = 0;
};

class FakeDocument final : public FakeObject {
 public:
  FakeDocument(std::shared_ptr<FakeWordState> state, std::size_t index) : FakeObject(std::move(state), "Document"), index_(index) {}

 protected:
  HRESULT invoke(const std::string& member, WORD, DISPPARAMS* params, VARIANT* result) override {
    if (member == "FullName" && state_->fullNameNotText) {
      AddRef();
      result->vt = VT_DISPATCH;
      result->pdispVal = this;
      return S_OK;
    }
    if (member == "FullName") {
      result->vt = VT_BSTR;
      result->bstrVal = com::Bstr(state_->documents.at(index_)).detach();
      return S_OK;
    }
    if (member == "SaveAs") {
      if (params->cArgs == 1) state_->documents.at(index_) = com::bstrText(params->rgvarg[0].bstrVal);
      return S_OK;
    }
    if (member == "Close") {
      state_->documents.at(index_) = u"<closed>";
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  std::size_t index_;
};

class FakeDocuments final : public FakeObject {
 public:
  explicit FakeDocuments(std::shared_ptr<FakeWordState> state) : FakeObject(std::move(state), "Documents") {}

 protected:
  HRESULT invoke(const std::string& member, WORD, DISPPARAMS* params, VARIANT* result) override {
    if (member == "Count") {
      result->vt = VT_I4;
      result->lVal = static_cast<LONG>(state_->documents.size());
      return S_OK;
    }
    if (member == "Item") {
      const LONG index = params->rgvarg[0].lVal;
      if (index < 1 || static_cast<std::size_t>(index) > state_->documents.size()) return DISP_E_BADINDEX;
      giveObject(result, ref(new FakeDocument(state_, static_cast<std::size_t>(index - 1))));
      return S_OK;
    }
    if (member == "Add") {
      state_->documents.push_back(u"Document" + std::u16string(1, static_cast<char16_t>(u'0' + state_->documents.size() + 1)));
      giveObject(result, ref(new FakeDocument(state_, state_->documents.size() - 1)));
      return S_OK;
    }
    if (member == "Open") {
      state_->documents.push_back(com::bstrText(params->rgvarg[0].bstrVal));
      giveObject(result, ref(new FakeDocument(state_, state_->documents.size() - 1)));
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }
  static IDispatch* ref(IDispatch* object) {
    object->AddRef();
    return object;
  }
};

class FakeConnectionPoint final : public IConnectionPoint {
 public:
  explicit FakeConnectionPoint(std::shared_ptr<FakeWordState> state) : state_(std::move(state)) { ++state_->liveObjects; }
  ~FakeConnectionPoint() { --state_->liveObjects; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = --count_;
    if (count == 0) delete this;
    return count;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (FAILED(state_->advise)) return state_->advise;
    IDispatch* dispatch = nullptr;
    sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
    state_->sink = com::ComPtr<IDispatch>::attach(dispatch);
    ++state_->sinks;
    *cookie = 7;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    if (cookie != 7) return CONNECT_E_NOCONNECTION;
    state_->sink.reset();
    --state_->sinks;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  std::shared_ptr<FakeWordState> state_;
  ULONG count_ = 0;
};

class FakeApplication final : public FakeObject, public IConnectionPointContainer {
 public:
  explicit FakeApplication(std::shared_ptr<FakeWordState> state) : FakeObject(std::move(state), "Application") {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IConnectionPointContainer) {
      if (FAILED(state_->queryContainer)) {
        *object = nullptr;
        return state_->queryContainer;
      }
      *object = static_cast<IConnectionPointContainer*>(this);
      FakeObject::AddRef();
      return S_OK;
    }
    return FakeObject::QueryInterface(iid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return FakeObject::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return FakeObject::Release(); }
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    *point = nullptr;
    if (FAILED(state_->findConnectionPoint)) return state_->findConnectionPoint;
    const IID events = {0x000209FE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    if (!(iid == events)) return CONNECT_E_NOCONNECTION;
    *point = new FakeConnectionPoint(state_);
    (*point)->AddRef();
    return S_OK;
  }

 protected:
  HRESULT invoke(const std::string& member, WORD flags, DISPPARAMS* params, VARIANT* result) override {
    if (member == "Visible") {
      if (flags == DISPATCH_PROPERTYPUT) {
        visible_ = params->rgvarg[0].boolVal != VARIANT_FALSE;
        return S_OK;
      }
      ++state_->visibleReads;
      result->vt = VT_BOOL;
      result->boolVal = (visible_ && !state_->visibleStuckFalse) ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
    if (member == "Activate" || member == "WindowState") return S_OK;
    if (member == "Quit") {
      state_->fireEvent(2, {});
      return S_OK;
    }
    if (member == "Documents") {
      auto* documents = new FakeDocuments(state_);
      documents->AddRef();
      giveObject(result, documents);
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  bool visible_ = false;
};

}  // namespace

void FakeWordState::fireEvent(DISPID id, std::vector<VARIANT> reversedArguments) {
  com::ComPtr<IDispatch> target = sink;
  if (!target) return;
  DISPPARAMS params{reversedArguments.empty() ? nullptr : reversedArguments.data(), nullptr,
                    static_cast<UINT>(reversedArguments.size()), 0};
  target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
}

FakeWord::FakeWord() : state_(std::make_shared<FakeWordState>()) {
  std::weak_ptr<FakeWordState> weak = state_;
  com::registerClass(u"Word.Application", com::CLSID_WordApplication, [weak](REFIID iid, void** object) -> HRESULT {
    auto state = weak.lock();
    if (!state) return REGDB_E_CLASSNOTREG;
    if (FAILED(state->createInstance)) return state->createInstance;
    auto* application = new FakeApplication(state);
    application->FakeObject::AddRef();
    const HRESULT hr = application->QueryInterface(iid, object);
    application->FakeObject::Release();
    return hr;
  });
}

FakeWord::~FakeWord() { com::unregisterClass(u"Word.Application"); }

int FakeWord::calls(const std::string& member) const {
  return static_cast<int>(std::count_if(state_->calls.begin(), state_->calls.end(),
                                        [&](const RecordedCall& c) { return c.member == member; }));
}

}  // namespace ormid::test
