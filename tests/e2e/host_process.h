// Starts the built host as a browser would, with pipes on its standard
// streams, and speaks the framed protocol to it. The command that starts the
// host can be replaced with ORMID_HOST_COMMAND (e.g. "wine64 /path/host.exe"),
// so that the same tests run against the Windows program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ormid::test {

using namespace std::chrono_literals;

// A fresh directory, removed with its content at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }  // ends in '/'

 private:
  std::string path_;
};

// True when the host under test is the Windows program.
bool windowsHost();
// How the host names a local path: "Z:\dir\file" for the Windows program.
std::string hostPath(const std::string& path);

class HostProcess {
 public:
  // `tmpdir` becomes the host's temporary directory; `environment` is added;
  // `launcher` (a command and its arguments) starts the host when given.
  explicit HostProcess(const std::string& tmpdir, const std::map<std::string, std::string>& environment = {},
                       const std::vector<std::string>& launcher = {});
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  void sendRaw(const std::string& bytes);
  void send(const std::string& json);  // one frame
  // The next frame's body, or nothing when none arrives in time.
  std::optional<std::string> receive(std::chrono::milliseconds timeout = 20s);
  // Sends a request and returns the next frame.
  std::string request(const std::string& json, std::chrono::milliseconds timeout = 20s);
  // Bytes that arrive on stdout within `timeout` (for checking that nothing does).
  std::string drain(std::chrono::milliseconds timeout);
  // Joins the parts of a document transfer, repeating `request` until the
  // last part; the complete answer. Counts the answers and the largest frame.
  std::string transfer(const std::string& request, int* answers = nullptr, std::size_t* largest = nullptr);
  // Sends a request and returns its answer; the events that come before it
  // (frames without a messageId) are appended to `events`.
  std::string answer(const std::string& json, std::vector<std::string>& events,
                     std::chrono::milliseconds timeout = 120s);
  void closeInput();
  // Stops reading the host's output: its next write fails.
  void closeOutput();
  // Waits for the exit; the exit code, or -1 on a time-out (the host is then killed).
  int wait(std::chrono::milliseconds timeout = 30s);
  pid_t pid() const { return pid_; }

 private:
  bool readExactly(char* out, std::size_t size, std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::optional<int> exitCode_;
};

// Splits a JSON text produced by the host into its string members (top level
// and one level down), enough for the checks the tests make.
std::string jsonField(const std::string& json, const std::string& key);
// `text` inside a JSON string: backslashes and quotes escaped.
std::string jsonEscape(const std::string& text);
std::string fileText(const std::string& path);
void writeFileText(const std::string& path, const std::string& bytes);
std::string base64(const std::string& bytes);
// The output of a shell command; `ok`, when given, tells whether it exited with 0.
std::string shell(const std::string& command, bool* ok = nullptr);
// The text of one member of the zip file (a .docx or .odt) at `path`, or "".
std::string zipMember(const std::string& path, const std::string& member);
// The office processes whose command line mentions `marker` (a directory of
// the test's own, where their profile lives), in ascending order.
std::vector<pid_t> officeProcesses(const std::string& marker);

}  // namespace ormid::test
