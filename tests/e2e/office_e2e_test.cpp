// The host with a real office (LibreOffice Writer): real documents opened,
// saved in the format their name says, returned and closed, with the events
// the page hears; and nothing of the office left once it is closed, or once
// its host ends or is killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "host/base64/base64.h"
#include "tests/e2e/host_process.h"

namespace ormid::test {
namespace {

std::string decode(const std::string& text) {
  const std::vector<unsigned char> bytes = base64Decode(text);
  return std::string(bytes.begin(), bytes.end());
}

class OfficeEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The module is built beside the test.
    const std::string module =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/libormid_uno.so";
    available_ = std::filesystem::exists(module) && !shell("command -v soffice").empty();
    if (!available_) return;
    // Real documents, made by the office itself from plain text.
    samples_ = new TempDir;
    writeFileText(samples_->path() + "words.txt", "Quarterly figures for the orchard\n");
    const std::string convert =
        "soffice --headless -env:UserInstallation=file://" + samples_->path() + "profile --convert-to ";
    shell("cd '" + samples_->path() + "' && " + convert + "docx words.txt >/dev/null 2>&1 && " + convert +
          "odt words.txt >/dev/null 2>&1");
  }
  static void TearDownTestSuite() {
    delete samples_;
    samples_ = nullptr;
  }
  void SetUp() override {
    if (!available_) GTEST_SKIP() << "no office installed";
    docs_ = tmp_.path() + "my docs é/";
    std::filesystem::create_directory(docs_);
  }
  std::string doc(const std::string& command, const std::string& name, const std::string& extra = "",
                  const std::string& id = "1") {
    return R"({"messageId":")" + id + R"(","contentId":"c","command":")" + command +
           R"(","workingDirectory":")" + docs_.substr(0, docs_.size() - 1) + R"(","nameFile":")" + name +
           "\"" + (extra.empty() ? "" : "," + extra) + "}";
  }
  std::string open(HostProcess& host, const std::string& name, const std::string& bytes) {
    return host.request(doc("openDocument", name, R"("contentFile":")" + base64(bytes) + "\""), 120s);
  }
  // The answer to a request that first announces an event of `command`, kept in event_.
  std::string afterEvent(HostProcess& host, const std::string& request, const std::string& command) {
    event_ = host.request(request, 120s);
    EXPECT_EQ(jsonField(event_, "command"), command) << event_;
    return host.receive(60s).value_or("");
  }
  // Whether the last event named the document `name` of docs_.
  bool eventNames(const std::string& name) {
    return jsonField(event_, "nameFile") == name && jsonField(event_, "workingDirectory") == docs_;
  }
  static std::string editor(const std::string& command) {
    return R"({"messageId":"e","contentId":"c","command":")" + command + "\"}";
  }
  // The text of a member of the document `name` as the host returns it.
  std::string zipText(HostProcess& host, const std::string& name, const std::string& member) {
    const std::string got = host.transfer(doc("getDocument", name, "", "get-" + name));
    writeFileText(tmp_.path() + "scratch.zip", decode(jsonField(got, "contentFile")));
    return zipMember(tmp_.path() + "scratch.zip", member);
  }
  // What an office of `host` would leave behind: processes, its private profile, its pipe.
  std::vector<std::string> leftovers(const HostProcess& host) {
    std::vector<std::string> found;
    for (pid_t pid : officeProcesses(tmp_.path())) found.push_back("process " + std::to_string(pid));
    const std::string pipe =
        "OSL_PIPE_" + std::to_string(getuid()) + "_ormid-" + std::to_string(host.pid()) + "-";
    for (const auto& [dir, prefix] : {std::pair{tmp_.path(), std::string("ormid-office-")}, {"/tmp", pipe}}) {
      for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
      }
    }
    return found;
  }
  // The host's environment: `display` (none whatever the test runs under) and
  // `home`, so that no office of the person running the tests is met.
  static std::map<std::string, std::string> office(const std::string& home, const std::string& display = "") {
    return {{"ORMID_EDITOR", "libreoffice"},
            {"DISPLAY", display},
            {"WAYLAND_DISPLAY", ""},
            {"XDG_CONFIG_HOME", ""},
            {"HOME", home}};
  }

  static inline bool available_ = false;
  static inline TempDir* samples_ = nullptr;
  TempDir tmp_;
  std::string docs_;
  std::string event_;
};

