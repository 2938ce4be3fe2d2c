// A child process for the platform tests: it exercises what can only be seen
// from outside a process (the single-instance lock held by another process,
// what reaches the real standard output, untranslated standard input).
//
//   platform-probe lock <name>   exit 0 when it got the lock, 3 when another holds it,
//                                5 when there is no lock to be had
//   platform-probe stdio         writes stray text through every standard-output
//                                route after the redirection, then one message
//   platform-probe stdin         echoes standard input to the message output
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "ormid/platform/platform.h"

namespace platform = ormid::platform;

namespace {
int lock(const char* name) {
  switch (platform::acquireInstanceLock(name, std::chrono::milliseconds(0)).outcome) {
    case platform::LockOutcome::acquired:
      return 0;
    case platform::LockOutcome::busy:
      return 3;
    default:
      return 5;
  }
}

// A failed redirection exits with 10 + its StdioResult.
int redirect() { return 10 + static_cast<int>(platform::redirectStdoutToStderr()); }

int stdio() {
  if (const int failed = redirect(); failed != 10) return failed;
  std::printf("stray printf\n");
  std::fflush(stdout);
  std::cout << "stray cout" << std::endl;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "stray handle\n", 13, &written, nullptr);
  return platform::writeMessageOutput("MESSAGE", 7) ? 0 : 7;
}

int echoStdin() {
  platform::setStdinBinary();
  if (const int failed = redirect(); failed != 10) return failed;
  char buffer[256];
  std::string all;
  for (;;) {
    const std::size_t n = platform::readStdin(buffer, sizeof buffer);
    all.append(buffer, n);
    if (n < sizeof buffer) break;
  }
  return platform::writeMessageOutput(all.data(), all.size()) ? 0 : 7;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "lock") == 0) return lock(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "stdio") == 0) return stdio();
  if (argc == 2 && std::strcmp(argv[1], "stdin") == 0) return echoStdin();
  return 2;
}
