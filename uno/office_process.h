// The office process behind one automation session: started privately (its
// own profile and pipe name, never the user's running office), tied to the
// host so that it cannot outlive it, and ended and reaped on request.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace ormid::uno {

// Whether the installation in `programDir` can be started: its binary and the
// bootstrap file that remote clients need.
bool officeInstalled(const std::string& programDir);

// True when no display is reachable (no DISPLAY and no WAYLAND_DISPLAY): the
// office then runs headless and invisible.
bool noDisplay();

// The directory that holds the private profiles: $TMPDIR when set, else
// /tmp/ormid-<uid>/ (created for this user only). Empty, with `error` set,
// when it cannot be had.
std::string scratchDirectory(std::string& error);

class OfficeProcess {
 public:
  struct Options {
    std::string programDir;
    bool headless = true;
  };

  // Starts the office; null with `error` set on failure. Call it on a thread
  // that lives as long as the process (the host's main thread): the office is
  // killed when the thread that started it ends.
  static std::unique_ptr<OfficeProcess> start(const Options& options, std::string& error);
  ~OfficeProcess();  // stop() with a short grace period

  OfficeProcess(const OfficeProcess&) = delete;
  OfficeProcess& operator=(const OfficeProcess&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& pipeName() const { return pipeName_; }
  const std::string& profileDirectory() const { return profile_; }

  // Whether the process still runs; reaps it once it has ended.
  bool running();
  // How it ended (exit code, or 128 + signal), once reaped.
  std::optional<int> exitCode() const { return exitCode_; }
  // Waits up to `timeout` for the process to end by itself.
  bool waitForExit(std::chrono::milliseconds timeout);
  // Starts the office again with the same profile and pipe name, for an
  // office that ended asking to be restarted (as it may on a fresh profile).
  bool restart(std::string& error);
  // Ends the process (SIGTERM, up to `grace`, then SIGKILL), reaps it and
  // removes the profile. Safe to call more than once.
  void stop(std::chrono::milliseconds grace);

  // Exit codes with which the office asks its launcher to start it again.
  static bool wantsRestart(int exitCode) { return exitCode == 79 || exitCode == 81; }

 private:
  OfficeProcess() = default;
  bool launch(std::string& error);

  Options options_;
  std::string pipeName_;
  std::string profile_;
  pid_t pid_ = -1;
  std::optional<int> exitCode_;
};

}  // namespace ormid::uno