TEST_F(OfficeEndToEnd, OpensSavesReturnsAndClosesRealDocuments) {
  const std::string docx = fileText(samples_->path() + "words.docx");
  const std::string odt = fileText(samples_->path() + "words.odt");
  ASSERT_FALSE(docx.empty());
  HostProcess host(tmp_.path(), office(tmp_.path() + "home"));
  const std::string name = "rapport été 文書 😀.docx";

  EXPECT_EQ(jsonField(open(host, name, docx), "result"), "success");
  // Saved in place also over a file that changed since it was opened: the save is what was asked for.
  writeFileText(docs_ + name, "changed meanwhile");
  EXPECT_EQ(jsonField(afterEvent(host, doc("saveDocument", name), "documentSaveEvent"), "result"), "success");
  EXPECT_TRUE(eventNames(name)) << event_;
  EXPECT_NE(zipText(host, name, "word/document.xml").find("orchard"), std::string::npos);

  // A save in place keeps the document's format.
  EXPECT_EQ(jsonField(open(host, "words.odt", odt), "result"), "success");
  EXPECT_EQ(jsonField(afterEvent(host, doc("saveDocument", "words.odt"), "documentSaveEvent"), "result"),
            "success");
  EXPECT_NE(zipText(host, "words.odt", "content.xml").find("orchard"), std::string::npos);

  // A new document is written in the format its name says, and opens again.
  for (const auto& [file, magic] : {std::pair{"new.docx", "PK"},
                                    {"new.odt", "PK"},
                                    {"new.doc", "\xD0\xCF\x11\xE0"},
                                    {"new.rtf", "{\\rtf"}}) {
    SCOPED_TRACE(file);
    EXPECT_EQ(jsonField(afterEvent(host, doc("createDocument", file), "documentSaveEvent"), "result"),
              "success");
    EXPECT_TRUE(eventNames(file)) << event_;
    const std::string bytes = fileText(docs_ + file);
    EXPECT_EQ(bytes.substr(0, std::strlen(magic)), magic);
    EXPECT_EQ(jsonField(open(host, std::string("copy of ") + file, bytes), "result"), "success");
  }
  EXPECT_FALSE(zipMember(docs_ + "new.docx", "word/document.xml").empty());

  // Opened again with other content: the old one is closed and the new content shown.
  EXPECT_EQ(jsonField(afterEvent(host,
                                 doc("openDocument", name,
                                     R"("contentFile":")" + base64(fileText(docs_ + "new.docx")) + "\""),
                                 "documentCloseEvent"),
                      "result"),
            "success");
  EXPECT_TRUE(eventNames(name)) << event_;
  afterEvent(host, doc("saveDocument", name), "documentSaveEvent");
  EXPECT_EQ(zipText(host, name, "word/document.xml").find("orchard"), std::string::npos);

  EXPECT_EQ(
      jsonField(afterEvent(host, doc("closeDocument", name, R"("isRemoveFile":true)"), "documentCloseEvent"),
                "result"),
      "success");
  EXPECT_TRUE(eventNames(name)) << event_;
  EXPECT_FALSE(std::filesystem::exists(docs_ + name));

  // Neither random bytes nor text under a document's name is opened, nor left behind.
  std::string noise(20000, '\0');
  std::mt19937 random(3);
  for (char& c : noise) c = static_cast<char>(random());
  for (const auto& [file, bytes] :
       {std::pair{"noise.docx", noise}, {"prose.docx", std::string("Some words\n")}}) {
    EXPECT_EQ(jsonField(open(host, file, bytes), "description"), "Error open document") << file;
    EXPECT_FALSE(std::filesystem::exists(docs_ + file)) << file;
  }

  // Closing the editor closes each document still open, announced to the page, and the whole office.
  std::vector<std::string> events;
  EXPECT_EQ(jsonField(host.answer(editor("closeEditor"), events), "result"), "success");
  EXPECT_EQ(events.size(), 9u);
  for (const std::string& event : events) EXPECT_EQ(jsonField(event, "command"), "documentCloseEvent");
  EXPECT_EQ(leftovers(host), std::vector<std::string>{});
  // An office still running when the host ends goes with it.
  EXPECT_EQ(jsonField(host.request(editor("openEditor"), 120s), "result"), "success");
  EXPECT_FALSE(officeProcesses(tmp_.path()).empty());
  host.closeInput();
  EXPECT_EQ(host.wait(60s), 1);
  EXPECT_EQ(leftovers(host), std::vector<std::string>{});
}

