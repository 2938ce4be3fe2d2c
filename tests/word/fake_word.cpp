#include "tests/word/fake_word.h"

#include <algorithm>
#include <functional>

#include "ormid/com_registry.h"

namespace ormid::test {
namespace {

using State = std::shared_ptr<FakeWordState>;
using Handler = std::function<HRESULT(const std::string& member, WORD flags, DISPPARAMS*, VARIANT* result)>;

const IID kEvents = {0x000209FE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const std::vector<std::string> kMembers = {"Visible",   "Activate", "WindowState", "Quit",
                                           "Documents", "Count",    "Item",        "Add",
                                           "Open",      "FullName", "SaveAs",      "Close"};

// An application, documents collection or document: `kind` names it in the
// recorded calls and the handler answers its members. Only the application
// is a connection point container, and its own application events connection point.
class FakeObject final : public IDispatch, public IConnectionPointContainer, public IConnectionPoint {
 public:
  FakeObject(State state, std::string kind, Handler handler)
      : state_(std::move(state)), kind_(std::move(kind)), handler_(std::move(handler)) {
    ++state_->liveObjects;
  }
  ~FakeObject() { --state_->liveObjects; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
    } else if (iid == IID_IConnectionPointContainer && kind_ == "Application") {
      if (FAILED(state_->queryContainer)) return state_->queryContainer;
      *object = static_cast<IConnectionPointContainer*>(this);
    }
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --count_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    const std::u16string name = com::bstrText(names[0]);
    auto found = std::find(kMembers.begin(), kMembers.end(), std::string(name.begin(), name.end()));
    if (found == kMembers.end()) return DISP_E_UNKNOWNNAME;
    *ids = static_cast<DISPID>(found - kMembers.begin()) + 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    const std::string& member = kMembers.at(static_cast<std::size_t>(id - 1));
    RecordedCall call{kind_ + "." + member, flags, {}, {}};
    for (UINT i = params->cArgs; i > 0; --i) call.argumentTypes.push_back(params->rgvarg[i - 1].vt);
    call.named.assign(params->rgdispidNamedArgs, params->rgdispidNamedArgs + params->cNamedArgs);
    state_->calls.push_back(call);
    if (auto failure = state_->failures.find(call.member); failure != state_->failures.end())
      return failure->second;
    return handler_(member, flags, params, result);
  }

  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    *point = nullptr;
    if (FAILED(state_->findConnectionPoint)) return state_->findConnectionPoint;
    if (!(iid == kEvents)) return CONNECT_E_NOCONNECTION;
    *point = this;
    AddRef();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (FAILED(state_->advise)) return state_->advise;
    sink->QueryInterface(IID_IDispatch, state_->sink.putVoid());
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
  State state_;
  std::string kind_;
  Handler handler_;
  ULONG count_ = 0;
};

HRESULT giveObject(VARIANT* result, IDispatch* fresh) {
  com::ComPtr<IDispatch> object(fresh);
  if (result) {
    result->vt = VT_DISPATCH;
    result->pdispVal = object.detach();
  }
  return S_OK;
}

IDispatch* newDocument(const State& state, std::size_t index) {
  return new FakeObject(
      state, "Document",
      [state, index](const std::string& member, WORD, DISPPARAMS* params, VARIANT* result) -> HRESULT {
        if (member == "FullName" && state->fullNameNotText)
          return giveObject(result, newDocument(state, index));
        if (member == "FullName") {
          result->vt = VT_BSTR;
          result->bstrVal = com::Bstr(state->documents.at(index)).detach();
        } else if (member == "SaveAs") {
          if (params->cArgs == 1) state->documents.at(index) = com::bstrText(params->rgvarg[0].bstrVal);
        } else if (member == "Close") {
          state->documents.at(index) = u"<closed>";
        }
        return S_OK;
      });
}

IDispatch* newDocuments(const State& state) {
  return new FakeObject(
      state, "Documents",
      [state](const std::string& member, WORD, DISPPARAMS* params, VARIANT* result) -> HRESULT {
        auto& documents = state->documents;
        if (member == "Count") {
          result->vt = VT_I4;
          result->lVal = static_cast<LONG>(documents.size());
          return S_OK;
        }
        if (member == "Item") {
          const LONG index = params->rgvarg[0].lVal;
          if (index < 1 || static_cast<std::size_t>(index) > documents.size()) return DISP_E_BADINDEX;
          return giveObject(result, newDocument(state, static_cast<std::size_t>(index - 1)));
        }
        if (member == "Add")
          documents.push_back(u"Document" +
                              std::u16string(1, static_cast<char16_t>(u'0' + documents.size() + 1)));
        if (member == "Open") documents.push_back(com::bstrText(params->rgvarg[0].bstrVal));
        return giveObject(result, newDocument(state, documents.size() - 1));
      });
}

IDispatch* newApplication(const State& state) {
  auto visible = std::make_shared<bool>(false);
  auto answer = [state, visible](const std::string& member, WORD flags, DISPPARAMS* params,
                                 VARIANT* result) -> HRESULT {
    if (member == "Visible" && flags == DISPATCH_PROPERTYPUT) {
      *visible = params->rgvarg[0].boolVal != VARIANT_FALSE;
    } else if (member == "Visible") {
      ++state->visibleReads;
      result->vt = VT_BOOL;
      result->boolVal = *visible && !state->visibleStuckFalse ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (member == "Quit") {
      state->fireEvent(2);
    } else if (member == "Documents") {
      return giveObject(result, newDocuments(state));
    }
    return S_OK;  // Activate, WindowState
  };
  return new FakeObject(state, "Application", std::move(answer));
}

}  // namespace

void FakeWordState::fireEvent(DISPID id, std::vector<VARIANT> reversedArguments) {
  const com::ComPtr<IDispatch> target = sink;
  if (!target) return;
  DISPPARAMS params{reversedArguments.empty() ? nullptr : reversedArguments.data(), nullptr,
                    static_cast<UINT>(reversedArguments.size()), 0};
  target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
}

int FakeWordState::count(const std::string& member) const {
  return static_cast<int>(
      std::count_if(calls.begin(), calls.end(), [&](auto& c) { return c.member == member; }));
}

FakeWord::FakeWord() : state_(std::make_shared<FakeWordState>()) {
  com::registerClass(u"Word.Application", com::CLSID_WordApplication,
                     [weak = std::weak_ptr<FakeWordState>(state_)](REFIID iid, void** object) -> HRESULT {
                       const State state = weak.lock();
                       if (!state) return REGDB_E_CLASSNOTREG;
                       if (FAILED(state->createInstance)) return state->createInstance;
                       return com::ComPtr<IDispatch>(newApplication(state))->QueryInterface(iid, object);
                     });
}

FakeWord::~FakeWord() { com::unregisterClass(u"Word.Application"); }

com::ComPtr<IDispatch> FakeWord::application() { return com::ComPtr<IDispatch>(newApplication(state_)); }

}  // namespace ormid::test
