#include "uno/office_session.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <com/sun/star/awt/XTopWindow2.hpp>
#include <com/sun/star/awt/XWindow.hpp>
#include <com/sun/star/awt/XWindow2.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/connection/Connector.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/document/MacroExecMode.hpp>
#include <com/sun/star/document/UpdateDocMode.hpp>
#include <com/sun/star/document/XDocumentEventBroadcaster.hpp>
#include <com/sun/star/document/XDocumentEventListener.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/StartModule.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/frame/XFrames.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/frame/XStorable2.hpp>
#include <com/sun/star/frame/XTerminateListener.hpp>
#include <com/sun/star/frame/XTitle.hpp>
#include <com/sun/star/frame/theGlobalEventBroadcaster.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/lang/XServiceInfo.hpp>
#include <com/sun/star/task/XInteractionAbort.hpp>
#include <com/sun/star/task/XInteractionApprove.hpp>
#include <com/sun/star/task/XInteractionDisapprove.hpp>
#include <com/sun/star/task/XInteractionHandler.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <com/sun/star/util/XCloseBroadcaster.hpp>
#include <com/sun/star/util/XCloseListener.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <com/sun/star/util/XModifiable.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cppuhelper/implbase1.hxx>
#include <cppuhelper/implbase3.hxx>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <rtl/bootstrap.hxx>
#include <rtl/ref.hxx>
#include <rtl/ustring.hxx>
#include <thread>

#include "host/text/text.h"
#include "uno/office_process.h"
#include "uno/office_text.h"

namespace ormid::uno {

namespace css = ::com::sun::star;
using css::uno::Reference;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;
using css::uno::XInterface;
using rtl::OUString;

namespace {

constexpr int kError = 2;
constexpr int kWarning = 3;
constexpr int kDebug = 5;

// Set once the process has begun to exit: from then on nothing calls the
// host back and no remote call is made.
std::atomic<bool> exiting{false};

OUString toOffice(std::u16string_view text) {
  const std::u16string valid = validUtf16(text);
  const std::vector<sal_Unicode> units(valid.begin(), valid.end());
  return OUString(units.data(), static_cast<sal_Int32>(units.size()));
}

std::u16string fromOffice(const OUString& text) {
  return std::u16string(text.getStr(), text.getStr() + text.getLength());
}

std::string utf8(const OUString& text) { return OUStringToOString(text, RTL_TEXTENCODING_UTF8).getStr(); }

css::beans::PropertyValue property(const char* name, const css::uno::Any& value) {
  css::beans::PropertyValue result;
  result.Name = OUString::createFromAscii(name);
  result.Value = value;
  return result;
}

// When and how big a file was: enough to tell that it was rewritten.
struct FileStamp {
  long long modified;
  long long size;
  bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> stampOf(const std::u16string& path) {
  struct stat info {};
  if (path.empty() || stat(wideToUtf8(path).c_str(), &info) != 0) return std::nullopt;
  return FileStamp{info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec,
                   static_cast<long long>(info.st_size)};
}

Reference<XInterface> identity(const Reference<XInterface>& object) {
  return Reference<XInterface>(object, UNO_QUERY);
}

// What the office tells us, as it arrives on its threads.
struct RawEvent {
  enum class Kind { quit, document, queryClosing, notifyClosing };
  Kind kind;
  Reference<XInterface> source;
  OUString name;
};

// Filled by the office's threads, emptied on the main thread. A listener
// only queues: waiting for the main thread from an office callback would
// hold up the office, which may be waiting for the main thread's call.
class EventQueue {
 public:
  explicit EventQueue(std::function<void()> wake) : wake_(std::move(wake)) {}

  void push(RawEvent event) {
    bool wakeNow = false;
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
      wakeNow = !pending_;
      pending_ = true;
    }
    if (wakeNow && wake_ && !exiting) wake_();
  }
  std::deque<RawEvent> take() {
    std::lock_guard lock(mutex_);
    pending_ = false;
    return std::exchange(events_, {});
  }
  void markGone() {
    if (!gone_.exchange(true)) push({RawEvent::Kind::quit, {}, {}});
  }
  bool gone() const { return gone_; }

 private:
  const std::function<void()> wake_;
  std::mutex mutex_;
  std::deque<RawEvent> events_;
  bool pending_ = false;
  std::atomic<bool> gone_{false};
};

bool interesting(const OUString& name) {
  static const char* const kNames[] = {"OnSave",         "OnSaveAs",         "OnLoadFinished", "OnCreate",
                                       "OnFocus",        "OnUnfocus",        "OnSaveDone",     "OnSaveAsDone",
                                       "OnTitleChanged", "OnStorageChanged", "OnUnload"};
  return std::any_of(std::begin(kNames), std::end(kNames),
                     [&](const char* n) { return name.equalsAscii(n); });
}

class OfficeListener
    : public cppu::WeakImplHelper3<css::frame::XTerminateListener, css::document::XDocumentEventListener,
                                   css::util::XCloseListener> {
 public:
  explicit OfficeListener(std::shared_ptr<EventQueue> queue) : queue_(std::move(queue)) {}

  void SAL_CALL queryTermination(const css::lang::EventObject&) override {}
  void SAL_CALL notifyTermination(const css::lang::EventObject&) override {
    queue(RawEvent::Kind::quit, {}, {});
  }
  void SAL_CALL documentEventOccured(const css::document::DocumentEvent& event) override {
    if (interesting(event.EventName)) queue(RawEvent::Kind::document, event.Source, event.EventName);
  }
  void SAL_CALL queryClosing(const css::lang::EventObject& event, sal_Bool) override {
    queue(RawEvent::Kind::queryClosing, event.Source, {});
  }
  void SAL_CALL notifyClosing(const css::lang::EventObject& event) override {
    queue(RawEvent::Kind::notifyClosing, event.Source, {});
  }
  void SAL_CALL disposing(const css::lang::EventObject&) override {}

 private:
  void queue(RawEvent::Kind kind, const Reference<XInterface>& source, const OUString& name) noexcept {
    try {
      queue_->push({kind, source, name});
    } catch (...) {
      // Out of memory: the event is lost, the office goes on.
    }
  }
  std::shared_ptr<EventQueue> queue_;
};

// The end of the remote connection: the office quit or died.
class BridgeWatch : public cppu::WeakImplHelper1<css::lang::XEventListener> {
 public:
  explicit BridgeWatch(std::shared_ptr<EventQueue> queue) : queue_(std::move(queue)) {}
  void SAL_CALL disposing(const css::lang::EventObject&) override {
    try {
      queue_->markGone();
    } catch (...) {
    }
  }

