#include "host/policy/policy.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <utility>

#include "host/json/json.h"
#include "host/policy/policy_system.h"
#include "host/text/text.h"
#include "host/base64/base64.h"
#include "ormid/platform/platform.h"

namespace ormid::policy {
namespace {

// A policy is a few lines; anything much larger is not one.
constexpr std::streamoff kMaxPolicyFileBytes = 1 << 20;

// Whole numbers a JSON number holds exactly.
constexpr double kMaxExactInteger = 9007199254740992.0;  // 2^53

bool isTildeEntry(std::string_view entry) {
  return entry == "~" ||
         (entry.size() > 1 && entry[0] == '~' && (entry[1] == '/' || entry[1] == platform::pathSeparator()));
}

std::optional<std::string> expandHome(const std::string& entry) {
  if (!isTildeEntry(entry)) return entry;
  std::string home = system::homeDirectory();
  if (home.empty()) return std::nullopt;  // allows nothing rather than a guess
  return home + entry.substr(1);
}

bool sameAsciiWord(std::u16string_view text, std::string_view word) {
  return text.size() == word.size() &&
         std::equal(text.begin(), text.end(), word.begin(), [](char16_t c, char w) {
           return (c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c) == static_cast<char16_t>(w);
         });
}

// The resolved directories a document may be in: the allowed ones and the
// default working directory. An entry that cannot be resolved (home unknown,
// no permission) allows nothing.
std::vector<std::u16string> resolvedRoots(const Policy& policy, const std::string& defaultDirectory) {
  std::vector<std::u16string> roots;
  for (const std::string& entry : *policy.allowedWorkingDirectories) {
    const std::optional<std::string> path = expandHome(entry);
    if (!path) continue;
    if (std::optional<std::u16string> root = system::resolve(*path)) roots.push_back(std::move(*root));
  }
  if (std::optional<std::u16string> root = system::resolve(defaultDirectory))
    roots.push_back(std::move(*root));
  return roots;
}

std::u16string parentOf(const std::u16string& path) {
  const auto separator = static_cast<char16_t>(platform::pathSeparator());
  const std::size_t last = path.find_last_of(separator);
  if (last == std::u16string::npos) return path;
  return path.substr(0, last == 0 ? 1 : last);  // "/x" lies in "/"
}

}  // namespace

void Policy::breakWith(std::string why) {
  if (state != State::broken) problem = std::move(why);
  state = State::broken;
}

Policy parsePolicy(std::string_view utf8, std::string source) {
  Policy policy;
  policy.source = std::move(source);
  policy.state = Policy::State::active;
  if (utf8.substr(0, 3) == "\xEF\xBB\xBF") utf8.remove_prefix(3);
  std::u16string text;
  if (!utf8ToWide(utf8, text)) {
    policy.breakWith("the text is not UTF-8");
    return policy;
  }
  // The parser stops at a NUL; a policy cut short there is not what was written.
  const std::unique_ptr<JsonValue> root =
      text.find(u'\0') == std::u16string::npos ? parseJson(text) : nullptr;
  if (!root || !root->isObject()) {
    policy.breakWith("the text is not a JSON object");
    return policy;
  }
  for (const auto& [key, value] : root->asObject()) {
    if (key == u"allowedWorkingDirectories") {
      if (!value->isArray()) {
        policy.breakWith("allowedWorkingDirectories is not an array");
        continue;
      }
      policy.allowedWorkingDirectories.emplace();
      for (const auto& element : value->asArray()) {
        if (element->isString()) {
          addAllowedDirectory(policy, element->asString());
        } else {
          policy.breakWith("an entry of allowedWorkingDirectories is not a string");
        }
      }
    } else if (key == u"maxDocumentBytes") {
      if (value->isNumber()) {
        setMaxDocumentBytes(policy, value->asNumber());
      } else {
        policy.breakWith("maxDocumentBytes is not a number");
      }
    } else if (key == u"logLevel") {
      if (value->isString()) {
        setLogLevel(policy, value->asString());
      } else {
        policy.breakWith("logLevel is not a string");
      }
    } else {
      // A misspelt member would otherwise leave the host unrestricted unnoticed.
      policy.breakWith("unknown member " + wideToUtf8(key));
    }
  }
  return policy;
}

void addAllowedDirectory(Policy& policy, std::u16string_view entry) {
  if (policy.state == Policy::State::none) policy.state = Policy::State::active;
  if (!policy.allowedWorkingDirectories) policy.allowedWorkingDirectories.emplace();
  std::string path;
  if (entry.empty() || entry.find(u'\0') != std::u16string_view::npos || !toAnsiExact(entry, path)) {
    return policy.breakWith("an allowed directory is empty or cannot be named: " + wideToUtf8(entry));
  }
  // A relative entry would depend on where the browser happened to start the host.
  if (!isTildeEntry(path) && !system::isAbsolute(path)) {
    return policy.breakWith("an allowed directory is not absolute: " + path);
  }
  policy.allowedWorkingDirectories->push_back(std::move(path));
}

void setMaxDocumentBytes(Policy& policy, double value) {
  if (!(value >= 1 && value <= kMaxExactInteger) || std::floor(value) != value) {
    policy.breakWith("maxDocumentBytes is not a whole number of bytes from 1 to 2^53");
    return;
  }
  setMaxDocumentBytes(policy, static_cast<std::uint64_t>(value));
}

void setMaxDocumentBytes(Policy& policy, std::uint64_t value) {
  if (policy.state == Policy::State::none) policy.state = Policy::State::active;
  if (value == 0) return policy.breakWith("maxDocumentBytes is 0");
  policy.maxDocumentBytes = value;
}

void setMaxDocumentBytes(Policy& policy, std::u16string_view decimal) {
  std::uint64_t value = 0;
  bool valid = !decimal.empty() && decimal.size() <= 19;  // below 2^64 whatever the digits
  for (char16_t c : decimal) {
    valid = valid && c >= u'0' && c <= u'9';
    if (valid) value = value * 10 + static_cast<std::uint64_t>(c - u'0');
  }
  if (!valid) {
    if (policy.state == Policy::State::none) policy.state = Policy::State::active;
    return policy.breakWith("maxDocumentBytes is not a decimal number: " + wideToUtf8(decimal));
  }
  setMaxDocumentBytes(policy, value);
}

void setLogLevel(Policy& policy, std::u16string_view name) {
  static constexpr std::string_view kNames[] = {"none", "fatal", "error",  "warning",
                                                "info", "debug", "verbose"};
  if (policy.state == Policy::State::none) policy.state = Policy::State::active;
  for (int level = 0; level < static_cast<int>(std::size(kNames)); ++level) {
    if (sameAsciiWord(name, kNames[level])) {
      policy.logLevel = level;
      return;
    }
  }
  policy.breakWith("logLevel is not a severity name: " + wideToUtf8(name));
}

std::u16string_view describe(Verdict verdict) {
  switch (verdict) {
    case Verdict::directoryNotAllowed:
      return u"Working directory not allowed";
    case Verdict::tooLarge:
      return u"Document too large";
    case Verdict::allowed:
      break;
  }
  return {};
}

bool isWithin(std::u16string_view root, std::u16string_view path) {
  const auto separator = static_cast<char16_t>(platform::pathSeparator());
  while (root.size() > 1 && root.back() == separator) root.remove_suffix(1);
  if (root.empty() || path.size() < root.size()) return false;
  if (path.size() > root.size() && root.back() != separator && path[root.size()] != separator) return false;
  return platform::samePath(path.substr(0, root.size()), root);
}

Verdict checkLocation(const Policy& policy, const std::string& workingDirectory, const std::string* nameFile,
                      const std::string& defaultDirectory) {
  if (policy.state == Policy::State::none) return Verdict::allowed;
  if (policy.state == Policy::State::broken) return Verdict::directoryNotAllowed;
  if (!policy.allowedWorkingDirectories) return Verdict::allowed;
  const std::vector<std::u16string> roots = resolvedRoots(policy, defaultDirectory);
  const auto inside = [&roots](const std::optional<std::u16string>& path) {
    return path && std::any_of(roots.begin(), roots.end(),
                               [&path](const std::u16string& root) { return isWithin(root, *path); });
  };
  if (!inside(system::resolve(workingDirectory.empty() ? std::string(".") : workingDirectory))) {
    return Verdict::directoryNotAllowed;
  }
  if (nameFile && !nameFile->empty()) {
    // The name may hold separators or "..", or be a link: where the document
    // really is counts, not where the request says.
    const std::optional<std::u16string> document = system::resolve(workingDirectory + *nameFile);
    if (!document || !inside(parentOf(*document))) return Verdict::directoryNotAllowed;
  }
  return Verdict::allowed;
}

namespace {
template <typename Char>
Verdict contentVerdict(const Policy& policy, std::basic_string_view<Char> base64) {
  if (policy.state != Policy::State::active || !policy.maxDocumentBytes) return Verdict::allowed;
  const std::uint64_t limit = *policy.maxDocumentBytes;
  // The most any text of this length decodes to settles most requests.
  if (base64.size() / 4 * 3 + 2 <= limit) return Verdict::allowed;
  const std::uint64_t bytes = base64DecodedSize(base64);
  return bytes <= limit ? Verdict::allowed : Verdict::tooLarge;
}
}  // namespace

Verdict checkContent(const Policy& policy, std::u16string_view base64) {
  return contentVerdict(policy, base64);
}
Verdict checkContent(const Policy& policy, std::string_view base64) { return contentVerdict(policy, base64); }

Verdict checkFile(const Policy& policy, const std::string& path) {
  if (policy.state != Policy::State::active || !policy.maxDocumentBytes) return Verdict::allowed;
  const std::optional<std::uint64_t> size = system::regularFileSize(path);
  return size && *size > *policy.maxDocumentBytes ? Verdict::tooLarge : Verdict::allowed;
}

namespace system {
Policy readPolicyFile(const std::string& path) {
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    Policy policy;
    policy.source = path;
    policy.breakWith("the file cannot be read");
    return policy;
  }
  std::string text;
  char buffer[4096];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(file.gcount()));
    if (static_cast<std::streamoff>(text.size()) > kMaxPolicyFileBytes) break;
  }
  if (file.bad() || static_cast<std::streamoff>(text.size()) > kMaxPolicyFileBytes) {
    Policy policy;
    policy.source = path;
    policy.breakWith(file.bad() ? "the file cannot be read" : "the file is too large to be a policy");
    return policy;
  }
  return parsePolicy(text, path);
}

}  // namespace system

Policy loadPolicy() {
  try {
    if (std::optional<Policy> system = system::readSystemPolicy()) return std::move(*system);
    const std::string file = platform::environment(kPolicyFileVariable);
    if (file.empty()) return {};
    return system::readPolicyFile(file);
  } catch (...) {
    Policy policy;
    policy.breakWith("memory ran out while it was read");
    return policy;
  }
}

namespace {
// Never destroyed: the reader thread may still check a request while the
// process ends.
Policy& storage() {
  static Policy* const policy = new Policy();
  return *policy;
}
}  // namespace

void setActivePolicy(Policy policy) { storage() = std::move(policy); }

const Policy& activePolicy() { return storage(); }

}  // namespace ormid::policy
