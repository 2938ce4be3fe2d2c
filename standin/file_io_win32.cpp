#include <cstdio>
#include <memory>

#include "standin/file_io.h"

namespace ormid::standin {
namespace {

struct CloseFile {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

std::wstring toNative(const std::u16string& path) { return std::wstring(path.begin(), path.end()); }

}  // namespace

bool readWholeFile(const std::u16string& path, std::string& content) {
  if (path.empty()) return false;
  File file(_wfopen(toNative(path).c_str(), L"rb"));
  if (!file) return false;
  content.clear();
  char buffer[65536];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
    content.append(buffer, got);
    if (got < sizeof buffer) return !std::ferror(file.get());
  }
}

bool writeWholeFile(const std::u16string& path, const std::string& content) {
  if (path.empty()) return false;
  File file(_wfopen(toNative(path).c_str(), L"wb"));
  if (!file) return false;
  const bool written = std::fwrite(content.data(), 1, content.size(), file.get()) == content.size();
  return std::fclose(file.release()) == 0 && written;
}

}  // namespace ormid::standin
