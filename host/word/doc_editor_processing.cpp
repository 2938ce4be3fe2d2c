#include "host/word/doc_editor_processing.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "host/automation/automation.h"
#include "host/base64/base64.h"
#include "host/core/core.h"
#include "host/core/log.h"
#include "host/events/listener.h"
#include "host/text/text.h"
#include "ormid/platform/platform.h"
#include "ormid/word_events.h"

namespace ormid {
namespace {

constexpr const char* kOpenEditor = "ormid::DocEditorProcessing::openEditor";
constexpr const char* kOpenWord = "ormid::DocEditorProcessing::openWordAplication";
constexpr const char* kCloseWord = "ormid::DocEditorProcessing::closeWordAplication";
constexpr const char* kOpenDocument = "ormid::DocEditorProcessing::openDocument";
constexpr const char* kCreateDocument = "ormid::DocEditorProcessing::createDocument";
constexpr const char* kSaveDocument = "ormid::DocEditorProcessing::saveDocument";
constexpr const char* kCloseDocument = "ormid::DocEditorProcessing::closeDocument";
constexpr const char* kGetDocument = "ormid::DocEditorProcessing::getDocument";
constexpr const char* kRemoveDocument = "ormid::DocEditorProcessing::removeDocument";

// Files of this size or more cannot be delivered: their size does not fit the
// 32-bit count the transfer uses.
constexpr std::uint64_t kMaxDocumentBytes = 0x80000000ull;

long hrValue(HRESULT hr) { return static_cast<long>(hr); }

bool fail(std::u16string& description, const char16_t* text) {
  description = text;
  return false;
}

// Results that mean the word processor's process is gone (or unreachable),
// not that one call was refused.
constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);  // RPC_S_SERVER_UNAVAILABLE
constexpr HRESULT kCallFailed = static_cast<HRESULT>(0x800706BE);         // RPC_S_CALL_FAILED
bool meansGone(HRESULT hr) {
  return hr == RPC_E_DISCONNECTED || hr == kServerUnavailable || hr == kCallFailed;
}

// After a call failed as if the word processor had gone: the application
// object itself is asked (a closed document's object fails the same way while
// the word processor lives). When it is gone too, the connection is dropped
// and the page told that the host's documents are closed, so that the next
// command starts a new one instead of failing on the dead one. True when dropped.
bool dropIfGone(HRESULT hr, const char* function) REQUIRES(core().lock) {
  WordConnection& c = core().connection;
  if (!meansGone(hr) || !c.wordApplication) return false;
  com::Variant ignored;
  const HRESULT probe = AutomationCall(c.wordApplication.get(), CallKind::get, "Visible", {}, ignored.put());
  if (!meansGone(probe)) return false;
  ORMID_LOG(error, function) << "Word application connection lost = " << hrValue(probe);
  const std::vector<std::string> documents = std::move(c.documents);
  clearWordResource();
  for (const std::string& fullName : documents) {
    DocEditorEventListener::sendEvent(core().eventSink, u"documentCloseEvent", fullName);
  }
  return true;
}

// Every call on the word processor's objects during a command goes through here.
HRESULT wordCall(IDispatch* target, CallKind kind, const char* name, const char* function,
                 std::initializer_list<const VARIANT*> arguments = {}, VARIANT* result = nullptr)
    REQUIRES(core().lock) {
  const HRESULT hr = AutomationCall(target, kind, name, arguments, result);
  if (FAILED(hr)) dropIfGone(hr, function);
  return hr;
}

// Close and Quit without saving: do not save changes, keep the original
// format, do not route.
HRESULT closeWithoutSaving(IDispatch* target, const char* member, const char* function)
    REQUIRES(core().lock) {
  const com::Variant doNotSave = com::Variant::i4(0);
  const com::Variant originalFormat = com::Variant::i4(1);
  const com::Variant doNotRoute = com::Variant::boolean(false);
  return wordCall(target, CallKind::method, member, function,
                  {doNotSave.get(), originalFormat.get(), doNotRoute.get()});
}

// Common checks of every operation on a named document.
bool checkName(const std::string& nameFile, const char* function, std::u16string& description) {
  if (nameFile.empty()) {
    ORMID_LOG(error, function) << "File name is empty...";
    return fail(description, u"File name is empty");
  }
  if (!isSafeFileName(nameFile)) {
    ORMID_LOG(error, function) << "Invalid file name " << fromAnsi(nameFile);
    return fail(description, u"Invalid file name");
  }
  return true;
}

// The working directory in its long form (the word processor reports full
// names so) followed by the name.
std::string documentPath(const std::string& workingDirectory, const std::string& nameFile) {
  std::string directory = platform::longPathName(workingDirectory);
  const char separator = platform::pathSeparator();
  if (!workingDirectory.empty() && workingDirectory.back() == separator &&
      (directory.empty() || directory.back() != separator)) {
    directory += separator;
  }
  return directory + nameFile;
}

void deleteQuietly(const std::string& path, const char* function) {
  if (!platform::deleteFile(path)) ORMID_LOG(error, function) << "Error delete file " << fromAnsi(path);
}

// Gets the documents collection of the running word processor.
bool getDocuments(com::ComPtr<IDispatch>& documents, const char* function, std::u16string& description)
    REQUIRES(core().lock) {
  com::Variant value;
  const HRESULT hr = wordCall(core().connection.wordApplication.get(), CallKind::get, "Documents", function,
                              {}, value.put());
  documents = value.dispatchValue();
  if (FAILED(hr) || !documents) {
    ORMID_LOG(error, function) << "Get documents error = " << hrValue(FAILED(hr) ? hr : E_POINTER);
    return fail(description, u"Error get documents");
  }
  return true;
}

bool startWordIfNeeded(const char* function, std::u16string& description) REQUIRES(core().lock) {
  if (core().connection.wordApplication) return true;
  ORMID_LOG(debug, function) << "Word application opening...";
  return DocEditorProcessing::openWordAplication(description);
}

// The documents collection, starting the word processor when it is not
// running, and once more when the one running is found gone.
bool documentsStartingWord(com::ComPtr<IDispatch>& documents, const char* function,
                           std::u16string& description) REQUIRES(core().lock) {
  for (int attempt = 0;; ++attempt) {
    if (!startWordIfNeeded(function, description)) return false;
    if (getDocuments(documents, function, description)) return true;
    if (core().connection.wordApplication || attempt > 0) return false;
  }
}

// The text of a FullName value; false when it cannot be had as text.
bool fullNameText(const com::Variant& value, std::u16string& text, bool& isNull) {
  isNull = false;
  if (value.type() == VT_BSTR) {
    isNull = value.get()->bstrVal == nullptr;
    text = com::bstrText(value.get()->bstrVal);
    return true;
  }
  com::Variant converted;
  if (FAILED(VariantChangeType(converted.get(), value.get(), 0, VT_BSTR)) || converted.type() != VT_BSTR) {
    return false;
  }
  isNull = converted.get()->bstrVal == nullptr;
  text = com::bstrText(converted.get()->bstrVal);
  return true;
}

// One open document of the word processor.
struct OpenDocument {
  com::ComPtr<IDispatch> object;
  std::u16string fullName;
};

// Calls `visit` with each open document, in the collection's order, until it
// returns false. A document whose Item or FullName fails is logged and
// skipped. False, with the description set, when the collection or its count
// cannot be had.
bool forEachDocument(const char* function, std::u16string& description,
                     const std::function<bool(OpenDocument&)>& visit, const char* progress = nullptr,
                     std::u16string_view subject = {}) REQUIRES(core().lock) {
  com::ComPtr<IDispatch> documents;
  if (!getDocuments(documents, function, description)) return false;

  com::Variant countValue;
  HRESULT hr = wordCall(documents.get(), CallKind::get, "Count", function, {}, countValue.put());
  if (FAILED(hr)) {
    ORMID_LOG(error, function) << "Get documents count error = " << hrValue(hr);
    return fail(description, u"Error get documents count");
  }
  LONG count = 0;
  com::Variant asNumber;
  if (countValue.type() == VT_I4 || countValue.type() == VT_INT) {
    count = countValue.get()->lVal;
  } else if (SUCCEEDED(VariantChangeType(asNumber.get(), countValue.get(), 0, VT_I4))) {
    count = asNumber.get()->lVal;
  }
  ORMID_LOG(debug, function) << "Open " << static_cast<long>(count) << " documents...";
  if (progress) ORMID_LOG(debug, function) << progress << subject;

  for (LONG index = 1; index <= count && core().connection.wordApplication; ++index) {
    const com::Variant indexValue = com::Variant::i4(index);
    com::Variant item;
    hr = wordCall(documents.get(), CallKind::method, "Item", function, {indexValue.get()}, item.put());
    if (FAILED(hr)) {
      ORMID_LOG(error, function) << "Get document item " << static_cast<long>(index)
                                 << " error = " << hrValue(hr);
      continue;
    }
    OpenDocument document{item.dispatchValue(), {}};
    com::Variant fullName;
    hr = wordCall(document.object.get(), CallKind::get, "FullName", function, {}, fullName.put());
    if (FAILED(hr)) {
      ORMID_LOG(error, function) << "Get document " << static_cast<long>(index)
                                 << " full name error = " << hrValue(hr);
      continue;
    }
    bool isNull = false;
    if (!fullNameText(fullName, document.fullName, isNull)) {
      // Not text: it cannot be the document asked for.
      ORMID_LOG(error, function) << "Get document " << static_cast<long>(index) << " full name is not text";
      continue;
    }
    if (isNull) {
      ORMID_LOG(verbose, function) << "Compare file (null)";
    } else {
      ORMID_LOG(verbose, function) << "Compare file " << document.fullName;
    }
    if (!visit(document)) break;
  }
  return true;
}

enum class Search { found, missing, failed };

// Looks for the open document whose full name is `path`, as the file system
// compares names.
Search searchDocument(const std::string& path, const char* progress, const char* function,
                      com::ComPtr<IDispatch>& found, std::u16string& description) REQUIRES(core().lock) {
  const std::u16string wanted = fromAnsi(path);
  const bool listed = forEachDocument(
      function, description,
      [&](OpenDocument& document) {
        if (!platform::samePath(document.fullName, wanted)) return true;
        found = std::move(document.object);
        return false;
      },
      progress, wanted);
  if (!listed) return Search::failed;
  return found ? Search::found : Search::missing;
}

// Why the listener could not be attached to the application's events.
struct ListenFailure {
  const char* logText;  // followed by the HRESULT; null when already logged
  HRESULT hr;
  const char16_t* description;
};

// Advises a new listener on the events of the connected application: its
// connection point container, the connection point, the listener, the advise.
std::optional<ListenFailure> listenToEvents() REQUIRES(core().lock) {
  WordConnection& c = core().connection;
  com::ComPtr<IConnectionPointContainer> container;
  HRESULT hr = c.wordApplication.queryInterface(IID_IConnectionPointContainer, container);
  if (FAILED(hr) || !container) {
    return ListenFailure{"Get connection point container error = ", FAILED(hr) ? hr : E_NOINTERFACE,
                         u"Error get connection point container"};
  }
  com::ComPtr<IConnectionPoint> connectionPoint;
  hr = container->FindConnectionPoint(IID_WordApplicationEvents, connectionPoint.put());
  if (FAILED(hr) || !connectionPoint) {
    return ListenFailure{"Find connection point error = ", FAILED(hr) ? hr : E_POINTER,
                         u"Error find connection point"};
  }
  DocEditorEventListener* listener = new (std::nothrow) DocEditorEventListener(core().eventSink);
  if (!listener) {
    ORMID_LOG(error, kOpenWord) << "Error allocate memory for event listner...";
    return ListenFailure{nullptr, S_OK, u"Error allocate memory for event listner"};
  }
  c.eventListener = com::ComPtr<IDispatch>(listener);  // count 1 before Advise
  DWORD cookie = 0;
  hr = connectionPoint->Advise(c.eventListener.get(), &cookie);
  if (FAILED(hr)) return ListenFailure{"Advise event listner error = ", hr, u"Error advise event listner"};
  c.advise = com::AdviseToken(std::move(connectionPoint), cookie);
  return std::nullopt;
}

// A word processor that already runs for the user (one a previous host left
// with the user's documents) is taken over: listened to, not started, shown
// or quit. False when none runs.
bool attachRunningWord(const char* function) REQUIRES(core().lock) {
  WordConnection& c = core().connection;
  CLSID clsid{};
  com::ComPtr<IUnknown> running;
  if (FAILED(CLSIDFromProgID(com::ole(u"Word.Application"), &clsid)) ||
      FAILED(GetActiveObject(clsid, nullptr, running.put())) || !running ||
      FAILED(running.queryInterface(IID_IDispatch, c.wordApplication)) || !c.wordApplication) {
    c.wordApplication.reset();
    return false;
  }
  if (const std::optional<ListenFailure> failure = listenToEvents()) {
    if (failure->logText) ORMID_LOG(error, function) << failure->logText << hrValue(failure->hr);
    c.eventListener.reset();
    c.wordApplication.reset();
    return false;
  }
  ORMID_LOG(debug, function) << "Word application attached...";
  return true;
}

// Checks shared by save and close: a name, a running word processor, the document.
bool findOpenDocument(const std::string& path, const std::string& nameFile, const char* progress,
                      const char* function, com::ComPtr<IDispatch>& document, std::u16string& description)
    REQUIRES(core().lock) {
  if (!checkName(nameFile, function, description)) return false;
  if (!core().connection.wordApplication && !attachRunningWord(function)) {
    ORMID_LOG(error, function) << "Word application not running...";
    return fail(description, u"Word application not running");
  }
  switch (searchDocument(path, progress, function, document, description)) {
    case Search::found:
      return true;
    case Search::failed:
      return false;
    case Search::missing:
      break;
  }
  ORMID_LOG(error, function) << "Document " << fromAnsi(path) << " not openning...";
  return fail(description, u"Document not openning");
}

// The word processor's file format for a new document's name, by its
// extension; none (the word processor's default) for others.
std::optional<LONG> fileFormatFor(const std::string& nameFile) {
  const std::size_t dot = nameFile.rfind('.');
  if (dot == std::string::npos) return std::nullopt;
  std::string extension = nameFile.substr(dot + 1);
  for (char& ch : extension) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  static constexpr std::pair<std::string_view, LONG> kFormats[] = {
      {"doc", 0},    // binary document
      {"txt", 2},    // plain text
      {"rtf", 6},    // rich text
      {"htm", 8},    // web page
      {"html", 8},   //
      {"docx", 12},  // XML document
      {"docm", 13},  // XML document with macros
      {"xml", 19},   // flat XML document
      {"odt", 23},   // OpenDocument text
  };
  for (const auto& [name, format] : kFormats) {
    if (extension == name) return format;
  }
  return std::nullopt;
}

}  // namespace

