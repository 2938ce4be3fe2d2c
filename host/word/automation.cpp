#include "host/word/automation.h"

#include <new>
#include <vector>

#include "host/channel/log.h"
#include "host/text/text.h"

namespace ormid {

HRESULT AutomationCall(IDispatch* target, CallKind kind, const char* name,
                       std::initializer_list<const VARIANT*> arguments, VARIANT* result) {
  if (!target) return E_INVALIDARG;
  if (kind == CallKind::put && (arguments.size() != 1 || *arguments.begin() == nullptr)) return E_POINTER;
  try {
    com::Bstr member(fromAnsi(name));
    if (!member) return E_OUTOFMEMORY;
    LPOLESTR names[1] = {member.get()};
    DISPID id = 0;
    HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;

    // Shallow copies, last argument first; the caller keeps ownership.
    std::vector<VARIANT> reversed;
    reversed.reserve(arguments.size());
    for (auto it = arguments.end(); it != arguments.begin();) reversed.push_back(**--it);

    DISPPARAMS params{};
    DISPID namedPut = DISPID_PROPERTYPUT;
    if (kind != CallKind::get) {
      params.cArgs = static_cast<UINT>(reversed.size());
      params.rgvarg = reversed.empty() ? nullptr : reversed.data();
    }
    if (kind == CallKind::put) {
      params.cNamedArgs = 1;
      params.rgdispidNamedArgs = &namedPut;
      const VARTYPE type = reversed[0].vt;
      if (type == VT_UNKNOWN || type == VT_DISPATCH || (type & VT_ARRAY) != 0 || (type & VT_BYREF) != 0) {
        hr = target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUTREF, &params, nullptr,
                            nullptr, nullptr);
        if (SUCCEEDED(hr)) return hr;
      }
      return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr,
                            nullptr, nullptr);
    }
    return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, static_cast<WORD>(kind), &params, result,
                          nullptr, nullptr);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

WordConnection& wordConnection() {
  static auto* connection = new WordConnection;
  return *connection;
}

void clearWordResource() {
  WordConnection& c = wordConnection();
  if (c.connectionPoint) {
    if (c.adviseCookie != 0) c.connectionPoint->Unadvise(c.adviseCookie);
    com::ComPtr<IConnectionPoint> point = std::move(c.connectionPoint);
  } else {
    ORMID_LOG(debug, "ormid::clearWordResource") << "Connection point not found...";
  }
  // Moved out before the release: releasing may call back into the host.
  { com::ComPtr<IDispatch> listener = std::move(c.eventListener); }
  { com::ComPtr<IDispatch> application = std::move(c.wordApplication); }
}

void releaseWordConnection() {
  WordConnection& c = wordConnection();
  { com::ComPtr<IConnectionPoint> point = std::move(c.connectionPoint); }
  { com::ComPtr<IDispatch> listener = std::move(c.eventListener); }
  { com::ComPtr<IDispatch> application = std::move(c.wordApplication); }
}

}  // namespace ormid
