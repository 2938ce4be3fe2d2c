#include "host/core/log.h"

#include <spdlog/details/os.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/core/core.h"
#include "host/text/text.h"

namespace ormid {
namespace log {
namespace {

// Room kept in every record for the time, severity, thread, function and line
// (the function name is counted separately) and for the note of a cut text.
constexpr std::size_t kRecordOverhead = 160;
// Small records gather in the stream's buffer; a whole message is written
// from where it lies, past the buffer.
constexpr std::size_t kStreamBuffer = std::size_t{64} << 10;

std::atomic<int> threshold{0};

struct State {
  std::FILE* file GUARDED_BY(core().lock) = nullptr;
  std::string path GUARDED_BY(core().lock);
  std::size_t maxFileBytes GUARDED_BY(core().lock) = kMaxFileBytes;
  std::size_t maxFiles GUARDED_BY(core().lock) = kMaxFiles;
  std::size_t size GUARDED_BY(core().lock) = 0;  // of the current file
};
State& state() {
  static auto* instance = new State;
  return *instance;
}

void closeFile(State& s) REQUIRES(core().lock) {
  if (s.file) std::fclose(s.file);
  s.file = nullptr;
  s.size = 0;
}

void openFile(State& s, bool truncate) REQUIRES(core().lock) {
  closeFile(s);
  std::FILE* file = nullptr;
  // spdlog's fopen_s is true when the file could not be opened.
  if (spdlog::details::os::fopen_s(&file, s.path, truncate ? "wb" : "ab") || !file) return;
  std::setvbuf(file, nullptr, _IOFBF, kStreamBuffer);
  s.file = file;
  s.size = spdlog::details::os::filesize(file);
}

// The current file becomes "<name>.1<ext>", that one "<name>.2<ext>", ...,
// keeping maxFiles in all, and a new current file starts.
void rotate(State& s) REQUIRES(core().lock) {
  using spdlog::sinks::rotating_file_sink_st;
  closeFile(s);
  for (std::size_t i = s.maxFiles > 0 ? s.maxFiles - 1 : 0; i > 0; --i) try {
      const std::string source = rotating_file_sink_st::calc_filename(s.path, i - 1);
      if (!spdlog::details::os::path_exists(source)) continue;
      const std::string target = rotating_file_sink_st::calc_filename(s.path, i);
      spdlog::details::os::remove(target);
      spdlog::details::os::rename(source, target);
    } catch (...) {
      // Out of memory for a name: that file is not moved.
    }
  openFile(s, true);
}

// "<date> <time>.<ms> " in local time.
std::size_t formatTime(char* out, std::size_t size) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::tm tm = spdlog::details::os::localtime(seconds);
  const std::size_t n = std::strftime(out, size, "%Y-%m-%d %H:%M:%S", &tm);
  if (size - n < 5) return n;
  out[n] = '.';
  out[n + 1] = static_cast<char>('0' + ms / 100);
  out[n + 2] = static_cast<char>('0' + ms / 10 % 10);
  out[n + 3] = static_cast<char>('0' + ms % 10);
  out[n + 4] = ' ';
  return n + 5;
}

// Fixed-width severity names, as the records have always shown them.
const char* severityName(Severity severity) {
  switch (severity) {
    case Severity::fatal:
      return "FATAL";
    case Severity::error:
      return "ERROR";
    case Severity::warning:
      return "WARN ";
    case Severity::info:
      return "INFO ";
    case Severity::debug:
      return "DEBUG";
    case Severity::verbose:
      return "VERB ";
    default:
      return "NONE ";
  }
}

bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

void init(const std::string& path, int maxSeverity, std::size_t maxFileBytes, std::size_t maxFiles) {
  ScopedLock lock(core().lock);
  State& s = state();
  threshold = maxSeverity;
  closeFile(s);
  s.path = path;
  s.maxFileBytes = maxFileBytes;
  s.maxFiles = maxFiles;
  // A log that cannot be opened costs only the records.
  if (!path.empty()) openFile(s, false);
}

void setThreshold(int maxSeverity) { threshold = maxSeverity; }

bool enabled(Severity severity) {
  const int s = static_cast<int>(severity);
  return s > 0 && s <= threshold.load();
}

std::string path() {
  ScopedLock lock(core().lock);
  return state().path;
}

void write(Severity severity, const char* function, int line, std::string_view text) {
  write(severity, function, line, {}, text);
}

void write(Severity severity, const char* function, int line, std::string_view prefix,
           std::string_view text) {
  ScopedLock lock(core().lock);
  State& s = state();
  if (!enabled(severity) || !s.file) return;
  // A record never outgrows a file, or the files would stop rolling at
  // their size: a longer text is cut on a character boundary.
  const std::string_view name(function);
  const std::size_t room = s.maxFileBytes > kRecordOverhead + name.size() + prefix.size()
                               ? s.maxFileBytes - kRecordOverhead - name.size() - prefix.size()
                               : 0;
  char note[48] = "";
  std::size_t noteSize = 0;
  if (text.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && isContinuation(text[cut])) --cut;
    constexpr std::string_view kCut = " ... (";
    constexpr std::string_view kAll = " bytes in all)";
    std::memcpy(note, kCut.data(), kCut.size());
    char* end = std::to_chars(note + kCut.size(), note + sizeof note - kAll.size(), text.size()).ptr;
    std::memcpy(end, kAll.data(), kAll.size());
    noteSize = static_cast<std::size_t>(end - note) + kAll.size();
    text = text.substr(0, cut);
  }
  // The head of the record; the text is written from where it lies.
  char head[512];
  std::size_t headSize = formatTime(head, sizeof head);
  const auto put = [&](std::string_view part) {
    const std::size_t n = std::min(part.size(), sizeof head - headSize);
    std::memcpy(head + headSize, part.data(), n);
    headSize += n;
  };
  const auto number = [&](unsigned long long value) {
    char digits[24];
    put({digits,
         static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits)});
  };
  put(severityName(severity));
  put(" [");
  number(spdlog::details::os::thread_id());
  put("] [");
  put(name);
  put("@");
  number(static_cast<unsigned long long>(line));
  put("] ");
  const std::string_view eol = spdlog::details::os::default_eol;
  const std::size_t size = headSize + prefix.size() + text.size() + noteSize + eol.size();
  if (s.size > 0 && s.size + size > s.maxFileBytes) {
    std::fflush(s.file);
    rotate(s);
    if (!s.file) return;
  }
  // (An empty view may have no data at all: nothing is passed for it.)
  for (const std::string_view part :
       {std::string_view(head, headSize), prefix, text, std::string_view(note, noteSize), eol}) {
    if (!part.empty()) std::fwrite(part.data(), 1, part.size(), s.file);
  }
  s.size += size;
  // Records gather in the stream, and go out when it fills and when the host
  // ends; an error goes out at once, as the host may end before that.
  if (severity <= Severity::error) std::fflush(s.file);
}