bool isSafeFileName(const std::string& nameFile) {
  if (nameFile == "." || nameFile == "..") return false;
  return nameFile.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

bool DocEditorProcessing::openEditor(std::u16string& description) {
  ORMID_DCHECK_MAIN_THREAD();
  if (core().connection.wordApplication) {
    ORMID_LOG(debug, kOpenEditor) << "Word application is already open...";
    return fail(description, u"Word application is already open");
  }
  return openWordAplication(description);
}

bool DocEditorProcessing::openWordAplication(std::u16string& description) {
  ORMID_DCHECK_MAIN_THREAD();
  WordConnection& c = core().connection;
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(com::ole(u"Word.Application"), &clsid);
  if (SUCCEEDED(hr)) {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, c.wordApplication.putVoid());
  }
  if (FAILED(hr) || !c.wordApplication) {
    c.wordApplication.reset();
    ORMID_LOG(error, kOpenWord) << "Create instance Word.Application error = "
                                << hrValue(FAILED(hr) ? hr : E_POINTER);
    return fail(description, u"Error create instace word application");
  }
  // A start that fails half-way quits the instance it created: released
  // without Quit, it would stay running, unseen, and every retry by the page
  // would leave one more behind.
  auto quitAndFail = [&](const char* text, HRESULT code, const char16_t* answer) {
    core().lock.assertHeld();  // called only from here, under the lock
    if (text) ORMID_LOG(error, kOpenWord) << text << hrValue(code);
    c.eventListener.reset();
    const com::ComPtr<IDispatch> application = std::move(c.wordApplication);
    const HRESULT quit = closeWithoutSaving(application.get(), "Quit", kOpenWord);
    if (FAILED(quit)) ORMID_LOG(error, kOpenWord) << "Close word application error = " << hrValue(quit);
    return fail(description, answer);
  };

  const com::Variant visible = com::Variant::boolean(true);
  hr = AutomationCall(c.wordApplication.get(), CallKind::put, "Visible", {visible.get()});
  if (FAILED(hr))
    return quitAndFail("Create word application visible error = ", hr,
                       u"Error create visible word application");

  // Wait until the word processor reports itself visible; a failed read keeps
  // the previous value, a first failed read ends the wait. Bounded, so that a
  // word processor that never shows itself cannot hold the main thread.
  com::Variant state;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kVisibleWaitMilliseconds);
  int reads = 0;
  auto isFalse = [&state] { return state.type() == VT_BOOL && state.get()->boolVal == VARIANT_FALSE; };
  do {
    com::Variant read;
    hr = AutomationCall(c.wordApplication.get(), CallKind::get, "Visible", {}, read.put());
    ++reads;
    if (SUCCEEDED(hr) || reads == 1) state = std::move(read);
    if (!isFalse()) break;
  } while (reads < kVisibleWaitReads && std::chrono::steady_clock::now() < deadline);
  if (isFalse())
    return quitAndFail("Create word application visible error = ", FAILED(hr) ? hr : E_FAIL,
                       u"Error create visible word application");

  hr = AutomationCall(c.wordApplication.get(), CallKind::method, "Activate");
  if (FAILED(hr))
    return quitAndFail("Activate word application error = ", hr, u"Error activate word application");

  const com::Variant maximised = com::Variant::i4(1);
  hr = AutomationCall(c.wordApplication.get(), CallKind::put, "WindowState", {maximised.get()});
  if (FAILED(hr)) {
    return quitAndFail("Set word application window state error = ", hr,
                       u"Error set window state word application");
  }

  if (const std::optional<ListenFailure> failure = listenToEvents()) {
    return quitAndFail(failure->logText, failure->hr, failure->description);
  }
  return true;
}