TEST_F(OfficeEndToEnd, OfficeKilledMidSessionIsStartedAgainAndAKilledHostTakesItAlong) {
  const std::string docx = fileText(samples_->path() + "words.docx");
  HostProcess host(tmp_.path(), office(tmp_.path() + "home"));
  ASSERT_EQ(jsonField(open(host, "k.docx", docx), "result"), "success");
  const std::vector<pid_t> offices = officeProcesses(tmp_.path());
  ASSERT_FALSE(offices.empty());
  for (pid_t pid : offices) kill(pid, SIGKILL);
  // The page hears that the document went with the office, unasked; then the
  // office's end reaches the host as the quit event.
  event_ = host.receive(60s).value_or("<none>");
  EXPECT_EQ(jsonField(event_, "command"), "documentCloseEvent") << event_;
  EXPECT_TRUE(eventNames("k.docx")) << event_;
  EXPECT_EQ(jsonField(host.request(doc("saveDocument", "k.docx"), 60s), "description"),
            "Word application not running");
  EXPECT_EQ(jsonField(host.request(editor("openEditor"), 120s), "result"), "success");
  EXPECT_FALSE(officeProcesses(tmp_.path()).empty());

  kill(host.pid(), SIGKILL);
  EXPECT_EQ(host.wait(), 128 + SIGKILL);
  for (int i = 0; i < 100 && !officeProcesses(tmp_.path()).empty(); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(officeProcesses(tmp_.path()).empty());
}

// An office that cannot show a window runs headless, private to its host
// (never the person's office, which outlives the host), and says why in the
// log. Without any display at all: every other test here.
TEST_F(OfficeEndToEnd, WithoutAUsableDisplayTheOfficeIsHeadlessAndEndsWithTheHost) {
  const std::string docx = fileText(samples_->path() + "words.docx");
  // A display number that no server serves, locally or on the loopback port.
  std::string number;
  for (int n = 5917; n < 6017 && number.empty(); ++n) {
    if (!std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n))) number = std::to_string(n);
  }
  ASSERT_FALSE(number.empty());
  const struct {
    const char* what;
    std::string display;
    const char* logged;  // why it is headless
  } cases[] = {
      {"a local display nobody serves", ":" + number, "cannot show windows"},
      // Not checked before the start: the office tries it, fails, and is started again headless.
      {"a display the office cannot open", "127.0.0.1:" + number, "started again, headless"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const TempDir tmp;
    {
      HostProcess host(tmp.path(), office(tmp.path() + "home", c.display));
      EXPECT_EQ(jsonField(open(host, c.what + std::string(".docx"), docx), "result"), "success");
      const std::vector<pid_t> offices = officeProcesses(tmp.path());
      ASSERT_EQ(offices.size(), 1u);
      std::string cmdline = fileText("/proc/" + std::to_string(offices[0]) + "/cmdline");
      EXPECT_NE(cmdline.find("--headless"), std::string::npos);
      EXPECT_EQ(cmdline.find("ormid-doc-editor/office-profile"), std::string::npos) << cmdline;
      host.closeInput();
      EXPECT_EQ(host.wait(60s), 1);
    }
    EXPECT_TRUE(officeProcesses(tmp.path()).empty());
    const std::string log = fileText(tmp.path() + "OrmidDocEditor.log");
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
  }
}

}  // namespace
}  // namespace ormid::test
