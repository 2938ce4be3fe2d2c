#include "uno/office_text.h"

#include <unistd.h>

#include <array>
#include <climits>

#include "host/text/text.h"

namespace ormid::uno {
namespace {

bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Characters a path segment may carry unencoded. Everything else, including
// '%', '#', '?', ';' and every byte above 0x7F, is percent-encoded.
bool keepsInUrl(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~' || c == '/' || c == '!' || c == '$' || c == '&' || c == '\'' || c == '(' ||
         c == ')' || c == '*' || c == '+' || c == ',' || c == '=' || c == ':' || c == '@';
}

int hexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

char16_t lowerAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool equalsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

// The extension of the path's last segment, without the dot.
std::u16string_view extensionOf(std::u16string_view path) {
  const std::size_t slash = path.rfind(u'/');
  const std::u16string_view name = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

}  // namespace

std::u16string validUtf16(std::u16string_view text) {
  std::u16string result(text);
  for (std::size_t i = 0; i < result.size(); ++i) {
    const char16_t c = result[i];
    if (isHighSurrogate(c) && i + 1 < result.size() && isLowSurrogate(result[i + 1])) {
      ++i;
    } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
      result[i] = u'\uFFFD';
    }
  }
  return result;
}

std::u16string fileUrlFromPath(std::u16string_view path) {
  if (path.empty() || path.front() != u'/') return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::u16string url = u"file://";
  for (const char byte : wideToUtf8(path)) {
    const auto c = static_cast<unsigned char>(byte);
    if (keepsInUrl(c)) {
      url.push_back(static_cast<char16_t>(c));
    } else {
      url.push_back(u'%');
      url.push_back(static_cast<char16_t>(kHex[c >> 4]));
      url.push_back(static_cast<char16_t>(kHex[c & 0xF]));
    }
  }
  return url;
}

std::optional<std::u16string> pathFromFileUrl(std::u16string_view url) {
  constexpr std::u16string_view kScheme = u"file://";
  if (url.size() < kScheme.size() || !equalsIgnoringCase(url.substr(0, kScheme.size()), kScheme)) {
    return std::nullopt;
  }
  std::u16string_view rest = url.substr(kScheme.size());
  // Only the local host: "file:///path" or "file://localhost/path".
  if (rest.starts_with(u"localhost/")) rest.remove_prefix(9);
  if (rest.empty() || rest.front() != u'/') return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const char16_t c = rest[i];
    if (c == u'?' || c == u'#') return std::nullopt;
    if (c == u'%' && i + 2 < rest.size() && hexValue(rest[i + 1]) >= 0 && hexValue(rest[i + 2]) >= 0) {
      bytes.push_back(static_cast<char>(hexValue(rest[i + 1]) * 16 + hexValue(rest[i + 2])));
      i += 2;
    } else if (c < 0x80) {
      bytes.push_back(static_cast<char>(c));
    } else {
      appendUtf8(bytes, std::u16string_view(&c, 1));
    }
  }
  return utf8ToWideReplacing(bytes);
}

std::u16string absolutePath(std::u16string_view path) {
  if (path.empty() || path.front() == u'/') return std::u16string(path);
  std::array<char, PATH_MAX> buffer{};
  if (!getcwd(buffer.data(), buffer.size())) return std::u16string(path);
  std::u16string result = utf8ToWideReplacing(buffer.data());
  if (result.empty() || result.back() != u'/') result.push_back(u'/');
  result.append(path);
  return result;
}

std::u16string_view storeFilterFor(std::u16string_view path) {
  struct Format {
    std::u16string_view extension;
    std::u16string_view filter;
  };
  static constexpr Format kFormats[] = {
      {u"docx", u"MS Word 2007 XML"}, {u"doc", u"MS Word 97"}, {u"odt", u"writer8"},
      {u"rtf", u"Rich Text Format"},  {u"txt", u"Text"},
  };
  const std::u16string_view extension = extensionOf(path);
  for (const Format& format : kFormats) {
    if (equalsIgnoringCase(extension, format.extension)) return format.filter;
  }
  return kFormats[0].filter;
}

bool isPlainTextFilter(std::u16string_view filter) {
  return filter == u"Text" || filter.starts_with(u"Text ");
}

bool namesPlainText(std::u16string_view path) {
  const std::u16string_view extension = extensionOf(path);
  return equalsIgnoringCase(extension, u"txt") || equalsIgnoringCase(extension, u"text") ||
         equalsIgnoringCase(extension, u"csv");
}

}  // namespace ormid::uno
