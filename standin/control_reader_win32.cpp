// The control channel on Windows: a file read as it grows, from its end at the
// start (as with a FIFO, only lines written once the application exists
// count). Under Wine it is usually a Unix FIFO reached through its Z: path,
// which Wine opens without waiting for a writer and reads as a pipe: a read
// returns nothing while no writer is connected and waits for data while one
// is. Reads are overlapped so that stopping never waits for a writer; between
// writers, or at the end of a file, the channel is looked at again every 50 ms.
#include <utf8.h>
#include <windows.h>

#include <iterator>
#include <string>
#include <thread>
#include <utility>

#include "ormid/platform/unique_handle.h"
#include "standin/control.h"
#include "standin/standin.h"

namespace ormid::standin {
namespace {

constexpr DWORD kIdleMilliseconds = 50;

using platform::UniqueHandle;

class ChannelReader final : public ControlReader {
 public:
  ChannelReader(UniqueHandle file, UniqueHandle stop, UniqueHandle io, LineHandler onLine,
                unsigned long long position)
      : file_(std::move(file)),
        stop_(std::move(stop)),
        io_(std::move(io)),
        onLine_(std::move(onLine)),
        position_(position) {
    thread_ = std::thread([this] { run(); });
  }

  ~ChannelReader() override {
    SetEvent(stop_.get());
    // Line handlers only hand lines on, so this never runs on the reading thread.
    thread_.join();
  }

 private:
  void run() noexcept {
    try {
      loop();
    } catch (...) {
      reportProblem("control channel reader stopped after an error");
    }
  }

  // What one read gave: bytes, nothing for now, or the end of reading.
  enum class Read { data, nothing, stop };

  Read readSome(char* buffer, DWORD size, DWORD& got) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = io_.get();
    // A file is read at the position reached so far; a pipe has none.
    overlapped.Offset = static_cast<DWORD>(position_);
    overlapped.OffsetHigh = static_cast<DWORD>(position_ >> 32);
    ResetEvent(io_.get());
    got = 0;
    BOOL ok = ReadFile(file_.get(), buffer, size, &got, &overlapped);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok && error == ERROR_IO_PENDING) {
      const HANDLE waits[2] = {stop_.get(), io_.get()};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        CancelIoEx(file_.get(), &overlapped);
        GetOverlappedResult(file_.get(), &overlapped, &got, TRUE);  // the buffer is in use until then
        return Read::stop;
      }
      ok = GetOverlappedResult(file_.get(), &overlapped, &got, FALSE);
      error = ok ? ERROR_SUCCESS : GetLastError();
    }
    if (ok && got > 0) {
      position_ += got;
      return Read::data;
    }
    // No writer connected (a FIFO), or the end of a file for now.
    if (ok || error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return Read::nothing;
    reportProblem("control channel read failed with error " + std::to_string(error));
    return Read::stop;
  }

  void loop() {
    std::string pending;
    char chunk[4096];
    for (;;) {
      DWORD got = 0;
      switch (readSome(chunk, sizeof chunk, got)) {
        case Read::data:
          pending.append(chunk, got);
          deliverLines(pending, onLine_);
          break;
        case Read::nothing:
          // A writer has gone: a last line without its newline still counts.
          if (!pending.empty()) onLine_(std::exchange(pending, {}));
          if (WaitForSingleObject(stop_.get(), kIdleMilliseconds) == WAIT_OBJECT_0) return;
          break;
        case Read::stop:
          return;
      }
    }
  }

  UniqueHandle file_;
  UniqueHandle stop_;
  UniqueHandle io_;
  LineHandler onLine_;
  unsigned long long position_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<ControlReader> ControlReader::start(const std::string& path, LineHandler onLine,
                                                    std::string& problem) {
  if (!utf8::is_valid(path.begin(), path.end())) {
    problem = "control path is not UTF-8: " + path;
    return nullptr;
  }
  std::wstring widePath;
  utf8::unchecked::utf8to16(path.begin(), path.end(), std::back_inserter(widePath));
  UniqueHandle file(CreateFileW(widePath.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  if (!file) {
    problem = "cannot open control channel " + path + ": error " + std::to_string(GetLastError());
    return nullptr;
  }
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle io(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop || !io) {
    problem = "cannot create the control channel's events";
    return nullptr;
  }
  LARGE_INTEGER size{};
  const bool isFile = GetFileType(file.get()) == FILE_TYPE_DISK && GetFileSizeEx(file.get(), &size);
  const unsigned long long position = isFile ? static_cast<unsigned long long>(size.QuadPart) : 0;
  return std::make_unique<ChannelReader>(std::move(file), std::move(stop), std::move(io), std::move(onLine),
                                         position);
}

}  // namespace ormid::standin
