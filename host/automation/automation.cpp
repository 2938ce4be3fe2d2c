#include "host/automation/automation.h"

#include <new>
#include <vector>

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

}  // namespace ormid