 private:
  std::shared_ptr<EventQueue> queue_;
};

// Answers every question the office would ask, so that no dialog can wait
// for a user who is not there. Loading refuses them all. Saving goes ahead
// where it can: a save is an explicit order, and the office's question (the
// file changed since it was loaded, say) would only stand in its way.
class InteractionHandler : public cppu::WeakImplHelper1<css::task::XInteractionHandler> {
 public:
  enum class Answer { refuse, goAhead };
  explicit InteractionHandler(Answer answer) : answer_(answer) {}

  void SAL_CALL handle(const Reference<css::task::XInteractionRequest>& request) override {
    if (!request.is()) return;
    const auto continuations = request->getContinuations();
    if (answer_ == Answer::goAhead) {
      for (const auto& continuation : continuations) {
        Reference<css::task::XInteractionApprove> approve(continuation, UNO_QUERY);
        if (approve.is()) {
          approve->select();
          return;
        }
      }
    }
    for (const auto& continuation : continuations) {
      Reference<css::task::XInteractionAbort> abort(continuation, UNO_QUERY);
      if (abort.is()) {
        abort->select();
        return;
      }
    }
    for (const auto& continuation : continuations) {
      Reference<css::task::XInteractionDisapprove> disapprove(continuation, UNO_QUERY);
      if (disapprove.is()) {
        disapprove->select();
        return;
      }
    }
  }

 private:
  const Answer answer_;
};

// Keeps SIGPIPE blocked on the calling thread while it lives. The remote
// bridge writes to the office's pipe without asking the system not to
// signal; an office that dies would then kill the host. The bridge's threads,
// which do the writing, inherit the mask of the thread that connects.
class SigpipeBlocked {
 public:
  SigpipeBlocked() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
  }
  ~SigpipeBlocked() {
    if (sigismember(&previous_, SIGPIPE)) return;
    // A broken pipe met while connecting is dropped rather than delivered.
    const timespec now{0, 0};
    while (sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

 private:
  sigset_t pipe_;
  sigset_t previous_;
};

// The local UNO runtime, bootstrapped once per process from the office's own
// bootstrap file (without it the runtime finds no types and fails). Never
// released: the runtime's own clean-up at exit may already have run.
Reference<css::uno::XComponentContext> localContext(std::string& error) {
  static std::mutex mutex;
  static Reference<css::uno::XComponentContext>& context = *new Reference<css::uno::XComponentContext>();
  std::lock_guard lock(mutex);
  if (context.is()) return context;
  try {
    rtl::Bootstrap::set("URE_BOOTSTRAP", "vnd.sun.star.pathname:" ORMID_OFFICE_PROGRAM_DIR "/fundamentalrc");
    context = cppu::defaultBootstrap_InitialComponentContext();
  } catch (const css::uno::Exception& e) {
    error = "cannot bootstrap the UNO runtime: " + utf8(e.Message);
  } catch (...) {
    error = "cannot bootstrap the UNO runtime";
  }
  return context;
}

// One attempt to reach an office on its pipe; null when none answers there.
Reference<css::connection::XConnection> tryConnect(const Reference<css::connection::XConnector>& connector,
                                                   const std::string& pipe) {
  try {
    return connector->connect("pipe,name=" + OUString::createFromAscii(pipe.c_str()));
  } catch (const css::connection::NoConnectException&) {
    return {};
  }
}

enum class Started { connected, failed, withoutWindows };

}  // namespace

class OfficeDocument {
 public:
  Reference<XInterface> key;
  Reference<css::frame::XModel> model;
  // The path a caller gave for it and the location the office reported right
  // after: as long as the location stays, the full name is that path exactly.
  std::u16string givenPath;
  OUString givenLocation;
  // The last full name seen, answered once the document has gone.
  std::u16string lastName;
  // The file as the office last read or wrote it.
  std::optional<FileStamp> stamp;
  bool closed = false;
  bool closeAnnounced = false;
};

struct OfficeSession::State {
  Log log;
  std::shared_ptr<EventQueue> queue;
  std::unique_ptr<OfficeProcess> process;
  bool headless = true;
  // The person's office, which outlives the host while it holds documents;
  // the lock on `lockPath` keeps two hosts from starting or ending it at once.
  bool personal = false;
  std::string lockPath;
  bool visible = false;
  LONG windowState = 0;
  bool ended = false;
  bool quitReported = false;

  Reference<css::uno::XComponentContext> remote;
  Reference<css::lang::XComponent> bridge;
  Reference<css::frame::XDesktop2> desktop;
  Reference<css::document::XDocumentEventBroadcaster> broadcaster;
  rtl::Reference<OfficeListener> listener;
  rtl::Reference<BridgeWatch> bridgeWatch;

  std::vector<std::shared_ptr<OfficeDocument>> documents;
  std::deque<std::shared_ptr<OfficeDocument>> closedRecently;
  // Components that are not ours to show: documents refused on open and
  // components that are not text documents.
  std::deque<Reference<XInterface>> foreign;

  void write(int severity, const char* function, const std::string& message) const {
    if (log && !exiting) log(severity, function, message);
  }

  bool alive() {
    if (ended || queue->gone()) return false;
    if (process && !process->running()) {
      queue->markGone();
      return false;
    }
    return true;
  }

  // Whether the office can still be reached: asked with a call of its own.
  bool connectionLost() noexcept {
    if (!alive()) return true;
    try {
      return !remote.is() || !remote->getServiceManager().is();
    } catch (...) {
      return true;
    }
  }

