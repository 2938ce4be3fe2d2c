// The Windows program started as a browser starts it, for the tests that drive
// it under Wine: pipes on standard input and output, standard error in a file
// of its temporary directory, that directory in TMP and TEMP.
#pragma once

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>

namespace ormid::test {

class Host {
 public:
  explicit Host(const std::string& tempDir);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  void send(const std::string& json);
  std::optional<std::string> receive(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::string request(const std::string& json) {
    send(json);
    return receive().value_or("<no answer>");
  }
  void closeInput();
  // The exit code, or -1 when the host has not ended in time.
  long wait(DWORD milliseconds = 30000);
  DWORD id() const { return id_; }

 private:
  bool read(std::string& into, std::size_t size, std::chrono::steady_clock::time_point deadline);

  HANDLE in_ = nullptr;
  HANDLE out_ = nullptr;
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

std::string readFile(const std::string& path);

// A request on the document `name` of `dir` (a Windows path; a trailing
// backslash is dropped), with `extra` members.
std::string doc(const std::string& command, const std::string& dir, const std::string& name,
                const std::string& extra = "");

// The value of a member "key":"value" of an answer, or "<absent>".
std::string field(const std::string& json, const std::string& key);

}  // namespace ormid::test
