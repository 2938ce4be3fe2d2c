#include "host/events/listener.h"

#include <memory>

#include "host/automation/automation.h"
#include "host/core/log.h"
#include "host/json/json.h"
#include "host/text/text.h"
#include "ormid/platform/platform.h"
#include "ormid/word_events.h"

namespace ormid {
namespace {

constexpr const char* kInvoke = "ormid::DocEditorEventListener::Invoke";

// Word's event numbers.
enum : DISPID {
  quitEvent = wordQuitEvent,
  documentChangeEvent = wordDocumentChangeEvent,
  documentOpenEvent = wordDocumentOpenEvent,
  documentBeforeCloseEvent = wordDocumentBeforeCloseEvent,
  documentBeforeSaveEvent = wordDocumentBeforeSaveEvent,
  newDocumentEvent = wordNewDocumentEvent,
  windowActivateEvent = wordWindowActivateEvent,
  windowDeactivateEvent = wordWindowDeactivateEvent,
};

constexpr VARTYPE kBoolByRef = VT_BOOL | VT_BYREF;

}  // namespace

HRESULT DocEditorEventListener::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_WordApplicationEvents) {
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG DocEditorEventListener::AddRef() { return ++count_; }

ULONG DocEditorEventListener::Release() {
  const ULONG count = --count_;
  if (count == 0) delete this;  // the last reference owns the object
  return count;
}

HRESULT DocEditorEventListener::GetTypeInfoCount(UINT* count) {
  if (count) *count = 0;
  return S_OK;
}

HRESULT DocEditorEventListener::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }

HRESULT DocEditorEventListener::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT DocEditorEventListener::Invoke(DISPID member, REFIID iid, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                       EXCEPINFO*, UINT*) {
  if (!(iid == IID_NULL)) return E_INVALIDARG;
  switch (member) {
    case quitEvent:
    case documentChangeEvent:
    case documentOpenEvent:
    case documentBeforeCloseEvent:
    case documentBeforeSaveEvent:
    case newDocumentEvent:
    case windowActivateEvent:
    case windowDeactivateEvent:
      break;
    default:
      return S_OK;
  }
  ORMID_DCHECK_MAIN_THREAD();
  try {
    ScopedLock lock(core().lock);
    switch (member) {
      case quitEvent:
        ORMID_LOG(debug, kInvoke) << "Quit word event...";
        // May destroy this listener: nothing of the object is touched after it.
        clearWordResource();
        return S_OK;
      case documentChangeEvent:
        ORMID_LOG(debug, kInvoke) << "DocumentChange event...";
        return S_OK;
      case documentOpenEvent:
        ORMID_LOG(debug, kInvoke) << "DocumentOpen event...";
        return S_OK;
      case newDocumentEvent:
        ORMID_LOG(debug, kInvoke) << "New Document event...";
        return S_OK;
      case windowActivateEvent:
        ORMID_LOG(debug, kInvoke) << "WindowActivate event...";
        return S_OK;
      case windowDeactivateEvent:
        ORMID_LOG(debug, kInvoke) << "WindowDeactivate event...";
        return S_OK;
      default:
        return documentEvent(member == documentBeforeSaveEvent, params);
    }
  } catch (...) {
    return E_FAIL;  // nothing may escape into the word processor
  }
}

HRESULT DocEditorEventListener::documentEvent(bool save, DISPPARAMS* params) {
  const char* event = save ? "DocumentBeforeSave" : "DocumentBeforeClose";
  ORMID_LOG(debug, kInvoke) << event << " event...";
  const UINT expected = save ? 3 : 2;
  if (!params || params->cArgs != expected || !params->rgvarg) {
    ORMID_LOG(error, kInvoke) << "Error " << event << " invalid count params...";
    return E_INVALIDARG;
  }
  // Arguments arrive last first: the document is the last element.
  const VARIANT& document = params->rgvarg[expected - 1];
  if (document.vt != VT_DISPATCH) {
    ORMID_LOG(error, kInvoke) << "Error " << event << " invalid first param...";
    return E_INVALIDARG;
  }
  if (params->rgvarg[expected - 2].vt != kBoolByRef) {
    ORMID_LOG(error, kInvoke) << "Error " << event << " invalid second param...";
    return E_INVALIDARG;
  }
  if (save && params->rgvarg[0].vt != kBoolByRef) {
    ORMID_LOG(error, kInvoke) << "Error DocumentBeforeSave invalid three param...";
    return E_INVALIDARG;
  }
  com::ComPtr<IDispatch> documentObject(document.pdispVal);
  if (!documentObject) {
    ORMID_LOG(error, kInvoke) << "Error " << event << " get documment interface...";
    return E_FAIL;
  }
  com::Variant value;
  const HRESULT hr = AutomationCall(documentObject.get(), CallKind::get, "FullName", {}, value.put());
  if (FAILED(hr)) {
    ORMID_LOG(error, kInvoke) << "Get " << event << " document full name error = " << static_cast<long>(hr);
    return hr;
  }
  // A full name that is not text counts as empty: the page then hears "Bad file name".
  std::u16string fullName;
  if (value.type() == VT_BSTR) {
    fullName = com::bstrText(value.get()->bstrVal);
  } else {
    com::Variant text;
    if (SUCCEEDED(VariantChangeType(text.get(), value.get(), 0, VT_BSTR)) && text.type() == VT_BSTR) {
      fullName = com::bstrText(text.get()->bstrVal);
    }
  }
  ORMID_LOG(debug, kInvoke) << event << " full name file " << fullName;
  if (!save) {
    core().lock.assertHeld();  // taken by Invoke
    forgetHostDocument(fullName);
  }
  sendEvent(sink_, save ? u"documentSaveEvent" : u"documentCloseEvent", toAnsi(fullName));
  return S_OK;
}

void DocEditorEventListener::sendEvent(const EventSink& sink, const std::u16string& command,
                                       const std::string& fullName) {
  std::string message;
  createEventMessage(message, u"ormidDocEditorWebPage", command, fullName);
  ORMID_LOG(verbose, kInvoke) << "Send event message: " << std::string_view(message);
  if (sink) sink(message);
}

void DocEditorEventListener::createEventMessage(std::string& output, const std::u16string& destination,
                                                const std::u16string& command, const std::string& fullName) {
  JsonObject message;
  JsonObject status;
  message[u"destination"] = std::make_unique<JsonValue>(destination);
  message[u"command"] = std::make_unique<JsonValue>(command);
  if (fullName.empty()) {
    status[u"result"] = std::make_unique<JsonValue>(u"error");
    status[u"description"] = std::make_unique<JsonValue>(u"Bad file name");
  } else {
    const std::size_t last = fullName.rfind(platform::pathSeparator());
    if (last == std::string::npos) {
      message[u"nameFile"] = std::make_unique<JsonValue>(fromAnsi(fullName));
    } else {
      message[u"workingDirectory"] = std::make_unique<JsonValue>(fromAnsi(fullName.substr(0, last + 1)));
      message[u"nameFile"] = std::make_unique<JsonValue>(fromAnsi(fullName.substr(last + 1)));
    }
    status[u"result"] = std::make_unique<JsonValue>(u"success");
  }
  message[u"status"] = std::make_unique<JsonValue>(std::move(status));
  output = stringifyUtf8(JsonValue(std::move(message)));
}

}  // namespace ormid
