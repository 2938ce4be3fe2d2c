// The automation objects: each checks that its server is still there, applies
// injected faults, checks the call's shape, reads the arguments and leaves the
// work to AppCore.
#include <array>

#include "standin/object_model.h"

namespace ormid::standin {
namespace {

enum ApplicationMember : DISPID { kVisible = 1, kActivate, kWindowState, kQuit, kDocuments };
constexpr std::array<Member, 5> kApplicationMembers{{
    {u"Visible", kVisible, MemberKind::readWrite},
    {u"Activate", kActivate, MemberKind::method, 0, 0},
    {u"WindowState", kWindowState, MemberKind::readWrite},
    {u"Quit", kQuit, MemberKind::method, 0, 3},
    {u"Documents", kDocuments, MemberKind::readOnly},
}};

enum DocumentsMember : DISPID { kCount = 1, kItem, kAdd, kOpen };
constexpr std::array<Member, 4> kDocumentsMembers{{
    {u"Count", kCount, MemberKind::readOnly},
    {u"Item", kItem, MemberKind::method, 1, 1},
    {u"Add", kAdd, MemberKind::method, 0, 4},
    {u"Open", kOpen, MemberKind::method, 1, 16},
}};

enum DocumentMember : DISPID { kFullName = 1, kSaveAs, kClose, kSaved };
constexpr std::array<Member, 4> kDocumentMembers{{
    {u"FullName", kFullName, MemberKind::readOnly},
    {u"SaveAs", kSaveAs, MemberKind::method, 0, 16},
    {u"Close", kClose, MemberKind::method, 0, 3},
    {u"Saved", kSaved, MemberKind::readOnly},
}};

// The save-changes values: do not save (0), save (-1), prompt (-2), where no
// one answers the prompt, so nothing is saved.
HRESULT readSaveChanges(const Call& call, bool& save) {
  LONG value = 0;
  if (call.has(0)) {
    if (HRESULT hr = readInteger(call.arg(0), value); FAILED(hr)) return hr;
  }
  if (value != 0 && value != -1 && value != -2) return E_INVALIDARG;
  save = value == -1;
  return S_OK;
}

// Quit and Close: (SaveChanges, OriginalFormat, RouteDocument), all optional.
HRESULT readClosingArguments(const Call& call, bool& save) {
  LONG format = 0;
  bool route = false;
  if (call.has(1)) {
    if (HRESULT hr = readInteger(call.arg(1), format); FAILED(hr)) return hr;
  }
  if (call.has(2)) {
    if (HRESULT hr = readBool(call.arg(2), route); FAILED(hr)) return hr;
  }
  return readSaveChanges(call, save);
}

HRESULT typeInfoCount(UINT* count) {
  if (!count) return E_INVALIDARG;
  *count = 0;
  return S_OK;
}

template <class Interface, class Object>
HRESULT hand(Interface* pointer, Object* owner, void** object) {
  owner->AddRef();
  *object = pointer;
  return S_OK;
}

}  // namespace

// ---- Application ----

Application::Application(std::shared_ptr<AppCore> core) : core_(std::move(core)) { core_->container = this; }

Application::~Application() { core_->container = nullptr; }

HRESULT Application::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch) return hand(static_cast<IDispatch*>(this), this, object);
  if (iid == IID_IConnectionPointContainer) {
    return hand(static_cast<IConnectionPointContainer*>(this), this, object);
  }
  return E_NOINTERFACE;
}

HRESULT Application::GetTypeInfoCount(UINT* count) { return typeInfoCount(count); }

HRESULT Application::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (HRESULT hr = core_->enter(); FAILED(hr)) return hr;
  return lookUpNames(kApplicationMembers, iid, names, count, ids);
}

HRESULT Application::Invoke(DISPID member, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                            EXCEPINFO*, UINT*) {
  return guarded([&] {
    if (HRESULT hr = core_->enter(); FAILED(hr)) return hr;
    if (!(iid == IID_NULL)) return kUnknownInterface;
    // An event sink may drop the caller's last reference during the call.
    const ComPtr<Application> self(this);
    return invoke(member, Call(flags, params, result));
  });
}