bool DocEditorProcessing::closeWordAplication(std::u16string& description) {
  ORMID_DCHECK_MAIN_THREAD();
  // Held for the call: the quit event may drop the connection meanwhile.
  com::ComPtr<IDispatch> application = core().connection.wordApplication;
  if (!application) {
    ORMID_LOG(error, kCloseWord) << "Instance Word.Application not found...";
    return fail(description, u"Instace word application not found");
  }
  // Quitting without saving would throw away the user's own unsaved work in
  // documents the host never opened: then only the host's documents close and
  // the word processor stays with the user.
  std::vector<com::ComPtr<IDispatch>> hostDocuments;
  bool userWorkUnsaved = false;
  std::u16string ignored;
  forEachDocument(kCloseWord, ignored, [&](OpenDocument& document) {
    core().lock.assertHeld();  // called only from here, under the lock
    if (isHostDocument(document.fullName)) {
      hostDocuments.push_back(std::move(document.object));
      return true;
    }
    com::Variant saved;
    if (SUCCEEDED(wordCall(document.object.get(), CallKind::get, "Saved", kCloseWord, {}, saved.put())) &&
        saved.type() == VT_BOOL && saved.get()->boolVal == VARIANT_FALSE) {
      userWorkUnsaved = true;
    }
    return true;
  });
  if (userWorkUnsaved && core().connection.wordApplication) {
    ORMID_LOG(debug, kCloseWord) << "Documents of the user hold unsaved changes: closing "
                                 << static_cast<long>(hostDocuments.size())
                                 << " documents of the host, the word application keeps running...";
    for (const com::ComPtr<IDispatch>& document : hostDocuments) {
      const HRESULT hr = closeWithoutSaving(document.get(), "Close", kCloseWord);
      if (FAILED(hr)) ORMID_LOG(error, kCloseWord) << "Close document error = " << hrValue(hr);
    }
    application.reset();
    clearWordResource();
    return true;
  }
  hostDocuments.clear();
  if (!core().connection.wordApplication) application.reset();  // found gone meanwhile
  const HRESULT hr =
      application ? closeWithoutSaving(application.get(), "Quit", kCloseWord) : kServerUnavailable;
  if (FAILED(hr)) {
    ORMID_LOG(error, kCloseWord) << "Close word application error = " << hrValue(hr);
    description = u"Error close word application";
  }
  application.reset();
  clearWordResource();
  return SUCCEEDED(hr);
}

