#include "host_pipe.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace ormid::test {

Host::Host(const std::string& tempDir) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE childIn = nullptr;
  HANDLE childOut = nullptr;
  CreatePipe(&childIn, &in_, &inherit, 0);
  CreatePipe(&out_, &childOut, &inherit, 0);
  SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
  HANDLE error =
      CreateFileA((tempDir + "host-stderr.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  SetEnvironmentVariableA("TMP", tempDir.c_str());
  SetEnvironmentVariableA("TEMP", tempDir.c_str());

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn;
  startup.hStdOutput = childOut;
  startup.hStdError = error;
  // The program beside this test program.
  char self[MAX_PATH];
  const std::string selfPath(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
  std::string commandLine =
      '"' + selfPath.substr(0, selfPath.find_last_of('\\') + 1) + "ormid-doc-editor.exe\"";
  PROCESS_INFORMATION info{};
  if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                     &info)) {
    process_ = info.hProcess;
    id_ = info.dwProcessId;
    CloseHandle(info.hThread);
  }
  CloseHandle(childIn);
  CloseHandle(childOut);
  CloseHandle(error);
}

Host::~Host() {
  closeInput();
  if (process_) {
    if (WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0) TerminateProcess(process_, 99);
    CloseHandle(process_);
  }
  CloseHandle(out_);
}

void Host::send(const std::string& json) {
  const auto n = static_cast<std::uint32_t>(json.size());
  const char header[4] = {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                          static_cast<char>(n >> 24)};
  const std::string frame = std::string(header, 4) + json;
  DWORD written = 0;
  WriteFile(in_, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr);
}

std::optional<std::string> Host::receive(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string header;
  if (!read(header, 4, deadline)) return std::nullopt;
  const auto* h = reinterpret_cast<const unsigned char*>(header.data());
  std::string body;
  if (!read(body, h[0] | h[1] << 8 | h[2] << 16 | static_cast<std::uint32_t>(h[3]) << 24, deadline))
    return std::nullopt;
  return body;
}

void Host::closeInput() {
  if (in_) CloseHandle(in_);
  in_ = nullptr;
}

long Host::wait(DWORD milliseconds) {
  DWORD code = 0;
  if (!process_ || WaitForSingleObject(process_, milliseconds) != WAIT_OBJECT_0) return -1;
  GetExitCodeProcess(process_, &code);
  return static_cast<long>(code);
}

bool Host::read(std::string& into, std::size_t size, std::chrono::steady_clock::time_point deadline) {
  into.clear();
  while (into.size() < size) {
    DWORD available = 0;
    if (!PeekNamedPipe(out_, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      Sleep(5);
      continue;
    }
    std::string chunk(std::min<std::size_t>(available, size - into.size()), '\0');
    DWORD got = 0;
    if (!ReadFile(out_, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) return false;
    into.append(chunk, 0, got);
  }
  return true;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string doc(const std::string& command, const std::string& dir, const std::string& name,
                const std::string& extra) {
  std::string escaped;
  for (char c : dir.substr(0, dir.size() - (!dir.empty() && dir.back() == '\\')))
    escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return R"({"messageId":"1","contentId":"c","command":")" + command + R"(","workingDirectory":")" + escaped +
         R"(","nameFile":")" + name + "\"" + (extra.empty() ? "" : "," + extra) + "}";
}

std::string field(const std::string& json, const std::string& key) {
  const std::string start = "\"" + key + "\":\"";
  const auto at = json.find(start);
  if (at == std::string::npos) return "<absent>";
  const auto from = at + start.size();
  return json.substr(from, json.find('"', from) - from);
}

}  // namespace ormid::test
