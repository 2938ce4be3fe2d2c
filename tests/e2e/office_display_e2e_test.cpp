// The office as a person uses it: its windows on a private X server, work
// typed with real keystrokes, saved, closed and quit from the window, and what
// the page hears of it; and work that outlives the host that opened it.
// Skipped where there is no X server, keystroke tool or office window plugin.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/e2e/host_process.h"

extern char** environ;

namespace ormid::test {
namespace {

namespace fs = std::filesystem;

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

// A minimal Word document of one paragraph, as the browser would hand it over.
std::string makeDocx(const std::string& dir, const std::string& paragraph) {
  const std::string path = dir + "sample.docx";
  shell(R"(python3 - ')" + path + "' '" + paragraph + R"(' <<'EOF'
import sys, zipfile
w = 'http://schemas.openxmlformats.org/wordprocessingml/2006/main'
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    z.writestr('[Content_Types].xml', '<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/><Default Extension="xml" ContentType="application/xml"/><Override PartName="/word/document.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>')
    z.writestr('_rels/.rels', '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="word/document.xml"/></Relationships>')
    z.writestr('word/document.xml', '<?xml version="1.0" encoding="UTF-8"?><w:document xmlns:w="%s"><w:body><w:p><w:r><w:t>%s</w:t></w:r></w:p></w:body></w:document>' % (w, sys.argv[2]))
EOF)");
  return fileText(path);
}

// The text of a saved Word document.
std::string documentXml(const std::string& path) { return zipMember(path, "word/document.xml"); }

// The first window whose title matches `pattern` (a regular expression), or "".
std::string window(const std::string& pattern) {
  std::istringstream ids(shell("xdotool search --name '" + pattern + "' 2>/dev/null"));
  std::string id;
  ids >> id;
  return id;
}

std::string awaitWindow(const std::string& pattern) {
  std::string id;
  eventually([&] { return !(id = window(pattern)).empty(); });
  return id;
}

// Keystrokes as a person makes them: the window comes to the front and gets
// the focus (there is no window manager to do it on a click), then the keys go
// through the X server's input.
// Bounded: a focus that never arrives fails the step instead of the whole run.
bool keys(const std::string& id, const std::string& xdotoolCommand) {
  bool ok = false;
  shell("timeout 30 xdotool windowraise " + id + " windowfocus --sync " + id + " " + xdotoolCommand, &ok);
  return ok;
}

bool typeText(const std::string& id, const std::string& text) {
  return keys(id, "type --delay 20 '" + text + "'");
}

// Answers the office's question in the window titled `title` with `key`.
bool answer(const std::string& title, const std::string& key) {
  const std::string dialog = awaitWindow(title);
  return !dialog.empty() && keys(dialog, "key " + key);
}

// What is missing to run the office at a window, or "".
std::string missingForDisplay(const std::string& programDir) {
  for (const char* tool : {"Xvfb", "xdotool", "python3"}) {
    if (shell(std::string("command -v ") + tool).empty()) return tool;
  }
  bool plugin = false;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(programDir, ignored)) {
    plugin = plugin || entry.path().filename().string().rfind("libvclplug_gen", 0) == 0;
  }
  if (!plugin) return "the office's X11 window plugin (libvclplug_gen) in " + programDir;
  return {};
}

// How long nothing more may arrive for an expectation of "exactly one" to hold.
constexpr auto kQuiet = 1500ms;

class OfficeOnADisplay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bin_ = fs::read_symlink("/proc/self/exe").parent_path().string() + "/";
    if (!fs::exists(bin_ + "libormid_uno.so")) {
      missing_ = "the office module";
      return;
    }
    missing_ = missingForDisplay(ORMID_OFFICE_PROGRAM_DIR);
    if (missing_.empty()) startXServer();
  }
  static void TearDownTestSuite() {
    if (xServer_ > 0) {
      kill(xServer_, SIGTERM);
      waitpid(xServer_, nullptr, 0);
      xServer_ = -1;
    }
  }

  // A private X server without a window manager, on a free display it finds
  // itself and names on the pipe given as -displayfd.
  static void startXServer() {
    int ends[2];
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (pipe2(ends, 0) != 0 || fcntl(ends[0], F_SETFD, FD_CLOEXEC) != 0) ends[0] = ends[1] = -1;
    std::vector<std::string> args = {"Xvfb",      "-displayfd", std::to_string(ends[1]),
                                     "-nolisten", "tcp",        "-noreset",
                                     "-screen",   "0",          "1280x1024x24"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_adddup2(&actions, devNull, fd);
    if (ends[1] < 0 || posix_spawnp(&xServer_, "Xvfb", &actions, nullptr, argv.data(), environ) != 0)
      xServer_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(devNull);
    close(ends[1]);
    std::string number;
    pollfd readable{ends[0], POLLIN, 0};
    for (char c; xServer_ > 0 && poll(&readable, 1, 20000) > 0 && read(ends[0], &c, 1) == 1 && c != '\n';)
      number += c;
    close(ends[0]);
    if (number.empty()) {
      missing_ = "a display of Xvfb";
      return;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);  // for the hosts, their offices and the keystrokes
    unsetenv("WAYLAND_DISPLAY");
  }

  void SetUp() override {
    if (!missing_.empty()) GTEST_SKIP() << "cannot run the office at a window: missing " << missing_;
    home_ = tmp_.path() + "home/";
    docs_ = tmp_.path() + "docs/";
    fs::create_directory(home_);
    fs::create_directory(docs_);
  }

  // The host's log kept when something went wrong.
  void TearDown() override {
    if (!HasFailure()) return;
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(artifacts());
    std::error_code ignored;
    fs::copy_file(tmp_.path() + "OrmidDocEditor.log", artifacts() + name + ".log",
                  fs::copy_options::overwrite_existing, ignored);
  }
  static std::string artifacts() { return bin_ + "../display-artifacts/"; }

  // A host with the office at the window, its own home and temporary directory
  // (the same for each host of one test, as for one user).
  std::unique_ptr<HostProcess> startHost() {
    return std::make_unique<HostProcess>(
        tmp_.path(),
        std::map<std::string, std::string>{{"ORMID_EDITOR", "libreoffice"},
                                           {"HOME", home_},
                                           // The office's own X11 windows, its questions titled in English.
                                           {"SAL_USE_VCLPLUGIN", "gen"},
                                           {"LC_ALL", "C.UTF-8"}});
  }
  std::string request(const std::string& command, const std::string& name, const std::string& extra = "") {
    return R"({"messageId":")" + command + R"(","contentId":"c","command":")" + command +
           R"(","workingDirectory":")" + docs_ + R"(","nameFile":")" + name + "\"" + extra + "}";
  }
  std::string openDocument(HostProcess& host, const std::string& name, const std::string& paragraph) {
    const std::string content = base64(makeDocx(tmp_.path(), paragraph));
    return jsonField(
        host.request(request("openDocument", name, R"(,"contentFile":")" + content + "\""), 120s), "result");
  }
  // Opens a document through the host; the office's window titled with its name, or "".
  std::string openInWindow(HostProcess& host, const std::string& name, const std::string& paragraph) {
    if (openDocument(host, name, paragraph) != "success") return "";
    return awaitWindow(titlePattern(name));
  }
  static std::string titlePattern(const std::string& name) {
    std::string pattern = "^";
    for (char c : name) pattern += c == '.' ? std::string("[.]") : std::string(1, c);
    return pattern + " ";
  }
  // The answer to `json`, the events that came before it appended to events_.
  std::string reply(HostProcess& host, const std::string& json) { return host.answer(json, events_); }
  // The next `count` events and nothing more for kQuiet, as takeEvents gives them.
  std::vector<std::string> heard(HostProcess& host, std::size_t count) {
    for (std::optional<std::string> frame; count > 0 && (frame = host.receive(30s)); --count)
      events_.push_back(*frame);
    EXPECT_EQ(host.drain(kQuiet), "");
    return takeEvents();
  }
  // The events heard, as "documentSaveEvent docs/name.docx", and forgets them.
  std::vector<std::string> takeEvents() {
    std::vector<std::string> result;
    for (const std::string& event : events_) {
      const std::string dir = jsonField(event, "workingDirectory");
      result.push_back(jsonField(event, "command") + " " + (dir == docs_ ? "docs/" : dir) +
                       jsonField(event, "nameFile"));
    }
    events_.clear();
    return result;
  }
  // Office processes started for this test's user (their profiles live in its directory).
  std::vector<pid_t> offices() { return officeProcesses(tmp_.path()); }
  static inline std::string missing_;
  static inline std::string bin_;
  static inline pid_t xServer_ = -1;
  TempDir tmp_;
  std::string home_;
  std::string docs_;
  std::vector<std::string> events_;
};