HRESULT Application::invoke(DISPID id, const Call& call) {
  AppCore& core = *core_;
  const Member* member = findMember(kApplicationMembers, id);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  if (HRESULT hr = core.admit(ObjectKind::application, member->name); FAILED(hr)) return hr;
  bool isPut = false;
  if (HRESULT hr = call.check(*member, isPut); FAILED(hr)) return hr;
  switch (id) {
    case kVisible:
      if (isPut) {
        bool visible = false;
        if (HRESULT hr = readBool(call.arg(0), visible); FAILED(hr)) return hr;
        core.visible = visible;
      } else {
        call.setResult(Variant::boolean(core.visible));
      }
      return S_OK;
    case kActivate:
      core.activateWindow(true);
      return S_OK;
    case kWindowState:
      if (isPut) {
        LONG state = 0;
        if (HRESULT hr = readInteger(call.arg(0), state); FAILED(hr)) return hr;
        if (state < 0 || state > 2) return E_INVALIDARG;  // normal, maximised, minimised
        core.windowState = state;
      } else {
        call.setResult(Variant::i4(core.windowState));
      }
      return S_OK;
    case kQuit: {
      bool save = false;
      if (HRESULT hr = readClosingArguments(call, save); FAILED(hr)) return hr;
      return core.quit(save);
    }
    case kDocuments: {
      const auto documents = ComPtr<DocumentsCollection>::attach(new DocumentsCollection(core_));
      call.setResult(Variant::dispatch(documents.get()));
      return S_OK;
    }
  }
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT Application::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  return guarded([&] {
    if (core_->hasQuit()) return kServerUnavailable;
    if (!(iid == kApplicationEventsIid)) return CONNECT_E_NOCONNECTION;
    *point = new EventsConnectionPoint(core_);
    return S_OK;
  });
}

// ---- Documents collection ----

HRESULT DocumentsCollection::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch) return hand(static_cast<IDispatch*>(this), this, object);
  return E_NOINTERFACE;
}

HRESULT DocumentsCollection::GetTypeInfoCount(UINT* count) { return typeInfoCount(count); }

HRESULT DocumentsCollection::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  const std::shared_ptr<AppCore> core = core_.lock();
  if (!core) return kServerUnavailable;
  if (HRESULT hr = core->enter(); FAILED(hr)) return hr;
  return lookUpNames(kDocumentsMembers, iid, names, count, ids);
}

HRESULT DocumentsCollection::Invoke(DISPID member, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                    VARIANT* result, EXCEPINFO*, UINT*) {
  return guarded([&] {
    const std::shared_ptr<AppCore> core = core_.lock();
    if (!core) return kServerUnavailable;
    if (HRESULT hr = core->enter(); FAILED(hr)) return hr;
    if (!(iid == IID_NULL)) return kUnknownInterface;
    const ComPtr<DocumentsCollection> self(this);
    return invoke(*core, member, Call(flags, params, result));
  });
}

HRESULT DocumentsCollection::invoke(AppCore& core, DISPID id, const Call& call) {
  const Member* member = findMember(kDocumentsMembers, id);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  if (HRESULT hr = core.admit(ObjectKind::documents, member->name); FAILED(hr)) return hr;
  bool isPut = false;
  if (HRESULT hr = call.check(*member, isPut); FAILED(hr)) return hr;
  switch (id) {
    case kCount:
      call.setResult(Variant::i4(static_cast<LONG>(core.documents().size())));
      return S_OK;
    case kItem: {
      LONG index = 0;
      if (HRESULT hr = readIndex(call.arg(0), index); FAILED(hr)) return hr;
      const auto& documents = core.documents();
      if (index < 1 || static_cast<std::size_t>(index) > documents.size()) return DISP_E_BADINDEX;
      call.setResult(Variant::dispatch(documents[static_cast<std::size_t>(index) - 1].get()));
      return S_OK;
    }
    case kAdd: {
      // Template, NewTemplate, DocumentType and Visible are accepted and not used.
      ComPtr<Document> added;
      const HRESULT hr = core.addDocument(added);
      if (SUCCEEDED(hr)) call.setResult(Variant::dispatch(added.get()));
      return hr;
    }
    case kOpen: {
      // Only the file name is used of Open's arguments.
      std::u16string path;
      if (HRESULT hr = readText(call.arg(0), path); FAILED(hr)) return hr;
      ComPtr<Document> opened;
      const HRESULT hr = core.openDocument(path, opened);
      if (SUCCEEDED(hr)) call.setResult(Variant::dispatch(opened.get()));
      return hr;
    }
  }
  return DISP_E_MEMBERNOTFOUND;
}

