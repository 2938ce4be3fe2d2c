#include <cstdio>
#include <cstring>

#include "host/host.h"

int main(int argc, char** argv) {
  // Answered before anything else: no instance lock, no log.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("ormid-doc-editor " ORMID_VERSION);
    return 0;
  }
  return hostMain();
}
