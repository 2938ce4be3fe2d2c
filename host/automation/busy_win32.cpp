// The message filter that has COM retry calls a busy server rejected with
// SERVERCALL_RETRYLATER.
#include "host/automation/busy.h"
#include "host/core/log.h"
#include "ormid/com_api.h"
#include "ormid/platform/unique_handle.h"

namespace ormid {
namespace {

constexpr const char* kFilter = "ormid::BusyCallFilter::RetryRejectedCall";
constexpr DWORD kCancelCall = static_cast<DWORD>(-1);

class RetryingFilter final : public IMessageFilter {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMessageFilter) {
      *object = static_cast<IMessageFilter*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // A static object: it outlives every registration.
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override {
    return SERVERCALL_ISHANDLED;  // the word processor's events are always taken
  }
  // `elapsed` counts milliseconds since the call was first made.
  DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD elapsed, DWORD rejectType) override {
    // SERVERCALL_REJECTED means the server will never take the call.
    if (rejectType != SERVERCALL_RETRYLATER) return kCancelCall;
    if (elapsed >= static_cast<DWORD>(kBusyRetryLimit.count())) {
      ORMID_LOG(error, kFilter) << "Word application busy for " << static_cast<unsigned long>(elapsed)
                                << " ms, call given up...";
      return kCancelCall;
    }
    if (elapsed < static_cast<DWORD>(kBusyRetryPause.count())) {
      ORMID_LOG(debug, kFilter) << "Word application busy, retrying the call...";
    }
    return static_cast<DWORD>(kBusyRetryPause.count());
  }
  DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }
};

RetryingFilter filter;

}  // namespace

BusyCallFilter::BusyCallFilter() { registered_ = SUCCEEDED(CoRegisterMessageFilter(&filter, nullptr)); }

BusyCallFilter::~BusyCallFilter() {
  if (registered_) CoRegisterMessageFilter(nullptr, nullptr);
}

void pauseBeforeRetry() {
  // An event nobody sets: the wait ends by its time-out, and the apartment's
  // messages are served meanwhile.
  static const platform::UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE handle = never.get();
  DWORD index = 0;
  const HRESULT hr =
      handle ? CoWaitForMultipleHandles(0, static_cast<DWORD>(kBusyRetryPause.count()), 1, &handle, &index)
             : E_HANDLE;
  if (FAILED(hr) && hr != RPC_S_CALLPENDING) Sleep(static_cast<DWORD>(kBusyRetryPause.count()));
}

}  // namespace ormid
