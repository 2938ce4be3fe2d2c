#include <optional>

#include "standin/dispatch_support.h"
#include "standin/standin.h"

namespace ormid::standin {
namespace {

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool sameAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::optional<ObjectKind> objectKind(std::string_view name) {
  if (sameAscii(name, "Application")) return ObjectKind::application;
  if (sameAscii(name, "Documents")) return ObjectKind::documents;
  if (sameAscii(name, "Document")) return ObjectKind::document;
  return std::nullopt;
}

// Hexadecimal, with or without "0x"; only failure codes make sense here.
std::optional<HRESULT> failureCode(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (text.empty() || text.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  const auto code = static_cast<HRESULT>(value);
  return FAILED(code) ? std::optional<HRESULT>(code) : std::nullopt;
}

}  // namespace

Faults parseFaults(std::string_view text, std::vector<std::string>& problems) {
  Faults faults;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const std::string_view item = trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (item.empty()) continue;
    const auto dot = item.find('.');
    const auto equals = item.find('=');
    if (dot == std::string_view::npos || equals == std::string_view::npos || dot > equals) {
      problems.push_back("malformed fault \"" + std::string(item) + "\": expected Object.Member=HRESULT");
      continue;
    }
    const auto object = objectKind(trim(item.substr(0, dot)));
    const std::string_view member = trim(item.substr(dot + 1, equals - dot - 1));
    const std::string_view value = trim(item.substr(equals + 1));
    const auto code =
        sameAscii(value, "exit") ? std::optional<HRESULT>(kEndProcessFault) : failureCode(value);
    if (!object) {
      problems.push_back("fault \"" + std::string(item) + "\": unknown object");
    } else if (member.empty()) {
      problems.push_back("fault \"" + std::string(item) + "\": no member");
    } else if (!code) {
      problems.push_back("fault \"" + std::string(item) +
                         "\": neither a failure HRESULT in hexadecimal nor exit");
    } else {
      faults[{*object, lowerAscii(std::u16string(member.begin(), member.end()))}] = *code;
    }
  }
  return faults;
}

}  // namespace ormid::standin
