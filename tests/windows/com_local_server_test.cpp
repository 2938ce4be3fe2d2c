// The COM local-server set-up of the Wine harness, seen from a client: it runs
// in a prefix where scripts/wine/setup-prefix.sh registered the test server
// as "Word.Application" (run-suite.sh --server ormid-test-com-server.exe).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ormid/com_api.h"
#include "ormid/com_ptr.h"
#include "test_server_ids.h"

namespace {

using ormid::com::ComPtr;
using ormid::com::Variant;
using ormid::test::kApplicationEvents;

// A late-bound call by name, as the host makes them.
HRESULT call(IDispatch* object, WORD kind, const wchar_t* name, std::vector<Variant> arguments = {},
             VARIANT* result = nullptr) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  std::vector<VARIANT> reversed;
  for (auto it = arguments.rbegin(); it != arguments.rend(); ++it) reversed.push_back(*it->get());
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (kind == DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &named;
    params.cNamedArgs = 1;
  }
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, kind, &params, result, nullptr, nullptr);
}

std::wstring getText(IDispatch* object, const wchar_t* name) {
  Variant value;
  if (FAILED(call(object, DISPATCH_PROPERTYGET, name, {}, value.put())) || value.type() != VT_BSTR)
    return L"?";
  return std::wstring(value.get()->bstrVal, SysStringLen(value.get()->bstrVal));
}

HRESULT putText(IDispatch* object, const wchar_t* name, std::u16string_view text) {
  std::vector<Variant> arguments;
  arguments.push_back(Variant::string(text));
  return call(object, DISPATCH_PROPERTYPUT, name, std::move(arguments));
}

LONG getProcessId(IDispatch* object) {
  Variant value;
  if (FAILED(call(object, DISPATCH_PROPERTYGET, L"ProcessId", {}, value.put())) || value.type() != VT_I4)
    return 0;
  return value.get()->lVal;
}

HRESULT activate(ComPtr<IDispatch>& application) {
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(L"Word.Application", &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, application.putVoid());
}

// Waits for a server process to end; true when it did within the time.
bool ended(LONG processId, DWORD milliseconds) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(processId));
  if (!process) return true;  // already gone
  const bool result = WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0;
  CloseHandle(process);
  return result;
}

// The client's event sink: records what the application sends and reads the
// document's full name back from the server while the event is running.
class Sink final : public IDispatch {
 public:
  struct Call {
    DISPID id;
    std::vector<VARTYPE> types;
    std::wstring fullName;
  };
  std::vector<Call> calls;
  ULONG references = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kApplicationEvents) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }  // lives on the test's stack
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    Call seen{id, {}, {}};
    for (UINT i = 0; i < params->cArgs; ++i) seen.types.push_back(params->rgvarg[i].vt);
    if (params->cArgs == 3 && params->rgvarg[2].vt == VT_DISPATCH) {
      seen.fullName = getText(params->rgvarg[2].pdispVal, L"FullName");
      if (params->rgvarg[0].vt == (VT_BOOL | VT_BYREF)) *params->rgvarg[0].pboolVal = VARIANT_TRUE;
    }
    calls.push_back(std::move(seen));
    return S_OK;
  }
};

class ComLocalServer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(ComLocalServer, ActivatesByProgIdAndAnswersLateBoundCalls) {
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(L"Word.Application", &clsid), S_OK);
  EXPECT_TRUE(clsid == ormid::test::kTestServerClsid);
  EXPECT_EQ(CLSIDFromProgID(L"Ormid.NoSuchProgId", &clsid), CO_E_CLASSSTRING);

  const auto start = std::chrono::steady_clock::now();
  ComPtr<IDispatch> application;
  ASSERT_EQ(activate(application), S_OK);
  const auto started = std::chrono::steady_clock::now();
  const LONG server = getProcessId(application.get());
  EXPECT_NE(server, 0);
  EXPECT_NE(server, static_cast<LONG>(GetCurrentProcessId())) << "served by another process";

  EXPECT_EQ(getText(application.get(), L"Value"), L"initial");
  EXPECT_EQ(putText(application.get(), L"Value", u"changed"), S_OK);
  EXPECT_EQ(getText(application.get(), L"value"), L"changed") << "names are not case-sensitive";
  EXPECT_EQ(call(application.get(), DISPATCH_METHOD, L"NoSuchMember"), DISP_E_UNKNOWNNAME);

  constexpr int kCalls = 200;
  const auto before = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) getProcessId(application.get());
  const auto after = std::chrono::steady_clock::now();
  using std::chrono::duration;
  std::printf("[ measure  ] activation %.0f ms, one call by name (look-up and invoke) %.2f ms\n",
              duration<double, std::milli>(started - start).count(),
              duration<double, std::milli>(after - before).count() / kCalls);

  application.reset();
  EXPECT_TRUE(ended(server, 5000)) << "the last release ends the server";
}

