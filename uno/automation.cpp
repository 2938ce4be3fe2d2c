#include "uno/automation.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ormid/dispatch_server.h"
#include "uno/office_session.h"

namespace ormid::uno {
namespace {

using com::Call;
using com::ComPtr;
using com::findMember;
using com::guarded;
using com::invokeSink;
using com::kUnknownInterface;
using com::lookUpNames;
using com::Member;
using com::MemberKind;
using com::readBool;
using com::readInteger;
using com::readText;
using com::RefCounted;
using com::Variant;

constexpr int kError = 2;

// Word's event numbers.
constexpr DISPID kQuit = wordQuitEvent;
constexpr DISPID kDocumentOpen = wordDocumentOpenEvent;
constexpr DISPID kDocumentBeforeClose = wordDocumentBeforeCloseEvent;
constexpr DISPID kDocumentBeforeSave = wordDocumentBeforeSaveEvent;
constexpr DISPID kNewDocument = wordNewDocumentEvent;
constexpr DISPID kWindowActivate = wordWindowActivateEvent;
constexpr DISPID kWindowDeactivate = wordWindowDeactivateEvent;

// Word's SaveChanges value that asks for the changes to be kept.
constexpr LONG kSaveChanges = -1;

// What the objects of one application share: the office, the advised sinks
// and the bookkeeping that delivers the office's events on the main thread.
class Hub : public std::enable_shared_from_this<Hub> {
 public:
  OrmidModuleHost host{};
  std::shared_ptr<OfficeSession> office;

  struct Advised {
    DWORD cookie;
    ComPtr<IDispatch> sink;
  };
  std::vector<Advised> sinks;
  DWORD nextCookie = 1;
  // Depth of the automation calls under way on the main thread; events are
  // delivered when the outermost one ends, before it returns to the caller.
  int callDepth = 0;

  void log(int severity, const char* function, const std::string& message) const {
    if (host.log) host.log(severity, function, message.c_str());
  }

  // Hands every queued event to the sinks. Events raised while a sink runs
  // (it may call back into the objects) follow in order, from this loop.
  void deliverEvents() noexcept;

 private:
  void deliver(const SessionEvent& event);
  bool draining_ = false;
};

// Keeps the depth count for one incoming call and delivers the events the
// call caused when the outermost call ends.
class CallScope {
 public:
  explicit CallScope(std::shared_ptr<Hub> hub) : hub_(std::move(hub)) { ++hub_->callDepth; }
  ~CallScope() {
    if (--hub_->callDepth == 0) hub_->deliverEvents();
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  std::shared_ptr<Hub> hub_;
};

// The shared shape of the three automation objects.
template <class Derived>
class DispatchObject : public IDispatch, protected RefCounted<Derived> {
 public:
  explicit DispatchObject(std::shared_ptr<Hub> hub) : hub_(std::move(hub)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return this->addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return this->release(); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    return lookUpNames(Derived::kMembers, iid, names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    if (!(iid == IID_NULL)) return kUnknownInterface;
    const Member* member = findMember(Derived::kMembers, id);
    if (!member) return DISP_E_MEMBERNOTFOUND;
    const Call call(flags, params, result);
    bool isPut = false;
    if (const HRESULT hr = call.check(*member, isPut); FAILED(hr)) return hr;
    // The caller may let go of this object from an event handler that runs
    // before the call returns.
    const ComPtr<IDispatch> self(this);
    return guarded([&] {
      CallScope scope(hub_);
      return static_cast<Derived*>(this)->invoke(id, call, isPut);
    });
  }

 protected:
  virtual ~DispatchObject() = default;
  friend class RefCounted<Derived>;
  std::shared_ptr<Hub> hub_;
};

class Document final : public DispatchObject<Document> {
 public:
  enum : DISPID { kFullName = 1, kSaveAs, kClose, kSave, kSaved };
  static constexpr Member kMembers[] = {
      {u"FullName", kFullName, MemberKind::readOnly}, {u"SaveAs", kSaveAs, MemberKind::method, 0, 16},
      {u"Close", kClose, MemberKind::method, 0, 3},   {u"Save", kSave, MemberKind::method, 0, 0},
      {u"Saved", kSaved, MemberKind::readOnly},
  };