void flush() {
  ScopedLock lock(core().lock);
  State& s = state();
  if (s.file) std::fflush(s.file);
}

Record::~Record() { write(severity_, function_, line_, text_); }

// A record that cannot grow keeps what it has: logging never throws, so that
// it can stand on the paths that answer a lack of memory.
Record& Record::operator<<(std::string_view text) {
  try {
    text_.append(text);
  } catch (...) {
  }
  return *this;
}
Record& Record::operator<<(std::u16string_view text) {
  try {
    appendUtf8(text_, text);
  } catch (...) {
  }
  return *this;
}
Record& Record::operator<<(const char16_t* text) {
  return *this << (text ? std::u16string_view(text) : std::u16string_view(u"(null)"));
}
Record& Record::operator<<(long long value) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return *this << std::string_view(buffer, static_cast<std::size_t>(end - buffer));
}
Record& Record::operator<<(unsigned long long value) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return *this << std::string_view(buffer, static_cast<std::size_t>(end - buffer));
}

}  // namespace log
}  // namespace ormid

void startLog(int severity) {
  std::string path = ormid::platform::tempPath();
  path += "OrmidDocEditor.log";
  ormid::log::init(path, severity);
  ORMID_LOG(debug, "startLog") << "Start OrmidDocEditor...";
}
