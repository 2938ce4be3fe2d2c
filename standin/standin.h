// A stand-in for the word processor's automation server. It answers the
// members the host uses, keeps documents as bytes in memory over the file
// system, raises the application events and lets a test act as the user.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ormid/com_ptr.h"
#include "ormid/word_events.h"

namespace ormid::standin {

// Results the word processor gives.
inline constexpr HRESULT kCommandFailed = static_cast<HRESULT>(0x800A1066);
inline constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x800A1436);
inline constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);
// A closed document's object.
inline constexpr HRESULT kObjectDeleted = RPC_E_DISCONNECTED;
// RPC_E_CALL_REJECTED: what a client that does not retry gets from a busy server.
inline constexpr HRESULT kCallRejected = static_cast<HRESULT>(0x80010001);

// The application events interface.
inline constexpr IID kApplicationEventsIid = IID_WordApplicationEvents;

// Event numbers on that interface.
enum EventId : DISPID {
  kQuitEvent = wordQuitEvent,
  kDocumentOpenEvent = wordDocumentOpenEvent,
  kDocumentBeforeCloseEvent = wordDocumentBeforeCloseEvent,
  kDocumentBeforeSaveEvent = wordDocumentBeforeSaveEvent,
  kNewDocumentEvent = wordNewDocumentEvent,
  kWindowActivateEvent = wordWindowActivateEvent,
  kWindowDeactivateEvent = wordWindowDeactivateEvent,
};

enum class ObjectKind { application, documents, document };

// Members made to fail: (object, member name in lower case) -> result.
using Faults = std::map<std::pair<ObjectKind, std::u16string>, HRESULT>;

// The fault "Object.Member=exit": the process serving the call ends in the
// middle of it, as if it had crashed. Only a server process of its own can
// serve it (ApplicationOptions::endProcess); elsewhere the call fails with E_FAIL.
inline constexpr HRESULT kEndProcessFault = static_cast<HRESULT>(0xA0D1E0E1);

// Reads "Object.Member=0xHRESULT,..." and "Object.Member=exit" items; each
// malformed item is described in `problems` and left out.
Faults parseFaults(std::string_view text, std::vector<std::string>& problems);

// Runs a task on the thread that makes every automation call.
using Poster = std::function<void(std::function<void()> task)>;

struct ApplicationOptions {
  Faults faults;
  // A FIFO whose lines are performed as user actions; empty for none.
  std::string controlPath;
  // Where those actions are performed; required with a control path.
  Poster post;
  // Run on the automation thread once the application has quit (after its
  // Quit event).
  std::function<void()> onQuit = {};
  // Ends the serving process at once (the "exit" fault, the "crash" action);
  // does not return.
  std::function<void()> endProcess = {};
  // Turns the next `calls` incoming automation calls away as a busy server
  // does, before they reach any object. Without it the objects themselves
  // refuse them with kCallRejected.
  std::function<void(int calls)> makeBusy = {};
};

// A new application object; `object` receives the interface `iid` with one reference.
HRESULT createApplication(const ApplicationOptions& options, REFIID iid, void** object);

// Writes a diagnostic line of the stand-in to standard error.
void reportProblem(std::string_view text);

}  // namespace ormid::standin
