#include "host/automation/automation.h"

#include <chrono>
#include <new>
#include <vector>

#include "host/automation/busy.h"
#include "host/core/log.h"
#include "host/text/text.h"

namespace ormid {
namespace {

HRESULT callOnce(IDispatch* target, CallKind kind, const char* name,
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

}  // namespace

HRESULT AutomationCall(IDispatch* target, CallKind kind, const char* name,
                       std::initializer_list<const VARIANT*> arguments, VARIANT* result) {
  // A call the server rejected never ran: it is made again while the budget
  // lasts. Where the message filter already retried, the budget is spent.
  const auto start = std::chrono::steady_clock::now();
  for (bool logged = false;; logged = true) {
    const HRESULT hr = callOnce(target, kind, name, arguments, result);
    if (hr != RPC_E_CALL_REJECTED) return hr;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (elapsed + kBusyRetryPause > kBusyRetryLimit) {
      ORMID_LOG(error, "ormid::AutomationCall")
          << "Word application busy for " << static_cast<long long>(elapsed.count()) << " ms, " << name
          << " given up...";
      return hr;
    }
    if (!logged)
      ORMID_LOG(debug, "ormid::AutomationCall") << "Word application busy, retrying " << name << "...";
    pauseBeforeRetry();
  }
}

}  // namespace ormid