  // Runs a body that talks to the office; every exception becomes an HRESULT.
  template <class Body>
  HRESULT guarded(const char* function, Body&& body) noexcept {
    try {
      if (!alive()) return kServerUnavailable;
      return body();
    } catch (const css::lang::DisposedException& e) {
      // A document the person closed meanwhile says the same as a connection that has gone.
      if (!connectionLost()) {
        write(kError, function, "the document has been closed: " + utf8(e.Message));
        return kCommandFailed;
      }
      write(kError, function, "office connection lost: " + utf8(e.Message));
      queue->markGone();
      return kServerUnavailable;
    } catch (const css::uno::Exception& e) {
      if (!alive()) return kServerUnavailable;
      write(kError, function, "office error: " + utf8(e.Message));
      return kCommandFailed;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_FAIL;
    }
  }

  bool isForeign(const Reference<XInterface>& key) const {
    return std::any_of(foreign.begin(), foreign.end(), [&](const auto& f) { return f.get() == key.get(); });
  }
  void addForeign(const Reference<XInterface>& key) {
    foreign.push_back(key);
    if (foreign.size() > 64) foreign.pop_front();
  }

  std::shared_ptr<OfficeDocument> find(const Reference<XInterface>& key) const {
    for (const auto& document : documents) {
      if (document->key.get() == key.get()) return document;
    }
    for (const auto& document : closedRecently) {
      if (document->key.get() == key.get()) return document;
    }
    return nullptr;
  }

  std::shared_ptr<OfficeDocument> track(const Reference<css::frame::XModel>& model) {
    auto document = std::make_shared<OfficeDocument>();
    document->model = model;
    document->key = identity(model);
    Reference<css::util::XCloseBroadcaster> closing(model, UNO_QUERY);
    if (closing.is()) closing->addCloseListener(Reference<css::util::XCloseListener>(listener.get()));
    documents.push_back(document);
    refreshName(*document);
    return document;
  }

  void forget(OfficeDocument& document) {
    document.closed = true;
    const auto found =
        std::find_if(documents.begin(), documents.end(), [&](const auto& d) { return d.get() == &document; });
    if (found == documents.end()) return;
    closedRecently.push_back(*found);
    documents.erase(found);
    if (closedRecently.size() > 16) closedRecently.pop_front();
  }

  static bool isTextDocument(const Reference<XInterface>& component) {
    Reference<css::lang::XServiceInfo> info(component, UNO_QUERY);
    return info.is() && info->supportsService("com.sun.star.text.TextDocument");
  }

  // The document for an event's source; a text document the office opened
  // on the user's behalf is taken into the collection when first seen.
  std::shared_ptr<OfficeDocument> documentFor(const Reference<XInterface>& source, bool adopt) {
    if (!source.is() || isForeign(source)) return nullptr;
    // Events name their document by its XInterface already: no remote call,
    // which also finds documents after the office has gone.
    if (auto document = find(source)) return document;
    if (ended) return nullptr;
    const Reference<XInterface> key = identity(source);
    if (!key.is() || isForeign(key)) return nullptr;
    if (auto document = find(key)) return document;
    if (!adopt || !alive()) return nullptr;
    Reference<css::frame::XModel> model(key, UNO_QUERY);
    if (!model.is() || !isTextDocument(model)) {
      addForeign(key);
      return nullptr;
    }
    return track(model);
  }

  // Reads the document's full name: the path it was given while it stays
  // there, the path of its location otherwise, its title while unsaved.
  std::u16string refreshName(OfficeDocument& document) {
    Reference<css::frame::XStorable> storable(document.model, UNO_QUERY);
    const OUString location = storable.is() && storable->hasLocation() ? storable->getLocation() : OUString();
    if (location.isEmpty()) {
      Reference<css::frame::XTitle> title(document.model, UNO_QUERY);
      document.lastName = title.is() ? fromOffice(title->getTitle()) : std::u16string();
    } else if (location == document.givenLocation && !document.givenPath.empty()) {
      document.lastName = document.givenPath;
    } else {
      const std::u16string url = fromOffice(location);
      document.lastName = pathFromFileUrl(url).value_or(url);
    }
    return document.lastName;
  }

  // Notes the file as the office has just read or written it.
  void noteFile(OfficeDocument& document) {
    document.stamp = document.lastName.starts_with(u'/') ? stampOf(document.lastName) : std::nullopt;
  }

  // Closes a document without saving it and without any question.
  void closeDocument(OfficeDocument& document) {
    try {
      refreshName(document);
      Reference<css::util::XModifiable> modifiable(document.model, UNO_QUERY);
      if (modifiable.is()) modifiable->setModified(false);
    } catch (const css::uno::Exception&) {
      // Closing goes ahead; it never asks.
    }
    Reference<css::util::XCloseable> closeable(document.model, UNO_QUERY);
    if (closeable.is()) {
      closeable->close(true);
    } else {
      Reference<css::lang::XComponent>(document.model, UNO_QUERY_THROW)->dispose();
    }
    forget(document);
  }

  void closeQuietly(const Reference<XInterface>& component) {
    addForeign(identity(component));
    try {
      Reference<css::util::XCloseable> closeable(component, UNO_QUERY);
      if (closeable.is()) {
        closeable->close(true);
      } else if (Reference<css::lang::XComponent> disposable{component, UNO_QUERY}; disposable.is()) {
        disposable->dispose();
      }
    } catch (const css::uno::Exception&) {
    }
  }

  // Clears the modified flag of every open component, so that ending the
  // office cannot stop at a question about unsaved changes.
  void discardChanges() {
    Reference<css::container::XEnumeration> components = desktop->getComponents()->createEnumeration();
    while (components->hasMoreElements()) {
      Reference<css::util::XModifiable> modifiable(components->nextElement(), UNO_QUERY);
      try {
        if (modifiable.is()) modifiable->setModified(false);
      } catch (const css::uno::Exception&) {
      }
    }
  }

