// The stand-in's object model: the application, its documents collection, the
// documents and the connection point of the application events.
//
// Ownership: the application object owns the shared state (AppCore), which
// owns the open documents and the advised sinks. Documents, collections and
// connection points only watch the state (weak), so nothing forms a cycle;
// when the application object goes, the server is gone for all of them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "standin/control.h"
#include "standin/dispatch_support.h"
#include "standin/standin.h"

namespace ormid::standin {

class Document;

class AppCore : public std::enable_shared_from_this<AppCore> {
 public:
  explicit AppCore(const ApplicationOptions& options);
  ~AppCore();
  AppCore(const AppCore&) = delete;
  AppCore& operator=(const AppCore&) = delete;

  // Starts performing the lines of a control FIFO as user actions.
  void startControl(const std::string& path);

  // What an incoming call (GetIDsOfNames or Invoke) of any object meets
  // first: the server gone, or busy (the call counts against the calls to
  // turn away); S_OK otherwise.
  HRESULT enter();
  // The result a call to `member` of an `object` gives before it is carried
  // out: a fault made for it, or S_OK.
  HRESULT admit(ObjectKind object, std::u16string_view member) const;
  bool hasQuit() const { return quit_; }

  // Documents in the order they were opened or added.
  const std::vector<com::ComPtr<Document>>& documents() const { return documents_; }

  HRESULT openDocument(const std::u16string& path, com::ComPtr<Document>& opened);
  HRESULT addDocument(com::ComPtr<Document>& added);
  // Saves in place without a path, else under `path`, whose canonical form
  // becomes the full name. A new document saved with a `format` is written
  // as the text "format=<format>", which tells a test what was asked for.
  HRESULT saveDocument(const com::ComPtr<Document>& document, const std::optional<std::u16string>& path,
                       std::optional<LONG> format = std::nullopt);
  HRESULT closeDocument(const com::ComPtr<Document>& document, bool saveChanges);
  HRESULT quit(bool saveChanges);
  void activateWindow(bool active);

  // Sinks of the application events.
  HRESULT advise(IUnknown* sink, DWORD* cookie);
  HRESULT unadvise(DWORD cookie);

  // Application properties.
  bool visible = false;
  LONG windowState = 0;
  // The container that hands out the connection point; null once the application object is gone.
  IConnectionPointContainer* container = nullptr;

 private:
  struct Sink {
    DWORD cookie;
    com::ComPtr<IDispatch> sink;
  };

  // Calls every advised sink with `args` given in call order.
  void raise(EventId event, std::vector<Variant> args);
  void perform(const std::string& line);
  // The open document known by `name`: its full name, in any form that has
  // the same canonical one, or the bare name of a new document.
  com::ComPtr<Document> findOpen(const std::u16string& name) const;
  void shutDown();

  Faults faults_;
  Poster post_;
  std::function<void()> onQuit_;
  std::function<void()> endProcess_;
  std::function<void(int)> makeBusy_;
  int callsToReject_ = 0;  // where there is no makeBusy_
  bool quitting_ = false;  // the quit event is under way
  bool quit_ = false;
  int documentsAdded_ = 0;
  std::vector<com::ComPtr<Document>> documents_;
  std::vector<Sink> sinks_;
  DWORD nextCookie_ = 1;
  std::unique_ptr<ControlReader> reader_;
};

class Application final : public IDispatch, public IConnectionPointContainer, public RefCounted<Application> {
 public:
  explicit Application(std::shared_ptr<AppCore> core);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override;
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

 private:
  friend class RefCounted<Application>;
  ~Application();
  HRESULT invoke(DISPID id, const Call& call);

  std::shared_ptr<AppCore> core_;
};

class DocumentsCollection final : public IDispatch, public RefCounted<DocumentsCollection> {
 public:
  explicit DocumentsCollection(std::weak_ptr<AppCore> core) : core_(std::move(core)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override;

 private:
  friend class RefCounted<DocumentsCollection>;
  ~DocumentsCollection() = default;
  HRESULT invoke(AppCore& core, DISPID id, const Call& call);

  std::weak_ptr<AppCore> core_;
};

class Document final : public IDispatch, public RefCounted<Document> {
 public:
  Document(std::weak_ptr<AppCore> core, std::u16string fullName, std::string content, bool hasFile)
      : fullName(std::move(fullName)),
        content(std::move(content)),
        hasFile(hasFile),
        core_(std::move(core)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override;

  std::u16string fullName;
  std::string content;
  bool hasFile;       // opened from or saved to a file, so that it can be saved in place
  bool saved = true;  // no change since it was opened, added or saved
  bool closed = false;

 private:
  friend class RefCounted<Document>;
  ~Document() = default;
  HRESULT invoke(AppCore& core, DISPID id, const Call& call);

  std::weak_ptr<AppCore> core_;
};

class EventsConnectionPoint final : public IConnectionPoint, public RefCounted<EventsConnectionPoint> {
 public:
  explicit EventsConnectionPoint(std::weak_ptr<AppCore> core) : core_(std::move(core)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  friend class RefCounted<EventsConnectionPoint>;
  ~EventsConnectionPoint() = default;

  std::weak_ptr<AppCore> core_;
};

}  // namespace ormid::standin