TEST_F(OfficeOnADisplay, TypedWorkIsSavedAndClosedFromTheWindow) {
  auto host = startHost();
  const std::string orchard = openInWindow(*host, "orchard.docx", "Quarterly figures for the orchard");
  ASSERT_NE(orchard, "") << shell("xwininfo -root -tree");
  const std::string ledger = openInWindow(*host, "ledger.docx", "Ledger of the harvest");
  ASSERT_NE(ledger, "");

  // Ctrl+S on a Word document asks whether to keep its format; Return keeps it.
  ASSERT_TRUE(typeText(orchard, "Pomegranate "));
  ASSERT_TRUE(keys(orchard, "key ctrl+s"));
  EXPECT_TRUE(answer("^Confirm File Format$", "Return"));
  EXPECT_EQ(heard(*host, 1), std::vector<std::string>{"documentSaveEvent docs/orchard.docx"});
  EXPECT_TRUE(eventually(
      [&] { return documentXml(docs_ + "orchard.docx").find("Pomegranate") != std::string::npos; }));

  // Closing with unsaved changes asks first: Cancel keeps the document open and the page hears nothing.
  ASSERT_TRUE(typeText(ledger, "Quince "));
  ASSERT_TRUE(keys(ledger, "key ctrl+w"));
  EXPECT_TRUE(answer("^Save Document[?]$", "Escape"));
  EXPECT_TRUE(eventually([] { return window("^Save Document").empty(); }));
  EXPECT_EQ(host->drain(kQuiet), "");
  EXPECT_EQ(window(titlePattern("ledger.docx")), ledger);
  // Save: the document is saved, then closed.
  ASSERT_TRUE(keys(ledger, "key ctrl+w"));
  EXPECT_TRUE(answer("^Save Document[?]$", "Return"));
  EXPECT_TRUE(answer("^Confirm File Format$", "Return"));
  EXPECT_EQ(heard(*host, 2), (std::vector<std::string>{"documentSaveEvent docs/ledger.docx",
                                                       "documentCloseEvent docs/ledger.docx"}));
  EXPECT_NE(documentXml(docs_ + "ledger.docx").find("Quince"), std::string::npos);
  EXPECT_TRUE(eventually([] { return window(titlePattern("ledger.docx")).empty(); }));

  // A saved document closes without a question.
  ASSERT_TRUE(keys(orchard, "key ctrl+w"));
  EXPECT_EQ(heard(*host, 1), std::vector<std::string>{"documentCloseEvent docs/orchard.docx"});
}

