// The built host under an administrator's policy named by ORMID_POLICY_FILE:
// a refused request answers its error and touches nothing.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/e2e/host_process.h"

namespace ormid::test {
namespace {

namespace fs = std::filesystem;

std::string documentRequest(const std::string& command, const std::string& directory, const std::string& name,
                            const std::string& extra = "") {
  return R"({"messageId":"1","contentId":"c","command":")" + command + R"(","workingDirectory":")" +
         jsonEscape(directory) + R"(","nameFile":")" + name + "\"" + (extra.empty() ? "" : "," + extra) + "}";
}

class PolicyEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(tmp_.path() + "allowed");
    fs::create_directories(tmp_.path() + "secret");
    fs::create_directories(tmp_.path() + "ormid_doc_editor");
    writeFileText(tmp_.path() + "secret/id_rsa", "PRIVATE KEY");
    writeFileText(tmp_.path() + "allowed/small.txt", "abc");
    writeFileText(tmp_.path() + "ormid_doc_editor/big.txt", "123456");
  }
  std::map<std::string, std::string> policyFile(const std::string& text) {
    writeFileText(tmp_.path() + "policy.json", text);
    return {{"ORMID_POLICY_FILE", tmp_.path() + "policy.json"}};
  }

  TempDir tmp_;
};

TEST_F(PolicyEndToEnd, RefusedRequestsTouchNothing) {
  const std::string& t = tmp_.path();
  HostProcess host(t, policyFile(R"({"allowedWorkingDirectories":[")" + jsonEscape(t + "allowed") +
                                 R"("],"maxDocumentBytes":5,"logLevel":"info"})"));
  struct Case {
    std::string request;
    std::string description;
  };
  const std::vector<Case> cases = {
      {documentRequest("getDocument", t + "secret", "id_rsa"), "Working directory not allowed"},
      {documentRequest("openDocument", t + "allowed/../made", "a.txt", R"("contentFile":"aGVsbG8=")"),
       "Working directory not allowed"},
      {documentRequest("openDocument", t + "allowed/new", "a.txt", R"("contentFile":"aGVsbG8h")"),
       "Document too large"},
      {R"({"messageId":"1","contentId":"c","command":"getDocument","nameFile":"big.txt"})",
       "Document too large"},
      // Within the policy the request goes on as always.
      {documentRequest("openDocument", t + "allowed/made", "a.txt", R"("contentFile":"aGVsbG8=")"),
       "Error create instace word application"},
      {documentRequest("getDocument", t + "allowed", "small.txt"), "<absent>"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(jsonField(host.request(c.request), "description"), c.description) << c.request;
  EXPECT_TRUE(fs::exists(t + "secret/id_rsa"));
  EXPECT_FALSE(fs::exists(t + "made"));
  EXPECT_FALSE(fs::exists(t + "allowed/new"));
  EXPECT_TRUE(fs::exists(t + "allowed/made"));

  host.closeInput();
  EXPECT_EQ(host.wait(), 1);
  // At "info" no message body reaches the log.
  const std::string log = fileText(t + "OrmidDocEditor.log");
  EXPECT_NE(log.find("in force"), std::string::npos);
  EXPECT_EQ(log.find("aGVsbG8"), std::string::npos);
  EXPECT_EQ(log.find("DEBUG"), std::string::npos);
}

TEST_F(PolicyEndToEnd, PolicyThatDoesNotParseRefusesDocumentCommands) {
  HostProcess host(tmp_.path(), policyFile(R"({"allowedWorkingDirectories":"/srv"})"));
  EXPECT_EQ(
      jsonField(
          host.request(R"({"messageId":"1","contentId":"c","command":"getDocument","nameFile":"big.txt"})"),
          "description"),
      "Working directory not allowed");
  EXPECT_EQ(
      jsonField(host.request(R"({"messageId":"2","contentId":"c","command":"closeEditor"})"), "description"),
      "Instace word application not found");
}

}  // namespace
}  // namespace ormid::test
