// The built host, started as a browser starts it, answering framed requests
// byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "host/base64/base64.h"
#include "tests/e2e/host_process.h"

namespace ormid::test {
namespace {

std::string request(const std::string& command, const std::string& extra = "", const std::string& id = "1") {
  return R"({"messageId":")" + id + R"(","contentId":"c","command":")" + command + "\"" +
         (extra.empty() ? "" : "," + extra) + "}";
}

class HostEndToEnd : public ::testing::Test {
 protected:
  TempDir tmp_;
};

TEST_F(HostEndToEnd, AnswersEveryRequestAsDesigned) {
  HostProcess host(tmp_.path());
  struct Case {
    std::string request;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {"{bad", R"({"status":{"description":"JSON failed to parse","result":"error"}})"},
      {"[1]", R"({"status":{"description":"The root element is not an object","result":"error"}})"},
      {R"({"messageId":"1","contentId":"c","command":"openEditor","destination":"ormidDocEditorNative"})",
       R"({"command":"openEditor","contentId":"c","destination":"ormidDocEditorWebExt","messageId":"1","status":{"description":"Error create instace word application","result":"error"}})"},
      {R"({"messageId":"1","contentId":"c","command":"closeEditor","destination":"x"})",
       R"({"command":"closeEditor","contentId":"c","messageId":"1","status":{"description":"Instace word application not found","result":"error"}})"},
      {request("saveDocument", R"("nameFile":"a.docx")"),
       R"({"command":"saveDocument","contentId":"c","messageId":"1","nameFile":"a.docx","status":{"description":"Word application not running","result":"error"}})"},
      {request("closeDocument", R"("nameFile":"a.docx","isRemoveFile":true)"),
       R"({"command":"closeDocument","contentId":"c","isRemoveFile":true,"messageId":"1","nameFile":"a.docx","status":{"description":"Word application not running","result":"error"}})"},
      {request("createDocument", R"("nameFile":"a.docx")"),
       R"({"command":"createDocument","contentId":"c","messageId":"1","nameFile":"a.docx","status":{"description":"Error create instace word application","result":"error"}})"},
      {request("removeDocument", R"("nameFile":"")"),
       R"({"command":"removeDocument","contentId":"c","messageId":"1","nameFile":"","status":{"description":"Error delete file","result":"error"}})"},
      // Escaping of '/', '"', '\' and control characters; non-BMP text passes unchanged.
      {R"({"messageId":"a/b\"c\\d\u0001\u001f\b\t","contentId":"𝄞é","command":"x"})",
       R"({"command":"x","contentId":"𝄞é","messageId":"a\/b\"c\\d\u0001\u001f\b\t","status":{"description":"Unknow request command x","result":"error"}})"},
      // A lone surrogate still gets its one answer, as U+FFFD.
      {R"({"messageId":"\udc00","contentId":"c","command":"y"})",
       "{\"command\":\"y\",\"contentId\":\"c\",\"messageId\":\"\xEF\xBF\xBD\",\"status\":{\"description\":"
       "\"Unknow request command y\",\"result\":\"error\"}}"},
  };
  for (const Case& c : cases) EXPECT_EQ(host.request(c.request), c.answer) << c.request;

  // A second instance refuses to run and leaves the first one untouched.
  {
    HostProcess second(tmp_.path());
    EXPECT_EQ(second.wait(), 1);
    EXPECT_EQ(second.drain(200ms), "");
    // Standard error is a text stream: Windows ends its lines with "\r\n".
    EXPECT_EQ(fileText(tmp_.path() + "host-stderr.txt"),
              std::string("The application is already running") + (windowsHost() ? "\r\n" : "\n"));
  }
  EXPECT_EQ(jsonField(host.request(request("y")), "description"), "Unknow request command y");

  // The document commands that need the word processor leave no file behind.
  EXPECT_EQ(
      jsonField(host.request(request("openDocument", R"("nameFile":"o.docx","contentFile":"aGVsbG8=")")),
                "description"),
      "Error create instace word application");
  EXPECT_FALSE(std::filesystem::exists(tmp_.path() + "ormid_doc_editor/o.docx"));

  host.sendRaw(std::string(4, '\0'));  // a length of zero ends the host, its input still open
  EXPECT_EQ(host.wait(), 1);
  // The log and the default working directory live in the temporary directory.
  const std::string log = fileText(tmp_.path() + "OrmidDocEditor.log");
  EXPECT_NE(log.find("DEBUG"), std::string::npos);
  EXPECT_NE(log.find("[startLog@"), std::string::npos);
  const auto start = log.find("Start OrmidDocEditor...");
  EXPECT_NE(start, std::string::npos);
  EXPECT_EQ(log.find("Start OrmidDocEditor...", start + 1), std::string::npos)
      << "the refused one logs nothing";
  EXPECT_NE(log.find("Exit application..."), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(tmp_.path() + "ormid_doc_editor"));
}