  css::uno::Sequence<css::beans::PropertyValue> loadArguments(bool withHandler) const {
    std::vector<css::beans::PropertyValue> args = {
        property("Hidden", css::uno::Any(headless || !visible)),
        // Documents come from outside: their macros never run, their links are never fetched.
        property("MacroExecutionMode", css::uno::Any(css::document::MacroExecMode::NEVER_EXECUTE)),
        property("UpdateDocMode", css::uno::Any(css::document::UpdateDocMode::NO_UPDATE)),
    };
    if (withHandler) {
      Reference<css::task::XInteractionHandler> handler(
          new InteractionHandler(InteractionHandler::Answer::refuse));
      args.push_back(property("InteractionHandler", css::uno::Any(handler)));
    }
    return css::uno::Sequence<css::beans::PropertyValue>(args.data(), static_cast<sal_Int32>(args.size()));
  }

  // Windows of frames that show something (a document or the start centre);
  // the frames the office keeps for itself have no controller.
  template <class Action>
  void forEachWindow(Action&& action) {
    Reference<css::container::XIndexAccess> frames(desktop->getFrames(), UNO_QUERY);
    if (!frames.is()) return;
    for (sal_Int32 i = 0; i < frames->getCount(); ++i) {
      Reference<css::frame::XFrame> frame(frames->getByIndex(i), UNO_QUERY);
      if (!frame.is() || !frame->getController().is()) continue;
      Reference<css::awt::XWindow> window = frame->getContainerWindow();
      if (window.is()) action(window);
    }
  }

  // The frame of the office's start centre, which a document opened next
  // replaces; null when there is none.
  Reference<css::frame::XFrame> startCentre() {
    Reference<css::container::XIndexAccess> frames(desktop->getFrames(), UNO_QUERY);
    if (!frames.is()) return {};
    for (sal_Int32 i = 0; i < frames->getCount(); ++i) {
      Reference<css::frame::XFrame> frame(frames->getByIndex(i), UNO_QUERY);
      if (!frame.is()) continue;
      Reference<css::frame::XController> controller = frame->getController();
      if (controller.is() && !controller->getModel().is()) return frame;
    }
    return {};
  }

  // An office with a display but no document shows its start centre, as the
  // word processor shows its empty window: something the person can see.
  void showStartCentre() {
    bool any = false;
    forEachWindow([&](const auto&) { any = true; });
    if (any) return;
    Reference<css::frame::XFrame> frame = desktop->findFrame("_blank", 0);
    if (!frame.is()) return;
    Reference<css::awt::XWindow> container = frame->getContainerWindow();
    Reference<css::frame::XController> start =
        css::frame::StartModule::createWithParentWindow(remote, container);
    frame->setComponent(Reference<css::awt::XWindow>(start, UNO_QUERY_THROW), start);
    start->attachFrame(frame);
    applyWindowState(container);
    container->setVisible(true);
  }

  void applyWindowState(const Reference<css::awt::XWindow>& window) {
    Reference<css::awt::XTopWindow2> top(window, UNO_QUERY);
    if (!top.is()) return;
    // Restored first: a minimised window cannot be maximised, and restoring
    // after maximising would undo it.
    if (windowState != 2 && top->getIsMinimized()) top->setIsMinimized(false);
    if (windowState == 2) {
      top->setIsMinimized(true);
    } else if (top->getIsMaximized() != (windowState == 1)) {
      top->setIsMaximized(windowState == 1);
    }
  }

  // The window a new document appeared in takes the application's state.
  void showDocumentWindow(const Reference<css::frame::XModel>& model) {
    if (headless || !visible) return;
    Reference<css::frame::XController> controller = model->getCurrentController();
    Reference<css::frame::XFrame> frame = controller.is() ? controller->getFrame() : nullptr;
    Reference<css::awt::XWindow> window = frame.is() ? frame->getContainerWindow() : nullptr;
    if (window.is()) applyWindowState(window);
  }

  // Loads a document into the start centre's frame when there is one, as the
  // office does when the person opens one from there; into a new frame otherwise.
  Reference<css::lang::XComponent> load(const OUString& url, bool withHandler) {
    if (!headless && visible) {
      Reference<css::frame::XComponentLoader> start(startCentre(), UNO_QUERY);
      if (start.is()) return start->loadComponentFromURL(url, "_self", 0, loadArguments(withHandler));
    }
    return desktop->loadComponentFromURL(url, "_blank", 0, loadArguments(withHandler));
  }

  // Whether the office holds a document of any kind, ours or the person's.
  bool holdsDocuments() {
    Reference<css::container::XEnumeration> components = desktop->getComponents()->createEnumeration();
    while (components->hasMoreElements()) {
      if (Reference<css::frame::XModel>(components->nextElement(), UNO_QUERY).is()) return true;
    }
    return false;
  }

  // Takes the documents the office already holds (the person's office, left
  // by an earlier host) into the collection, with their close listeners.
  void adoptOpenDocuments() {
    Reference<css::container::XEnumeration> components = desktop->getComponents()->createEnumeration();
    while (components->hasMoreElements()) {
      Reference<XInterface> component(components->nextElement(), UNO_QUERY);
      if (component.is()) documentFor(identity(component), true);
    }
  }

  // Leaves the person's office running with its documents: every listener
  // of ours removed, the connection closed in good order.
  void leave() {
    write(kDebug, "ormid::uno::OfficeSession::shutdown",
          "the office holds documents: it stays open for the person, the host disconnects");
    try {
      // A host that is exiting makes no more calls: the office notices the
      // closed connection and drops the listeners by itself.
      if (exiting) throw css::uno::RuntimeException();
      const Reference<css::util::XCloseListener> closes(listener.get());
      for (const auto& document : documents) {
        Reference<css::util::XCloseBroadcaster> closing(document->model, UNO_QUERY);
        if (closing.is()) closing->removeCloseListener(closes);
      }
      if (broadcaster.is())
        broadcaster->removeDocumentEventListener(
            Reference<css::document::XDocumentEventListener>(listener.get()));
      if (desktop.is())
        desktop->removeTerminateListener(Reference<css::frame::XTerminateListener>(listener.get()));
    } catch (const css::uno::Exception&) {
      // The office keeps a listener that no longer answers; it drops it itself.
    }
    ended = true;
    if (process) process->detach();
    disconnect();
  }