TEST_F(ComLocalServer, EventReachesTheSinkThroughTheEventsInterface) {
  ComPtr<IDispatch> application;
  ASSERT_EQ(activate(application), S_OK);
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(application.queryInterface(IID_IConnectionPointContainer, container), S_OK);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, point.put()), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(kApplicationEvents, point.put()), S_OK);

  Sink sink;
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
  EXPECT_EQ(getText(application.get(), L"SinkInterface"), L"events")
      << "the server got the sink as the events interface: the type library is registered";

  Variant cancel;
  ASSERT_EQ(call(application.get(), DISPATCH_METHOD, L"RaiseBeforeSave", {}, cancel.put()), S_OK);
  ASSERT_EQ(sink.calls.size(), 1u);
  EXPECT_EQ(sink.calls[0].id, 8);
  EXPECT_EQ(sink.calls[0].types, (std::vector<VARTYPE>{VT_BOOL | VT_BYREF, VT_BOOL | VT_BYREF, VT_DISPATCH}));
  EXPECT_EQ(sink.calls[0].fullName, L"C:\\Docs\\a.docx") << "a call back into the server during the event";
  EXPECT_EQ(cancel.type(), VT_BOOL);
  EXPECT_EQ(cancel.get()->boolVal, VARIANT_TRUE) << "a by-reference argument travels back";

  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  ASSERT_EQ(call(application.get(), DISPATCH_METHOD, L"RaiseBeforeSave"), S_OK);
  EXPECT_EQ(sink.calls.size(), 1u) << "no event after Unadvise";
  point.reset();
  container.reset();
  application.reset();
  EXPECT_EQ(sink.references, 0u) << "the server let go of the sink";
}

TEST_F(ComLocalServer, QuitEndsTheServerAndTheNextActivationStartsAfresh) {
  ComPtr<IDispatch> application;
  ASSERT_EQ(activate(application), S_OK);
  const LONG first = getProcessId(application.get());
  ASSERT_EQ(putText(application.get(), L"Value", u"dirty"), S_OK);
  EXPECT_EQ(call(application.get(), DISPATCH_METHOD, L"Quit"), S_OK) << "the reply comes before the end";
  EXPECT_TRUE(ended(first, 5000));
  EXPECT_TRUE(FAILED(call(application.get(), DISPATCH_PROPERTYGET, L"Value"))) << "the server is gone";
  application.reset();

  ASSERT_EQ(activate(application), S_OK);
  EXPECT_NE(getProcessId(application.get()), first);
  EXPECT_EQ(getText(application.get(), L"Value"), L"initial");
}

// A client that ends without releasing anything: its server must not outlive
// the idle limit, or it would serve the next client with this one's state. A
// server in use must not end, however long it has been running.
TEST_F(ComLocalServer, AServerLeftBehindByItsClientEndsWhenIdle) {
  SetEnvironmentVariableA("ORMID_LOCAL_SERVER_IDLE_MS", "1500");  // inherited by the server
  {
    ComPtr<IDispatch> busy;
    ASSERT_EQ(activate(busy), S_OK);
    const LONG server = getProcessId(busy.get());
    for (int i = 0; i < 8; ++i) {
      Sleep(250);
      ASSERT_EQ(getProcessId(busy.get()), server) << "a server in use outlives the idle limit";
    }
  }
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string commandLine = std::string("\"") + self + "\" --leave-server-behind";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &child));
  WaitForSingleObject(child.hProcess, 30000);
  DWORD server = 0;
  GetExitCodeProcess(child.hProcess, &server);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  SetEnvironmentVariableA("ORMID_LOCAL_SERVER_IDLE_MS", nullptr);
  ASSERT_GT(server, 1u) << "the child could not activate the server";

  EXPECT_TRUE(ended(static_cast<LONG>(server), 10000)) << "the abandoned server ends once idle";
  ComPtr<IDispatch> application;
  ASSERT_EQ(activate(application), S_OK);
  EXPECT_NE(getProcessId(application.get()), static_cast<LONG>(server));
  EXPECT_EQ(getText(application.get(), L"Value"), L"initial");
}

// The abandoning client: activates, changes the state and exits at once with
// the server's process id as exit code, releasing nothing.
int leaveServerBehind() {
  if (FAILED(CoInitialize(nullptr))) return 0;
  ComPtr<IDispatch> application;
  if (FAILED(activate(application))) return 1;
  putText(application.get(), L"Value", u"left behind");
  ExitProcess(static_cast<UINT>(getProcessId(application.get())));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--leave-server-behind") == 0) return leaveServerBehind();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
