// The host with a real office (LibreOffice Writer): real documents opened,
// saved, returned and closed, with the events the page hears.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "host/word/base64.h"
#include "tests/e2e/host_process.h"

namespace ormid::test {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string encode(const std::string& bytes) {
  return base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string decode(const std::string& text) {
  const std::vector<unsigned char> bytes = base64Decode(text);
  return std::string(bytes.begin(), bytes.end());
}

std::string run(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

// The text of one member of a zip file (a .docx or .odt).
std::string zipMember(const std::string& bytes, const std::string& member, const std::string& scratch) {
  std::ofstream(scratch, std::ios::binary) << bytes;
  return run(
      "python3 -c 'import sys,zipfile; "
      "sys.stdout.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]).decode())' '" +
      scratch + "' '" + member + "' 2>/dev/null");
}

// Office processes whose command line mentions `marker` (their private profile).
std::vector<pid_t> officeProcesses(const std::string& marker) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::string cmdline = readFile("/proc/" + std::string(entry->d_name) + "/cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    const std::string state = readFile("/proc/" + std::string(entry->d_name) + "/stat");
    const bool zombie = state.find(") Z ") != std::string::npos;
    if (!zombie && cmdline.find("soffice") != std::string::npos &&
        cmdline.find(marker) != std::string::npos) {
      found.push_back(pid);
    }
  }
  closedir(proc);
  return found;
}

class OfficeEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The module is built beside the test.
    const std::string module =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/libormid_uno.so";
    available_ = std::filesystem::exists(module) && !run("command -v soffice").empty();
    if (!available_) return;
    // Real documents, made by the office itself from plain text.
    samples_ = new TempDir;
    std::ofstream(samples_->path() + "words.txt") << "Quarterly figures for the orchard\n";
    run("cd '" + samples_->path() + "' && soffice --headless -env:UserInstallation=file://" +
        samples_->path() +
        "profile --convert-to docx words.txt >/dev/null 2>&1 && soffice --headless "
        "-env:UserInstallation=file://" +
        samples_->path() + "profile --convert-to odt words.txt >/dev/null 2>&1");
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
    return host.request(doc("openDocument", name, R"("contentFile":")" + encode(bytes) + "\""), 120s);
  }
  // The answer to a request that first announces an event of `command`.
  std::string afterEvent(HostProcess& host, const std::string& request, const std::string& command) {
    const std::string event = host.request(request, 120s);
    EXPECT_EQ(jsonField(event, "command"), command) << event;
    return host.receive(60s).value_or("");
  }
  std::string fetch(HostProcess& host, const std::string& name) {
    std::string joined;
    for (int i = 0; i < 100; ++i) {
      const std::string answer = host.request(doc("getDocument", name, "", "get-" + name));
      joined += jsonField(answer, "part");
      if (jsonField(answer, "last") == "true") break;
    }
    return jsonField(joined, "contentFile");
  }
  std::map<std::string, std::string> office() { return {{"ORMID_EDITOR", "libreoffice"}}; }

  static inline bool available_ = false;
  static inline TempDir* samples_ = nullptr;
  TempDir tmp_;
  std::string docs_;
};

TEST_F(OfficeEndToEnd, OpensSavesReturnsAndClosesRealDocuments) {
  const std::string docx = readFile(samples_->path() + "words.docx");
  const std::string odt = readFile(samples_->path() + "words.odt");
  ASSERT_FALSE(docx.empty());
  HostProcess host(tmp_.path(), office());
  const std::string name = "rapport été 1.docx";

  EXPECT_EQ(jsonField(open(host, name, docx), "result"), "success");
  EXPECT_EQ(jsonField(afterEvent(host, doc("saveDocument", name), "documentSaveEvent"), "result"), "success");
  const std::string saved = decode(fetch(host, name));
  EXPECT_NE(zipMember(saved, "word/document.xml", tmp_.path() + "a.zip").find("orchard"), std::string::npos);

  // saveAndGetDocument: the event, then the document.
  const std::string both = afterEvent(host, doc("saveAndGetDocument", name, "", "sg"), "documentSaveEvent");
  EXPECT_EQ(jsonField(jsonField(both, "part"), "result"), "success");

  EXPECT_EQ(jsonField(open(host, "words.odt", odt), "result"), "success");
  EXPECT_NE(zipMember(decode(fetch(host, "words.odt")), "content.xml", tmp_.path() + "b.zip").find("orchard"),
            std::string::npos);

  EXPECT_EQ(jsonField(afterEvent(host, doc("createDocument", "new.docx"), "documentSaveEvent"), "result"),
            "success");
  EXPECT_FALSE(zipMember(readFile(docs_ + "new.docx"), "word/document.xml", tmp_.path() + "c.zip").empty());

  EXPECT_EQ(
      jsonField(afterEvent(host, doc("closeDocument", name, R"("isRemoveFile":true)"), "documentCloseEvent"),
                "result"),
      "success");
  EXPECT_FALSE(std::filesystem::exists(docs_ + name));

  // Random bytes under a document's name are refused and leave nothing behind.
  std::string noise(20000, '\0');
  std::mt19937 random(3);
  for (char& c : noise) c = static_cast<char>(random());
  EXPECT_EQ(jsonField(open(host, "noise.docx", noise), "description"), "Error open document");
  EXPECT_FALSE(std::filesystem::exists(docs_ + "noise.docx"));

  EXPECT_EQ(
      jsonField(host.request(R"({"messageId":"q","contentId":"c","command":"closeEditor"})", 60s), "result"),
      "success");
  host.closeInput();
  EXPECT_EQ(host.wait(60s), 1);
  EXPECT_TRUE(officeProcesses(tmp_.path()).empty());
}

TEST_F(OfficeEndToEnd, OfficeKilledMidSessionIsStartedAgain) {
  const std::string docx = readFile(samples_->path() + "words.docx");
  {
    HostProcess host(tmp_.path(), office());
    ASSERT_EQ(jsonField(open(host, "k.docx", docx), "result"), "success");
    const std::vector<pid_t> offices = officeProcesses(tmp_.path());
    ASSERT_FALSE(offices.empty());
    for (pid_t pid : offices) kill(pid, SIGKILL);
    // The office's end reaches the host as the quit event.
    std::string answer;
    for (int i = 0; i < 50; ++i) {
      std::this_thread::sleep_for(100ms);
      answer = jsonField(host.request(doc("saveDocument", "k.docx"), 60s), "description");
      if (answer == "Word application not running") break;
    }
    EXPECT_EQ(answer, "Word application not running");
    EXPECT_EQ(jsonField(host.request(R"({"messageId":"o","contentId":"c","command":"openEditor"})", 120s),
                        "result"),
              "success");
    EXPECT_FALSE(officeProcesses(tmp_.path()).empty());
    host.closeInput();
    EXPECT_EQ(host.wait(60s), 1);
  }
  // The office the host started ends with it.
  for (int i = 0; i < 100 && !officeProcesses(tmp_.path()).empty(); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(officeProcesses(tmp_.path()).empty());
}

}  // namespace
}  // namespace ormid::test
