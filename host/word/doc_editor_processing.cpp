#include "host/word/doc_editor_processing.h"

#include <chrono>
#include <fstream>
#include <memory>
#include <new>
#include <vector>

#include "host/automation/automation.h"
#include "host/core/core.h"
#include "host/core/log.h"
#include "host/events/listener.h"
#include "host/text/text.h"
#include "host/word/base64.h"
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

void deleteQuietly(const std::string& path, const char* function) {
  if (!platform::deleteFile(path)) ORMID_LOG(error, function) << "Error delete file " << fromAnsi(path);
}

// Gets the documents collection of the running word processor.
bool getDocuments(com::ComPtr<IDispatch>& documents, const char* function, std::u16string& description)
    REQUIRES(core().lock) {
  com::Variant value;
  const HRESULT hr =
      AutomationCall(core().connection.wordApplication.get(), CallKind::get, "Documents", {}, value.put());
  documents = value.dispatchValue();
  if (FAILED(hr) || !documents) {
    ORMID_LOG(error, function) << "Get documents error = " << hrValue(FAILED(hr) ? hr : E_POINTER);
    return fail(description, u"Error get documents");
  }
  return true;
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

// Finds the open document whose FullName is exactly `path`.
bool findDocument(const std::string& path, const char* progress, const char* function,
                  com::ComPtr<IDispatch>& found, std::u16string& description) REQUIRES(core().lock) {
  com::ComPtr<IDispatch> documents;
  if (!getDocuments(documents, function, description)) return false;

  com::Variant countValue;
  HRESULT hr = AutomationCall(documents.get(), CallKind::get, "Count", {}, countValue.put());
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
  const std::u16string wanted = fromAnsi(path);
  ORMID_LOG(debug, function) << progress << wanted;

  for (LONG index = 1; index <= count; ++index) {
    const com::Variant indexValue = com::Variant::i4(index);
    com::Variant item;
    hr = AutomationCall(documents.get(), CallKind::method, "Item", {indexValue.get()}, item.put());
    if (FAILED(hr)) {
      ORMID_LOG(error, function) << "Get document item " << static_cast<long>(index)
                                 << " error = " << hrValue(hr);
      continue;
    }
    com::ComPtr<IDispatch> document = item.dispatchValue();
    com::Variant fullName;
    hr = AutomationCall(document.get(), CallKind::get, "FullName", {}, fullName.put());
    if (FAILED(hr)) {
      ORMID_LOG(error, function) << "Get document " << static_cast<long>(index)
                                 << " full name error = " << hrValue(hr);
      continue;
    }
    std::u16string text;
    bool isNull = false;
    if (!fullNameText(fullName, text, isNull)) {
      // Not text: it cannot be the document asked for.
      ORMID_LOG(error, function) << "Get document " << static_cast<long>(index) << " full name is not text";
      continue;
    }
    if (isNull) {
      ORMID_LOG(verbose, function) << "Compare file (null)";
    } else {
      ORMID_LOG(verbose, function) << "Compare file " << text;
    }
    if (text == wanted) {
      found = std::move(document);
      return true;
    }
  }
  ORMID_LOG(error, function) << "Document " << wanted << " not openning...";
  return fail(description, u"Document not openning");
}

// Checks shared by save and close: a name, a running word processor, the document.
bool findOpenDocument(const std::string& workingDirectory, const std::string& nameFile, const char* progress,
                      const char* function, com::ComPtr<IDispatch>& document, std::u16string& description)
    REQUIRES(core().lock) {
  if (!checkName(nameFile, function, description)) return false;
  if (!core().connection.wordApplication) {
    ORMID_LOG(error, function) << "Word application not running...";
    return fail(description, u"Word application not running");
  }
  return findDocument(workingDirectory + nameFile, progress, function, document, description);
}

bool startWordIfNeeded(const char* function, std::u16string& description) REQUIRES(core().lock) {
  if (core().connection.wordApplication) return true;
  ORMID_LOG(debug, function) << "Word application opening...";
  return DocEditorProcessing::openWordAplication(description);
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
  auto failWith = [&](const char* text, HRESULT code, const char16_t* answer) {
    core().lock.assertHeld();  // called only from here, under the lock
    ORMID_LOG(error, kOpenWord) << text << hrValue(code);
    c.wordApplication.reset();
    return fail(description, answer);
  };

  const com::Variant visible = com::Variant::boolean(true);
  hr = AutomationCall(c.wordApplication.get(), CallKind::put, "Visible", {visible.get()});
  if (FAILED(hr))
    return failWith("Create word application visible error = ", hr, u"Error create visible word application");

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
    return failWith("Create word application visible error = ", FAILED(hr) ? hr : E_FAIL,
                    u"Error create visible word application");

  hr = AutomationCall(c.wordApplication.get(), CallKind::method, "Activate");
  if (FAILED(hr))
    return failWith("Activate word application error = ", hr, u"Error activate word application");

  const com::Variant maximised = com::Variant::integer(1);
  hr = AutomationCall(c.wordApplication.get(), CallKind::put, "WindowState", {maximised.get()});
  if (FAILED(hr)) {
    return failWith("Set word application window state error = ", hr,
                    u"Error set window state word application");
  }

  com::ComPtr<IConnectionPointContainer> container;
  hr = c.wordApplication.queryInterface(IID_IConnectionPointContainer, container);
  if (FAILED(hr) || !container) {
    return failWith("Get connection point container error = ", FAILED(hr) ? hr : E_NOINTERFACE,
                    u"Error get connection point container");
  }
  com::ComPtr<IConnectionPoint> connectionPoint;
  hr = container->FindConnectionPoint(IID_WordApplicationEvents, connectionPoint.put());
  if (FAILED(hr) || !connectionPoint) {
    return failWith("Find connection point error = ", FAILED(hr) ? hr : E_POINTER,
                    u"Error find connection point");
  }

  DocEditorEventListener* listener = new (std::nothrow) DocEditorEventListener(core().eventSink);
  if (!listener) {
    ORMID_LOG(error, kOpenWord) << "Error allocate memory for event listner...";
    c.wordApplication.reset();
    return fail(description, u"Error allocate memory for event listner");
  }
  c.eventListener = com::ComPtr<IDispatch>(listener);  // count 1 before Advise

  DWORD cookie = 0;
  hr = connectionPoint->Advise(c.eventListener.get(), &cookie);
  if (FAILED(hr)) {
    ORMID_LOG(error, kOpenWord) << "Advise event listner error = " << hrValue(hr);
    c.eventListener.reset();
    c.wordApplication.reset();
    return fail(description, u"Error advise event listner");
  }
  c.advise = com::AdviseToken(std::move(connectionPoint), cookie);
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
  const com::Variant doNotSave = com::Variant::integer(0);
  const com::Variant originalFormat = com::Variant::integer(1);
  const com::Variant doNotRoute = com::Variant::boolean(false);
  const HRESULT hr = AutomationCall(application.get(), CallKind::method, "Quit",
                                    {doNotSave.get(), originalFormat.get(), doNotRoute.get()});
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
  const std::string path = workingDirectory + nameFile;
  {
    std::vector<unsigned char> bytes = base64Decode(contentFile);
    if (bytes.empty()) {
      ORMID_LOG(error, kOpenDocument) << "Decoded file content is empty...";
      return fail(description, u"Decoded file content is empty");
    }
    std::ofstream file(path, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!file.is_open()) {
      ORMID_LOG(error, kOpenDocument) << "Error open file " << fromAnsi(path);
      return fail(description, u"Error open file");
    }
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.flush();
    if (!file.good()) {
      ORMID_LOG(error, kOpenDocument) << "Error write file " << fromAnsi(path);
      return fail(description, u"Error file file");
    }
  }
  ORMID_LOG(debug, kOpenDocument) << "Write file " << fromAnsi(path) << " ok...";

  if (!startWordIfNeeded(kOpenDocument, description)) {
    deleteQuietly(path, kOpenDocument);
    return false;
  }
  com::ComPtr<IDispatch> documents;
  if (!getDocuments(documents, kOpenDocument, description)) {
    deleteQuietly(path, kOpenDocument);
    return false;
  }
  const com::Variant pathValue = com::Variant::string(fromAnsi(path));
  com::Variant opened;
  const HRESULT hr = pathValue.type() == VT_BSTR ? AutomationCall(documents.get(), CallKind::method, "Open",
                                                                  {pathValue.get()}, opened.put())
                                                 : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    ORMID_LOG(error, kOpenDocument) << "Open document error = " << hrValue(hr);
    description = u"Error open document";
    documents.reset();
    deleteQuietly(path, kOpenDocument);
    return false;
  }
  return true;
}

