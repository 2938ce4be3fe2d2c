#include "standin/control.h"

#include <utf8.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>

namespace ormid::standin {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool toUtf16(std::string_view text, std::u16string& out) {
  if (!utf8::is_valid(text.begin(), text.end())) return false;
  out.clear();
  utf8::unchecked::utf8to16(text.begin(), text.end(), std::back_inserter(out));
  return true;
}

constexpr std::pair<std::string_view, ControlAction::Kind> kVerbs[] = {
    {"save", ControlAction::Kind::save},         {"saveas", ControlAction::Kind::saveAs},
    {"open", ControlAction::Kind::open},         {"close", ControlAction::Kind::close},
    {"edit", ControlAction::Kind::edit},         {"quit", ControlAction::Kind::quit},
    {"activate", ControlAction::Kind::activate}, {"deactivate", ControlAction::Kind::deactivate},
    {"busy", ControlAction::Kind::busy},         {"crash", ControlAction::Kind::crash},
};

// Whether `text` starts with an absolute path of this system.
bool startsAbsolutePath(std::string_view text) {
#ifdef _WIN32
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  return (text.size() >= 3 && letter(text[0]) && text.substr(1, 2) == ":\\") || text.starts_with("\\\\");
#else
  return text.starts_with('/');
#endif
}

// Where the new full name starts in "<full name> <new full name>": after the
// last space followed by an absolute path, with something before that space.
std::size_t newNameStart(std::string_view names) {
  for (auto space = names.rfind(' '); space != std::string_view::npos && space > 0;
       space = names.rfind(' ', space - 1)) {
    if (startsAbsolutePath(names.substr(space + 1))) return space + 1;
  }
  return std::string_view::npos;
}

// A decimal count of at most six digits.
bool readCount(std::string_view text, int& count) {
  if (text.empty() || text.size() > 6) return false;
  count = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    count = count * 10 + (c - '0');
  }
  return true;
}

}  // namespace

bool decodeBase64(std::string_view text, std::string& bytes) {
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  bytes.clear();
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t group = 0;
  std::size_t bits = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    const auto value = kAlphabet.find(text[i]);
    if (value == std::string_view::npos) return false;
    group = (group << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<char>((group >> bits) & 0xFF));
    }
  }
  return true;
}

void deliverLines(std::string& pending, const std::function<void(std::string line)>& onLine) {
  std::size_t start = 0;
  for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n', start)) {
    std::string line = pending.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    start = end + 1;
    onLine(std::move(line));
  }
  pending.erase(0, start);
}

std::optional<ControlAction> parseControlLine(std::string_view line, std::string& problem) {
  const auto space = line.find(' ');
  const std::string_view verb = line.substr(0, space);
  const std::string_view rest = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
  using Kind = ControlAction::Kind;
  const auto known =
      std::find_if(std::begin(kVerbs), std::end(kVerbs), [&](const auto& v) { return v.first == verb; });
  if (known == std::end(kVerbs)) {
    problem = "unknown action";
    return std::nullopt;
  }
  ControlAction action{known->second, {}, {}, {}, 0};
  switch (action.kind) {
    case Kind::quit:
    case Kind::activate:
    case Kind::deactivate:
    case Kind::crash:
      if (!rest.empty() || space != std::string_view::npos) {
        problem = "unexpected text after the action";
        return std::nullopt;
      }
      return action;
    case Kind::save:
    case Kind::open:
    case Kind::close:
      if (!toUtf16(rest, action.fullName) || action.fullName.empty()) {
        problem = "missing or malformed full name";
        return std::nullopt;
      }
      return action;
    case Kind::saveAs: {
      const auto split = newNameStart(rest);
      if (split == std::string_view::npos || !toUtf16(rest.substr(0, split - 1), action.fullName) ||
          !toUtf16(rest.substr(split), action.newFullName)) {
        problem = "expected a full name, a space and an absolute new full name";
        return std::nullopt;
      }
      return action;
    }
    case Kind::edit: {
      const auto last = rest.rfind(' ');
      if (last == std::string_view::npos || last == 0 || !toUtf16(rest.substr(0, last), action.fullName)) {
        problem = "expected a full name and base64 content";
        return std::nullopt;
      }
      if (!decodeBase64(rest.substr(last + 1), action.content)) {
        problem = "malformed base64 content";
        return std::nullopt;
      }
      return action;
    }
    case Kind::busy:
      if (!readCount(rest, action.calls)) {
        problem = "expected a number of calls";
        return std::nullopt;
      }
      return action;
  }
  return std::nullopt;
}

}  // namespace ormid::standin
