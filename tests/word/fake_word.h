// An in-process word processor for unit tests of the operations: a scripted
// application, documents collection and documents behind IDispatch, with
// failures chosen per member and every live object counted.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ormid/com_api.h"
#include "ormid/com_ptr.h"

namespace ormid::test {

// Every member call: "Object.Member", how it was invoked, the arguments' types
// in call order and the named arguments.
struct RecordedCall {
  std::string member;
  WORD flags;
  std::vector<VARTYPE> argumentTypes;
  std::vector<DISPID> named;
};

struct FakeWordState {
  // "Application.Visible", "Documents.Open", "Document.SaveAs", ... -> HRESULT to fail with.
  std::map<std::string, HRESULT> failures;
  bool visibleStuckFalse = false;  // Visible reads false whatever was put
  bool fullNameNotText = false;    // FullName gives an object, which has no text
  HRESULT queryContainer = S_OK;   // QueryInterface for the connection point container
  HRESULT findConnectionPoint = S_OK;
  HRESULT advise = S_OK;
  HRESULT createInstance = S_OK;
  std::vector<std::u16string> documents;  // full names of the open documents
  std::vector<RecordedCall> calls;
  int liveObjects = 0;  // objects not yet destroyed
  int visibleReads = 0;
  int sinks = 0;                // advised sinks
  com::ComPtr<IDispatch> sink;  // the advised sink
  void fireEvent(DISPID id, std::vector<VARIANT> reversedArguments = {});
  int count(const std::string& member) const;
};

// Registers the fake under "Word.Application" for the duration of a test.
class FakeWord {
 public:
  FakeWord();
  ~FakeWord();
  FakeWordState& state() { return *state_; }
  com::ComPtr<IDispatch> application();  // a new application object

 private:
  std::shared_ptr<FakeWordState> state_;
};

}  // namespace ormid::test
