// The POSIX side of the operating-system seam: the private temporary
// directory, the single-instance lock's place in it and the guard of the
// standard streams. A second host let in when the first lets go during the
// wait, and turned away after it: the stand-in end-to-end suite's reconnecting
// browser and the host suite's second instance.
#include "ormid/platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ormid/platform/unique_fd.h"

namespace platform = ormid::platform;
using platform::LockOutcome;
using platform::UniqueFd;
using namespace std::chrono_literals;

namespace {

// The exit status of `body` run in a forked child; -1 when it did not exit.
int inChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

const char* outcomeName(LockOutcome outcome) {
  const char* const names[] = {"acquired", "busy", "failed"};
  return names[static_cast<int>(outcome)];
}

// What a child running as `uid` sees: its temporary directory with TMPDIR
// unset, then two acquisitions of one lock with TMPDIR naming a missing
// directory.
std::string seenAs(uid_t uid) {
  int ends[2];
  if (pipe(ends) != 0) return "no pipe";
  UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
  const int status = inChild([&] {
    if (setgid(uid) != 0 || setuid(uid) != 0) return 1;
    unsetenv("TMPDIR");
    std::string seen = platform::tempPath();
    setenv("TMPDIR", "/nonexistent-ormid-test", 1);
    const auto first = platform::acquireInstanceLock("OrmidTestLock", 0ms);
    const auto second = platform::acquireInstanceLock("OrmidTestLock", 0ms);
    for (const LockOutcome outcome : {first.outcome, second.outcome})
      seen.append(" ").append(outcomeName(outcome));
    return write(writeEnd.get(), seen.data(), seen.size()) == static_cast<ssize_t>(seen.size()) ? 0 : 1;
  });
  writeEnd.reset();
  std::string seen;
  char buffer[256];
  for (ssize_t n; (n = read(readEnd.get(), buffer, sizeof buffer)) > 0;) seen.append(buffer, n);
  return status == 0 ? seen : "child failed";
}

// Run as a user of its own, so that the real /tmp/ormid-<uid> of a host on
// this machine is never touched.
TEST(PlatformPrivateTempDir, IsARealDirectoryOfTheUserAndServesTheLockWhenTmpdirIsMissing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as other users";
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t uid = 60000 + static_cast<uid_t>(getpid() % 5000);
  const std::string dir = "/tmp/ormid-" + std::to_string(uid);
  const std::string elsewhere = dir + "-elsewhere";
  const std::string usable = dir + "/ acquired busy";
  const std::string refused = " failed failed";
  struct Case {
    const char* what;
    std::function<bool()> arrange;
    std::string seen;
  };
  const Case cases[] = {
      {"made when missing", [] { return true; }, usable},
      {"wider mode narrowed",
       [&] { return mkdir(dir.c_str(), 0755) == 0 && chown(dir.c_str(), uid, uid) == 0; }, usable},
      {"symlink refused",
       [&] {
         return mkdir(elsewhere.c_str(), 0700) == 0 && chown(elsewhere.c_str(), uid, uid) == 0 &&
                symlink(elsewhere.c_str(), dir.c_str()) == 0 && lchown(dir.c_str(), uid, uid) == 0;
       },
       refused},
      {"another user's refused",
       [&] { return mkdir(dir.c_str(), 0700) == 0 && chown(dir.c_str(), nobody->pw_uid, 0) == 0; }, refused},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(dir);
    std::filesystem::remove_all(elsewhere);
    ASSERT_TRUE(c.arrange()) << c.what;
    EXPECT_EQ(seenAs(uid), c.seen) << c.what;
    if (c.seen != usable) continue;
    struct stat st {};
    EXPECT_EQ(lstat(dir.c_str(), &st), 0) << c.what;
    EXPECT_EQ(st.st_mode, S_IFDIR | 0700u) << c.what;
    EXPECT_EQ(st.st_uid, uid) << c.what;
  }
  std::filesystem::remove_all(dir);
  std::filesystem::remove_all(elsewhere);
}

TEST(PlatformStandardStreams, MissingOnesAreFilledSoThatNoFileTakesTheirNumbers) {
  struct Case {
    std::vector<int> closed;
    platform::StdioResult redirect;
  };
  // Standard output alone: ormid_host_e2e_test.
  const Case cases[] = {
      {{STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}, platform::StdioResult::noStdout},
      {{STDERR_FILENO}, platform::StdioResult::ok},
  };
  for (const Case& c : cases) {
    const int status = inChild([&] {
      for (const int fd : c.closed) close(fd);
      platform::guardStandardStreams();
      for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) return 2;
      }
      if (UniqueFd(open("/dev/null", O_RDONLY)).get() <= STDERR_FILENO) return 3;
      return platform::redirectStdoutToStderr() == c.redirect ? 0 : 4;
    });
    EXPECT_EQ(status, 0) << "closed " << ::testing::PrintToString(c.closed);
  }
}

}  // namespace
