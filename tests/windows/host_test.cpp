// The Windows program as only Windows shows it: its command window's handling
// of a stray end-of-input message, names in the ANSI code page, and a word processor that
// is a process of its own (the stand-in local server, registered as
// "Word.Application" by run-suite.sh --server, together with the type library
// of the application events interface), which may quit on its own or die.
#include <gtest/gtest.h>

#include "ormid/com_api.h"
// windows.h must come first.
#include <tlhelp32.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "host_pipe.h"

namespace ormid::test {
namespace {

using namespace std::chrono_literals;

void appendLine(const std::string& path, const std::string& line) {
  std::ofstream(path, std::ios::binary | std::ios::app) << line << "\n";
}

// A new directory, the host's temporary directory for one test; its files stay
// for inspection in the suite's prefix.
std::string newTempDir() {
  static int counter = 0;
  // Taken once: each Host points TMP at its test's directory.
  static const std::string base = [] {
    char path[MAX_PATH];
    return std::string(path, GetTempPathA(MAX_PATH, path));
  }();
  const std::string path = base + "ormid-host-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(counter++) + "\\";
  CreateDirectoryA(path.c_str(), nullptr);
  return path;
}

bool processEnds(DWORD id, DWORD milliseconds) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (!process) return true;
  const bool ended = WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

// The word processor's server started by `host`, the last of its running
// children (COM starts a local server from the client that activates its
// class); 0 when there is none.
DWORD serverOf(const Host& host) {
  DWORD server = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ParentProcessID == host.id() && !processEnds(entry.th32ProcessID, 0))
      server = entry.th32ProcessID;
  }
  CloseHandle(snapshot);
  return server;
}

std::string editor(const std::string& command) {
  return R"({"messageId":"e","contentId":"c","command":")" + command + "\"}";
}

// A request on a document of the default working directory.
std::string defaultDoc(const std::string& command, const std::string& name, const std::string& extra = "") {
  return R"({"messageId":"1","contentId":"c","command":")" + command + R"(","nameFile":")" + name + "\"" +
         (extra.empty() ? "" : "," + extra) + "}";
}

// A server the host leaves running, as the word processor stays when it is
// not quit, ended by the test.
void endProcess(DWORD id) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
  if (!process) return;
  TerminateProcess(process, 9);
  WaitForSingleObject(process, 5000);
  CloseHandle(process);
}

// The settings a test gives the host and, through it, the stand-in server.
class Settings {
 public:
  Settings(const char* failures, const std::string& control) {
    SetEnvironmentVariableA("ORMID_STANDIN_FAIL", failures);
    SetEnvironmentVariableA("ORMID_STANDIN_CONTROL", control.empty() ? nullptr : control.c_str());
  }
  ~Settings() {
    SetEnvironmentVariableA("ORMID_STANDIN_FAIL", nullptr);
    SetEnvironmentVariableA("ORMID_STANDIN_CONTROL", nullptr);
  }
};

class WindowsHost : public ::testing::Test {
 protected:
  // Ends the host, then the word processor it leaves running.
  static void endHostAndServer(Host& host) {
    const DWORD server = serverOf(host);
    host.closeInput();
    EXPECT_EQ(host.wait(), 1);
    if (server != 0) endProcess(server);
  }
  // The answer to `request`, which the page hears an event `command` before.
  static std::string afterEvent(Host& host, const std::string& request, const char* command) {
    const std::string event = host.request(request);
    EXPECT_EQ(field(event, "command"), command) << request;
    return host.receive().value_or("<no answer>");
  }
  // A host in `dir` with the document `name` open, whose word processor fails
  // as `failures` says and performs the user actions appended to control_.
  std::unique_ptr<Host> hostWithDocument(const std::string& name, const char* failures = "",
                                         const std::string& dir = {}) {
    const std::string& in = dir.empty() ? tmp_ : dir;
    control_ = in + "control.txt";
    std::ofstream(control_).flush();
    settings_.emplace(failures, control_);
    auto host = std::make_unique<Host>(in);
    std::ofstream(in + name, std::ios::binary) << "bytes";
    EXPECT_EQ(field(host->request(doc("openDocument", in, name, R"("contentFile":"Ynl0ZXM=")")), "result"),
              "success");
    return host;
  }
  const std::string tmp_ = newTempDir();
  std::string control_;
  std::optional<Settings> settings_;
};

