// User actions come through a FIFO on systems that have them; the Windows
// local server has no control channel yet.
#include "standin/control.h"

namespace ormid::standin {

std::unique_ptr<ControlReader> ControlReader::start(const std::string& path, LineHandler,
                                                    std::string& problem) {
  problem = "no control channel on this system: " + path;
  return nullptr;
}

}  // namespace ormid::standin
