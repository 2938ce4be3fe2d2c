#include "tests/e2e/host_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/json/json.h"
#include "host/text/text.h"
#include "host/base64/base64.h"

extern char** environ;

namespace ormid::test {
namespace {

// ORMID_HOST_COMMAND split at spaces, else the built host beside the test binary.
std::vector<std::string> hostCommand() {
  const char* command = std::getenv("ORMID_HOST_COMMAND");
  if (!command || !*command)
    return {std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/ormid-doc-editor"};
  std::vector<std::string> words;
  std::istringstream in(command);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

bool windowsHost() {
  const char* command = std::getenv("ORMID_HOST_COMMAND");
  return command && std::string(command).find(".exe") != std::string::npos;
}

std::string hostPath(const std::string& path) {
  if (!windowsHost()) return path;
  std::string result = "Z:" + path;
  std::replace(result.begin(), result.end(), '/', '\\');
  return result;
}

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/ormid-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern + "/";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

HostProcess::HostProcess(const std::string& tmpdir, const std::map<std::string, std::string>& environment,
                         const std::vector<std::string>& launcher) {
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const int error =
      open((tmpdir + "host-stderr.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);

  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  env["TMPDIR"] = tmpdir;
  // No word processor unless a test asks for one.
  env["ORMID_EDITOR"] = "none";
  if (windowsHost()) env["TMP"] = env["TEMP"] = hostPath(tmpdir);
  for (const auto& [key, value] : environment) env[key] = value;
  std::vector<std::string> entries;
  for (const auto& [key, value] : env) entries.push_back(key + "=" + value);
  std::vector<std::string> command = launcher;
  for (std::string& word : hostCommand()) command.push_back(std::move(word));
  auto pointers = [](std::vector<std::string>& words) {
    std::vector<char*> result;
    for (std::string& word : words) result.push_back(word.data());
    result.push_back(nullptr);
    return result;
  };
  std::vector<char*> envp = pointers(entries), argv = pointers(command);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_adddup2(&actions, error, 2);
  const int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  close(output[1]);
  close(error);
  if (rc != 0) throw std::runtime_error(std::string("cannot start the host: ") + std::strerror(rc));
  in_ = input[1];
  out_ = output[0];
  signal(SIGPIPE, SIG_IGN);
}

HostProcess::~HostProcess() {
  if (in_ >= 0) close(in_);
  if (!exitCode_ && pid_ > 0) {
    if (wait(5s) == -1) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  if (out_ >= 0) close(out_);
}

void HostProcess::sendRaw(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(in_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

void HostProcess::send(const std::string& json) {
  const auto n = static_cast<std::uint32_t>(json.size());
  const char header[4] = {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                          static_cast<char>(n >> 24)};
  sendRaw(std::string(header, 4) + json);
}

bool HostProcess::readExactly(char* out, std::size_t size, std::chrono::steady_clock::time_point deadline) {
  std::size_t done = 0;
  while (done < size) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready <= 0) {
      if (ready < 0 && errno == EINTR) continue;
      return false;
    }
    const ssize_t n = read(out_, out + done, size - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> HostProcess::receive(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  unsigned char header[4];
  if (!readExactly(reinterpret_cast<char*>(header), 4, deadline)) return std::nullopt;
  const std::uint32_t n =
      header[0] | header[1] << 8 | header[2] << 16 | static_cast<std::uint32_t>(header[3]) << 24;
  std::string body(n, '\0');
  if (!readExactly(body.data(), n, deadline)) return std::nullopt;
  return body;
}

std::string HostProcess::request(const std::string& json, std::chrono::milliseconds timeout) {
  send(json);
  return receive(timeout).value_or("<no answer>");
}

std::string HostProcess::drain(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string got;
  for (char c; readExactly(&c, 1, deadline);) got += c;
  return got;
}

std::string HostProcess::transfer(const std::string& request, int* answers, std::size_t* largest) {
  std::string joined;
  for (int i = 0; i < 100000; ++i) {
    const std::string answer = this->request(request);
    if (answers) ++*answers;
    if (largest) *largest = std::max(*largest, answer.size());
    const std::string part = jsonField(answer, "part");
    if (part.rfind('<', 0) == 0) {
      ADD_FAILURE() << answer.substr(0, 300);
      return joined;
    }
    joined += part;
    if (jsonField(answer, "last") == "true") return joined;
  }
  ADD_FAILURE() << "transfer did not end";
  return joined;
}

std::string HostProcess::answer(const std::string& json, std::vector<std::string>& events,
                                std::chrono::milliseconds timeout) {
  send(json);
  for (;;) {
    const std::optional<std::string> frame = receive(timeout);
    if (!frame) return "<no answer>";
    if (jsonField(*frame, "messageId") != "<absent>") return *frame;
    events.push_back(*frame);
  }
}

void HostProcess::closeInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void HostProcess::closeOutput() {
  if (out_ >= 0) close(out_);
  out_ = -1;
}

int HostProcess::wait(std::chrono::milliseconds timeout) {
  if (exitCode_) return *exitCode_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return *exitCode_;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    usleep(10000);
  }
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFileText(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string base64(const std::string& bytes) {
  return base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string shell(const std::string& command, bool* ok) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  if (ok) *ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return out;
}

std::string zipMember(const std::string& path, const std::string& member) {
  return shell(
      "python3 -c 'import sys, zipfile; "
      "sys.stdout.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]).decode())' '" +
      path + "' '" + member + "' 2>/dev/null");
}

std::vector<pid_t> officeProcesses(const std::string& marker) {
  std::vector<pid_t> found;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    // A zombie's command line is empty.
    const std::string command = fileText(entry.path().string() + "/cmdline");
    if (command.find("soffice") != std::string::npos && command.find(marker) != std::string::npos)
      found.push_back(std::atoi(entry.path().filename().c_str()));
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string jsonEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string jsonField(const std::string& json, const std::string& key) {
  std::u16string wide;
  if (!utf8ToWide(json, wide)) return "<bad utf-8>";
  auto root = parseJson(wide);
  if (!root || !root->isObject()) return "<not an object>";
  std::u16string wideKey;
  utf8ToWide(key, wideKey);
  auto find = [&](const JsonObject& object) -> const JsonValue* {
    auto it = object.find(wideKey);
    return it == object.end() ? nullptr : it->second.get();
  };
  const JsonValue* value = find(root->asObject());
  if (!value) {
    for (const auto& [name, member] : root->asObject()) {
      if (member && member->isObject() && (value = find(member->asObject()))) break;
    }
  }
  if (!value) return "<absent>";
  if (value->isString()) return wideToUtf8(value->asString());
  if (value->isBool()) return value->asBool() ? "true" : "false";
  return "<other>";
}

}  // namespace ormid::test