TEST_F(WindowsHost, AnEndOfInputMessageWhileTheReaderRunsIsPassedOn) {
  Host host(tmp_);
  ASSERT_EQ(field(host.request(editor("x")), "result"), "error");  // running, window created
  const HWND window = FindWindowA("ormidDocEditor", nullptr);
  ASSERT_NE(window, nullptr);
  // The reader thread is still reading: the main loop's 500 ms wait for it
  // runs out and the message goes to the window procedure.
  ASSERT_TRUE(PostMessageA(window, WM_USER + 10, 0, 0));
  EXPECT_EQ(field(host.request(editor("y")), "description"), "Unknow request command y");
  EXPECT_EQ(field(host.request(editor("closeEditor")), "description"), "Instace word application not found");
  host.closeInput();
  EXPECT_EQ(host.wait(), 1);

  const std::string log = readFile(tmp_ + "OrmidDocEditor.log");
  const auto stray = log.find("Call WndProcDocEditor: message = 1034, wParam = 0, lParam = 0");
  const auto exit = log.find("Exit application...");
  EXPECT_NE(stray, std::string::npos);
  ASSERT_NE(exit, std::string::npos) << "the end of input still ends the host";
  EXPECT_LT(stray, exit);
  EXPECT_EQ(log.find("Exit application...", exit + 1), std::string::npos);
}

// Best fit would turn these names into others of code page 1252: ..\secret
// for the look-alikes, Lodz (or L\363dz) for \u0141\u00f3d\u017a. Every command
// and working directory refuses an inexact name: ormid_protocol_test.
TEST_F(WindowsHost, NamesTheCodePageCannotHoldExactlyAreRefusedAndTouchNothing) {
  std::ofstream(tmp_ + "secret") << "s";
  const std::string docs = tmp_ + "docs\\";  // not made beforehand: the request may not make it
  const std::string lodzDirectory = tmp_ +
                                    "\xC5\x81\xC3\xB3"
                                    "d\xC5\xBA\\";  // UTF-8 in the request
  Host host(tmp_);
  const std::string content = R"("contentFile":"QUJD")";
  for (const std::string& request : {doc("removeDocument", docs, R"(\uFF0E\uFF0E\uFF3Csecret)"),
                                     doc("openDocument", lodzDirectory, "a.docx", content)}) {
    EXPECT_EQ(field(host.request(request), "description"), "Invalid file name") << request;
  }
  EXPECT_EQ(readFile(tmp_ + "secret"), "s");
  EXPECT_EQ(GetFileAttributesA(docs.c_str()), INVALID_FILE_ATTRIBUTES) << "no working directory made";
  WIN32_FIND_DATAA found{};
  HANDLE search = FindFirstFileA((tmp_ + "L*").c_str(), &found);  // Lodz, L\363dz, L\363d\x9f...
  EXPECT_EQ(search, INVALID_HANDLE_VALUE) << found.cFileName;
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  EXPECT_EQ(serverOf(host), 0u) << "no word processor started";
}

TEST_F(WindowsHost, AWordProcessorThatQuitsOnItsOwnIsStartedAnewInANewProcess) {
  const auto host = hostWithDocument("q.docx");
  const DWORD first = serverOf(*host);
  ASSERT_NE(first, 0u);

  appendLine(control_, "quit");
  EXPECT_EQ(field(host->receive().value_or(""), "command"), "documentCloseEvent") << "quitting closes it";
  EXPECT_TRUE(processEnds(first, 10000)) << "the stand-in ends after its Quit event";
  EXPECT_EQ(host->receive(300ms), std::nullopt) << "Quit is no message for the page";
  EXPECT_EQ(field(host->request(editor("openEditor")), "result"), "success");
  const DWORD second = serverOf(*host);
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, first);
  host->closeInput();
  EXPECT_EQ(host->wait(), 1);
  EXPECT_FALSE(processEnds(second, 1000)) << "the host does not quit the word processor at its end";
  endProcess(second);
  EXPECT_NE(readFile(tmp_ + "OrmidDocEditor.log").find("Quit word event..."), std::string::npos);
}

