// The policy's checks against a directory tree with the escapes a page could
// try: "..", links out of an allowed directory, a sibling whose name starts
// like an allowed one, a name that climbs out.
#include "host/policy/policy.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using ormid::policy::Policy;
using ormid::policy::Verdict;

class PolicyCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ormid-policy-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = fs::canonical(pattern).string() + "/";
    for (const char* dir : {"docs/sub", "docs2", "secret", "home/Shared", "tmp"})
      fs::create_directories(root_ + dir);
    std::ofstream(root_ + "secret/id_rsa") << "KEY";
    fs::create_directory_symlink(root_ + "secret", root_ + "docs/out");
    fs::create_symlink(root_ + "secret/id_rsa", root_ + "docs/key");
    fs::create_symlink(root_ + "secret/new", root_ + "docs/dangling");
    const char* home = getenv("HOME");
    if (home) savedHome_ = home;
    setenv("HOME", (root_ + "home").c_str(), 1);
  }
  void TearDown() override {
    if (savedHome_.empty()) {
      unsetenv("HOME");
    } else {
      setenv("HOME", savedHome_.c_str(), 1);
    }
    fs::remove_all(root_);
  }

  Policy restricting() const {
    return ormid::policy::parsePolicy(R"({"allowedWorkingDirectories":[")" + root_ + R"(docs", "~/Shared"]})",
                                      "test");
  }
  Verdict check(const Policy& policy, const std::string& dir, const std::string* name) const {
    return ormid::policy::checkLocation(policy, root_ + dir, name, root_ + "tmp/ormid_doc_editor/");
  }

  std::string root_;
  std::string savedHome_;
};

TEST_F(PolicyCheck, DocumentsStayInAllowedDirectories) {
  const Policy policy = restricting();
  ASSERT_EQ(policy.state, Policy::State::active) << policy.problem;
  struct Case {
    std::string dir;
    std::string name;
    bool allowed;
  };
  const std::vector<Case> cases = {
      {"docs/", "a.docx", true},
      {"docs/sub/", "a.docx", true},
      {"docs/new/", "a.docx", true},  // the host makes the last level
      {"home/Shared/", "a.docx", true},
      {"tmp/ormid_doc_editor/", "a.docx", true},  // the default, not yet made
      {"docs/../secret/", "id_rsa", false},
      {"docs/new/../../secret/", "id_rsa", false},
      {"docs/out/", "id_rsa", false},  // a link to a directory outside
      {"docs2/", "a.docx", false},     // a sibling sharing the name's start
      {"docs/", "../secret/id_rsa", false},
      {"docs/", "out/id_rsa", false},
      {"docs/", "key", false},       // a link to a file outside
      {"docs/", "dangling", false},  // writing would create the file outside
      {"secret/", "", false},
      {"", "docs/a.docx", false},  // the directory above an allowed one
  };
  for (const Case& c : cases) {
    EXPECT_EQ(check(policy, c.dir, &c.name), c.allowed ? Verdict::allowed : Verdict::directoryNotAllowed)
        << c.dir << " + " << c.name;
  }
  EXPECT_EQ(check(policy, "secret/", nullptr), Verdict::directoryNotAllowed);
  EXPECT_EQ(check(policy, "docs/", nullptr), Verdict::allowed);
}

TEST_F(PolicyCheck, OnlyARestrictingPolicyRestricts) {
  const std::string name = "id_rsa";
  EXPECT_EQ(check(Policy{}, "secret/", &name), Verdict::allowed);
  EXPECT_EQ(check(ormid::policy::parsePolicy(R"({"maxDocumentBytes":10})", "t"), "secret/", &name),
            Verdict::allowed);
  // An empty list leaves the default working directory alone.
  const Policy none = ormid::policy::parsePolicy(R"({"allowedWorkingDirectories":[]})", "t");
  EXPECT_EQ(check(none, "tmp/ormid_doc_editor/", &name), Verdict::allowed);
  EXPECT_EQ(check(none, "docs/", &name), Verdict::directoryNotAllowed);
  // A policy that does not parse refuses even the default directory: ormid_policy_e2e_test.
}

TEST(PolicyParse, AcceptsOnlyWhatItUnderstands) {
  const Policy full = ormid::policy::parsePolicy(
      "\xEF\xBB\xBF"
      R"({"allowedWorkingDirectories":["/srv/docs","~/Documents/Shared"],"maxDocumentBytes":52428800,"logLevel":"INFO"})",
      "t");
  ASSERT_EQ(full.state, Policy::State::active) << full.problem;
  EXPECT_EQ(full.allowedWorkingDirectories, (std::vector<std::string>{"/srv/docs", "~/Documents/Shared"}));
  EXPECT_EQ(full.maxDocumentBytes, 52428800u);
  EXPECT_EQ(full.logLevel, 4);

  for (const char* text : {
           "{bad", "[]", "", R"({"logLevel":"loud"})", R"({"logLevel":4})", R"({"maxDocumentBytes":0})",
           R"({"maxDocumentBytes":-5})", R"({"maxDocumentBytes":1.5})", R"({"maxDocumentBytes":"10"})",
           R"({"allowedWorkingDirectories":"/srv"})", R"({"allowedWorkingDirectories":["docs"]})",
           R"({"allowedWorkingDirectories":[""]})", R"({"allowedWorkingDirectories":[7]})",
           R"({"allowedWorkingDirectory":["/srv"]})",  // misspelt: would leave everything open
       }) {
    EXPECT_EQ(ormid::policy::parsePolicy(text, "t").state, Policy::State::broken) << text;
  }
}

TEST(PolicySize, CountsDecodedBytes) {
  const Policy policy = ormid::policy::parsePolicy(R"({"maxDocumentBytes":5})", "t");
  EXPECT_EQ(ormid::policy::checkContent(policy, u"aGVsbG8="), Verdict::allowed);   // 5 bytes
  EXPECT_EQ(ormid::policy::checkContent(policy, u"aGVsbG8h"), Verdict::tooLarge);  // 6 bytes
  // Decoding ends at the first character outside the alphabet.
  EXPECT_EQ(ormid::policy::checkContent(policy, u"aGVs=" + std::u16string(100, u'A')), Verdict::allowed);

  char pattern[] = "/tmp/ormid-policy-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = std::string(pattern) + "/";
  std::ofstream(dir + "five") << "12345";
  std::ofstream(dir + "six") << "123456";
  EXPECT_EQ(ormid::policy::checkFile(policy, dir + "five"), Verdict::allowed);
  EXPECT_EQ(ormid::policy::checkFile(policy, dir + "six"), Verdict::tooLarge);
  EXPECT_EQ(ormid::policy::checkFile(policy, dir), Verdict::allowed);  // not a document: its own answer
  fs::remove_all(dir);
}

TEST(PolicyLoad, NamedFileThatIsMissingRefuses) {
  if (fs::exists(ormid::policy::kSystemPolicyFile)) GTEST_SKIP() << "this machine has a system policy";
  setenv(ormid::policy::kPolicyFileVariable, "/nonexistent/policy.json", 1);
  EXPECT_EQ(ormid::policy::loadPolicy().state, Policy::State::broken);
  unsetenv(ormid::policy::kPolicyFileVariable);
  EXPECT_EQ(ormid::policy::loadPolicy().state, Policy::State::none);
}

}  // namespace
