// The office process behind one automation session. Without a display it is
// private: its own profile and pipe name, never the user's running office,
// tied to the host so that it cannot outlive it. With a display it is the
// person's office: a profile and pipe name of their own that stay the same
// from one host to the next, started in a session of its own so that the
// documents the person edits in it survive the host.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "ormid/platform/unique_fd.h"

namespace ormid::uno {

// Whether the installation in `programDir` can be started: its binary and the
// bootstrap file that remote clients need.
bool officeInstalled(const std::string& programDir);

// Whether the office in `programDir` can show windows here. `why` says on
// which display, or why not: no display set, no window plugin installed (the
// office's build without a user interface), or a display that cannot be
// reached.
bool canShowWindows(const std::string& programDir, std::string& why);

// The directory that holds the private profiles: $TMPDIR when set, else
// /tmp/ormid-<uid>/ (created for this user only). Empty, with `error` set,
// when it cannot be had.
std::string scratchDirectory(std::string& error);

// Where the person's office lives: ${XDG_CONFIG_HOME:-$HOME/.config}/ormid-doc-editor,
// created for this user only. Empty, with `error` set, when it cannot be had.
std::string personalDirectory(std::string& error);
// The pipe name of the person's office with the profile `profile`: the same
// for every host of this user, different for another user or profile.
std::string personalPipeName(const std::string& profile);

// An exclusive lock (flock) on a file, held while the object lives.
class FileLock {
 public:
  // Waits up to `timeout` for the lock; null with `error` set when it cannot be had.
  static std::unique_ptr<FileLock> acquire(const std::string& path, std::chrono::milliseconds timeout,
                                           std::string& error);

 private:
  explicit FileLock(platform::UniqueFd fd) : fd_(std::move(fd)) {}
  platform::UniqueFd fd_;
};

class OfficeProcess {
 public:
  struct Options {
    std::string programDir;
    bool headless = true;
    // The person's office: the profile directory it keeps and its pipe name.
    // Empty for a private office.
    std::string profile;
    std::string pipeName;
  };

  // Starts the office; null with `error` set on failure. Call it on a thread
  // that lives as long as the process (the host's main thread): a private
  // office is killed when the thread that started it ends.
  static std::unique_ptr<OfficeProcess> start(const Options& options, std::string& error);
  // The person's office `pid`, started by an earlier host; null when that
  // process is not (any more) the office with these options.
  static std::unique_ptr<OfficeProcess> adopt(const Options& options, pid_t pid);
  ~OfficeProcess();  // stop() with a short grace period, unless detached

  OfficeProcess(const OfficeProcess&) = delete;
  OfficeProcess& operator=(const OfficeProcess&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& pipeName() const { return pipeName_; }
  const std::string& profileDirectory() const { return profile_; }
  bool personal() const { return !options_.profile.empty(); }

  // Whether the office shows its windows on a display: it has loaded a
  // window plugin. An office that cannot open its display carries on
  // without one, invisible, as if it had been started headless.
  bool showsWindows() const;
  // Whether the process still runs; reaps it once it has ended.
  bool running();
  // How it ended (exit code, or 128 + signal), once reaped; -1 when it was
  // not this host's child.
  std::optional<int> exitCode() const { return exitCode_; }
  // Waits up to `timeout` for the process to end by itself.
  bool waitForExit(std::chrono::milliseconds timeout);
  // Starts the office again with the same profile and pipe name, for an
  // office that ended asking to be restarted (as it may on a fresh profile).
  bool restart(std::string& error);
  // Ends the process (SIGTERM, up to `grace`, then SIGKILL), reaps it and
  // removes a private profile. Safe to call more than once.
  void stop(std::chrono::milliseconds grace);
  // Leaves the process running on its own: nothing here ends it any more.
  // A child that ends later is reaped by the next office started.
  void detach();

  // Exit codes with which the office asks its launcher to start it again.
  static bool wantsRestart(int exitCode) { return exitCode == 79 || exitCode == 81; }

 private:
  OfficeProcess() = default;
  bool launch(std::string& error);
  bool isTheOffice() const;

  Options options_;
  std::string pipeName_;
  std::string profile_;
  pid_t pid_ = -1;
  bool child_ = true;
  std::optional<int> exitCode_;
};

}  // namespace ormid::uno