  Document(std::shared_ptr<Hub> hub, std::shared_ptr<OfficeDocument> document)
      : DispatchObject(std::move(hub)), document_(std::move(document)) {}

  static ComPtr<IDispatch> make(const std::shared_ptr<Hub>& hub, std::shared_ptr<OfficeDocument> document) {
    return ComPtr<IDispatch>::attach(new Document(hub, std::move(document)));
  }

  HRESULT invoke(DISPID id, const Call& call, bool) {
    OfficeSession& office = *hub_->office;
    switch (id) {
      case kFullName: {
        std::u16string name;
        const HRESULT hr = office.fullName(*document_, name);
        if (SUCCEEDED(hr)) call.setResult(Variant::string(name));
        return hr;
      }
      case kSaveAs: {
        if (!call.has(0)) return office.save(*document_);
        std::u16string path;
        if (const HRESULT hr = readText(call.arg(0), path); FAILED(hr)) return hr;
        return office.saveAs(*document_, path);
      }
      case kSave:
        return office.save(*document_);
      case kSaved: {
        bool saved = false;
        const HRESULT hr = office.saved(*document_, saved);
        if (SUCCEEDED(hr)) call.setResult(Variant::boolean(saved));
        return hr;
      }
      case kClose: {
        LONG saveChanges = 0;
        if (call.has(0)) {
          if (const HRESULT hr = readInteger(call.arg(0), saveChanges); FAILED(hr)) return hr;
        }
        // Nobody is there to answer a prompt: anything but "save" discards.
        return office.close(*document_, saveChanges == kSaveChanges);
      }
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  std::shared_ptr<OfficeDocument> document_;
};

class Documents final : public DispatchObject<Documents> {
 public:
  enum : DISPID { kCount = 1, kItem, kAdd, kOpen };
  static constexpr Member kMembers[] = {
      {u"Count", kCount, MemberKind::readOnly},
      {u"Item", kItem, MemberKind::method, 1, 1},
      {u"Add", kAdd, MemberKind::method, 0, 4},
      {u"Open", kOpen, MemberKind::method, 1, 16},
  };

  using DispatchObject::DispatchObject;

  HRESULT invoke(DISPID id, const Call& call, bool) {
    OfficeSession& office = *hub_->office;
    switch (id) {
      case kCount: {
        std::vector<std::shared_ptr<OfficeDocument>> documents;
        const HRESULT hr = office.documents(documents);
        if (SUCCEEDED(hr)) call.setResult(Variant::i4(static_cast<LONG>(documents.size())));
        return hr;
      }
      case kItem: {
        LONG index = 0;
        if (const HRESULT hr = readInteger(call.arg(0), index); FAILED(hr)) return hr;
        std::vector<std::shared_ptr<OfficeDocument>> documents;
        if (const HRESULT hr = office.documents(documents); FAILED(hr)) return hr;
        if (index < 1 || static_cast<std::size_t>(index) > documents.size()) return DISP_E_BADINDEX;
        call.setResult(Variant::dispatch(Document::make(hub_, documents[index - 1]).get()));
        return S_OK;
      }
      case kAdd:
      case kOpen: {
        std::shared_ptr<OfficeDocument> document;
        HRESULT hr = S_OK;
        if (id == kAdd) {
          hr = office.add(document);
        } else {
          std::u16string path;
          if (hr = readText(call.arg(0), path); FAILED(hr)) return hr;
          hr = office.open(path, document);
        }
        if (SUCCEEDED(hr)) call.setResult(Variant::dispatch(Document::make(hub_, document).get()));
        return hr;
      }
    }
    return DISP_E_MEMBERNOTFOUND;
  }
};

class Application;

// The application's one connection point; it lives inside the application
// and counts its references there.
class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer& owner, Hub& hub) : owner_(owner), hub_(hub) {}

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
    *iid = IID_ApplicationEvents;
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
    return guarded([&] {
      ComPtr<IDispatch> dispatch;
      if (FAILED(sink->QueryInterface(IID_ApplicationEvents, dispatch.putVoid())) &&
          FAILED(sink->QueryInterface(IID_IDispatch, dispatch.putVoid()))) {
        return CONNECT_E_CANNOTCONNECT;
      }
      if (!dispatch) return CONNECT_E_CANNOTCONNECT;
      *cookie = hub_.nextCookie++;
      hub_.sinks.push_back({*cookie, std::move(dispatch)});
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    auto& sinks = hub_.sinks;
    const auto found = std::find_if(sinks.begin(), sinks.end(),
                                    [cookie](const Hub::Advised& a) { return a.cookie == cookie; });
    if (found == sinks.end()) return CONNECT_E_NOCONNECTION;
    sinks.erase(found);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  IConnectionPointContainer& owner_;
  Hub& hub_;
};

class Application final : public DispatchObject<Application>, public IConnectionPointContainer {
 public:
  enum : DISPID { kVisible = 1, kActivate, kWindowState, kQuitMember, kDocuments };
  static constexpr Member kMembers[] = {
      {u"Visible", kVisible, MemberKind::readWrite},
      {u"Activate", kActivate, MemberKind::method, 0, 0},
      {u"WindowState", kWindowState, MemberKind::readWrite},
      {u"Quit", kQuitMember, MemberKind::method, 0, 3},
      {u"Documents", kDocuments, MemberKind::readOnly},
  };

  explicit Application(std::shared_ptr<Hub> hub) : DispatchObject(std::move(hub)), point_(*this, *hub_) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IConnectionPointContainer) {
      *object = static_cast<IConnectionPointContainer*>(this);
      AddRef();
      return S_OK;
    }
    return DispatchObject::QueryInterface(iid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return DispatchObject::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DispatchObject::Release(); }

  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    if (!point) return E_POINTER;
    if (!(iid == IID_ApplicationEvents)) {
      *point = nullptr;
      return CONNECT_E_NOCONNECTION;
    }
    *point = &point_;
    AddRef();
    return S_OK;
  }

