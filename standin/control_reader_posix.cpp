// The control FIFO reader: poll on the FIFO and on a stop pipe, so that
// stopping never waits for a writer and an idle reader never holds up exit.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "ormid/platform/unique_fd.h"
#include "standin/control.h"
#include "standin/standin.h"

namespace ormid::standin {
namespace {

using platform::UniqueFd;

UniqueFd openFifo(const std::string& path, std::string& problem) {
  // Non-blocking: opening for reading must not wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    problem = "cannot open control FIFO " + path + ": " + std::strerror(errno);
    return fd;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISFIFO(info.st_mode)) {
    problem = "control path is not a FIFO: " + path;
    return {};
  }
  return fd;
}

class FifoReader final : public ControlReader {
 public:
  FifoReader(std::string path, UniqueFd fifo, UniqueFd stopRead, UniqueFd stopWrite, LineHandler onLine)
      : path_(std::move(path)),
        fifo_(std::move(fifo)),
        stopRead_(std::move(stopRead)),
        stopWrite_(std::move(stopWrite)),
        onLine_(std::move(onLine)) {
    thread_ = std::thread([this] { run(); });
  }

  ~FifoReader() override {
    const char stop = 1;
    while (::write(stopWrite_.get(), &stop, 1) < 0 && errno == EINTR) {
    }
    // Line handlers only hand lines on, so this never runs on the reading thread.
    thread_.join();
  }

 private:
  void run() noexcept {
    try {
      loop();
    } catch (...) {
      reportProblem("control FIFO reader stopped after an error");
    }
  }

  void loop() {
    std::string pending;
    char chunk[4096];
    for (;;) {
      pollfd fds[2] = {{fifo_.get(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if (fds[0].revents & POLLNVAL) return;
      if (fds[0].revents == 0) continue;
      const ssize_t got = ::read(fifo_.get(), chunk, sizeof chunk);
      if (got > 0) {
        pending.append(chunk, static_cast<std::size_t>(got));
        deliverLines(pending, onLine_);
      } else if (got == 0) {
        // Every writer has gone: a last line without its newline still counts,
        // and the FIFO is opened again for the next writer. The new descriptor
        // comes first, so that a writer never finds the FIFO without a reader.
        if (!pending.empty()) onLine_(std::exchange(pending, {}));
        std::string problem;
        fifo_ = openFifo(path_, problem);
        if (!fifo_) {
          reportProblem(problem);
          return;
        }
      } else if (errno != EAGAIN && errno != EINTR) {
        return;
      }
    }
  }

  std::string path_;
  UniqueFd fifo_;
  UniqueFd stopRead_;
  UniqueFd stopWrite_;
  LineHandler onLine_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<ControlReader> ControlReader::start(const std::string& path, LineHandler onLine,
                                                    std::string& problem) {
  UniqueFd fifo = openFifo(path, problem);
  if (!fifo) return nullptr;
  int stop[2];
  if (::pipe2(stop, O_CLOEXEC) != 0) {
    problem = std::string("cannot create the stop pipe: ") + std::strerror(errno);
    return nullptr;
  }
  UniqueFd stopRead(stop[0]), stopWrite(stop[1]);
  return std::make_unique<FifoReader>(path, std::move(fifo), std::move(stopRead), std::move(stopWrite),
                                      std::move(onLine));
}

}  // namespace ormid::standin