bool DocEditorProcessing::createDocument(const std::string& workingDirectory, const std::string& nameFile,
                                         std::u16string& description) {
  ORMID_DCHECK_MAIN_THREAD();
  if (!checkName(nameFile, kCreateDocument, description)) return false;
  if (!startWordIfNeeded(kCreateDocument, description)) return false;
  com::ComPtr<IDispatch> documents;
  if (!getDocuments(documents, kCreateDocument, description)) return false;

  com::Variant added;
  HRESULT hr = AutomationCall(documents.get(), CallKind::method, "Add", {}, added.put());
  com::ComPtr<IDispatch> document = added.dispatchValue();
  if (FAILED(hr) || !document) {
    ORMID_LOG(error, kCreateDocument) << "Add document error = " << hrValue(FAILED(hr) ? hr : E_POINTER);
    return fail(description, u"Error add document");
  }
  const std::string path = workingDirectory + nameFile;
  ORMID_LOG(debug, kCreateDocument) << "Add document " << fromAnsi(path);
  const com::Variant pathValue = com::Variant::string(fromAnsi(path));
  hr = pathValue.type() == VT_BSTR
           ? AutomationCall(document.get(), CallKind::method, "SaveAs", {pathValue.get()})
           : E_OUTOFMEMORY;
  if (SUCCEEDED(hr)) {
    ORMID_LOG(debug, kCreateDocument) << "Add document " << fromAnsi(path) << " ok...";
    return true;
  }
  ORMID_LOG(error, kCreateDocument) << "Save add document error = " << hrValue(hr);
  description = u"Error save add document";
  const com::Variant doNotSave = com::Variant::integer(0);
  const com::Variant originalFormat = com::Variant::integer(1);
  const com::Variant doNotRoute = com::Variant::boolean(false);
  hr = AutomationCall(document.get(), CallKind::method, "Close",
                      {doNotSave.get(), originalFormat.get(), doNotRoute.get()});
  if (FAILED(hr)) {
    ORMID_LOG(error, kCreateDocument)
        << "Close add document " << fromAnsi(path) << " error = " << hrValue(hr);
  }
  return false;
}

