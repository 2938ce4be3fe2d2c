// The sink on the word processor's application events: tells the web page when
// a document is about to be saved or closed, and drops the connection when the
// word processor quits.
#pragma once

#include <string>
#include <utility>

#include "host/core/core.h"
#include "ormid/com_api.h"

namespace ormid {

class DocEditorEventListener final : public IDispatch {
 public:
  // Event messages for the web page go to `sink`.
  explicit DocEditorEventListener(EventSink sink) : sink_(std::move(sink)) {}
  DocEditorEventListener(const DocEditorEventListener&) = delete;
  DocEditorEventListener& operator=(const DocEditorEventListener&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

  // The UTF-8 text of an event message for the web page. `fullName` is the
  // document's full path in the system code page, split on its last separator.
  static void createEventMessage(std::string& output, const std::u16string& destination,
                                 const std::u16string& command, const std::string& fullName);
  // Builds the event message for the web page, logs it and hands it to `sink`.
  static void sendEvent(const EventSink& sink, const std::u16string& command, const std::string& fullName);

 private:
  ~DocEditorEventListener() = default;
  HRESULT documentEvent(bool save, DISPPARAMS* params);

  EventSink sink_;
  ULONG count_ = 0;  // every call comes from the main thread
};

}  // namespace ormid
