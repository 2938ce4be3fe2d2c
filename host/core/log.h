// The host's log: one rolling file in the temporary directory, records laid
// out as "<date> <time>.<ms> <SEVERITY> [<thread>] [<function>@<line>] <text>".
// Every record is written under the process lock, so the records of the two
// threads never interleave and a record waits while the main thread runs an
// operation. Records are buffered (errors excepted) and reach the file when
// the buffer fills, on flush() (the reader calls it once a request is
// answered) and when the process exits; a whole message is written from where
// it lies, never copied. The files roll at 10,000,000 bytes, 10 files in all, and no
// record is longer than a file: a longer text is cut, its full length noted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Configures the log once, before any record: the file is the temporary
// directory followed by "OrmidDocEditor.log"; `severity` is the highest kept
// (0 none, 1 fatal, 2 error, 3 warning, 4 info, 5 debug, 6 verbose).
void startLog(int severity);

namespace ormid {

enum class Severity : int { none = 0, fatal = 1, error = 2, warning = 3, info = 4, debug = 5, verbose = 6 };

namespace log {

inline constexpr std::size_t kMaxFileBytes = 10'000'000;
inline constexpr std::size_t kMaxFiles = 10;

// Opens the rolling file and sets the threshold. Files are named like
// "OrmidDocEditor.log", "OrmidDocEditor.1.log", ... up to `maxFiles` in all.
void init(const std::string& path, int maxSeverity, std::size_t maxFileBytes = kMaxFileBytes,
          std::size_t maxFiles = kMaxFiles);
void setThreshold(int maxSeverity);
bool enabled(Severity severity);
// Writes one record (UTF-8 text, `prefix` then `text`) under the process lock.
// Whole messages go through here directly, without being copied into a Record.
void write(Severity severity, const char* function, int line, std::string_view text);
void write(Severity severity, const char* function, int line, std::string_view prefix, std::string_view text);
// Writes out the records buffered so far.
void flush();
// Path of the file the log writes to (empty before init).
std::string path();

// Collects one record's text; written when it goes out of scope. Wide text is
// converted to UTF-8; numbers are written in decimal.
class Record {
 public:
  Record(Severity severity, const char* function, int line)
      : severity_(severity), function_(function), line_(line) {}
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  ~Record();

  Record& operator<<(std::string_view text);
  Record& operator<<(const char* text) { return *this << std::string_view(text); }
  Record& operator<<(const std::string& text) { return *this << std::string_view(text); }
  Record& operator<<(std::u16string_view text);
  Record& operator<<(const std::u16string& text) { return *this << std::u16string_view(text); }
  Record& operator<<(const char16_t* text);
  Record& operator<<(long long value);
  Record& operator<<(unsigned long long value);
  Record& operator<<(int value) { return *this << static_cast<long long>(value); }
  Record& operator<<(long value) { return *this << static_cast<long long>(value); }
  Record& operator<<(unsigned value) { return *this << static_cast<unsigned long long>(value); }
  Record& operator<<(unsigned long value) { return *this << static_cast<unsigned long long>(value); }

 private:
  Severity severity_;
  const char* function_;
  int line_;
  std::string text_;
};

}  // namespace log
}  // namespace ormid

// ORMID_LOG(debug, "ormid::writeMessage") << "Write message size: " << n;
// The text is only composed when the severity is kept.
#define ORMID_LOG(severity, function)                                                        \
  for (bool ormidLogOnce = ::ormid::log::enabled(::ormid::Severity::severity); ormidLogOnce; \
       ormidLogOnce = false)                                                                 \
  ::ormid::log::Record(::ormid::Severity::severity, function, __LINE__)