bool DocEditorProcessing::openDocument(const std::string& workingDirectory, const std::string& nameFile,
                                       const std::string& contentFile, std::u16string& description) {
  ORMID_DCHECK_MAIN_THREAD();
  if (!checkName(nameFile, kOpenDocument, description)) return false;
  if (contentFile.empty()) {
    ORMID_LOG(error, kOpenDocument) << "Encoded file content is empty...";
    return fail(description, u"Encoded file content is empty");
  }
  const std::string path = documentPath(workingDirectory, nameFile);
  {
    // Decoded and written a piece at a time: the document is never held whole.
    // A piece decodes to its full size unless the text ends or stops in it (a
    // '=' or a character outside the alphabet), and decoding stops there.
    constexpr std::size_t kPieceChars = std::size_t{4} << 20;  // a multiple of 4
    std::vector<unsigned char> bytes;
    const auto decodePiece = [&](std::size_t at) {
      base64Decode(std::string_view(contentFile).substr(at, kPieceChars), bytes);
    };
    decodePiece(0);
    if (bytes.empty()) {
      ORMID_LOG(error, kOpenDocument) << "Decoded file content is empty...";
      return fail(description, u"Decoded file content is empty");
    }
    // The word processor would only bring an open copy forward, and a later
    // save would write its old content over the new: the page sent newer
    // content, so the open copy is closed first (the page hears of it).
    if (core().connection.wordApplication) {
      com::ComPtr<IDispatch> open;
      const Search search = searchDocument(path, "Opening document ", kOpenDocument, open, description);
      if (search == Search::failed && core().connection.wordApplication) return false;
      if (search == Search::found) {
        const HRESULT hr = closeWithoutSaving(open.get(), "Close", kOpenDocument);
        if (FAILED(hr)) {
          ORMID_LOG(error, kOpenDocument)
              << "Close document " << fromAnsi(path) << " error = " << hrValue(hr);
          return fail(description, u"Close document error");
        }
        ORMID_LOG(debug, kOpenDocument) << "Closing document " << fromAnsi(path) << " ok...";
      }
    }
    std::ofstream file(path, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!file.is_open()) {
      ORMID_LOG(error, kOpenDocument) << "Error open file " << fromAnsi(path);
      return fail(description, u"Error open file");
    }
    for (std::size_t at = 0;;) {
      file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      at += kPieceChars;
      if (bytes.size() < kPieceChars / 4 * 3 || at >= contentFile.size()) break;
      decodePiece(at);
    }
    file.flush();
    if (!file.good()) {
      ORMID_LOG(error, kOpenDocument) << "Error write file " << fromAnsi(path);
      return fail(description, u"Error file file");
    }
  }
  ORMID_LOG(debug, kOpenDocument) << "Write file " << fromAnsi(path) << " ok...";

  com::ComPtr<IDispatch> documents;
  if (!documentsStartingWord(documents, kOpenDocument, description)) {
    deleteQuietly(path, kOpenDocument);
    return false;
  }
  const com::Variant pathValue = com::Variant::string(fromAnsi(path));
  com::Variant opened;
  const HRESULT hr = pathValue.type() == VT_BSTR ? wordCall(documents.get(), CallKind::method, "Open",
                                                            kOpenDocument, {pathValue.get()}, opened.put())
                                                 : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    ORMID_LOG(error, kOpenDocument) << "Open document error = " << hrValue(hr);
    description = u"Error open document";
    documents.reset();
    deleteQuietly(path, kOpenDocument);
    return false;
  }
  rememberHostDocument(path);
  return true;
}

