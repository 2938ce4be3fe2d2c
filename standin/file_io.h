// Whole-file reads and writes under a UTF-16 path, one implementation per system.
#pragma once

#include <string>

namespace ormid::standin {

// False when the path names no readable regular file.
bool readWholeFile(const std::u16string& path, std::string& content);

// Creates or replaces the file; false when it cannot be written completely.
bool writeWholeFile(const std::u16string& path, const std::string& content);

}  // namespace ormid::standin
