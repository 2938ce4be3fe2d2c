// The stand-in word processor as a COM local server: COM starts it with
// -Embedding for an activation of its class ("Word.Application" where the
// prefix or machine registers it so) and every process serves one application.
//
// Settings come from the environment, which the server inherits from the
// client that started it: ORMID_STANDIN_FAIL (faults, "Object.Member=exit"
// ends the server in the middle of that call) and ORMID_STANDIN_CONTROL (a
// file or FIFO whose lines are performed as user actions on the server's
// thread).
//
// Like the word processor, a started application stays up until it is quit,
// also once no client holds it any more: the process ends after Quit, when it
// crashes, or when nothing has happened for the idle limit.
#include <utf8.h>

#include <iterator>
#include <string>
#include <vector>

#include "ormid/com_api.h"
#include "standin/local_server_win32.h"
#include "standin/standin.h"

namespace {

using namespace ormid::standin;

// An application that nobody calls and no user acts on for this long is left
// behind: by a client that ended without quitting it or without releasing it.
constexpr DWORD kIdleMilliseconds = 10 * 60 * 1000;
// After Quit, the reply and the Quit event's calls back need a moment.
constexpr DWORD kQuitDelayMilliseconds = 200;

std::string environmentUtf8(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (;;) {
    const DWORD n = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) return {};
    if (n < value.size()) {
      value.resize(n);
      break;
    }
    value.resize(n);
  }
  std::string text;
  try {
    utf8::utf16to8(value.begin(), value.end(), std::back_inserter(text));
  } catch (const utf8::exception&) {
    reportProblem("an environment setting is not valid UTF-16 and is ignored");
    return {};
  }
  return text;
}

}  // namespace

int main() {
  ApplicationOptions options;
  std::vector<std::string> problems;
  options.faults = parseFaults(environmentUtf8(L"ORMID_STANDIN_FAIL"), problems);
  for (const std::string& problem : problems) reportProblem(problem);
  options.controlPath = environmentUtf8(L"ORMID_STANDIN_CONTROL");
  options.post = [](std::function<void()> task) { postToServerThread(std::move(task)); };
  options.onQuit = [] { exitSoon(kQuitDelayMilliseconds); };
  options.endProcess = [] { TerminateProcess(GetCurrentProcess(), 3); };
  options.makeBusy = [](int calls) { rejectCalls(calls); };

  // One process per activation: a client always gets a fresh application with
  // its own settings, never one left to another client.
  const LocalServerOptions server{kServerClsid, REGCLS_SINGLEUSE, kIdleMilliseconds};
  return runLocalServer(server, [options](REFIID iid, void** object) -> HRESULT {
    const HRESULT hr = createApplication(options, iid, object);
    if (FAILED(hr)) {
      exitSoon(kQuitDelayMilliseconds);  // nothing to serve once the failure is answered
    } else {
      objectCreated();  // never counted off: releasing the application does not end it
    }
    return hr;
  });
}
