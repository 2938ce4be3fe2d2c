// One running office and the remote connection to it, seen from the
// automation objects. Every member function runs on the host's main thread,
// turns each office exception into a negative HRESULT and never lets one
// escape. The office's own notifications arrive on other threads; they are
// only queued here and handed out by takeEvents() on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ormid/com_api.h"

namespace ormid::uno {

// What the word processor answers when a command cannot be carried out.
inline constexpr HRESULT kCommandFailed = static_cast<HRESULT>(0x800A1066);
// What a call into a server process that has gone away gives.
inline constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);

class OfficeDocument;  // one open text document; opaque to the automation side

struct SessionEvent {
  enum class Kind { quit, beforeSave, beforeClose, opened, created, activated, deactivated };
  Kind kind;
  std::shared_ptr<OfficeDocument> document;  // null for quit
};

// Whether a session may start an office or only attach to the user's running one.
enum class Start { startIfNeeded, attachOnly };

class OfficeSession {
 public:
  using Log = std::function<void(int severity, const char* function, const std::string& message)>;

  // Connects to an office: without a display a private, headless one started
  // for this session; with one the person's office, started unless it runs
  // already. `wake` is called, from any thread, whenever an event has been
  // queued while none was waiting.
  static HRESULT create(Log log, std::function<void()> wake, std::shared_ptr<OfficeSession>& out,
                        Start start = Start::startIfNeeded);
  ~OfficeSession();

  // False once the office has quit, died or been shut down: every call then fails.
  bool alive() const;

  // The office's windows, where it has any: shown or hidden, brought to the
  // front, normal (0), maximised (1) or minimised (2).
  HRESULT setVisible(bool visible);
  HRESULT visible(bool& out);
  HRESULT activate();
  HRESULT setWindowState(LONG state);
  HRESULT windowState(LONG& out);
  // Ends the office (it is asked first, then made to) and reaps it.
  HRESULT quit();
  // For a session nobody uses any more, also when the host exits: as quit,
  // except that the person's office that holds documents is left running.
  void shutdown();

  // The open text documents in the order they were opened or created.
  HRESULT documents(std::vector<std::shared_ptr<OfficeDocument>>& out);
  HRESULT add(std::shared_ptr<OfficeDocument>& out);
  HRESULT open(const std::u16string& path, std::shared_ptr<OfficeDocument>& out);

  HRESULT fullName(OfficeDocument& document, std::u16string& out);
  HRESULT save(OfficeDocument& document);
  HRESULT saveAs(OfficeDocument& document, const std::u16string& path);
  HRESULT close(OfficeDocument& document, bool saveChanges);
  // Whether the document holds no changes since it was last saved.
  HRESULT saved(OfficeDocument& document, bool& out);

  // The queued office events, translated; documents the automation side has
  // not seen yet are taken into the collection as they appear.
  std::vector<SessionEvent> takeEvents();

  struct State;

 private:
  explicit OfficeSession(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

}  // namespace ormid::uno
