// The Windows program under a policy from the registry, written as an
// installer writes it (REG_SZ values, directories separated by ';'): an escape
// from the allowed directory is refused and touches nothing, names are
// compared as Windows compares them, and ORMID_POLICY_FILE cannot loosen it.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr const wchar_t* kParentKey = L"Software\\Policies\\Ormid";
constexpr const wchar_t* kPolicyKey = L"Software\\Policies\\Ormid\\DocEditor";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

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

// The host as a browser starts it, with pipes on its standard streams.
class Host {
 public:
  explicit Host(const std::string& tempDir) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr;
    HANDLE childOut = nullptr;
    CreatePipe(&childIn, &in_, &inherit, 0);
    CreatePipe(&out_, &childOut, &inherit, 0);
    SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    SetEnvironmentVariableA("TMP", tempDir.c_str());
    SetEnvironmentVariableA("TEMP", tempDir.c_str());
    char self[MAX_PATH];
    const std::string selfPath(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
    std::string program(1, '"');
    program.append(selfPath, 0, selfPath.find_last_of('\\') + 1);
    program += "ormid-doc-editor.exe\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (CreateProcessA(nullptr, program.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &info)) {
      process_ = info.hProcess;
      CloseHandle(info.hThread);
    }
    CloseHandle(childIn);
    CloseHandle(childOut);
  }
  ~Host() {
    if (in_) CloseHandle(in_);
    if (process_) {
      if (WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0) TerminateProcess(process_, 99);
      CloseHandle(process_);
    }
    CloseHandle(out_);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  std::string request(const std::string& json) {
    const auto n = static_cast<std::uint32_t>(json.size());
    const char header[4] = {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                            static_cast<char>(n >> 24)};
    const std::string frame = std::string(header, 4) + json;
    DWORD written = 0;
    WriteFile(in_, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr);
    std::string head;
    if (!read(head, 4)) return "<no answer>";
    const auto* h = reinterpret_cast<const unsigned char*>(head.data());
    std::string body;
    if (!read(body, h[0] | h[1] << 8 | h[2] << 16 | static_cast<std::uint32_t>(h[3]) << 24))
      return "<no answer>";
    return body;
  }

 private:
  bool read(std::string& into, std::size_t size) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    into.clear();
    while (into.size() < size) {
      DWORD available = 0;
      if (!PeekNamedPipe(out_, nullptr, 0, nullptr, &available, nullptr)) return false;
      if (available == 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        Sleep(5);
        continue;
      }
      std::string chunk(std::min<std::size_t>(available, size - into.size()), '\0');
      DWORD got = 0;
      if (!ReadFile(out_, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) return false;
      into.append(chunk, 0, got);
    }
    return true;
  }

  HANDLE in_ = nullptr;
  HANDLE out_ = nullptr;
  HANDLE process_ = nullptr;
};

std::string escaped(const std::string& path) {
  std::string out;
  for (char c : path) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return out;
}

std::string doc(const std::string& command, const std::string& dir, const std::string& name,
                const std::string& extra = "") {
  return R"({"messageId":"1","contentId":"c","command":")" + command + R"(","workingDirectory":")" +
         escaped(dir) + R"(","nameFile":")" + name + "\"" + (extra.empty() ? "" : "," + extra) + "}";
}

std::string description(const std::string& answer) {
  const std::string start = "\"description\":\"";
  const auto at = answer.find(start);
  if (at == std::string::npos) return "<absent>";
  const auto from = at + start.size();
  return answer.substr(from, answer.find('"', from) - from);
}

TEST(WindowsPolicy, RegistryPolicyRefusesEscapes) {
  char temp[MAX_PATH];
  const std::string base = std::string(temp, GetTempPathA(MAX_PATH, temp)) + "ormid-policy-test-" +
                           std::to_string(GetCurrentProcessId()) + "\\";
  for (const char* dir : {"", "Allowed", "secret", "tmp"}) CreateDirectoryA((base + dir).c_str(), nullptr);
  std::ofstream(base + "secret\\id_rsa", std::ios::binary) << "PRIVATE KEY";
  std::ofstream(base + "Allowed\\small.txt", std::ios::binary) << "abc";
  // A policy file that allows everything: the system's policy wins.
  std::ofstream(base + "open.json", std::ios::binary) << "{}";
  SetEnvironmentVariableA("ORMID_POLICY_FILE", (base + "open.json").c_str());

  RegistryPolicy policy;
  ASSERT_TRUE(policy.made());
  policy.set(L"allowedWorkingDirectories", base + "Allowed;" + base + "elsewhere");
  policy.set(L"maxDocumentBytes", "5");
  policy.set(L"logLevel", "info");
  {
    Host host(base + "tmp\\");
    struct Case {
      std::string request;
      std::string description;
    };
    const std::vector<Case> cases = {
        {doc("getDocument", base + "secret", "id_rsa"), "Working directory not allowed"},
        {doc("getDocument", base + "Allowed\\..\\secret", "id_rsa"), "Working directory not allowed"},
        {doc("openDocument", base + "Allowed2", "a.txt", R"("contentFile":"aGVsbG8=")"),
         "Working directory not allowed"},
        {doc("openDocument", base + "Allowed\\new", "a.txt", R"("contentFile":"aGVsbG8h")"),
         "Document too large"},
        // Names are compared as Windows compares them.
        {doc("getDocument", base + "ALLOWED", "small.txt"), "<absent>"},
    };
    for (const Case& c : cases) EXPECT_EQ(description(host.request(c.request)), c.description) << c.request;
    // A link out of the allowed directory never gives the key away: Windows
    // follows it and the policy refuses; Wine may not follow it at all.
    if (CreateSymbolicLinkA((base + "Allowed\\out").c_str(), (base + "secret").c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY)) {
      const std::string answer = host.request(doc("getDocument", base + "Allowed\\out", "id_rsa"));
      EXPECT_NE(description(answer), "<absent>") << answer;
      EXPECT_EQ(answer.find("UFJJVkFURSBLRVk"), std::string::npos) << answer;  // "PRIVATE KEY"
    }
  }
  EXPECT_FALSE(exists(base + "Allowed2"));
  EXPECT_FALSE(exists(base + "Allowed\\new"));
  EXPECT_EQ(readFile(base + "tmp\\OrmidDocEditor.log").find("Read message"), std::string::npos);
  SetEnvironmentVariableA("ORMID_POLICY_FILE", nullptr);
}

}  // namespace