bool DocEditorProcessing::createDocument(const std::string& workingDirectory, const std::string& nameFile,
                                         std::u16string& description) {
  ORMID_DCHECK_MAIN_THREAD();
  if (!checkName(nameFile, kCreateDocument, description)) return false;
  com::ComPtr<IDispatch> documents;
  if (!documentsStartingWord(documents, kCreateDocument, description)) return false;

  com::Variant added;
  HRESULT hr = wordCall(documents.get(), CallKind::method, "Add", kCreateDocument, {}, added.put());
  com::ComPtr<IDispatch> document = added.dispatchValue();
  if (FAILED(hr) || !document) {
    ORMID_LOG(error, kCreateDocument) << "Add document error = " << hrValue(FAILED(hr) ? hr : E_POINTER);
    return fail(description, u"Error add document");
  }
  const std::string path = documentPath(workingDirectory, nameFile);
  ORMID_LOG(debug, kCreateDocument) << "Add document " << fromAnsi(path);
  const com::Variant pathValue = com::Variant::string(fromAnsi(path));
  // Saved in the format its name promises, not in the word processor's default.
  const std::optional<LONG> format = fileFormatFor(nameFile);
  const com::Variant formatValue = com::Variant::i4(format.value_or(0));
  if (pathValue.type() != VT_BSTR) {
    hr = E_OUTOFMEMORY;
  } else if (format) {
    hr = wordCall(document.get(), CallKind::method, "SaveAs", kCreateDocument,
                  {pathValue.get(), formatValue.get()});
  } else {
    hr = wordCall(document.get(), CallKind::method, "SaveAs", kCreateDocument, {pathValue.get()});
  }
  if (SUCCEEDED(hr)) {
    ORMID_LOG(debug, kCreateDocument) << "Add document " << fromAnsi(path) << " ok...";
    rememberHostDocument(path);
    return true;
  }
  ORMID_LOG(error, kCreateDocument) << "Save add document error = " << hrValue(hr);
  description = u"Error save add document";
  if (!core().connection.wordApplication) return false;  // gone, and the document with it
  hr = closeWithoutSaving(document.get(), "Close", kCreateDocument);
  if (FAILED(hr)) {
    ORMID_LOG(error, kCreateDocument)
        << "Close add document " << fromAnsi(path) << " error = " << hrValue(hr);
  }
  return false;
}

