// The frame of an out-of-process COM server: it registers one class object,
// serves calls on the calling thread (a single-threaded apartment) and decides
// when the process ends.
//
// The process ends when its last object is released, shortly after the
// application is asked to quit, or when no call has arrived for a while: a
// client that exits without releasing its objects would otherwise leave the
// server running, and the next client of the same session could be served by
// it, with the old state. The idle limit is ORMID_LOCAL_SERVER_IDLE_MS
// milliseconds when set; the server inherits the environment of the client
// that started it.
#pragma once

#include <functional>

#include "ormid/com_api.h"

namespace ormid::standin {

// The class that the stand-in servers register their class object under and
// that the Wine prefix set-up registers as "Word.Application"
// (scripts/wine/setup-prefix.sh).
inline constexpr CLSID kServerClsid = {
    0x6F1D2A47, 0x3C5B, 0x4E8A, {0x9D, 0x21, 0x7A, 0x0B, 0x4C, 0x3E, 0x5F, 0x61}};

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

// Turns the next `calls` incoming calls on IDispatch away, as a busy server
// does; the runtime's own calls are served meanwhile. Server thread only.
void rejectCalls(int calls);

// Ends the process after `delayMilliseconds`, so that the reply to the call
// that asked for it is sent first.
void exitSoon(DWORD delayMilliseconds = 200);

// Runs `task` on the server's thread, from its message loop, after what is
// already queued; callable from any thread. Counts as activity. A task posted
// once the server has stopped is dropped.
void postToServerThread(std::function<void()> task);

}  // namespace ormid::standin
