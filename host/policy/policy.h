// The administrator's policy: which directories a page may have documents in,
// how large a document may be, and how much the log keeps. Read once at
// start-up; without one every request is served as it always was.
//
// A policy that exists but cannot be understood (text that is not JSON, a
// member of the wrong kind or with a value outside its range, an unknown
// member, a file that cannot be read) is "broken": document commands are then
// refused, never run unrestricted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ormid::policy {

// Where the system's policy file lives on POSIX systems.
inline constexpr const char* kSystemPolicyFile = "/etc/ormid-doc-editor/policy.json";
// The policy file read when the system has none (tests, per-user set-ups).
inline constexpr const char* kPolicyFileVariable = "ORMID_POLICY_FILE";

struct Policy {
  enum class State { none, active, broken };
  State state = State::none;
  std::string source;   // where it was read from, for the log
  std::string problem;  // why it is broken
  // Entries as written (system code page), "~" not yet expanded; absent when
  // the policy does not limit directories.
  std::optional<std::vector<std::string>> allowedWorkingDirectories;
  std::optional<std::uint64_t> maxDocumentBytes;
  std::optional<int> logLevel;  // the log's severity number, 0 (none) to 6 (verbose)

  // Marks the policy broken, keeping the first reason.
  void breakWith(std::string why);
};

// ---- Building a policy from its members (JSON file or registry values) ----

// Parses the UTF-8 text of a policy file (a leading byte order mark is
// skipped). Never throws; a text that does not parse gives a broken policy.
Policy parsePolicy(std::string_view utf8, std::string source);

// The members as a registry or a file gives them; each marks `policy` broken
// when the value is not acceptable.
void addAllowedDirectory(Policy& policy, std::u16string_view entry);
// A positive whole number of bytes.
void setMaxDocumentBytes(Policy& policy, double value);
void setMaxDocumentBytes(Policy& policy, std::uint64_t value);
// Decimal digits only.
void setMaxDocumentBytes(Policy& policy, std::u16string_view decimal);
// none, fatal, error, warning, info, debug or verbose.
void setLogLevel(Policy& policy, std::u16string_view name);

// ---- The checks ----

enum class Verdict { allowed, directoryNotAllowed, tooLarge };

// The answer's description of a refusal ("Working directory not allowed",
// "Document too large"); empty for allowed.
std::u16string_view describe(Verdict verdict);

// Whether a document command may work in `workingDirectory` (as the request
// settled it, ending in the separator unless empty) on `nameFile` (null when
// the request named none). Both the directory and the document's own
// directory must lie, once resolved (symbolic links followed, "." and ".."
// taken away), within an allowed directory or within `defaultDirectory`,
// compared by whole components as the file system compares names. A document
// that exists is resolved itself, so a link named like a document cannot
// point outside.
Verdict checkLocation(const Policy& policy, const std::string& workingDirectory, const std::string* nameFile,
                      const std::string& defaultDirectory);

// Whether base64 content decodes to no more than the policy allows (decoded
// as the host decodes it: up to the first character outside the alphabet).
Verdict checkContent(const Policy& policy, std::u16string_view base64);
// The same for content held narrow (as a request's contentFile is).
Verdict checkContent(const Policy& policy, std::string_view base64);

// Whether the file at `path` is no larger than the policy allows; anything
// that is not a regular file passes (the operation gives its own answer).
Verdict checkFile(const Policy& policy, const std::string& path);

// True when `path` is `root` or lies below it, comparing whole components as
// the file system compares names. Both are resolved absolute paths.
bool isWithin(std::u16string_view root, std::u16string_view path);

// ---- The policy of this process ----

// Reads the system's policy; when there is none, the file ORMID_POLICY_FILE
// names (a file named there that does not exist breaks the policy: a policy
// was asked for). Never throws.
Policy loadPolicy();

// Set once by the start-up before any other thread exists; read-only after.
void setActivePolicy(Policy policy);
const Policy& activePolicy();

}  // namespace ormid::policy