bool DocEditorProcessing::saveDocument(const std::string& workingDirectory, const std::string& nameFile,
                                       std::u16string& description) {
  ORMID_DCHECK_MAIN_THREAD();
  const std::string path = documentPath(workingDirectory, nameFile);
  com::ComPtr<IDispatch> document;
  if (!findOpenDocument(path, nameFile, "Saving document ", kSaveDocument, document, description))
    return false;
  const HRESULT hr = wordCall(document.get(), CallKind::method, "SaveAs", kSaveDocument);
  if (FAILED(hr)) {
    ORMID_LOG(error, kSaveDocument) << "Save document " << fromAnsi(path) << " error = " << hrValue(hr);
    return fail(description, u"Save document error");
  }
  ORMID_LOG(debug, kSaveDocument) << "Saving document " << fromAnsi(path) << " ok...";
  return true;
}

bool DocEditorProcessing::closeDocument(const std::string& workingDirectory, const std::string& nameFile,
                                        bool isRemoveFile, std::u16string& description) {
  ORMID_DCHECK_MAIN_THREAD();
  const std::string path = documentPath(workingDirectory, nameFile);
  com::ComPtr<IDispatch> document;
  if (!findOpenDocument(path, nameFile, "Closing document ", kCloseDocument, document, description)) {
    return false;
  }
  const HRESULT hr = closeWithoutSaving(document.get(), "Close", kCloseDocument);
  if (FAILED(hr)) {
    ORMID_LOG(error, kCloseDocument) << "Close document " << fromAnsi(path) << " error = " << hrValue(hr);
    return fail(description, u"Close document error");
  }
  ORMID_LOG(debug, kCloseDocument) << "Closing document " << fromAnsi(path) << " ok...";
  forgetHostDocument(fromAnsi(path));
  document.reset();
  if (isRemoveFile) deleteQuietly(path, kCloseDocument);
  return true;
}