  // Ends a session nobody uses any more: the person's office stays when it
  // holds documents, any other goes.
  void release() {
    if (!personal || ended || !alive()) {
      end(true);
      return;
    }
    std::string error;
    const auto lock = FileLock::acquire(lockPath, std::chrono::seconds(10), error);
    bool holds = true;
    try {
      holds = exiting ? !documents.empty() : holdsDocuments();
    } catch (const css::uno::Exception&) {
      holds = false;  // an office that cannot answer has nothing to keep
    }
    if (holds) {
      leave();
    } else {
      end(!exiting);
    }
  }

  // The window of the frame in front: the office's current one, else the last
  // one that shows something.
  Reference<css::awt::XWindow> frontWindow() {
    Reference<css::frame::XFrame> frame = desktop->getCurrentFrame();
    if (frame.is() && frame->getController().is()) return frame->getContainerWindow();
    Reference<css::awt::XWindow> last;
    forEachWindow([&](const auto& window) { last = window; });
    return last;
  }

  // Starts the office and waits until it answers on its pipe.
  Started startOffice(const Reference<css::connection::XConnector>& connector,
                      const OfficeProcess::Options& options, const std::string& display,
                      Reference<css::connection::XConnection>& connection) {
    constexpr const char* kFunction = "ormid::uno::OfficeSession::create";
    const auto begin = std::chrono::steady_clock::now();
    headless = options.headless;
    std::string error;
    process = OfficeProcess::start(options, error);
    if (!process) {
      write(kError, kFunction, error);
      return Started::failed;
    }
    write(kDebug, kFunction,
          "office started, pid " + std::to_string(process->pid()) + ", pipe " + process->pipeName() +
              (headless ? ", headless" : ", with windows " + display + ", profile " + options.profile));
    // The office answers on its pipe about a second after it starts.
    constexpr auto kConnectTimeout = std::chrono::seconds(60);
    int restarts = 0;
    for (;;) {
      connection = tryConnect(connector, process->pipeName());
      if (connection.is() && !headless && !process->showsWindows()) {
        write(kWarning, kFunction, "the office runs without a window plugin: it could not open the display");
        try {
          connection->close();
        } catch (const css::uno::Exception&) {
        }
        connection.clear();
        process->stop(std::chrono::seconds(2));
        process.reset();
        return Started::withoutWindows;
      }
      if (connection.is()) return Started::connected;
      if (!process->running()) {
        const int code = process->exitCode().value_or(-1);
        // A person's office that is still ending hands a new start over to
        // itself and the new process leaves at once: it is tried again.
        const bool handedOver = process->personal() && code == 0;
        if ((OfficeProcess::wantsRestart(code) || handedOver) && restarts++ < 5) {
          if (handedOver) std::this_thread::sleep_for(std::chrono::milliseconds(500));
          if (process->restart(error)) continue;
        }
        if (!headless) {
          write(kWarning, kFunction,
                "the office ended before it answered, exit code " + std::to_string(code));
          process->stop(std::chrono::seconds(1));
          process.reset();
          return Started::withoutWindows;
        }
        write(kError, kFunction, "the office ended before it answered, exit code " + std::to_string(code));
        return Started::failed;
      }
      if (std::chrono::steady_clock::now() - begin > kConnectTimeout) {
        write(kError, kFunction, "the office did not answer in time");
        return Started::failed;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // Drops the connection to an office that has ended: stops the bridge's
  // threads and lets go of every remote object.
  void disconnect() {
    ended = true;
    try {
      if (bridge.is()) bridge->dispose();
    } catch (const css::uno::Exception&) {
    }
    // Kept for the close events still on their way.
    for (auto& document : documents) {
      document->closed = true;
      closedRecently.push_back(std::move(document));
    }
    documents.clear();
    broadcaster.clear();
    desktop.clear();
    remote.clear();
    bridge.clear();
    listener.clear();
    bridgeWatch.clear();
    if (exiting) {
      // Nothing of the runtime may be let go of once the exit handlers are done.
      for (auto& document : closedRecently) {
        document->model.clear();
        document->key.clear();
      }
      closedRecently.clear();
      foreign.clear();
      queue->take();
    }
  }

  // Ends the office: asked to terminate first (unless it has gone or the
  // host is exiting), then made to; reaped in any case. Safe to repeat.
  void end(bool askFirst) {
    const bool ask = askFirst && !ended && !exiting && alive();
    ended = true;
    if (ask) {
      try {
        discardChanges();
        if (!desktop->terminate())
          write(kError, "ormid::uno::OfficeSession::end", "the office refused to end");
      } catch (const css::uno::Exception&) {
        // The connection goes down with the office.
      }
    }
    if (process) {
      // An office that is quitting by itself is given the time to finish.
      if (ask || (quitReported && !exiting)) process->waitForExit(std::chrono::seconds(10));
      process->stop(std::chrono::seconds(exiting ? 1 : 2));
    }
    disconnect();
  }
};

namespace {

// Sessions still connected, so that an exiting host takes its offices along.
std::mutex sessionsMutex;
std::vector<std::weak_ptr<OfficeSession::State>> liveSessions;

void endSessionsAtExit() {
  exiting = true;
  std::vector<std::shared_ptr<OfficeSession::State>> sessions;
  {
    std::lock_guard lock(sessionsMutex);
    for (const auto& weak : liveSessions) {
      if (auto state = weak.lock()) sessions.push_back(std::move(state));
    }
    liveSessions.clear();
  }
  for (const auto& state : sessions) state->release();
}

// Called once a session is connected. The exit handler must run before the
// UNO runtime's own clean-up, which registers as it goes: exit handlers run
// in reverse order, so it is registered again after each connection (it runs
// its work once).
void registerSession(const std::shared_ptr<OfficeSession::State>& state) {
  std::atexit(endSessionsAtExit);
  std::lock_guard lock(sessionsMutex);
  std::erase_if(liveSessions, [](const auto& weak) { return weak.expired(); });
  liveSessions.push_back(state);
}

}  // namespace

HRESULT OfficeSession::create(Log log, std::function<void()> wake, std::shared_ptr<OfficeSession>& out,
                              Start start) {
  constexpr const char* kFunction = "ormid::uno::OfficeSession::create";
  const auto begin = std::chrono::steady_clock::now();
  auto state = std::make_shared<State>();
  state->log = std::move(log);
  state->queue = std::make_shared<EventQueue>(std::move(wake));
  state->visible = false;

  std::string display;
  const bool windows = canShowWindows(ORMID_OFFICE_PROGRAM_DIR, display);
  if (!windows && start == Start::attachOnly) return MK_E_UNAVAILABLE;
  std::string error;
  const Reference<css::uno::XComponentContext> local = localContext(error);
  if (!local.is()) {
    state->write(kError, kFunction, error);
    return REGDB_E_CLASSNOTREG;
  }
  if (!windows && (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")))
    state->write(kWarning, kFunction, "the office cannot show windows, it runs headless: " + display);

  auto answered = begin;
  bool attached = false;
  const SigpipeBlocked quiet;
  try {
    Reference<css::connection::XConnector> connector = css::connection::Connector::create(local);
    Reference<css::connection::XConnection> connection;
    OfficeProcess::Options options{ORMID_OFFICE_PROGRAM_DIR, !windows, {}, {}};
    // Held while the person's office is looked for and, when missing, started.
    std::unique_ptr<FileLock> lock;
    if (windows) {
      const std::string directory = personalDirectory(error);
      if (directory.empty()) {
        state->write(kWarning, kFunction, error + ": the office is private to this host");
      } else {
        state->personal = true;
        state->lockPath = directory + "/office.lock";
        lock = FileLock::acquire(state->lockPath, std::chrono::seconds(120), error);
        if (!lock) state->write(kWarning, kFunction, error);
        options.profile = directory + "/office-profile";
        options.pipeName = personalPipeName(options.profile);
        connection = tryConnect(connector, options.pipeName);
        if (connection.is()) {
          attached = true;
          state->headless = false;
          state->process = OfficeProcess::adopt(options, 0);
          state->write(kDebug, kFunction,
                       "attached to the running office, pipe " + options.pipeName + ", pid " +
                           (state->process ? std::to_string(state->process->pid()) : std::string("unknown")));
        }
      }
    }
    // Only a person's office with windows outlives its host to be found again.
    if (!connection.is() && start == Start::attachOnly) return MK_E_UNAVAILABLE;
    if (!connection.is()) {
      Started started = state->startOffice(connector, options, display, connection);
      if (started == Started::withoutWindows) {
        // Whatever stopped it, an office that can be used beats none.
        state->write(kWarning, kFunction,
                     "the office could not show windows " + display + ": it is started again, headless");
        state->personal = false;
        lock.reset();
        options = {ORMID_OFFICE_PROGRAM_DIR, true, {}, {}};
        started = state->startOffice(connector, options, display, connection);
      }
      if (started != Started::connected) {
        state->end(false);
        return E_FAIL;
      }
    }
    answered = std::chrono::steady_clock::now();

    Reference<css::bridge::XBridgeFactory2> bridges = css::bridge::BridgeFactory::create(local);
    Reference<css::bridge::XBridge> bridge = bridges->createBridge("", "urp", connection, nullptr);
    state->bridge.set(bridge, UNO_QUERY_THROW);
    state->bridgeWatch = new BridgeWatch(state->queue);
    state->bridge->addEventListener(Reference<css::lang::XEventListener>(state->bridgeWatch.get()));
    state->remote.set(bridge->getInstance("StarOffice.ComponentContext"), UNO_QUERY_THROW);
    state->desktop = css::frame::Desktop::create(state->remote);
    state->listener = new OfficeListener(state->queue);
    state->desktop->addTerminateListener(Reference<css::frame::XTerminateListener>(state->listener.get()));
    state->broadcaster.set(css::frame::theGlobalEventBroadcaster::get(state->remote), UNO_QUERY_THROW);
    state->broadcaster->addDocumentEventListener(
        Reference<css::document::XDocumentEventListener>(state->listener.get()));
    if (attached) state->adoptOpenDocuments();
  } catch (const css::uno::Exception& e) {
    state->write(kError, kFunction, "cannot connect to the office: " + utf8(e.Message));
    state->end(false);
    return E_FAIL;
  } catch (...) {
    state->end(false);
    return E_FAIL;
  }
  registerSession(state);
  const auto ms = [&](auto end) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(end - begin).count());
  };
  state->write(kDebug, kFunction,
               "office answered after " + ms(answered) + " ms, connected after " +
                   ms(std::chrono::steady_clock::now()) + " ms" +
                   (attached ? ", " + std::to_string(state->documents.size()) + " text documents open" : ""));
  out.reset(new OfficeSession(std::move(state)));
  return S_OK;
}

OfficeSession::~OfficeSession() { shutdown(); }

bool OfficeSession::alive() const { return state_->alive(); }

HRESULT OfficeSession::setVisible(bool visible) {
  return state_->guarded("ormid::uno::OfficeSession::setVisible", [&] {
    State& s = *state_;
    s.visible = visible;
    if (s.headless) return S_OK;
    if (visible) s.showStartCentre();
    s.forEachWindow([&](const auto& window) { window->setVisible(visible); });
    return S_OK;
  });
}

HRESULT OfficeSession::visible(bool& out) {
  return state_->guarded("ormid::uno::OfficeSession::visible", [&] {
    State& s = *state_;
    out = s.visible;
    if (s.headless) return S_OK;
    // The windows say; an office without any keeps what it was told.
    bool any = false;
    bool shown = false;
    s.forEachWindow([&](const auto& window) {
      any = true;
      Reference<css::awt::XWindow2> state(window, UNO_QUERY);
      if (state.is() && state->isVisible()) shown = true;
    });
    if (any) out = shown;
    return S_OK;
  });
}

HRESULT OfficeSession::activate() {
  return state_->guarded("ormid::uno::OfficeSession::activate", [&] {
    if (state_->headless) return S_OK;
    Reference<css::awt::XTopWindow> top(state_->frontWindow(), UNO_QUERY);
    if (top.is()) top->toFront();
    return S_OK;
  });
}

HRESULT OfficeSession::setWindowState(LONG windowState) {
  // The word processor's states: 0 normal, 1 maximised, 2 minimised.
  if (windowState < 0 || windowState > 2) return E_INVALIDARG;
  return state_->guarded("ormid::uno::OfficeSession::setWindowState", [&] {
    State& s = *state_;
    s.windowState = windowState;
    if (!s.headless) s.forEachWindow([&](const auto& window) { s.applyWindowState(window); });
    return S_OK;
  });
}

HRESULT OfficeSession::windowState(LONG& out) {
  return state_->guarded("ormid::uno::OfficeSession::windowState", [&] {
    State& s = *state_;
    out = s.windowState;
    if (s.headless) return S_OK;
    Reference<css::awt::XTopWindow2> top(s.frontWindow(), UNO_QUERY);
    if (top.is()) out = top->getIsMinimized() ? 2 : top->getIsMaximized() ? 1 : 0;
    return S_OK;
  });
}

HRESULT OfficeSession::quit() {
  if (!state_->alive()) return kServerUnavailable;
  std::string error;
  const auto lock =
      state_->personal ? FileLock::acquire(state_->lockPath, std::chrono::seconds(10), error) : nullptr;
  state_->end(true);
  // The terminate listener normally reports it; a quit nobody saw is reported anyway.
  state_->queue->markGone();
  return S_OK;
}

void OfficeSession::shutdown() { state_->release(); }

HRESULT OfficeSession::documents(std::vector<std::shared_ptr<OfficeDocument>>& out) {
  return state_->guarded("ormid::uno::OfficeSession::documents", [&] {
    State& s = *state_;
    // The office's own list decides: documents that went without telling us
    // are dropped, text documents we have not seen are taken in.
    std::vector<Reference<XInterface>> present;
    Reference<css::container::XEnumeration> components = s.desktop->getComponents()->createEnumeration();
    while (components->hasMoreElements()) {
      Reference<XInterface> component(components->nextElement(), UNO_QUERY);
      if (component.is()) present.push_back(identity(component));
    }
    const auto isPresent = [&](const Reference<XInterface>& key) {
      return std::any_of(present.begin(), present.end(), [&](const auto& p) { return p.get() == key.get(); });
    };
    for (const auto& document : std::vector(s.documents)) {
      if (!isPresent(document->key)) s.forget(*document);
    }
    for (const auto& key : present) s.documentFor(key, true);
    out = s.documents;
    return S_OK;
  });
}

HRESULT OfficeSession::add(std::shared_ptr<OfficeDocument>& out) {
  return state_->guarded("ormid::uno::OfficeSession::add", [&] {
    State& s = *state_;
    Reference<css::lang::XComponent> component = s.load("private:factory/swriter", false);
    Reference<css::frame::XModel> model(component, UNO_QUERY);
    if (!model.is()) return kCommandFailed;
    s.showDocumentWindow(model);
    out = s.find(identity(model));
    if (!out) out = s.track(model);
    return S_OK;
  });
}

HRESULT OfficeSession::open(const std::u16string& path, std::shared_ptr<OfficeDocument>& out) {
  constexpr const char* kFunction = "ormid::uno::OfficeSession::open";
  return state_->guarded(kFunction, [&] {
    State& s = *state_;
    const std::u16string absolute = absolutePath(validUtf16(path));
    const std::u16string url = fileUrlFromPath(absolute);
    if (url.empty()) return E_INVALIDARG;
    // A document that is open already is handed out again, not loaded
    // twice; unless its file was rewritten meanwhile, when the file's new
    // content replaces it.
    const std::u16string wanted = path.starts_with(u'/') ? validUtf16(path) : absolute;
    for (const auto& document : std::vector(s.documents)) {
      try {
        if (document->lastName != wanted || s.refreshName(*document) != wanted) continue;
      } catch (const css::uno::RuntimeException&) {
        continue;  // gone meanwhile: it is not the one
      }
      if (!document->stamp || stampOf(wanted) == document->stamp) {
        out = document;
        return S_OK;
      }
      s.closeDocument(*document);
      break;
    }
    Reference<css::lang::XComponent> component = s.load(toOffice(url), true);
    if (!component.is()) {
      s.write(kError, kFunction, "the office could not open " + utf8(toOffice(absolute)));
      return kCommandFailed;
    }
    Reference<css::frame::XModel> model(component, UNO_QUERY);
    if (!model.is() || !State::isTextDocument(model)) {
      s.write(kError, kFunction, "not a text document: " + utf8(toOffice(absolute)));
      s.closeQuietly(component);
      return kCommandFailed;
    }
    // Content the office does not recognise ends up read as plain text; a
    // file whose name promises a word processing format is refused then.
    OUString filter;
    for (const auto& arg : model->getArgs()) {
      if (arg.Name == "FilterName") arg.Value >>= filter;
    }
    if (isPlainTextFilter(fromOffice(filter)) && !namesPlainText(absolute)) {
      s.write(kError, kFunction, "the office could only read it as plain text: " + utf8(toOffice(absolute)));
      s.closeQuietly(component);
      return kCommandFailed;
    }
    out = s.find(identity(model));
    if (!out) out = s.track(model);
    s.showDocumentWindow(model);
    Reference<css::frame::XStorable> storable(model, UNO_QUERY);
    out->givenPath = wanted;
    out->givenLocation = storable.is() ? storable->getLocation() : OUString();
    s.refreshName(*out);
    s.noteFile(*out);
    return S_OK;
  });
}

HRESULT OfficeSession::fullName(OfficeDocument& document, std::u16string& out) {
  if (document.closed) {
    out = document.lastName;
    return S_OK;
  }
  const HRESULT hr = state_->guarded("ormid::uno::OfficeSession::fullName", [&] {
    out = state_->refreshName(document);
    return S_OK;
  });
  // A document that went while its event was on the way still has its name.
  if (FAILED(hr) && hr != kServerUnavailable && !document.lastName.empty()) {
    out = document.lastName;
    return S_OK;
  }
  return hr;
}

HRESULT OfficeSession::save(OfficeDocument& document) {
  if (document.closed) return RPC_E_DISCONNECTED;
  return state_->guarded("ormid::uno::OfficeSession::save", [&] {
    Reference<css::frame::XStorable2> storable(document.model, UNO_QUERY_THROW);
    // A document that was never saved has no place to be saved in.
    if (!storable->hasLocation() || storable->isReadonly()) return kCommandFailed;
    const Reference<css::task::XInteractionHandler> handler(
        new InteractionHandler(InteractionHandler::Answer::goAhead));
    const css::beans::PropertyValue args[] = {property("InteractionHandler", css::uno::Any(handler))};
    storable->storeSelf(css::uno::Sequence<css::beans::PropertyValue>(args, 1));
    state_->noteFile(document);
    return S_OK;
  });
}

HRESULT OfficeSession::saveAs(OfficeDocument& document, const std::u16string& path) {
  if (document.closed) return RPC_E_DISCONNECTED;
  return state_->guarded("ormid::uno::OfficeSession::saveAs", [&] {
    const std::u16string absolute = absolutePath(validUtf16(path));
    const std::u16string url = fileUrlFromPath(absolute);
    if (url.empty()) return E_INVALIDARG;
    Reference<css::frame::XStorable> storable(document.model, UNO_QUERY_THROW);
    // Without a filter the office writes its own format whatever the name says.
    const Reference<css::task::XInteractionHandler> handler(
        new InteractionHandler(InteractionHandler::Answer::goAhead));
    const std::vector<css::beans::PropertyValue> args = {
        property("FilterName", css::uno::Any(toOffice(storeFilterFor(absolute)))),
        property("Overwrite", css::uno::Any(true)),
        property("InteractionHandler", css::uno::Any(handler)),
    };
    storable->storeAsURL(toOffice(url), css::uno::Sequence<css::beans::PropertyValue>(
                                            args.data(), static_cast<sal_Int32>(args.size())));
    document.givenPath = path.starts_with(u'/') ? validUtf16(path) : absolute;
    document.givenLocation = storable->getLocation();
    state_->refreshName(document);
    state_->noteFile(document);
    return S_OK;
  });
}

HRESULT OfficeSession::close(OfficeDocument& document, bool saveChanges) {
  if (document.closed) return RPC_E_DISCONNECTED;
  if (saveChanges) {
    const HRESULT saved = save(document);
    if (FAILED(saved)) return saved;
  }
  return state_->guarded("ormid::uno::OfficeSession::close", [&] {
    state_->closeDocument(document);
    return S_OK;
  });
}

namespace {

void announceClose(const std::shared_ptr<OfficeDocument>& document, std::vector<SessionEvent>& out) {
  if (document->closeAnnounced) return;
  document->closeAnnounced = true;
  out.push_back({SessionEvent::Kind::beforeClose, document});
}

}  // namespace

HRESULT OfficeSession::saved(OfficeDocument& document, bool& out) {
  if (document.closed) return RPC_E_DISCONNECTED;
  return state_->guarded("ormid::uno::OfficeSession::saved", [&] {
    Reference<css::util::XModifiable> modifiable(document.model, UNO_QUERY_THROW);
    out = !modifiable->isModified();
    return S_OK;
  });
}

std::vector<SessionEvent> OfficeSession::takeEvents() {
  State& s = *state_;
  std::vector<SessionEvent> result;
  using Kind = SessionEvent::Kind;
  for (RawEvent& event : s.queue->take()) {
    try {
      if (event.kind == RawEvent::Kind::quit) {
        if (!s.quitReported) {
          // Documents that went with the office without a word (it died)
          // are closed for the page as well.
          for (const auto& document : std::vector(s.documents)) {
            announceClose(document, result);
            s.forget(*document);
          }
          s.quitReported = true;
          s.ended = true;
          if (s.process) s.process->running();  // reaps an office that has gone
          result.push_back({Kind::quit, nullptr});
        }
        continue;
      }
      // A document is closed once its model is: the question about unsaved
      // changes comes after the office announces the close, and the person
      // may still cancel there. The office reports the close twice (the
      // model's close listeners, the unload event); the page hears of it once.
      if (event.kind == RawEvent::Kind::notifyClosing ||
          (event.kind == RawEvent::Kind::document && event.name == "OnUnload")) {
        if (auto document = s.documentFor(event.source, false)) {
          announceClose(document, result);
          s.forget(*document);
        }
        continue;
      }
      if (event.kind == RawEvent::Kind::queryClosing) continue;
      // An office that has ended only reports its documents closing.
      if (s.ended) continue;
      const OUString& name = event.name;
      if (name == "OnSaveDone" || name == "OnSaveAsDone" || name == "OnTitleChanged" ||
          name == "OnStorageChanged") {
        auto document = s.documentFor(event.source, false);
        if (document && !document->closed) {
          s.refreshName(*document);
          if (name != "OnTitleChanged") s.noteFile(*document);
        }
        continue;
      }
      const bool adopt = name == "OnLoadFinished" || name == "OnCreate" || name == "OnFocus";
      auto document = s.documentFor(event.source, adopt);
      if (!document || document->closed) continue;
      if (name == "OnSave" || name == "OnSaveAs") {
        result.push_back({Kind::beforeSave, document});
      } else if (name == "OnLoadFinished") {
        result.push_back({Kind::opened, document});
      } else if (name == "OnCreate") {
        result.push_back({Kind::created, document});
      } else if (name == "OnFocus") {
        result.push_back({Kind::activated, document});
      } else if (name == "OnUnfocus") {
        result.push_back({Kind::deactivated, document});
      }
    } catch (const css::uno::Exception&) {
      // A document that went away meanwhile: its event is dropped.
    } catch (const std::bad_alloc&) {
    }
  }
  return result;
}

}  // namespace ormid::uno
