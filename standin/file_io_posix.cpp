#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utf8.h>

#include <cerrno>
#include <iterator>

#include "ormid/platform/unique_fd.h"
#include "standin/file_io.h"

namespace ormid::standin {
namespace {

// Paths are UTF-8 on this system; a path that is not valid UTF-16 names no file.
bool toNative(const std::u16string& path, std::string& native) {
  if (path.empty()) return false;
  try {
    native.clear();
    utf8::utf16to8(path.begin(), path.end(), std::back_inserter(native));
  } catch (const utf8::exception&) {
    return false;
  }
  return native.find('\0') == std::string::npos;
}

}  // namespace

bool readWholeFile(const std::u16string& path, std::string& content) {
  std::string native;
  if (!toNative(path, native)) return false;
  platform::UniqueFd file(::open(native.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  content.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

bool writeWholeFile(const std::u16string& path, const std::string& content) {
  std::string native;
  if (!toNative(path, native)) return false;
  platform::UniqueFd file(::open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!file) return false;
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t put = ::write(file.get(), content.data() + written, content.size() - written);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<std::size_t>(put);
  }
  return file.close();  // whether the data reached the file
}

std::u16string canonicalName(const std::u16string& path) { return path; }

bool sameName(std::u16string_view a, std::u16string_view b) { return a == b; }

}  // namespace ormid::standin
