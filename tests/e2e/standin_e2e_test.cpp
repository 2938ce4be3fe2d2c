// Every command end to end against the stand-in word processor, with the
// events the page hears.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "tests/e2e/host_process.h"

namespace ormid::test {
namespace {

class StandinEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    docs_ = tmp_.path() + "my docs é/";
    std::filesystem::create_directory(docs_);
  }
  std::map<std::string, std::string> environment(const std::string& failures = "") {
    std::map<std::string, std::string> env{{"ORMID_EDITOR", "standin"}};
    if (!failures.empty()) env["ORMID_STANDIN_FAIL"] = failures;
    if (!fifo_.empty()) env["ORMID_STANDIN_CONTROL"] = hostPath(fifo_);
    return env;
  }
  // A request on a document of docs_.
  std::string doc(const std::string& command, const std::string& name, const std::string& extra = "",
                  const std::string& id = "1") {
    std::string dir = hostPath(docs_);
    dir.pop_back();  // the host adds the separator
    return R"({"messageId":")" + id +
           R"(","contentId":"c","destination":"ormidDocEditorNative","command":")" + command +
           R"(","workingDirectory":")" + jsonEscape(dir) + R"(","nameFile":")" + jsonEscape(name) + "\"" +
           (extra.empty() ? "" : "," + extra) + "}";
  }
  static std::string editor(const std::string& command) {
    return R"({"messageId":"e","contentId":"c","command":")" + command + "\"}";
  }
  // The event message the page gets for a document of docs_.
  std::string event(const std::string& command, const std::string& name) {
    std::string escaped;
    for (char c : jsonEscape(hostPath(docs_))) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    return R"({"command":")" + command + R"(","destination":"ormidDocEditorWebPage","nameFile":")" + name +
           R"(","status":{"result":"success"},"workingDirectory":")" + escaped + "\"}";
  }
  // Opens the control FIFO for writing once the stand-in reads it.
  int openControl() {
    for (int i = 0; i < 500; ++i) {
      const int fd = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) return fd;
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }
  void control(int fd, const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  TempDir tmp_;
  std::string docs_;
  std::string fifo_;
};

// A browser that reconnects at once (extension reload, worker restart) starts
// the next host while the last one is still shutting its editor down.
TEST_F(StandinEndToEnd, AReconnectingBrowserIsServedEveryTime) {
  std::unique_ptr<HostProcess> previous;
  for (int i = 0; i < 20; ++i) {
    auto host = std::make_unique<HostProcess>(tmp_.path(), environment());
    EXPECT_EQ(jsonField(host->request(editor("openEditor")), "result"), "success") << "reconnect " << i;
    host->closeInput();
    previous = std::move(host);  // still ending while the next one starts
  }
  EXPECT_EQ(previous->wait(), 1);
}

TEST_F(StandinEndToEnd, EveryCommandSucceedsWithItsEvents) {
  HostProcess host(tmp_.path(), environment());
  // The Windows program names files in the ANSI code page, which has no 𝄞.
  const std::string name = windowsHost() ? "rapport été.docx" : "rapport été 𝄞.docx";
  const std::string content = std::string("PK\x03\x04 original words \x00\xff", 22);

  EXPECT_EQ(host.request(editor("openEditor")),
            R"({"command":"openEditor","contentId":"c","messageId":"e","status":{"result":"success"}})");

  EXPECT_EQ(jsonField(host.request(doc("openDocument", name, R"("contentFile":")" + base64(content) + "\"")),
                      "result"),
            "success");
  EXPECT_EQ(fileText(docs_ + name), content);

  // A save is announced, then answered.
  EXPECT_EQ(host.request(doc("saveDocument", name)), event("documentSaveEvent", name));
  EXPECT_EQ(jsonField(host.receive().value_or(""), "result"), "success");

  // saveAndGetDocument: the event, then the first part; the parts join to the file.
  host.send(doc("saveAndGetDocument", name, "", "sg"));
  EXPECT_EQ(host.receive().value_or(""), event("documentSaveEvent", name));
  const std::string first = host.receive().value_or("");
  ASSERT_EQ(jsonField(first, "last"), "true") << first;
  EXPECT_EQ(jsonField(jsonField(first, "part"), "contentFile"), base64(content));

  EXPECT_EQ(jsonField(host.transfer(doc("getDocument", name, "", "g")), "contentFile"), base64(content));

  // The new document is saved under its name: announced like any save, before it has that name.
  EXPECT_EQ(host.request(doc("createDocument", "new.docx")),
            R"({"command":"documentSaveEvent","destination":"ormidDocEditorWebPage","nameFile":"Document1",)"
            R"("status":{"result":"success"}})");
  EXPECT_EQ(jsonField(host.receive().value_or(""), "result"), "success");
  EXPECT_TRUE(std::filesystem::exists(docs_ + "new.docx"));

  // Close without removing keeps the file; with isRemoveFile it goes.
  EXPECT_EQ(host.request(doc("closeDocument", "new.docx")), event("documentCloseEvent", "new.docx"));
  EXPECT_EQ(jsonField(host.receive().value_or(""), "result"), "success");
  EXPECT_TRUE(std::filesystem::exists(docs_ + "new.docx"));
  EXPECT_EQ(host.request(doc("closeDocument", name, R"("isRemoveFile":true)")),
            event("documentCloseEvent", name));
  EXPECT_EQ(jsonField(host.receive().value_or(""), "result"), "success");
  EXPECT_FALSE(std::filesystem::exists(docs_ + name));

  EXPECT_EQ(jsonField(host.request(doc("removeDocument", "new.docx")), "result"), "success");
  EXPECT_EQ(jsonField(host.request(editor("closeEditor")), "result"), "success");
  EXPECT_EQ(jsonField(host.request(editor("closeEditor")), "description"),
            "Instace word application not found");
  EXPECT_EQ(jsonField(host.request(doc("saveDocument", name)), "description"),
            "Word application not running");
  host.closeInput();
  EXPECT_EQ(host.wait(), 1);
}

