// Whole-file reads and writes under a UTF-16 path, and the rules for the names
// of files, one implementation per system.
#pragma once

#include <string>
#include <string_view>

namespace ormid::standin {

// False when the path names no readable regular file.
bool readWholeFile(const std::u16string& path, std::string& content);

// Creates or replaces the file; false when it cannot be written completely.
bool writeWholeFile(const std::u16string& path, const std::string& content);

// The full name of a document opened or saved under `path`, whatever form of
// it was given: on Windows the full path with every component in its long
// form (for a file not there yet, its directory's), as the word processor
// shows it; elsewhere `path` itself.
std::u16string canonicalName(const std::u16string& path);

// Whether two full names name the same document: on Windows without regard to
// case (ordinal, as its file systems compare names), elsewhere exactly.
bool sameName(std::u16string_view a, std::u16string_view b);

}  // namespace ormid::standin