TEST_F(OfficeOnADisplay, WorkTypedInTheOfficeOutlivesItsHost) {
  auto host = startHost();
  const std::string notes = openInWindow(*host, "notes.docx", "Notes from the meeting");
  ASSERT_NE(notes, "");
  ASSERT_TRUE(typeText(notes, "Tangerine "));
  const std::vector<pid_t> office = offices();
  ASSERT_EQ(office.size(), 1u);

  // A host killed outright: the office keeps the unsaved work, and the next host takes it over.
  kill(host->pid(), SIGKILL);
  EXPECT_EQ(host->wait(), 128 + SIGKILL);
  host = startHost();
  ASSERT_EQ(jsonField(reply(*host, request("saveDocument", "notes.docx")), "result"), "success");
  EXPECT_EQ(takeEvents(), std::vector<std::string>{"documentSaveEvent docs/notes.docx"});
  EXPECT_NE(documentXml(docs_ + "notes.docx").find("Tangerine"), std::string::npos);
  EXPECT_EQ(offices(), office);

  // A host whose browser went away ends at once, also while the office asks
  // the user a question, and leaves the office with the user.
  ASSERT_TRUE(typeText(notes, "Clementine "));
  ASSERT_TRUE(keys(notes, "key ctrl+w"));
  ASSERT_NE(awaitWindow("^Save Document[?]$"), "");
  host->closeInput();
  EXPECT_NE(host->wait(60s), -1) << "the host did not end";
  EXPECT_EQ(offices(), office);
  EXPECT_TRUE(answer("^Save Document[?]$", "Escape"));

  host = startHost();
  EXPECT_EQ(jsonField(reply(*host, request("saveDocument", "notes.docx")), "result"), "success");
  EXPECT_NE(documentXml(docs_ + "notes.docx").find("Clementine"), std::string::npos);
  events_.clear();
  EXPECT_EQ(jsonField(reply(*host, R"({"messageId":"q","contentId":"c","command":"closeEditor"})"), "result"),
            "success");
  EXPECT_TRUE(eventually([&] { return offices().empty(); }));
}

// Killed instead: ormid_office_e2e_test.
TEST_F(OfficeOnADisplay, OfficeQuitUnderTheHostIsNoticed) {
  auto host = startHost();
  const std::string plan = openInWindow(*host, "plan.docx", "Plan for the spring");
  ASSERT_NE(plan, "");

  ASSERT_TRUE(keys(plan, "key ctrl+q"));
  EXPECT_TRUE(eventually([&] { return offices().empty(); }));
  EXPECT_EQ(jsonField(reply(*host, request("saveDocument", "plan.docx")), "description"),
            "Word application not running");
  EXPECT_EQ(heard(*host, 0), std::vector<std::string>{"documentCloseEvent docs/plan.docx"});
}

}  // namespace
}  // namespace ormid::test
