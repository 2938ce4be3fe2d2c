// Getters for the members of a request object. Each gives true and copies the
// member when the root is an object holding the key with the expected kind;
// otherwise it gives false and leaves the output untouched.
#pragma once

#include <string>

#include "host/json/json.h"

namespace ormid {

bool getMessageId(const JsonValue* root, std::u16string& out);
bool getContentId(const JsonValue* root, std::u16string& out);
bool getDestination(const JsonValue* root, std::u16string& out);
bool getCommand(const JsonValue* root, std::u16string& out);
bool getWorkingDirectory(const JsonValue* root, std::u16string& out);
bool getNameFile(const JsonValue* root, std::u16string& out);
bool getContentFile(const JsonValue* root, std::u16string& out);
bool getIsRemoveFile(const JsonValue* root, bool& out);

}  // namespace ormid