// ---- Document ----

HRESULT Document::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch) return hand(static_cast<IDispatch*>(this), this, object);
  return E_NOINTERFACE;
}

HRESULT Document::GetTypeInfoCount(UINT* count) { return typeInfoCount(count); }

HRESULT Document::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  const std::shared_ptr<AppCore> core = core_.lock();
  if (!core) return kServerUnavailable;
  if (HRESULT hr = core->enter(); FAILED(hr)) return hr;
  if (closed) return kObjectDeleted;
  return lookUpNames(kDocumentMembers, iid, names, count, ids);
}

HRESULT Document::Invoke(DISPID member, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                         EXCEPINFO*, UINT*) {
  return guarded([&] {
    const std::shared_ptr<AppCore> core = core_.lock();
    if (!core) return kServerUnavailable;
    if (HRESULT hr = core->enter(); FAILED(hr)) return hr;
    if (!(iid == IID_NULL)) return kUnknownInterface;
    if (closed) return kObjectDeleted;
    return invoke(*core, member, Call(flags, params, result));
  });
}

HRESULT Document::invoke(AppCore& core, DISPID id, const Call& call) {
  const Member* member = findMember(kDocumentMembers, id);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  if (HRESULT hr = core.admit(ObjectKind::document, member->name); FAILED(hr)) return hr;
  bool isPut = false;
  if (HRESULT hr = call.check(*member, isPut); FAILED(hr)) return hr;
  // The events raised below may drop every other reference to this document.
  const ComPtr<Document> self(this);
  switch (id) {
    case kFullName: {
      Variant name = Variant::string(fullName);
      if (name.type() != VT_BSTR) return E_OUTOFMEMORY;
      call.setResult(std::move(name));
      return S_OK;
    }
    case kSaved:
      call.setResult(Variant::boolean(saved));
      return S_OK;
    case kSaveAs: {
      // Of SaveAs's arguments only FileName and FileFormat are used.
      std::optional<std::u16string> path;
      if (call.has(0)) {
        std::u16string text;
        if (HRESULT hr = readText(call.arg(0), text); FAILED(hr)) return hr;
        path = std::move(text);
      }
      std::optional<LONG> format;
      if (call.has(1)) {
        LONG value = 0;
        if (HRESULT hr = readInteger(call.arg(1), value); FAILED(hr)) return hr;
        format = value;
      }
      return core.saveDocument(self, path, format);
    }
    case kClose: {
      bool save = false;
      if (HRESULT hr = readClosingArguments(call, save); FAILED(hr)) return hr;
      return core.closeDocument(self, save);
    }
  }
  return DISP_E_MEMBERNOTFOUND;
}

// ---- Connection point of the application events ----

HRESULT EventsConnectionPoint::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
    return hand(static_cast<IConnectionPoint*>(this), this, object);
  }
  return E_NOINTERFACE;
}

HRESULT EventsConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = kApplicationEventsIid;
  return S_OK;
}

HRESULT EventsConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = nullptr;
  const std::shared_ptr<AppCore> core = core_.lock();
  if (!core || core->hasQuit()) return kServerUnavailable;
  if (!core->container) return E_UNEXPECTED;
  core->container->AddRef();
  *container = core->container;
  return S_OK;
}

HRESULT EventsConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  return guarded([&] {
    const std::shared_ptr<AppCore> core = core_.lock();
    if (!core) {
      if (cookie) *cookie = 0;
      return kServerUnavailable;
    }
    return core->advise(sink, cookie);
  });
}

HRESULT EventsConnectionPoint::Unadvise(DWORD cookie) {
  return guarded([&] {
    const std::shared_ptr<AppCore> core = core_.lock();
    return core ? core->unadvise(cookie) : kServerUnavailable;
  });
}

// ---- Creation ----

HRESULT createApplication(const ApplicationOptions& options, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  return guarded([&] {
    auto core = std::make_shared<AppCore>(options);
    const auto application = ComPtr<Application>::attach(new Application(core));
    if (!options.controlPath.empty()) core->startControl(options.controlPath);
    return application->QueryInterface(iid, object);
  });
}

}  // namespace ormid::standin
