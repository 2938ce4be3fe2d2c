#include <windows.h>

#include <chrono>
#include <thread>
#include <utility>

#include "client/host_process.h"
#include "host/text/text.h"
#include "ormid/platform/unique_handle.h"

namespace ormid::client {

namespace {

using platform::LocalMemory;
using platform::UniqueHandle;

std::wstring toWide(const std::string& text) {
  std::u16string wide;
  if (!utf8ToWide(text, wide)) wide = fromAnsi(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string lastError() {
  LocalMemory<char> text;
  ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      ::GetLastError(), 0, reinterpret_cast<char*>(text.put()), 0, nullptr);
  std::string message = text ? text.get() : "unknown error";
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}

class Win32HostProcess final : public HostProcess {
 public:
  Win32HostProcess(UniqueHandle process, UniqueHandle input, UniqueHandle output)
      : process_(std::move(process)), input_(std::move(input)), output_(std::move(output)) {}

  ~Win32HostProcess() override {
    closeInput();
    if (!waitForExit(2000)) {
      kill();
      waitForExit(2000);
    }
  }

  bool write(std::string_view bytes) override {
    while (!bytes.empty()) {
      if (!input_.get()) return false;
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(bytes.size() > (1u << 30) ? (1u << 30) : bytes.size());
      if (!::WriteFile(input_.get(), bytes.data(), chunk, &written, nullptr)) return false;
      bytes.remove_prefix(written);
    }
    return true;
  }

  ReadResult read(std::span<char> into, std::size_t& got, int timeoutMs) override {
    if (!output_.get()) return ReadResult::end;
    // Anonymous pipes have no overlapped reads: look before reading.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      DWORD available = 0;
      if (!::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) {
        output_.reset();
        return ReadResult::end;
      }
      if (available > 0) break;
      if (std::chrono::steady_clock::now() >= deadline) return ReadResult::timeout;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    DWORD n = 0;
    const auto size = static_cast<DWORD>(into.size() > (1u << 30) ? (1u << 30) : into.size());
    if (!::ReadFile(output_.get(), into.data(), size, &n, nullptr) || n == 0) {
      output_.reset();
      return ReadResult::end;
    }
    got = n;
    return ReadResult::data;
  }

  void closeInput() override { input_.reset(); }

  bool waitForExit(int timeoutMs) override {
    if (!process_.get()) return true;
    if (::WaitForSingleObject(process_.get(), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return false;
    process_.reset();
    return true;
  }

  void kill() override {
    if (process_.get()) ::TerminateProcess(process_.get(), 1);
  }

 private:
  UniqueHandle process_;
  UniqueHandle input_;
  UniqueHandle output_;
};

}  // namespace

std::unique_ptr<HostProcess> HostProcess::start(const std::string& command, bool isShellCommand,
                                                std::string& error) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  UniqueHandle toHostRead, toHostWrite, fromHostRead, fromHostWrite;
  if (!::CreatePipe(toHostRead.put(), toHostWrite.put(), &inherit, 0) ||
      !::CreatePipe(fromHostRead.put(), fromHostWrite.put(), &inherit, 0)) {
    error = "cannot create pipes: " + lastError();
    return nullptr;
  }
  // Only the host's ends are inherited.
  ::SetHandleInformation(toHostWrite.get(), HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(fromHostRead.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = toHostRead.get();
  startup.hStdOutput = fromHostWrite.get();
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  std::wstring commandLine = isShellCommand ? toWide(command) : L"\"" + toWide(command) + L"\"";
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &info)) {
    error = "cannot run " + command + ": " + lastError();
    return nullptr;
  }
  const UniqueHandle thread(info.hThread);
  return std::make_unique<Win32HostProcess>(UniqueHandle(info.hProcess), std::move(toHostWrite),
                                            std::move(fromHostRead));
}

std::string defaultHostPath() {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return "ormid-doc-editor.exe";
  std::u16string self(path, path + n);
  const auto slash = self.find_last_of(u"\\/");
  return wideToUtf8(self.substr(0, slash + 1)) + "ormid-doc-editor.exe";
}

}  // namespace ormid::client