TEST_F(StandinEndToEnd, NewDocumentsAreSavedInTheFormatOfTheirName) {
  HostProcess host(tmp_.path(), environment());
  for (const auto& [name, recorded] : {std::pair{"n.rtf", "format=6"},
                                       {"n.txt", "format=2"},
                                       {"n.DOCX", "format=12"},
                                       {"n.odt", "format=23"}}) {
    EXPECT_EQ(jsonField(host.request(doc("createDocument", name)), "command"), "documentSaveEvent") << name;
    EXPECT_EQ(jsonField(host.receive().value_or(""), "result"), "success") << name;
    EXPECT_EQ(fileText(docs_ + name), recorded) << name;
  }
}

TEST_F(StandinEndToEnd, FailuresOfTheWordProcessor) {
  struct Case {
    std::string failures;
    std::string command;  // after a document was opened, unless it opens or creates one itself
    std::string description;
    bool fileLeft;
  };
  // Failures while the word processor starts, and a new document's failed save: ormid_word_test;
  // a document the word processor cannot open: ormid_office_e2e_test.
  const Case cases[] = {
      {"Application.Documents=0x80004005", "openDocument", "Error get documents", false},
      {"Documents.Add=0x80004005", "createDocument", "Error add document", false},
      {"Document.SaveAs=0x800A1066", "saveAndGetDocument", "Save document error", true},
      {"Document.Close=0x800A1066", "closeDocument", "Close document error", true},
      {"Documents.Count=0x80004005", "saveDocument", "Error get documents count", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failures + " " + c.command);
    TempDir tmp;
    docs_ = tmp.path() + "docs/";
    std::filesystem::create_directory(docs_);
    HostProcess host(tmp.path(), environment(c.failures));
    const std::string open = R"("contentFile":"Ynl0ZXM=")";
    if (c.command != "openDocument" && c.command != "createDocument") {
      // A document written directly and opened without failures first.
      writeFileText(docs_ + "d.docx", "bytes");
      ASSERT_EQ(jsonField(host.request(doc("openDocument", "d.docx", open)), "result"), "success");
    }
    std::string answer = host.request(doc(c.command, "d.docx",
                                          c.command == "openDocument"    ? open
                                          : c.command == "closeDocument" ? R"("isRemoveFile":true)"
                                                                         : ""));
    // A save or close event may come first.
    if (jsonField(answer, "command").find("Event") != std::string::npos) answer = host.receive().value_or("");
    EXPECT_EQ(jsonField(answer, "contentFile"), "<absent>") << "no read after a failed save";
    if (c.command == "saveAndGetDocument") answer = jsonField(answer, "part");
    EXPECT_EQ(jsonField(answer, "description"), c.description);
    EXPECT_EQ(std::filesystem::exists(docs_ + "d.docx"), c.fileLeft);
  }
}

TEST_F(StandinEndToEnd, EditorThatQuitsOnItsOwnIsStartedAgain) {
  fifo_ = tmp_.path() + "control";
  ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
  HostProcess host(tmp_.path(), environment());
  ASSERT_EQ(jsonField(host.request(doc("openDocument", "u.docx", R"("contentFile":"b25l")")), "result"),
            "success");
  const int fd = openControl();
  ASSERT_GE(fd, 0);

  // User actions: each save or close gives one event message.
  control(fd, "edit " + hostPath(docs_) + "u.docx " + base64("two"));
  control(fd, "save " + hostPath(docs_) + "u.docx");
  EXPECT_EQ(host.receive().value_or(""), event("documentSaveEvent", "u.docx"));
  // The event comes before the save itself.
  for (int i = 0; i < 200 && fileText(docs_ + "u.docx") != "two"; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(fileText(docs_ + "u.docx"), "two");
  control(fd, "activate");
  control(fd, "close " + hostPath(docs_) + "u.docx");
  EXPECT_EQ(host.receive().value_or(""), event("documentCloseEvent", "u.docx"));
  EXPECT_EQ(host.receive(300ms), std::nullopt);

  control(fd, "quit");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(jsonField(host.request(doc("saveDocument", "u.docx")), "description"),
            "Word application not running");
  EXPECT_EQ(jsonField(host.request(editor("openEditor")), "result"), "success");
  close(fd);
}

}  // namespace
}  // namespace ormid::test