bool DocEditorProcessing::saveDocument(const std::string& workingDirectory, const std::string& nameFile,
                                       std::u16string& description) {
  ORMID_DCHECK_MAIN_THREAD();
  com::ComPtr<IDispatch> document;
  if (!findOpenDocument(workingDirectory, nameFile, "Saving document ", kSaveDocument, document,
                        description)) {
    return false;
  }
  const std::string path = workingDirectory + nameFile;
  const HRESULT hr = AutomationCall(document.get(), CallKind::method, "SaveAs");
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
  com::ComPtr<IDispatch> document;
  if (!findOpenDocument(workingDirectory, nameFile, "Closing document ", kCloseDocument, document,
                        description)) {
    return false;
  }
  const std::string path = workingDirectory + nameFile;
  const com::Variant doNotSave = com::Variant::integer(0);
  const com::Variant originalFormat = com::Variant::integer(1);
  const com::Variant doNotRoute = com::Variant::boolean(false);
  const HRESULT hr = AutomationCall(document.get(), CallKind::method, "Close",
                                    {doNotSave.get(), originalFormat.get(), doNotRoute.get()});
  if (FAILED(hr)) {
    ORMID_LOG(error, kCloseDocument) << "Close document " << fromAnsi(path) << " error = " << hrValue(hr);
    return fail(description, u"Close document error");
  }
  ORMID_LOG(debug, kCloseDocument) << "Closing document " << fromAnsi(path) << " ok...";
  document.reset();
  if (isRemoveFile) deleteQuietly(path, kCloseDocument);
  return true;
}

bool DocEditorProcessing::getDocument(const std::string& workingDirectory, const std::string& nameFile,
                                      std::string& content, std::u16string& description) {
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
  {
    std::unique_ptr<char[]> buffer;
    if (end >= 0 && static_cast<std::uint64_t>(end) < kMaxDocumentBytes) {
      buffer.reset(new (std::nothrow) char[static_cast<std::size_t>(end) + 1]);
    }
    if (!buffer) {
      ORMID_LOG(error, kGetDocument) << "Error alocate memory file " << fromAnsi(path);
      return fail(description, u"Error alocate memory file");
    }
    file.read(buffer.get(), end);
    // Only what was actually read: the file may have shrunk meanwhile.
    const auto got = static_cast<std::size_t>(file.gcount());
    content = base64Encode(reinterpret_cast<const unsigned char*>(buffer.get()), got);
  }
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
