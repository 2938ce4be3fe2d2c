// The Windows side of the operating-system seam, under Wine or Windows.
#include "ormid/platform/platform.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ormid/platform/unique_handle.h"

namespace platform = ormid::platform;

namespace {

std::string uniqueName(const char* stem) {
  return std::string(stem) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetTickCount64());
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct ProbeRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out;
  std::string err;
};

// Runs the probe beside this test program with the given arguments, standard
// input taken from `input` and both outputs caught in files.
ProbeRun runProbe(const std::string& arguments, const std::string& input = {}, bool withStdout = true) {
  char self[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string dir(self, length);
  dir.resize(dir.find_last_of('\\') + 1);
  const std::string base = platform::tempPath() + uniqueName("probe");
  { std::ofstream(base + ".in", std::ios::binary) << input; }

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  auto open = [&](const std::string& path, DWORD access, DWORD disposition) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE in = open(base + ".in", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = withStdout ? open(base + ".out", GENERIC_WRITE, CREATE_ALWAYS) : nullptr;
  HANDLE err = open(base + ".err", GENERIC_WRITE, CREATE_ALWAYS);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  std::string commandLine = "\"" + dir + "ormid-platform-probe.exe\" " + arguments;
  ProbeRun run;
  if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                     &process)) {
    WaitForSingleObject(process.hProcess, 30000);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(in);
  if (out) CloseHandle(out);
  CloseHandle(err);
  run.out = readFile(base + ".out");
  run.err = readFile(base + ".err");
  for (const char* suffix : {".in", ".out", ".err"}) DeleteFileA((base + suffix).c_str());
  return run;
}

// A holder that lets go during the wait lets the next host in: the stand-in
// end-to-end suite's reconnecting browser, run against the Windows program.
TEST(Win32InstanceLock, AnAbandonedOrUnopenableMutexIsSeenAsSuch) {
  using namespace std::chrono_literals;
  // A mutex belongs to a thread: taken on one that ends without letting go,
  // it is abandoned, and this thread acquires it.
  const std::string name = uniqueName("OrmidTestLock");
  platform::InstanceLockResult abandoned;
  const auto holder = platform::Thread::start([&] {
    abandoned = platform::acquireInstanceLock(name.c_str(), 0ms);
    return 0u;
  });
  ASSERT_TRUE(holder->waitFor(5000));
  ASSERT_EQ(abandoned.outcome, platform::LockOutcome::acquired);
  auto afterwards = platform::acquireInstanceLock(name.c_str(), 0ms);
  EXPECT_EQ(afterwards.outcome, platform::LockOutcome::acquired) << "its holder ended without letting go";
  afterwards.lock.reset();  // before the abandoned lock, which this thread never owned

  // A mutex of that name that cannot be opened (another user's instance)
  // means that the program runs already.
  const std::string guarded = uniqueName("OrmidTestGuardedLock");
  SECURITY_DESCRIPTOR noAccess;
  InitializeSecurityDescriptor(&noAccess, SECURITY_DESCRIPTOR_REVISION);
  ACL emptyAcl;
  InitializeAcl(&emptyAcl, sizeof emptyAcl, ACL_REVISION);
  SetSecurityDescriptorDacl(&noAccess, TRUE, &emptyAcl, FALSE);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &noAccess, FALSE};
  const platform::UniqueHandle foreign(CreateMutexA(&attributes, FALSE, guarded.c_str()));
  ASSERT_TRUE(foreign);
  EXPECT_EQ(runProbe("lock " + guarded).exitCode, 3u);
}

TEST(Win32Stdio, OnlyMessageOutputReachesStandardOutputAndInputIsReadUntranslated) {
  const ProbeRun run = runProbe("stdio");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, "MESSAGE");
  for (const char* stray : {"stray printf", "stray cout", "stray handle"})
    EXPECT_NE(run.err.find(stray), std::string::npos) << stray;

  const DWORD noStdout = 10 + static_cast<DWORD>(platform::StdioResult::noStdout);
  EXPECT_EQ(runProbe("stdio", {}, false).exitCode, noStdout) << "nothing could ever reach the peer";

  const std::string bytes("\x05\x00\x00\x00\r\n\x1a\r\x00z\n", 11);
  const ProbeRun echo = runProbe("stdin", bytes);
  EXPECT_EQ(echo.exitCode, 0u);
  EXPECT_EQ(echo.out, bytes);
}

TEST(Win32Thread, TerminateStopsAStuckThreadAndAnExceptionEndsOnlyTheThread) {
  auto event = platform::ManualResetEvent::create(nullptr);
  ASSERT_TRUE(event);
  auto stuck = platform::Thread::start([&] { return event->wait() ? 1u : 0u; });
  ASSERT_TRUE(stuck);
  EXPECT_FALSE(stuck->waitFor(100));
  stuck->terminate();
  EXPECT_TRUE(stuck->waitFor(5000));

  auto throwing = platform::Thread::start([]() -> std::uint32_t { throw 1; });
  EXPECT_TRUE(throwing->waitFor(5000)) << "an exception ends the thread, not the process";
}

// The messages that reach the procedure of the test window.
std::vector<std::uint32_t> seen;

std::intptr_t recordingProcedure(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                 std::intptr_t lParam) {
  if (message >= WM_USER) seen.push_back(message);
  if (message == WM_USER + 99) throw 1;  // must not unwind through the dispatch
  return platform::defaultWindowProcedure(window, message, wParam, lParam);
}

TEST(Win32Window, AProcedureThatThrowsLeavesTheLoopServing) {
  ASSERT_TRUE(platform::registerWindowClass("ormidTestWindow", recordingProcedure));
  auto window = static_cast<HWND>(platform::createHiddenWindow("ormidTestWindow"));
  ASSERT_NE(window, nullptr) << "needs the null graphics driver under Wine";
  EXPECT_FALSE(IsWindowVisible(window));

  seen.clear();
  platform::MessageLoop loop;
  EXPECT_TRUE(platform::postMessage(window, WM_USER + 99, 0, 0));
  EXPECT_TRUE(platform::postMessage(window, WM_USER + 10, 0, 0));
  while (loop.getMessage() > 0) {
    loop.dispatch();
    if (loop.message() == WM_USER + 10) break;
  }
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{WM_USER + 99, WM_USER + 10}));
  EXPECT_FALSE(platform::postMessage(nullptr, WM_USER + 1, 0, 0));
}

TEST(Win32Tasks, RunInOrderOnTheLoopThreadAndUnrunOnesAreFreed) {
  std::vector<int> order;
  DWORD taskThread = 0;
  platform::postTask([&] { order.push_back(0); });  // before the loop exists
  auto token = std::make_shared<int>(0);
  {
    platform::MessageLoop loop;
    auto poster = platform::Thread::start([&] {
      for (int i = 1; i <= 3; ++i) platform::postTask([&order, i] { order.push_back(i); });
      platform::postTask([] { throw 1; });
      platform::postTask([&] {
        taskThread = GetCurrentThreadId();
        order.push_back(-1);
      });
      return 0u;
    });
    ASSERT_TRUE(poster->waitFor(5000));
    while (order.empty() || order.back() != -1) {
      ASSERT_GT(loop.getMessage(), 0);
      loop.dispatch();
    }
    platform::postTask([token] {});  // never run: the loop ends first
    EXPECT_EQ(token.use_count(), 2);
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, -1}));
  EXPECT_EQ(taskThread, GetCurrentThreadId());
  EXPECT_EQ(token.use_count(), 1) << "a task left in the queue is destroyed with the loop";
}

}  // namespace
