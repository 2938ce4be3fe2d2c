// The built host, started as a browser starts it, answering framed requests
// byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "host/text/text.h"
#include "host/word/base64.h"
#include "tests/e2e/host_process.h"

namespace ormid::test {
namespace {

std::string request(const std::string& command, const std::string& extra = "", const std::string& id = "1") {
  return R"({"messageId":")" + id + R"(","contentId":"c","command":")" + command + "\"" +
         (extra.empty() ? "" : "," + extra) + "}";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// Fetches a whole document through repeated getDocument requests.
std::string getDocument(HostProcess& host, const std::string& extra, const std::string& id, int* answers,
                        std::size_t* largestFrame) {
  std::string joined;
  for (int i = 0; i < 100000; ++i) {
    const std::string answer = host.request(request("getDocument", extra, id));
    if (answers) ++*answers;
    if (largestFrame) *largestFrame = std::max(*largestFrame, answer.size());
    const std::string part = jsonField(answer, "part");
    if (part.rfind("<", 0) == 0) {
      ADD_FAILURE() << answer.substr(0, 300);
      return joined;
    }
    joined += part;
    if (jsonField(answer, "last") == "true") return joined;
  }
  ADD_FAILURE() << "transfer did not end";
  return joined;
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
       "{\"command\":\"y\",\"contentId\":\"c\",\"messageId\":\"\xEF\xBF\xBD\",\"status\":{\"description\":\"Unknow request command y\",\"result\":\"error\"}}"},
  };
  for (const Case& c : cases) EXPECT_EQ(host.request(c.request), c.answer) << c.request;

  // The document commands that need the word processor leave no file behind.
  EXPECT_EQ(jsonField(host.request(request("openDocument", R"("nameFile":"o.docx","contentFile":"aGVsbG8=")")),
                      "description"),
            "Error create instace word application");
  EXPECT_FALSE(std::filesystem::exists(tmp_.path() + "ormid_doc_editor/o.docx"));

  host.closeInput();
  EXPECT_EQ(host.wait(), 1);
  // The log and the default working directory live in the temporary directory.
  const std::string log = readFile(tmp_.path() + "OrmidDocEditor.log");
  EXPECT_NE(log.find("DEBUG"), std::string::npos);
  EXPECT_NE(log.find("[startLog@"), std::string::npos);
  EXPECT_NE(log.find("Start OrmidDocEditor..."), std::string::npos);
  EXPECT_NE(log.find("Exit application..."), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(tmp_.path() + "ormid_doc_editor"));
}

TEST_F(HostEndToEnd, BadFramesAreAnsweredAndTheStreamStaysInStep) {
  HostProcess host(tmp_.path());
  const std::string parseError = R"({"status":{"description":"JSON failed to parse","result":"error"}})";
  struct Case {
    std::string body;
  };
  // Invalid, truncated, surrogate, overlong and too-large sequences.
  for (const std::string& body : {std::string("{\"a\":\"\xC3\"}"), std::string("{\"a\":\"\xE2\x82\"}"),
                                 std::string("{\"a\":\"\xED\xA0\x80\"}"), std::string("{\"a\":\"\xC0\xAF\"}"),
                                 std::string("{\"a\":\"\xF4\x90\x80\x80\"}"), std::string("\xFF")}) {
    host.send(body);
    EXPECT_EQ(host.receive().value_or(""), parseError);
  }
  EXPECT_EQ(jsonField(host.request(request("x")), "description"), "Unknow request command x");

  // Bytes 0x0D 0x0A between tokens reach the parser unchanged.
  EXPECT_EQ(jsonField(host.request("{\"messageId\":\"1\",\r\n\"contentId\":\"c\",\"command\":\"z\"}"), "description"),
            "Unknow request command z");

  // An absurd length: the host reads what comes, answers, and ends with the input.
  host.sendRaw(std::string("\x00\x00\x00\xF0", 4) + "{\"messageId\":");
  host.closeInput();
  EXPECT_EQ(host.receive().value_or(""), parseError);
  EXPECT_EQ(host.wait(), 1);
}

TEST_F(HostEndToEnd, ShortBodyIsZeroPaddedAndTheInputEnds) {
  HostProcess host(tmp_.path());
  const std::string body = request("nothing");
  const auto n = static_cast<std::uint32_t>(body.size() + 6);
  host.sendRaw(std::string{static_cast<char>(n), static_cast<char>(n >> 8), 0, 0} + body);
  host.closeInput();
  EXPECT_EQ(jsonField(host.receive().value_or(""), "description"), "Unknow request command nothing");
  EXPECT_EQ(host.wait(), 1);
}

TEST_F(HostEndToEnd, FrameOfLengthZeroEndsTheHost) {
  HostProcess host(tmp_.path());
  host.sendRaw(std::string(4, '\0'));
  EXPECT_EQ(host.wait(), 1);
  EXPECT_EQ(host.drain(100ms), "");
}

