#include "host/core/log.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <charconv>
#include <memory>

#include "host/core/core.h"
#include "host/text/text.h"

namespace ormid {
namespace log {
namespace {

// Room kept in every record for the time, severity, thread, function and line
// (the function name is counted separately) and for the note of a cut text.
constexpr std::size_t kRecordOverhead = 160;

std::atomic<int> threshold{0};

struct State {
  std::shared_ptr<spdlog::logger> logger GUARDED_BY(core().lock);
  std::string path GUARDED_BY(core().lock);
  std::size_t maxFileBytes GUARDED_BY(core().lock) = kMaxFileBytes;
};
State& state() {
  static auto* instance = new State;
  return *instance;
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
  s.path = path;
  s.maxFileBytes = maxFileBytes;
  try {
    // spdlog keeps the current file and `max_files` rolled ones.
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, maxFileBytes,
                                                                       maxFiles > 0 ? maxFiles - 1 : 0);
    auto created = std::make_shared<spdlog::logger>("ormid", std::move(sink));
    created->set_pattern("%Y-%m-%d %H:%M:%S.%e %v");
    created->set_level(spdlog::level::trace);
    created->flush_on(spdlog::level::trace);
    s.logger = std::move(created);
  } catch (...) {
    // A log that cannot be opened costs only the records.
    s.logger.reset();
  }
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
  if (!enabled(severity) || !s.logger) return;
  try {
    // A record never outgrows a file, or the files would stop rolling at
    // their size: a longer text is cut on a character boundary.
    const std::string_view name(function);
    const std::size_t room = s.maxFileBytes > kRecordOverhead + name.size() + prefix.size()
                                 ? s.maxFileBytes - kRecordOverhead - name.size() - prefix.size()
                                 : 0;
    if (text.size() <= room) {
      s.logger->info("{} [{}] [{}@{}] {}{}", severityName(severity), spdlog::details::os::thread_id(), name,
                     line, prefix, text);
      return;
    }
    std::size_t cut = room;
    while (cut > 0 && isContinuation(text[cut])) --cut;
    s.logger->info("{} [{}] [{}@{}] {}{} ... ({} bytes in all)", severityName(severity),
                   spdlog::details::os::thread_id(), name, line, prefix, text.substr(0, cut), text.size());
  } catch (...) {
  }
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
