// Conversions between what the automation side speaks (UTF-16 paths) and what
// the office expects (file URLs, valid UTF-16, filter names). Nothing here
// needs the office's libraries.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ormid::uno {

// The text with each unpaired surrogate replaced by U+FFFD. The office's
// remote bridge drops the connection on a string that is not valid UTF-16.
std::u16string validUtf16(std::u16string_view text);

// A file URL for an absolute path: the path's UTF-8 bytes, percent-encoded
// where a URL needs it. Empty when the path is not absolute.
std::u16string fileUrlFromPath(std::u16string_view path);
// The path a file URL names, or nothing when it is not a local file URL.
// Encoded bytes that are not UTF-8 become U+FFFD.
std::optional<std::u16string> pathFromFileUrl(std::u16string_view url);

// The path made absolute against the current directory (unchanged when it
// already is); "." and ".." are left for the file system to resolve.
std::u16string absolutePath(std::u16string_view path);

// The export filter that writes the format a path's extension names; unknown
// extensions get the word processing format of the automation interface
// (Office Open XML), never the office's own.
std::u16string_view storeFilterFor(std::u16string_view path);

// Whether the office read a file as plain text (its last resort for content
// it does not recognise), and whether a path's extension asks for plain text.
bool isPlainTextFilter(std::u16string_view filter);
bool namesPlainText(std::u16string_view path);

}  // namespace ormid::uno