TEST_F(HostEndToEnd, BadFramesAreAnsweredAndTheStreamStaysInStep) {
  HostProcess host(tmp_.path());
  const std::string parseError = R"({"status":{"description":"JSON failed to parse","result":"error"}})";
  // Text that is not UTF-8, inside a string and on its own.
  for (const std::string& body : {std::string("{\"a\":\"\xE2\x82\"}"), std::string("\xFF")}) {
    host.send(body);
    EXPECT_EQ(host.receive().value_or(""), parseError);
  }
  EXPECT_EQ(jsonField(host.request(request("x")), "description"), "Unknow request command x");

  // Bytes 0x0D 0x0A between tokens reach the parser unchanged.
  EXPECT_EQ(jsonField(host.request("{\"messageId\":\"1\",\r\n\"contentId\":\"c\",\"command\":\"z\"}"),
                      "description"),
            "Unknow request command z");

  // An absurd length: the host reads what comes, answers, and ends with the input.
  host.sendRaw(std::string("\x00\x00\x00\xF0", 4) + "{\"messageId\":");
  host.closeInput();
  EXPECT_EQ(host.receive().value_or(""), parseError);
  EXPECT_EQ(host.wait(), 1);
}

TEST_F(HostEndToEnd, DocumentsOfTheWorkingDirectoryAndNamesThatLeaveItAreRefused) {
  const std::string docs = tmp_.path() + "my docs é/";
  std::filesystem::create_directory(docs);
  writeFileText(docs + "a.dat", "a");
  writeFileText(docs + "empty.dat", "");
  writeFileText(tmp_.path() + "secret", "s");
  HostProcess host(tmp_.path());
  const std::string at = R"("workingDirectory":")" + jsonEscape(hostPath(tmp_.path() + "my docs é")) + "\",";
  auto get = [&](const std::string& name) {
    return host.transfer(request("getDocument", at + R"("nameFile":")" + name + "\"", name));
  };
  // An empty file gives no content; a missing one an error.
  const std::string empty = get("empty.dat");
  EXPECT_EQ(jsonField(empty, "contentFile"), "<absent>");
  EXPECT_EQ(jsonField(empty, "result"), "success");
  EXPECT_EQ(jsonField(get("missing"), "description"), "Error open file");
  // Neither a directory nor a device is a document.
  std::filesystem::create_directory(docs + "folder");
  EXPECT_EQ(jsonField(get("folder"), "description"), "Error open file");
  const std::string device = windowsHost() ? R"("workingDirectory":"","nameFile":"NUL")"
                                           : R"("workingDirectory":"/dev","nameFile":"null")";
  EXPECT_EQ(jsonField(host.transfer(request("getDocument", device, "dev")), "description"),
            "Error open file");
  EXPECT_EQ(jsonField(get(""), "description"), "File name is empty");
  EXPECT_EQ(jsonField(host.request(request("removeDocument", at + R"("nameFile":"a.dat")")), "result"),
            "success");
  EXPECT_FALSE(std::filesystem::exists(docs + "a.dat"));
  EXPECT_EQ(jsonField(host.request(request("removeDocument", at + R"("nameFile":"a.dat")")), "description"),
            "Error delete file");

  for (const std::string name : {"../secret", "..", ".", "a/b", R"(..\\secret)", R"(x\u0000y)"}) {
    const std::string extra = R"("nameFile":")" + name + "\"";
    for (const std::string command : {"removeDocument", "saveDocument", "closeDocument", "createDocument"})
      EXPECT_EQ(jsonField(host.request(request(command, extra)), "description"), "Invalid file name") << name;
    EXPECT_EQ(jsonField(host.transfer(request("getDocument", extra, "n")), "description"),
              "Invalid file name");
    EXPECT_EQ(
        jsonField(host.request(request("openDocument", extra + R"(,"contentFile":"QUJD")")), "description"),
        "Invalid file name");
  }
  EXPECT_TRUE(std::filesystem::exists(tmp_.path() + "secret"));
}