// A word processor that died is found gone by the first call that fails: the
// page hears that its documents are closed, and the next command starts a new one.
TEST_F(WindowsHost, AWordProcessorThatDiesIsStartedAnew) {
  struct Case {
    const char* failures;  // "exit": the server ends inside that call
    const char* control;   // a user action that ends it
    const char* saveDescription;
  };
  const Case cases[] = {
      {"Document.SaveAs=exit", "", "Save document error"},
      {"Documents.Count=exit", "", "Error get documents count"},
      {"", "crash", "Error get documents"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failures + std::string(c.control));
    const std::string tmp = newTempDir();
    const auto host = hostWithDocument("d.docx", c.failures, tmp);
    const DWORD server = serverOf(*host);
    ASSERT_NE(server, 0u);
    if (*c.control) {
      appendLine(control_, c.control);
      EXPECT_TRUE(processEnds(server, 5000));
    }
    host->send(doc("saveDocument", tmp, "d.docx"));
    const std::string closed = host->receive().value_or("");
    EXPECT_EQ(field(closed, "command"), "documentCloseEvent");
    EXPECT_EQ(field(closed, "nameFile"), "d.docx");
    EXPECT_EQ(field(host->receive().value_or(""), "description"), c.saveDescription);
    EXPECT_TRUE(processEnds(server, 5000));

    EXPECT_EQ(field(host->request(doc("closeDocument", tmp, "d.docx")), "description"),
              "Word application not running");
    EXPECT_EQ(
        field(host->request(doc("openDocument", tmp, "e.docx", R"("contentFile":"Ynl0ZXM=")")), "result"),
        "success");
    const DWORD next = serverOf(*host);
    EXPECT_NE(next, 0u);
    EXPECT_NE(next, server);
    endHostAndServer(*host);
  }
}

TEST_F(WindowsHost, ABusyWordProcessorIsWaitedFor) {
  const auto host = hostWithDocument("b.docx");
  appendLine(control_, "busy 3");
  Sleep(500);  // the line is read and performed
  EXPECT_EQ(field(afterEvent(*host, doc("saveDocument", tmp_, "b.docx"), "documentSaveEvent"), "result"),
            "success");
  EXPECT_NE(readFile(tmp_ + "OrmidDocEditor.log").find("Word application busy"), std::string::npos);
  endHostAndServer(*host);
}

// The default working directory under a temporary directory known by its short
// (8.3) name, as some users' TEMP is: the word processor reports long names.
TEST_F(WindowsHost, AShortTemporaryDirectoryStillFindsTheDocuments) {
  const std::string longDir = tmp_ + "A rather long directory name\\";
  ASSERT_TRUE(CreateDirectoryA(longDir.c_str(), nullptr));
  char shortDir[MAX_PATH];
  ASSERT_GT(GetShortPathNameA(longDir.c_str(), shortDir, MAX_PATH), 0u);
  ASSERT_NE(std::string(shortDir), longDir) << "the file system gives short names";
  Host host(shortDir);
  ASSERT_EQ(
      field(host.request(defaultDoc("openDocument", "s.docx", R"("contentFile":"Ynl0ZXM=")")), "result"),
      "success");
  EXPECT_EQ(field(afterEvent(host, defaultDoc("saveDocument", "s.docx"), "documentSaveEvent"), "result"),
            "success");
  // Names compare as the file system compares them.
  EXPECT_EQ(field(afterEvent(host, defaultDoc("closeDocument", "S.DOCX"), "documentCloseEvent"), "result"),
            "success");
  endHostAndServer(host);
}

TEST_F(WindowsHost, CloseEditorKeepsTheUsersUnsavedWork) {
  const auto host = hostWithDocument("mine.docx");
  const std::string users = tmp_ + "users.docx";
  std::ofstream(users, std::ios::binary) << "draft";
  appendLine(control_, "open " + users);
  appendLine(control_, "edit " + users + " ZWRpdGVk");
  Sleep(500);  // the lines are read and performed

  const std::string closed = host->request(editor("closeEditor"));
  EXPECT_EQ(field(closed, "command"), "documentCloseEvent");
  EXPECT_EQ(field(closed, "nameFile"), "mine.docx") << "only the host's document closes";
  EXPECT_EQ(field(host->receive().value_or(""), "result"), "success");
  EXPECT_FALSE(processEnds(serverOf(*host), 1000)) << "the word processor stays with the user's work";
  EXPECT_EQ(readFile(users), "draft");
  EXPECT_EQ(field(host->request(editor("closeEditor")), "description"), "Instace word application not found");
  endHostAndServer(*host);
}

}  // namespace
}  // namespace ormid::test