  HRESULT invoke(DISPID id, const Call& call, bool isPut) {
    OfficeSession& office = *hub_->office;
    switch (id) {
      case kVisible: {
        if (!isPut) {
          bool visible = false;
          const HRESULT hr = office.visible(visible);
          if (SUCCEEDED(hr)) call.setResult(Variant::boolean(visible));
          return hr;
        }
        bool visible = false;
        if (const HRESULT hr = readBool(call.arg(0), visible); FAILED(hr)) return hr;
        return office.setVisible(visible);
      }
      case kWindowState: {
        if (!isPut) {
          LONG state = 0;
          const HRESULT hr = office.windowState(state);
          if (SUCCEEDED(hr)) call.setResult(Variant::i4(state));
          return hr;
        }
        LONG state = 0;
        if (const HRESULT hr = readInteger(call.arg(0), state); FAILED(hr)) return hr;
        return office.setWindowState(state);
      }
      case kActivate:
        return office.activate();
      case kQuitMember: {
        LONG saveChanges = 0;
        if (call.has(0)) {
          if (const HRESULT hr = readInteger(call.arg(0), saveChanges); FAILED(hr)) return hr;
        }
        if (saveChanges == kSaveChanges) {
          // Keeps what can be kept; a document that cannot be saved stops the quit.
          std::vector<std::shared_ptr<OfficeDocument>> documents;
          if (const HRESULT hr = office.documents(documents); FAILED(hr)) return hr;
          for (const auto& document : documents) {
            if (const HRESULT hr = office.save(*document); FAILED(hr)) return hr;
          }
        }
        return office.quit();
      }
      case kDocuments:
        if (!office.alive()) return kServerUnavailable;
        call.setResult(Variant::dispatch(ComPtr<IDispatch>::attach(new Documents(hub_)).get()));
        return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  friend class RefCounted<Application>;
  ~Application() override {
    // Nobody can reach the office through this object any more: a private
    // office goes with it, the person's office only when it holds no documents.
    hub_->sinks.clear();
    if (hub_->office) hub_->office->shutdown();
  }

  ConnectionPoint point_;
};

void Hub::deliverEvents() noexcept {
  if (draining_ || !office) return;
  const std::shared_ptr<Hub> keep = shared_from_this();
  draining_ = true;
  try {
    for (;;) {
      const std::vector<SessionEvent> events = office->takeEvents();
      if (events.empty()) break;
      for (const SessionEvent& event : events) deliver(event);
    }
  } catch (...) {
    log(kError, "ormid::uno::Hub::deliverEvents", "an event could not be delivered");
  }
  draining_ = false;
}

void Hub::deliver(const SessionEvent& event) {
  if (sinks.empty()) return;
  // A sink may unadvise, or release the application, while it runs.
  std::vector<ComPtr<IDispatch>> targets;
  for (const Advised& advised : sinks) targets.push_back(advised.sink);

  ComPtr<IDispatch> document;
  if (event.document) document = Document::make(shared_from_this(), event.document);
  VARIANT_BOOL first = VARIANT_FALSE;
  VARIANT_BOOL second = VARIANT_FALSE;
  std::vector<Variant> args;
  DISPID id = kQuit;
  using Kind = SessionEvent::Kind;
  switch (event.kind) {
    case Kind::quit:
      id = kQuit;
      break;
    case Kind::beforeSave:
      id = kDocumentBeforeSave;
      args.push_back(Variant::dispatch(document.get()));
      args.push_back(Variant::boolRef(&first));   // SaveAsUI
      args.push_back(Variant::boolRef(&second));  // Cancel
      break;
    case Kind::beforeClose:
      id = kDocumentBeforeClose;
      args.push_back(Variant::dispatch(document.get()));
      args.push_back(Variant::boolRef(&first));  // Cancel
      break;
    case Kind::opened:
    case Kind::created:
      id = event.kind == Kind::opened ? kDocumentOpen : kNewDocument;
      args.push_back(Variant::dispatch(document.get()));
      break;
    case Kind::activated:
    case Kind::deactivated:
      // The document stands for its window as well.
      id = event.kind == Kind::activated ? kWindowActivate : kWindowDeactivate;
      args.push_back(Variant::dispatch(document.get()));
      args.push_back(Variant::dispatch(document.get()));
      break;
  }
  std::vector<VARIANT> raw;
  for (const Variant& arg : args) raw.push_back(*arg);
  for (const auto& target : targets) invokeSink(target.get(), id, raw);
}

void runPosted(void* context) {
  const std::unique_ptr<std::weak_ptr<Hub>> owned(static_cast<std::weak_ptr<Hub>*>(context));
  if (const std::shared_ptr<Hub> hub = owned->lock(); hub && hub->callDepth == 0) hub->deliverEvents();
}

}  // namespace

HRESULT createApplication(const OrmidModuleHost* host, REFIID iid, void** object, Start start) noexcept {
  if (!object) return E_POINTER;
  *object = nullptr;
  return guarded([&] {
    auto hub = std::make_shared<Hub>();
    if (host && host->version >= 1) hub->host = *host;
    const std::weak_ptr<Hub> weak = hub;
    const auto postTask = hub->host.postTask;
    // Called on the office's threads: only hands the main thread a task.
    auto wake = [weak, postTask] {
      if (postTask) postTask(&runPosted, std::make_unique<std::weak_ptr<Hub>>(weak).release());
    };
    auto log = [weak](int severity, const char* function, const std::string& message) {
      if (const auto hub = weak.lock()) hub->log(severity, function, message);
    };
    if (const HRESULT hr = OfficeSession::create(log, wake, hub->office, start); FAILED(hr)) return hr;
    const auto application = ComPtr<Application>::attach(new Application(hub));
    return application->QueryInterface(iid, object);
  });
}

}  // namespace ormid::uno