TEST_F(HostEndToEnd, SecondInstanceRefusesToRun) {
  HostProcess first(tmp_.path());
  EXPECT_EQ(jsonField(first.request(request("x")), "result"), "error");  // running
  TempDir other;
  HostProcess second(tmp_.path());
  EXPECT_EQ(second.wait(), 1);
  EXPECT_EQ(second.drain(200ms), "");
  // Standard error is a text stream: Windows ends its lines with "\r\n".
  const std::string newline = windowsHost() ? "\r\n" : "\n";
  EXPECT_EQ(second.errorOutput(), "The application is already running" + newline);
  // The first one is untouched.
  EXPECT_EQ(jsonField(first.request(request("y")), "description"), "Unknow request command y");
}

TEST_F(HostEndToEnd, GetAndRemoveDocuments) {
  const std::string docs = tmp_.path() + "my docs é/";
  std::filesystem::create_directory(docs);
  std::string binary;
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  writeFile(docs + "bin.dat", binary);
  writeFile(docs + "empty.dat", "");
  HostProcess host(tmp_.path());
  const std::string where = R"("workingDirectory":")" + hostPath(tmp_.path() + "my docs é") + "\"";
  auto escaped = [](std::string s) {
    std::string out;
    for (char c : s) out += (c == '\\') ? std::string("\\\\") : std::string(1, c);
    return out;
  };
  const std::string at = escaped(where);

  // Binary content in one part.
  const std::string complete = getDocument(host, at + R"(,"nameFile":"bin.dat")", "g1", nullptr, nullptr);
  EXPECT_EQ(jsonField(complete, "result"), "success");
  EXPECT_EQ(jsonField(complete, "contentFile"), base64Encode(reinterpret_cast<const unsigned char*>(binary.data()), 256));

  // An empty file gives no content; a missing one an error.
  const std::string empty = getDocument(host, at + R"(,"nameFile":"empty.dat")", "g2", nullptr, nullptr);
  EXPECT_EQ(jsonField(empty, "contentFile"), "<absent>");
  EXPECT_EQ(jsonField(empty, "result"), "success");
  EXPECT_EQ(jsonField(getDocument(host, at + R"(,"nameFile":"missing")", "g3", nullptr, nullptr), "description"),
            "Error open file");
  EXPECT_EQ(jsonField(getDocument(host, at + R"(,"nameFile":"")", "g4", nullptr, nullptr), "description"),
            "File name is empty");

  EXPECT_EQ(jsonField(host.request(request("removeDocument", at + R"(,"nameFile":"bin.dat")")), "result"),
            "success");
  EXPECT_FALSE(std::filesystem::exists(docs + "bin.dat"));
  EXPECT_EQ(jsonField(host.request(request("removeDocument", at + R"(,"nameFile":"bin.dat")")), "description"),
            "Error delete file");
}

TEST_F(HostEndToEnd, NamesThatLeaveTheWorkingDirectoryAreRefused) {
  writeFile(tmp_.path() + "secret", "s");
  HostProcess host(tmp_.path());
  for (const std::string name : {"../secret", "..", ".", "a/b", R"(..\\secret)", R"(x\u0000y)"}) {
    const std::string extra = R"("nameFile":")" + name + "\"";
    EXPECT_EQ(jsonField(host.request(request("removeDocument", extra)), "description"), "Invalid file name") << name;
    EXPECT_EQ(jsonField(getDocument(host, extra, "n", nullptr, nullptr), "description"), "Invalid file name") << name;
    for (const std::string command : {"saveDocument", "closeDocument", "createDocument"}) {
      EXPECT_EQ(jsonField(host.request(request(command, extra)), "description"), "Invalid file name") << name;
    }
    EXPECT_EQ(jsonField(host.request(request("openDocument", extra + R"(,"contentFile":"QUJD")")), "description"),
              "Invalid file name");
  }
  EXPECT_TRUE(std::filesystem::exists(tmp_.path() + "secret"));
}

TEST_F(HostEndToEnd, LargeDocumentTravelsInPartsThatJoinByteForByte) {
  std::mt19937 random(7);
  std::string bytes(5 * 1024 * 1024 + 17, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  std::filesystem::create_directory(tmp_.path() + "ormid_doc_editor");
  writeFile(tmp_.path() + "ormid_doc_editor/big.bin", bytes);
  HostProcess host(tmp_.path());
  int answers = 0;
  std::size_t largest = 0;
  const std::string complete = getDocument(host, R"("nameFile":"big.bin")", "big", &answers, &largest);
  EXPECT_GT(answers, 5);
  EXPECT_LE(largest, 1048576u);
  const std::vector<unsigned char> decoded = base64Decode(jsonField(complete, "contentFile"));
  EXPECT_TRUE(std::string(decoded.begin(), decoded.end()) == bytes);
}

}  // namespace
}  // namespace ormid::test
