#include "host/protocol/request.h"

namespace ormid {
namespace {

const JsonValue* member(const JsonValue* root, const char16_t* key) {
  if (!root || !root->isObject()) return nullptr;
  const JsonObject& object = root->asObject();
  auto found = object.find(key);
  return found == object.end() ? nullptr : found->second.get();
}

bool getString(const JsonValue* root, const char16_t* key, std::u16string& out) {
  const JsonValue* value = member(root, key);
  if (!value || !value->isString()) return false;
  out = value->asString();
  return true;
}

}  // namespace

bool getMessageId(const JsonValue* root, std::u16string& out) { return getString(root, u"messageId", out); }
bool getContentId(const JsonValue* root, std::u16string& out) { return getString(root, u"contentId", out); }
bool getDestination(const JsonValue* root, std::u16string& out) {
  return getString(root, u"destination", out);
}
bool getCommand(const JsonValue* root, std::u16string& out) { return getString(root, u"command", out); }
bool getWorkingDirectory(const JsonValue* root, std::u16string& out) {
  return getString(root, u"workingDirectory", out);
}
bool getNameFile(const JsonValue* root, std::u16string& out) { return getString(root, u"nameFile", out); }
bool getContentFile(const JsonValue* root, std::u16string& out) {
  return getString(root, u"contentFile", out);
}

bool getIsRemoveFile(const JsonValue* root, bool& out) {
  const JsonValue* value = member(root, u"isRemoveFile");
  if (!value || !value->isBool()) return false;
  out = value->asBool();
  return true;
}

}  // namespace ormid
