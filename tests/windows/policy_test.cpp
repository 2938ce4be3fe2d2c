// The Windows program under a policy from the registry, written as an
// installer writes it (REG_SZ values, directories separated by ';'): the
// values are read, ORMID_POLICY_FILE cannot loosen them, and names are compared
// as Windows compares them. The checks shared with other systems are the
// policy suite's and the end-to-end suite's.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>

#include "host_pipe.h"

namespace ormid::test {
namespace {

constexpr const wchar_t* kParentKey = L"Software\\Policies\\Ormid";
constexpr const wchar_t* kPolicyKey = L"Software\\Policies\\Ormid\\DocEditor";

// The policy key for the life of a test; what the test made is removed again,
// the parent key too when the test made it.
class RegistryPolicy {
 public:
  RegistryPolicy() {
    HKEY parent = nullptr;
    parentExisted_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParentKey, 0, KEY_READ, &parent) == ERROR_SUCCESS;
    if (parent) RegCloseKey(parent);
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key_, nullptr);
  }
  ~RegistryPolicy() {
    if (key_) RegCloseKey(key_);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPolicyKey);
    if (!parentExisted_) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kParentKey);
  }
  RegistryPolicy(const RegistryPolicy&) = delete;
  RegistryPolicy& operator=(const RegistryPolicy&) = delete;

  bool made() const { return key_ != nullptr; }
  void set(const wchar_t* name, const std::string& text) {
    const std::wstring value(text.begin(), text.end());  // ASCII paths
    RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }

 private:
  HKEY key_ = nullptr;
  bool parentExisted_ = false;
};

TEST(WindowsPolicy, RegistryPolicyIsReadAndOutranksThePolicyFile) {
  char temp[MAX_PATH];
  const std::string base = std::string(temp, GetTempPathA(MAX_PATH, temp)) + "ormid-policy-test-" +
                           std::to_string(GetCurrentProcessId()) + "\\";
  const std::string allowed = base + "Allowed documents";
  for (const std::string& dir : {base, allowed, base + "secret", base + "tmp"})
    CreateDirectoryA(dir.c_str(), nullptr);
  std::ofstream(base + "secret\\id_rsa", std::ios::binary) << "PRIVATE KEY";
  std::ofstream(allowed + "\\small.txt", std::ios::binary) << "abc";
  char shortName[MAX_PATH];
  ASSERT_GT(GetShortPathNameA(allowed.c_str(), shortName, MAX_PATH), 0u);
  ASSERT_NE(std::string(shortName), allowed) << "the file system gives short names";
  // A policy file that allows everything: the system's policy wins.
  std::ofstream(base + "open.json", std::ios::binary) << "{}";
  SetEnvironmentVariableA("ORMID_POLICY_FILE", (base + "open.json").c_str());

  RegistryPolicy policy;
  ASSERT_TRUE(policy.made());
  policy.set(L"allowedWorkingDirectories", base + "elsewhere;" + allowed);
  policy.set(L"maxDocumentBytes", "5");
  policy.set(L"logLevel", "info");
  {
    Host host(base + "tmp\\");
    const std::pair<std::string, std::string> cases[] = {
        {doc("getDocument", base + "secret", "id_rsa"), "Working directory not allowed"},
        // ".." as Windows takes it away, before the file system resolves the rest.
        {doc("getDocument", allowed + "\\..\\secret", "id_rsa"), "Working directory not allowed"},
        {doc("openDocument", allowed + "\\new", "a.txt", R"("contentFile":"aGVsbG8h")"),
         "Document too large"},
        // Names are compared as Windows compares them: case aside, short names long.
        {doc("getDocument", base + "ALLOWED DOCUMENTS", "small.txt"), "<absent>"},
        {doc("getDocument", shortName, "small.txt"), "<absent>"},
    };
    for (const auto& [request, description] : cases)
      EXPECT_EQ(field(host.request(request), "description"), description) << request;
  }
  EXPECT_EQ(GetFileAttributesA((allowed + "\\new").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(readFile(base + "tmp\\OrmidDocEditor.log").find("Read message"), std::string::npos);
  SetEnvironmentVariableA("ORMID_POLICY_FILE", nullptr);
}

}  // namespace
}  // namespace ormid::test
