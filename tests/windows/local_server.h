// The frame of an out-of-process COM server for the Wine tests: it registers
// one class object, serves calls on the calling thread (a single-threaded
// apartment) and decides when the process ends.
//
// The process ends when its last object is released, shortly after the
// application is asked to quit, or when no call has arrived for a while: a
// client that exits without releasing its objects would otherwise leave the
// server running, and the next client of the same Wine session would be
// served by it, with the old state. The idle limit is
// ORMID_LOCAL_SERVER_IDLE_MS milliseconds (default 30000); the server inherits
// the environment of the client that started it.
#pragma once

#include <functional>

#include "ormid/com_api.h"

namespace ormid::test {

struct LocalServerOptions {
  CLSID clsid;
  // REGCLS_MULTIPLEUSE: one process serves every client; REGCLS_SINGLEUSE: a
  // process per activation.
  REGCLS use = REGCLS_MULTIPLEUSE;
  DWORD defaultIdleMilliseconds = 30000;
};

// Creates a new object of the class for an activation and returns the
// interface `iid` with one reference. Objects call objectCreated() and
// objectDestroyed().
using CreateObject = std::function<HRESULT(REFIID iid, void** object)>;

// Runs the server until it ends; returns the process exit code. COM must not
// be initialised on the thread yet.
int runLocalServer(const LocalServerOptions& options, CreateObject create);

// Every object of the server counts; the last one gone ends the process.
void objectCreated();
void objectDestroyed();

// Ends the process after `delayMilliseconds`, so that the reply to the call
// that asked for it is sent first.
void exitSoon(DWORD delayMilliseconds = 200);

}  // namespace ormid::test
