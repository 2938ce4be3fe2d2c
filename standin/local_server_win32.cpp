#include "standin/local_server_win32.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "ormid/com_ptr.h"

namespace ormid::standin {
namespace {

struct ServerState {
  CreateObject create;
  DWORD registration = 0;
  bool registered = false;
  bool stopping = false;
  long objects = 0;
  ULONGLONG lastActivity = 0;
  DWORD idleMilliseconds = 0;
  int callsToReject = 0;
  bool onWine = false;
};
ServerState server;  // one server per process, touched on its one thread only

// Tasks travel as posted messages to a message-only window of the server's
// thread: thread messages would be lost while COM pumps messages inside an
// outgoing call (an event being raised), window messages are dispatched there too.
constexpr UINT kTaskMessage = WM_APP + 1;
constexpr wchar_t kTaskClass[] = L"ormidLocalServerTasks";
using Task = std::function<void()>;
std::mutex taskMutex;
HWND taskWindow = nullptr;  // guarded by taskMutex

void runTask(Task* raw) {
  std::unique_ptr<Task> task(raw);
  server.lastActivity = GetTickCount64();
  try {
    (*task)();
  } catch (...) {
    // A task has no one to report to; it must not unwind through the loop.
  }
}

LRESULT CALLBACK taskProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kTaskMessage) {
    runTask(reinterpret_cast<Task*>(lParam));
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void openTaskWindow() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = taskProcedure;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kTaskClass;
  RegisterClassW(&windowClass);
  const HWND window = CreateWindowExW(0, kTaskClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
  std::lock_guard lock(taskMutex);
  taskWindow = window;
}

void closeTaskWindow() {
  std::lock_guard lock(taskMutex);
  if (!taskWindow) return;
  // Tasks that never ran are freed here; later ones are dropped when posted.
  MSG pending;
  while (PeekMessageW(&pending, taskWindow, kTaskMessage, kTaskMessage, PM_REMOVE)) {
    std::unique_ptr<Task> dropped(reinterpret_cast<Task*>(pending.lParam));
  }
  DestroyWindow(taskWindow);
  taskWindow = nullptr;
}

void stop() {
  if (server.stopping) return;
  server.stopping = true;
  // Activations that arrive from now on start a new process instead of
  // reaching one that is going away.
  if (server.registered) {
    CoRevokeClassObject(server.registration);
    server.registered = false;
  }
  PostQuitMessage(0);
}

void CALLBACK watchIdle(HWND, UINT, UINT_PTR, DWORD) {
  if (GetTickCount64() - server.lastActivity >= server.idleMilliseconds) stop();
}

void CALLBACK quitNow(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  stop();
}

// Wine's COM runtime serves a call that the server asks to be retried later,
// and its clients never retry: there a busy server turns calls away for good.
bool runningOnWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Sees every incoming call, which is what the idle watchdog measures, and
// turns calls away while the server is busy.
class ActivityFilter final : public IMessageFilter {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IMessageFilter) {
      *object = static_cast<IMessageFilter*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }  // lives as long as the server
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO call) override {
    server.lastActivity = GetTickCount64();
    // Only automation calls: the runtime's own (reference counts, interface
    // queries) go through, as they do to a busy word processor.
    if (server.callsToReject > 0 && call && call->iid == IID_IDispatch) {
      --server.callsToReject;
      // A client that does not retry sees RPC_E_CALL_REJECTED either way.
      return server.onWine ? SERVERCALL_REJECTED : SERVERCALL_RETRYLATER;
    }
    return SERVERCALL_ISHANDLED;
  }
  DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override { return static_cast<DWORD>(-1); }
  DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }
};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }  // lives as long as the server
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (server.stopping) return CO_E_SERVER_STOPPING;
    server.lastActivity = GetTickCount64();
    try {
      return server.create(iid, object);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      objectCreated();
    } else {
      objectDestroyed();
    }
    return S_OK;
  }
};

DWORD idleLimit(DWORD fallback) {
  const char* text = std::getenv("ORMID_LOCAL_SERVER_IDLE_MS");
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return (*end == '\0' && value > 0) ? static_cast<DWORD>(value) : fallback;
}

}  // namespace

void objectCreated() {
  ++server.objects;
  server.lastActivity = GetTickCount64();
}

void objectDestroyed() {
  if (--server.objects <= 0) stop();
}

void rejectCalls(int calls) { server.callsToReject = calls; }

void exitSoon(DWORD delayMilliseconds) {
  if (server.registered) {
    CoRevokeClassObject(server.registration);
    server.registered = false;
  }
  SetTimer(nullptr, 0, delayMilliseconds, quitNow);
}

void postToServerThread(std::function<void()> task) {
  auto owned = std::make_unique<Task>(std::move(task));
  std::lock_guard lock(taskMutex);
  if (taskWindow && PostMessageW(taskWindow, kTaskMessage, 0, reinterpret_cast<LPARAM>(owned.get()))) {
    (void)owned.release();  // the message owns it until it runs
  }
}

int runLocalServer(const LocalServerOptions& options, CreateObject create) {
  server.create = std::move(create);
  server.idleMilliseconds = idleLimit(options.defaultIdleMilliseconds);
  server.lastActivity = GetTickCount64();
  server.onWine = runningOnWine();
  const com::Apartment apartment;
  if (!apartment.ok()) return 1;

  static ActivityFilter filter;
  static Factory factory;
  CoRegisterMessageFilter(&filter, nullptr);
  openTaskWindow();
  HRESULT hr =
      CoRegisterClassObject(options.clsid, &factory, CLSCTX_LOCAL_SERVER, options.use, &server.registration);
  int exitCode = 0;
  if (SUCCEEDED(hr)) {
    server.registered = true;
    SetTimer(nullptr, 0, 250, watchIdle);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (server.registered) CoRevokeClassObject(server.registration);
  } else {
    exitCode = 1;
  }
  closeTaskWindow();
  CoRegisterMessageFilter(nullptr, nullptr);
  return exitCode;
}

}  // namespace ormid::standin
