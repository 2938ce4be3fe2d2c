// The application's state and what it does on behalf of its objects and of
// the user: opening, adding, saving and closing documents, quitting, and the
// events each of these raises on the advised sinks.
#include <algorithm>
#include <cstdio>

#include "standin/file_io.h"
#include "standin/object_model.h"

namespace ormid::standin {
namespace {

template <class... Values>
std::vector<Variant> variants(Values&&... values) {
  std::vector<Variant> result;
  result.reserve(sizeof...(values));
  (result.push_back(std::forward<Values>(values)), ...);
  return result;
}

std::u16string decimal(int number) {
  const std::string digits = std::to_string(number);
  return std::u16string(digits.begin(), digits.end());
}

std::string hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

}  // namespace

void reportProblem(std::string_view text) {
  std::string line = "ormid standin: ";
  line.append(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

AppCore::AppCore(const ApplicationOptions& options)
    : faults_(options.faults),
      post_(options.post),
      onQuit_(options.onQuit),
      endProcess_(options.endProcess),
      makeBusy_(options.makeBusy) {}

AppCore::~AppCore() {
  // Stop taking user actions before the documents and sinks go.
  reader_.reset();
}

void AppCore::startControl(const std::string& path) {
  if (!post_) {
    reportProblem("no way to reach the automation thread; control FIFO not read");
    return;
  }
  std::weak_ptr<AppCore> weak = weak_from_this();
  Poster post = post_;
  std::string problem;
  reader_ = ControlReader::start(
      path,
      [weak, post](std::string line) {
        post([weak, line = std::move(line)] {
          // The application may have been destroyed since the line was read.
          if (const std::shared_ptr<AppCore> core = weak.lock()) {
            core->perform(line);
          } else {
            reportProblem("ignored, the application is gone: " + line);
          }
        });
      },
      problem);
  if (!reader_) reportProblem(problem);
}

HRESULT AppCore::enter() {
  if (quit_) return kServerUnavailable;
  if (callsToReject_ > 0) {
    --callsToReject_;
    return kCallRejected;
  }
  return S_OK;
}

HRESULT AppCore::admit(ObjectKind object, std::u16string_view member) const {
  if (faults_.empty()) return S_OK;
  const auto fault = faults_.find({object, lowerAscii(member)});
  if (fault == faults_.end()) return S_OK;
  if (fault->second == kEndProcessFault) {
    if (endProcess_) endProcess_();
    reportProblem("the exit fault needs a server process of its own; the call fails instead");
    return E_FAIL;
  }
  return fault->second;
}

ComPtr<Document> AppCore::findOpen(const std::u16string& name) const {
  const std::u16string canonical = canonicalName(name);
  for (const ComPtr<Document>& document : documents_) {
    if (sameName(document->fullName, canonical) || sameName(document->fullName, name)) return document;
  }
  return nullptr;
}

HRESULT AppCore::openDocument(const std::u16string& path, ComPtr<Document>& opened) {
  const std::u16string fullName = canonicalName(path);
  // A document already open is handed back as it is, with its changes, without
  // reading the file again.
  if (ComPtr<Document> open = findOpen(fullName)) {
    opened = std::move(open);
    return S_OK;
  }
  std::string content;
  if (!readWholeFile(fullName, content)) return kFileNotFound;
  auto document =
      ComPtr<Document>::attach(new Document(weak_from_this(), fullName, std::move(content), true));
  documents_.push_back(document);
  opened = document;
  raise(kDocumentOpenEvent, variants(Variant::dispatch(document.get())));
  return quit_ ? kServerUnavailable : S_OK;
}

HRESULT AppCore::addDocument(ComPtr<Document>& added) {
  auto document = ComPtr<Document>::attach(
      new Document(weak_from_this(), u"Document" + decimal(++documentsAdded_), std::string(), false));
  documents_.push_back(document);
  added = document;
  raise(kNewDocumentEvent, variants(Variant::dispatch(document.get())));
  return quit_ ? kServerUnavailable : S_OK;
}

HRESULT AppCore::saveDocument(const ComPtr<Document>& document, const std::optional<std::u16string>& path,
                              std::optional<LONG> format) {
  // A document never saved has no place to be saved in.
  if (!path && !document->hasFile) return kCommandFailed;
  const std::u16string target = path ? canonicalName(*path) : document->fullName;
  if (target.empty()) return kCommandFailed;
  // Two open documents never share a name.
  if (!sameName(target, document->fullName) && findOpen(target)) return kCommandFailed;

  VARIANT_BOOL saveAsUi = VARIANT_FALSE;
  VARIANT_BOOL cancel = VARIANT_FALSE;
  raise(kDocumentBeforeSaveEvent,
        variants(Variant::dispatch(document.get()), Variant::boolRef(&saveAsUi), Variant::boolRef(&cancel)));
  // The sinks may have quit the application or closed the document meanwhile.
  if (quit_) return kServerUnavailable;
  if (document->closed) return kObjectDeleted;
  if (cancel != VARIANT_FALSE) return kCommandFailed;
  std::string content =
      format && !document->hasFile ? "format=" + std::to_string(*format) : document->content;
  if (!writeWholeFile(target, content)) return kCommandFailed;
  document->content = std::move(content);
  document->fullName = target;
  document->hasFile = true;
  document->saved = true;
  return S_OK;
}

HRESULT AppCore::closeDocument(const ComPtr<Document>& document, bool saveChanges) {
  if (saveChanges) {
    const HRESULT saved = saveDocument(document, std::nullopt);
    if (FAILED(saved)) return saved;
  }
  VARIANT_BOOL cancel = VARIANT_FALSE;
  raise(kDocumentBeforeCloseEvent, variants(Variant::dispatch(document.get()), Variant::boolRef(&cancel)));
  if (quit_) return kServerUnavailable;
  if (document->closed) return S_OK;  // a sink closed it already
  if (cancel != VARIANT_FALSE) return kCommandFailed;
  document->closed = true;
  std::erase_if(documents_, [&](const ComPtr<Document>& open) { return open.get() == document.get(); });
  return S_OK;
}

HRESULT AppCore::quit(bool saveChanges) {
  if (quitting_) return S_OK;  // a sink quits again from the quit event
  if (saveChanges) {
    const std::vector<ComPtr<Document>> open = documents_;
    for (const ComPtr<Document>& document : open) {
      if (document->closed) continue;
      const HRESULT saved = saveDocument(document, std::nullopt);
      if (FAILED(saved)) return saved;
    }
  }
  quitting_ = true;
  // The documents close one by one before the application goes, each with its event.
  const std::vector<ComPtr<Document>> open = documents_;
  for (const ComPtr<Document>& document : open) {
    if (document->closed) continue;
    const HRESULT closed = closeDocument(document, false);
    if (FAILED(closed)) {
      quitting_ = false;  // a sink kept its document open: the application stays
      return closed;
    }
  }
  raise(kQuitEvent, {});
  shutDown();
  if (onQuit_) onQuit_();
  return S_OK;
}

void AppCore::shutDown() {
  quit_ = true;
  // Everything is let go only once the state is final: releasing a sink or a
  // document may run code that calls back.
  std::vector<ComPtr<Document>> documents = std::move(documents_);
  documents_.clear();
  for (const ComPtr<Document>& document : documents) document->closed = true;
  std::vector<Sink> sinks = std::move(sinks_);
  sinks_.clear();
  std::unique_ptr<ControlReader> reader = std::move(reader_);
}

void AppCore::activateWindow(bool active) {
  // The window is represented by its document; without a document both are empty.
  Variant document;
  Variant window;
  if (!documents_.empty()) {
    document = Variant::dispatch(documents_.back().get());
    window = Variant::dispatch(documents_.back().get());
  }
  raise(active ? kWindowActivateEvent : kWindowDeactivateEvent,
        variants(std::move(document), std::move(window)));
}

HRESULT AppCore::advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  *cookie = 0;
  if (quit_) return kServerUnavailable;
  ComPtr<IDispatch> events;
  if (FAILED(sink->QueryInterface(kApplicationEventsIid, events.putVoid())) || !events) {
    if (FAILED(sink->QueryInterface(IID_IDispatch, events.putVoid())) || !events)
      return CONNECT_E_CANNOTCONNECT;
  }
  sinks_.push_back(Sink{nextCookie_, std::move(events)});
  *cookie = nextCookie_++;
  return S_OK;
}

HRESULT AppCore::unadvise(DWORD cookie) {
  if (quit_) return kServerUnavailable;
  const auto found =
      std::find_if(sinks_.begin(), sinks_.end(), [&](const Sink& s) { return s.cookie == cookie; });
  if (found == sinks_.end()) return CONNECT_E_NOCONNECTION;
  const ComPtr<IDispatch> released = std::move(found->sink);  // let go after the list is consistent
  sinks_.erase(found);
  return S_OK;
}

void AppCore::raise(EventId event, std::vector<Variant> args) {
  if (sinks_.empty()) return;
  // The sinks may unadvise, advise or drop references while being called.
  const std::vector<Sink> snapshot = sinks_;
  std::vector<VARIANT> reversed(args.size());
  for (const Sink& sink : snapshot) {
    const bool stillAdvised =
        std::any_of(sinks_.begin(), sinks_.end(), [&](const Sink& s) { return s.cookie == sink.cookie; });
    if (!stillAdvised) continue;
    // The arguments travel last first; each sink gets them afresh.
    for (std::size_t i = 0; i < args.size(); ++i) reversed[i] = *args[args.size() - 1 - i].get();
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                      static_cast<UINT>(reversed.size()), 0};
    // What a sink returns does not change what the application does.
    sink.sink->Invoke(event, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                      nullptr);
  }
}

void AppCore::perform(const std::string& line) {
  if (line.empty()) return;
  std::string problem;
  const std::optional<ControlAction> action = parseControlLine(line, problem);
  if (!action) {
    reportProblem("ignored control line (" + problem + "): " + line);
    return;
  }
  if (quit_) {
    reportProblem("ignored control line, the application has quit: " + line);
    return;
  }
  using Kind = ControlAction::Kind;
  HRESULT result = S_OK;
  switch (action->kind) {
    case Kind::quit:
      result = quit(false);
      break;
    case Kind::activate:
    case Kind::deactivate:
      activateWindow(action->kind == Kind::activate);
      break;
    case Kind::busy:
      if (makeBusy_) {
        makeBusy_(action->calls);
      } else {
        callsToReject_ = action->calls;
      }
      break;
    case Kind::crash:
      if (endProcess_) endProcess_();
      reportProblem("ignored control line, a crash needs a server process of its own: " + line);
      return;
    case Kind::open: {
      ComPtr<Document> opened;
      result = openDocument(action->fullName, opened);
      break;
    }
    case Kind::save:
    case Kind::saveAs:
    case Kind::close:
    case Kind::edit: {
      const ComPtr<Document> document = findOpen(action->fullName);
      if (!document) {
        reportProblem("ignored control line, no such open document: " + line);
        return;
      }
      if (action->kind == Kind::save) {
        result = saveDocument(document, std::nullopt);
      } else if (action->kind == Kind::saveAs) {
        result = saveDocument(document, action->newFullName);
      } else if (action->kind == Kind::close) {
        result = closeDocument(document, false);
      } else {
        document->content = action->content;
        document->saved = false;
      }
      break;
    }
  }
  if (FAILED(result)) reportProblem("control line failed with " + hex(result) + ": " + line);
}

}  // namespace ormid::standin
