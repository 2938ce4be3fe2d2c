#include "host/channel/log.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "host/text/text.h"

namespace ormid {

platform::RecursiveLock& processLock() {
  // Never destroyed: threads and static destructors may still log at exit.
  static auto* lock = new platform::RecursiveLock;
  return *lock;
}

namespace log {
namespace {

std::atomic<int> threshold{0};
std::shared_ptr<spdlog::logger>& logger() {
  static auto* instance = new std::shared_ptr<spdlog::logger>;
  return *instance;
}
std::string& logPath() {
  static auto* instance = new std::string;
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

}  // namespace

void init(const std::string& path, int maxSeverity) {
  threshold = maxSeverity;
  logPath() = path;
  try {
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, 10'000'000, 10);
    auto created = std::make_shared<spdlog::logger>("ormid", std::move(sink));
    created->set_pattern("%Y-%m-%d %H:%M:%S.%e %v");
    created->set_level(spdlog::level::trace);
    created->flush_on(spdlog::level::trace);
    logger() = std::move(created);
  } catch (...) {
    // A log that cannot be opened costs only the records.
    logger().reset();
  }
}

void setThreshold(int maxSeverity) { threshold = maxSeverity; }

bool enabled(Severity severity) {
  const int s = static_cast<int>(severity);
  return s > 0 && s <= threshold.load();
}

std::string path() { return logPath(); }

void write(Severity severity, const char* function, int line, std::string_view text) {
  write(severity, function, line, {}, text);
}

void write(Severity severity, const char* function, int line, std::string_view prefix,
           std::string_view text) {
  std::lock_guard lock(processLock());
  if (!enabled(severity) || !logger()) return;
  try {
    logger()->info("{} [{}] [{}@{}] {}{}", severityName(severity), spdlog::details::os::thread_id(), function,
                   line, prefix, text);
  } catch (...) {
  }
}

Record::~Record() { write(severity_, function_, line_, text_); }

Record& Record::operator<<(std::string_view text) {
  text_.append(text);
  return *this;
}
Record& Record::operator<<(std::u16string_view text) {
  appendUtf8(text_, text);
  return *this;
}
Record& Record::operator<<(const char16_t* text) {
  return *this << (text ? std::u16string_view(text) : std::u16string_view(u"(null)"));
}
Record& Record::operator<<(long long value) {
  text_ += std::to_string(value);
  return *this;
}
Record& Record::operator<<(unsigned long long value) {
  text_ += std::to_string(value);
  return *this;
}

}  // namespace log
}  // namespace ormid

void startLog(int severity) {
  std::string path = ormid::platform::tempPath();
  path += "OrmidDocEditor.log";
  ormid::log::init(path, severity);
  ORMID_LOG(debug, "startLog") << "Start OrmidDocEditor...";
}
