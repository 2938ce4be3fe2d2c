// The host as a child process of the client: its standard input and output
// are pipes, its standard error is the client's.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace ormid::client {

class HostProcess {
 public:
  enum class ReadResult { data, timeout, end };

  virtual ~HostProcess() = default;  // ends a host that is still running

  // Starts `command`: a program path when `isShellCommand` is false, else a
  // command line run the way the system's shell runs it. Null and `error` set
  // when the host cannot be started.
  static std::unique_ptr<HostProcess> start(const std::string& command, bool isShellCommand,
                                            std::string& error);

  // Writes all bytes to the host's standard input; false when the host no
  // longer reads.
  virtual bool write(std::string_view bytes) = 0;
  // Reads what the host wrote into `into` (`got` bytes of it), waiting at
  // most `timeoutMs` for it.
  virtual ReadResult read(std::span<char> into, std::size_t& got, int timeoutMs) = 0;
  // Ends the host's standard input, which asks it to stop.
  virtual void closeInput() = 0;
  // Waits up to `timeoutMs` for the host to end; true when it has ended.
  virtual bool waitForExit(int timeoutMs) = 0;
  virtual void kill() = 0;
};

// The host executable installed beside the running client.
std::string defaultHostPath();

}  // namespace ormid::client