bool DocEditorProcessing::getDocument(const std::string& workingDirectory, const std::string& nameFile,
                                      std::string& document, std::u16string& description) {
  ORMID_DCHECK_MAIN_THREAD();
  if (!checkName(nameFile, kGetDocument, description)) return false;
  const std::string path = workingDirectory + nameFile;
  // A directory or a device is no document: its "size" means nothing.
  std::ifstream file;
  if (platform::isRegularFile(path)) file.open(path, std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    ORMID_LOG(error, kGetDocument) << "Error open file " << fromAnsi(path);
    return fail(description, u"Error open file");
  }
  file.seekg(0, std::ios::end);
  const std::streamoff end = file.tellg();
  file.seekg(0, std::ios::beg);
  // The document is held once, as its bytes (the answer encodes each part as
  // it goes out), and only what is actually read: the file may have shrunk
  // meanwhile.
  document.clear();
  bool held = false;
  if (end >= 0 && static_cast<std::uint64_t>(end) < kMaxDocumentBytes) {
    try {
      platform::reserveLarge(document, static_cast<std::size_t>(end), static_cast<std::size_t>(end));
      document.resize(static_cast<std::size_t>(end));
      held = true;
    } catch (const std::bad_alloc&) {
      std::string().swap(document);
    }
  }
  if (!held) {
    ORMID_LOG(error, kGetDocument) << "Error alocate memory file " << fromAnsi(path);
    return fail(description, u"Error alocate memory file");
  }
  file.read(document.data(), static_cast<std::streamsize>(document.size()));
  document.resize(static_cast<std::size_t>(file.gcount()));
  return true;
}

bool DocEditorProcessing::removeDocument(const std::string& workingDirectory, const std::string& nameFile,
                                         std::u16string& description) {
  ORMID_DCHECK_MAIN_THREAD();
  if (!nameFile.empty() && !isSafeFileName(nameFile)) {
    ORMID_LOG(error, kRemoveDocument) << "Invalid file name " << fromAnsi(nameFile);
    return fail(description, u"Invalid file name");
  }
  const std::string path = workingDirectory + nameFile;
  if (!platform::deleteFile(path)) {
    ORMID_LOG(error, kRemoveDocument) << "Error delete file " << fromAnsi(path);
    return fail(description, u"Error delete file");
  }
  ORMID_LOG(debug, kRemoveDocument) << "Remove document " << fromAnsi(path) << " ok...";
  return true;
}

}  // namespace ormid
