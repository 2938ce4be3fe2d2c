// Run by the office lifetime test as a host of its own: starts an office
// through the module, writes the office's process id to the descriptor given
// as the first argument, then ends as the second argument says: "exit"
// without releasing anything, "kill" by waiting to be killed.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ormid/com_ptr.h"
#include "tests/uno/office_host.h"

int main(int argc, char** argv) {
  using namespace ormid::uno;
  if (argc != 3) return 2;
  const OrmidCreateApplication create = loadModule();
  ormid::com::ComPtr<IDispatch> app;
  if (!create || create(&kHost, IID_IDispatch, app.putVoid()) != S_OK) return 3;
  const std::vector<pid_t> offices = officeChildren();
  if (offices.size() != 1) return 4;
  const int fd = std::atoi(argv[1]);
  if (write(fd, offices.data(), sizeof(pid_t)) != static_cast<ssize_t>(sizeof(pid_t))) return 5;
  if (std::string(argv[2]) == "exit") std::exit(1);
  for (;;) pause();
}