// The host under a memory cap, as on a loaded machine: what cannot be held is
// answered, and the host serves on.
TEST_F(HostEndToEnd, UnderAMemoryCapEveryRequestIsAnsweredAndTheHostLives) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the cap";
#endif
  if (windowsHost()) GTEST_SKIP() << "a cap on a Windows program is tested in-process";
  HostProcess host(tmp_.path(), {}, {"prlimit", "--as=524288000", "--"});
  const std::string unreadable = R"({"status":{"description":"JSON failed to parse","result":"error"}})";
  const std::string big = request(
      "openDocument", R"("nameFile":"big.docx","contentFile":")" + std::string(400'000'000, 'A') + "\"");
  EXPECT_EQ(host.request(big, 120s), unreadable);
  EXPECT_EQ(jsonField(host.request(request("y")), "description"), "Unknow request command y");
  // Four bytes announcing a body of 1 GiB - 1 that never comes.
  host.sendRaw("\xFF\xFF\xFF\x3F");
  host.closeInput();
  EXPECT_EQ(host.receive().value_or("<none>"), unreadable);
  EXPECT_EQ(host.wait(), 1);
  EXPECT_LT(std::filesystem::file_size(tmp_.path() + "OrmidDocEditor.log"), 10'000'000u);
  EXPECT_FALSE(std::filesystem::exists(tmp_.path() + "ormid_doc_editor/big.docx"));
}

// A host whose answers nobody reads any more stops, instead of reading on.
TEST_F(HostEndToEnd, ABrokenOutputEndsTheHost) {
  HostProcess host(tmp_.path());
  EXPECT_EQ(jsonField(host.request(request("y")), "description"), "Unknow request command y");
  host.closeOutput();
  host.send(request("z"));
  EXPECT_EQ(host.wait(10s), 1);
  EXPECT_NE(fileText(tmp_.path() + "OrmidDocEditor.log").find("Error write message..."), std::string::npos);
}

// Started without a standard output, the host must not answer into a file
// that took its descriptor.
TEST_F(HostEndToEnd, WithoutAStandardOutputTheHostEndsAtOnce) {
  if (windowsHost()) GTEST_SKIP() << "descriptors are a POSIX notion";
  HostProcess host(tmp_.path(), {}, {"sh", "-c", "exec \"$0\" >&-"});
  host.send(request("y"));
  EXPECT_EQ(host.wait(10s), 1);
  EXPECT_EQ(fileText(tmp_.path() + "OrmidDocEditorLock"), "");
  EXPECT_NE(fileText(tmp_.path() + "OrmidDocEditor.log").find("Error get STD_OUTPUT_HANDLE..."),
            std::string::npos);
}

TEST_F(HostEndToEnd, LargeDocumentTravelsInPartsThatJoinByteForByte) {
  std::mt19937 random(7);
  std::string bytes(5 * 1024 * 1024 + 17, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  std::filesystem::create_directory(tmp_.path() + "ormid_doc_editor");
  writeFileText(tmp_.path() + "ormid_doc_editor/big.bin", bytes);
  HostProcess host(tmp_.path());
  int answers = 0;
  std::size_t largest = 0;
  const std::string complete =
      host.transfer(request("getDocument", R"("nameFile":"big.bin")", "big"), &answers, &largest);
  EXPECT_GT(answers, 5);
  EXPECT_LE(largest, 1048576u);
  const std::vector<unsigned char> decoded = base64Decode(jsonField(complete, "contentFile"));
  EXPECT_TRUE(std::string(decoded.begin(), decoded.end()) == bytes);
}

}  // namespace
}  // namespace ormid::test
