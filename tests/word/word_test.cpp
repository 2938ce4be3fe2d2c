// The by-name call helper, the document operations against a scripted word
// processor, and the event listener.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/channel/channel.h"
#include "host/events/listener.h"
#include "host/word/automation.h"
#include "host/word/doc_editor_processing.h"
#include "tests/word/fake_word.h"

namespace ormid::test {
namespace {

// ---- AutomationCall ----

TEST(AutomationCall, MethodArgumentsReachTheObjectLastFirst) {
  RecordingDispatch target;
  const com::Variant a = com::Variant::i4(1), b = com::Variant::i4(2), c = com::Variant::i4(3);
  ASSERT_EQ(AutomationCall(&target, CallKind::method, "Alpha", {a.get(), b.get(), c.get()}), S_OK);
  ASSERT_EQ(target.invocations.size(), 1u);
  const auto& call = target.invocations[0];
  EXPECT_EQ(call.flags, DISPATCH_METHOD);
  ASSERT_EQ(call.arguments.size(), 3u);
  EXPECT_EQ(call.arguments[0].lVal, 3);
  EXPECT_EQ(call.arguments[1].lVal, 2);
  EXPECT_EQ(call.arguments[2].lVal, 1);
  EXPECT_TRUE(call.named.empty());
}

TEST(AutomationCall, PutsAndFailures) {
  struct Case {
    const char* what;
    CallKind kind;
    const char* name;
    VARTYPE valueType;  // VT_EMPTY: no value at all
    HRESULT putRef;
    HRESULT expected;
    std::vector<WORD> invokes;  // flags of each Invoke made
  };
  const std::vector<Case> cases = {
      {"bool put", CallKind::put, "Beta", VT_BOOL, S_OK, S_OK, {DISPATCH_PROPERTYPUT}},
      {"int put", CallKind::put, "Beta", VT_INT, S_OK, S_OK, {DISPATCH_PROPERTYPUT}},
      {"object put by reference", CallKind::put, "Beta", VT_DISPATCH, S_OK, S_OK, {DISPATCH_PROPERTYPUTREF}},
      {"by-reference put falls back", CallKind::put, "Beta", VT_DISPATCH, E_FAIL, S_OK,
       {DISPATCH_PROPERTYPUTREF, DISPATCH_PROPERTYPUT}},
      {"unknown name", CallKind::get, "Gamma", VT_EMPTY, S_OK, DISP_E_UNKNOWNNAME, {}},
      {"put without value", CallKind::put, "Beta", VT_EMPTY, S_OK, E_POINTER, {}},
  };
  for (const Case& c : cases) {
    RecordingDispatch target;
    RecordingDispatch object;  // a value for VT_DISPATCH puts
    target.putRefResult = c.putRef;
    com::Variant value = c.valueType == VT_BOOL      ? com::Variant::boolean(true)
                         : c.valueType == VT_INT     ? com::Variant::integer(1)
                         : c.valueType == VT_DISPATCH ? com::Variant::dispatch(&object)
                                                     : com::Variant();
    const HRESULT hr = c.valueType == VT_EMPTY && c.kind == CallKind::put
                           ? AutomationCall(&target, c.kind, c.name)
                           : AutomationCall(&target, c.kind, c.name, c.valueType == VT_EMPTY
                                                                         ? std::initializer_list<const VARIANT*>{}
                                                                         : std::initializer_list<const VARIANT*>{value.get()});
    EXPECT_EQ(hr, c.expected) << c.what;
    ASSERT_EQ(target.invocations.size(), c.invokes.size()) << c.what;
    for (std::size_t i = 0; i < c.invokes.size(); ++i) {
      EXPECT_EQ(target.invocations[i].flags, c.invokes[i]) << c.what;
      ASSERT_EQ(target.invocations[i].named.size(), 1u) << c.what;
      EXPECT_EQ(target.invocations[i].named[0], DISPID_PROPERTYPUT) << c.what;
    }
  }
  EXPECT_EQ(AutomationCall(nullptr, CallKind::get, "Alpha"), E_INVALIDARG);
  const com::Variant v = com::Variant::boolean(true);
  EXPECT_EQ(AutomationCall(nullptr, CallKind::put, "Alpha", {v.get()}), E_INVALIDARG);
}

// ---- Operations ----

class Operations : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path().string() + "/ormid-word-test-" + std::to_string(::getpid()) + "/";
    std::filesystem::create_directories(dir_);
    setMessageOutput([this](const void* data, std::size_t size) {
      output_.append(static_cast<const char*>(data), size);
      return true;
    });
  }
  void TearDown() override {
    clearWordResource();
    std::filesystem::remove_all(dir_);
    EXPECT_EQ(word_.state().liveObjects, 0) << "every object obtained was released";
  }
  bool connected() const { return static_cast<bool>(wordConnection().wordApplication); }
  void writeFile(const std::string& name) { std::ofstream(dir_ + name) << "x"; }

  std::string dir_;
  std::string output_;
  FakeWord word_;
  std::u16string description_;
};

TEST_F(Operations, StartingTheWordProcessorFailsCleanlyAtEveryStep) {
  struct Case {
    const char* what;
    std::function<void(FakeWordState&)> arrange;
    const char16_t* description;
  };
  const std::vector<Case> cases = {
      {"not registered", [](FakeWordState& s) { s.createInstance = REGDB_E_CLASSNOTREG; },
       u"Error create instace word application"},
      {"visible put", [](FakeWordState& s) { s.failures["Application.Visible"] = E_FAIL; },
       u"Error create visible word application"},
      {"never visible", [](FakeWordState& s) { s.visibleStuckFalse = true; }, u"Error create visible word application"},
      {"activate", [](FakeWordState& s) { s.failures["Application.Activate"] = E_FAIL; },
       u"Error activate word application"},
      {"window state", [](FakeWordState& s) { s.failures["Application.WindowState"] = E_FAIL; },
       u"Error set window state word application"},
      {"container", [](FakeWordState& s) { s.queryContainer = E_NOINTERFACE; }, u"Error get connection point container"},
      {"connection point", [](FakeWordState& s) { s.findConnectionPoint = E_FAIL; }, u"Error find connection point"},
      {"advise", [](FakeWordState& s) { s.advise = E_FAIL; }, u"Error advise event listner"},
  };
  for (const Case& c : cases) {
    FakeWordState& state = word_.state();
    state = FakeWordState{};
    c.arrange(state);
    description_.clear();
    EXPECT_FALSE(DocEditorProcessing::openEditor(description_)) << c.what;
    EXPECT_EQ(description_, c.description) << c.what;
    EXPECT_FALSE(connected()) << c.what;
    EXPECT_EQ(state.liveObjects, 0) << c.what;
  }
  EXPECT_LE(word_.state().visibleReads, kVisibleWaitReads);
}

TEST_F(Operations, EditorLifecycle) {
  EXPECT_FALSE(DocEditorProcessing::closeWordAplication(description_));
  EXPECT_EQ(description_, u"Instace word application not found");

  ASSERT_TRUE(DocEditorProcessing::openEditor(description_));
  EXPECT_EQ(word_.state().sinks, 1);
  const std::size_t callsBefore = word_.state().calls.size();
  EXPECT_FALSE(DocEditorProcessing::openEditor(description_));
  EXPECT_EQ(description_, u"Word application is already open");
  EXPECT_EQ(word_.state().calls.size(), callsBefore) << "no call when already open";

  // Quit fails: still disconnected, and the next start works.
  word_.state().failures["Application.Quit"] = E_FAIL;
  EXPECT_FALSE(DocEditorProcessing::closeWordAplication(description_));
  EXPECT_EQ(description_, u"Error close word application");
  EXPECT_FALSE(connected());
  EXPECT_EQ(word_.state().sinks, 0);
  word_.state().failures.clear();
  ASSERT_TRUE(DocEditorProcessing::openEditor(description_));
  // The quit event during Quit drops the connection itself; closing still succeeds.
  EXPECT_TRUE(DocEditorProcessing::closeWordAplication(description_));
  EXPECT_FALSE(connected());
}

TEST_F(Operations, QuitEventLeavesTheHostDisconnected) {
  ASSERT_TRUE(DocEditorProcessing::openEditor(description_));
  word_.state().fireEvent(2, {});
  EXPECT_FALSE(connected());
  EXPECT_FALSE(DocEditorProcessing::saveDocument(dir_, "a.docx", description_));
  EXPECT_EQ(description_, u"Word application not running");
  EXPECT_TRUE(DocEditorProcessing::openEditor(description_));
}

TEST_F(Operations, SaveAndCloseFindTheDocumentByItsExactPath) {
  ASSERT_TRUE(DocEditorProcessing::openEditor(description_));
  FakeWordState& state = word_.state();
  const std::u16string path(dir_.begin(), dir_.end());
  state.documents = {path + u"A.docx", path + u"a.docx"};
  writeFile("a.docx");

  struct Case {
    const char* what;
    std::map<std::string, HRESULT> failures;
    std::string name;
    bool close;
    bool ok;
    const char16_t* description;
  };
  const std::vector<Case> cases = {
      {"found after a case-different one", {}, "a.docx", false, true, u""},
      {"no such document", {}, "b.docx", false, false, u"Document not openning"},
      {"documents", {{"Application.Documents", E_FAIL}}, "a.docx", false, false, u"Error get documents"},
      {"count", {{"Documents.Count", E_FAIL}}, "a.docx", false, false, u"Error get documents count"},
      {"full name of every document fails", {{"Document.FullName", E_FAIL}}, "a.docx", false, false,
       u"Document not openning"},
      {"save", {{"Document.SaveAs", E_FAIL}}, "a.docx", false, false, u"Save document error"},
      {"close", {{"Document.Close", E_FAIL}}, "a.docx", true, false, u"Close document error"},
      {"empty name", {}, "", true, false, u"File name is empty"},
  };
  for (const Case& c : cases) {
    state.failures = c.failures;
    description_.clear();
    const bool ok = c.close ? DocEditorProcessing::closeDocument(dir_, c.name, true, description_)
                            : DocEditorProcessing::saveDocument(dir_, c.name, description_);
    EXPECT_EQ(ok, c.ok) << c.what;
    EXPECT_EQ(description_, c.description) << c.what;
    EXPECT_TRUE(std::filesystem::exists(dir_ + "a.docx")) << c.what << ": the file stays";
  }
  state.failures.clear();
  // A failing Item for one index is skipped; with no document, no Item at all.
  state.failures["Documents.Item"] = E_FAIL;
  state.calls.clear();
  EXPECT_FALSE(DocEditorProcessing::saveDocument(dir_, "a.docx", description_));
  EXPECT_EQ(word_.calls("Documents.Item"), 2);
  state.failures.clear();

  EXPECT_TRUE(DocEditorProcessing::closeDocument(dir_, "a.docx", true, description_));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "a.docx"));
  state.documents.clear();
  state.calls.clear();
  EXPECT_FALSE(DocEditorProcessing::closeDocument(dir_, "a.docx", false, description_));
  EXPECT_EQ(description_, u"Document not openning");
  EXPECT_EQ(word_.calls("Documents.Item"), 0);
}

TEST_F(Operations, OpenDocumentWritesThenOpensAndCleansUpOnFailure) {
  struct Case {
    const char* what;
    std::function<void(FakeWordState&)> arrange;
    std::string content;
    bool ok;
    const char16_t* description;
    bool fileLeft;
  };
  const std::vector<Case> cases = {
      {"no content", [](FakeWordState&) {}, "", false, u"Encoded file content is empty", false},
      {"decodes to nothing", [](FakeWordState&) {}, "=QUJD", false, u"Decoded file content is empty", false},
      {"editor cannot start", [](FakeWordState& s) { s.createInstance = REGDB_E_CLASSNOTREG; }, "aGVsbG8=", false,
       u"Error create instace word application", false},
      {"documents", [](FakeWordState& s) { s.failures["Application.Documents"] = E_FAIL; }, "aGVsbG8=", false,
       u"Error get documents", false},
      {"open refused", [](FakeWordState& s) { s.failures["Documents.Open"] = static_cast<HRESULT>(0x800A1066); },
       "aGVsbG8=", false, u"Error open document", false},
      {"opened", [](FakeWordState&) {}, "aGVsbG8=", true, u"", true},
  };
  for (const Case& c : cases) {
    clearWordResource();
    word_.state() = FakeWordState{};
    c.arrange(word_.state());
    description_.clear();
    std::filesystem::remove(dir_ + "o.docx");
    EXPECT_EQ(DocEditorProcessing::openDocument(dir_, "o.docx", c.content, description_), c.ok) << c.what;
    EXPECT_EQ(description_, c.description) << c.what;
    EXPECT_EQ(std::filesystem::exists(dir_ + "o.docx"), c.fileLeft) << c.what;
  }
  std::ifstream in(dir_ + "o.docx");
  std::string text;
  in >> text;
  EXPECT_EQ(text, "hello");
}

TEST_F(Operations, CreateDocument) {
  ASSERT_TRUE(DocEditorProcessing::createDocument(dir_, "new.docx", description_));
  EXPECT_EQ(word_.state().documents.back(), std::u16string(dir_.begin(), dir_.end()) + u"new.docx");

  word_.state().failures["Documents.Add"] = E_FAIL;
  EXPECT_FALSE(DocEditorProcessing::createDocument(dir_, "n2.docx", description_));
  EXPECT_EQ(description_, u"Error add document");

  word_.state().failures = {{"Document.SaveAs", E_FAIL}};
  EXPECT_FALSE(DocEditorProcessing::createDocument(dir_, "n3.docx", description_));
  EXPECT_EQ(description_, u"Error save add document");
  EXPECT_EQ(word_.state().documents.back(), u"<closed>") << "the unsaved new document is closed";
}

// ---- Listener ----

class Listener : public Operations {
 protected:
  HRESULT invoke(DISPID id, std::vector<VARIANT> reversed, const IID& iid = IID_NULL) {
    IDispatch* listener = wordConnection().eventListener.get();
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    return listener->Invoke(id, iid, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
  }
};

TEST_F(Listener, DocumentEventsAreValidatedAndAnnounced) {
  ASSERT_TRUE(DocEditorProcessing::openEditor(description_));
  FakeWordState& state = word_.state();
  state.documents = {u"/docs/my file.docx"};
  com::Variant items;
  ASSERT_TRUE(AutomationCall(wordConnection().wordApplication.get(), CallKind::get, "Documents", {}, items.put()) == S_OK);
  const com::Variant index = com::Variant::i4(1);
  com::Variant document;
  ASSERT_EQ(AutomationCall(items.get()->pdispVal, CallKind::method, "Item", {index.get()}, document.put()), S_OK);
  VARIANT_BOOL flag = VARIANT_FALSE;
  const VARIANT doc = *document.get();
  VARIANT byRef{};
  byRef.vt = VT_BOOL | VT_BYREF;
  byRef.pboolVal = &flag;
  VARIANT number{};
  number.vt = VT_I4;
  VARIANT nullDocument{};
  nullDocument.vt = VT_DISPATCH;

  struct Case {
    const char* what;
    DISPID id;
    std::vector<VARIANT> reversed;
    HRESULT expected;
    std::string message;
  };
  const std::string save =
      R"({"command":"documentSaveEvent","destination":"ormidDocEditorWebPage","nameFile":"my file.docx",)"
      R"("status":{"result":"success"},"workingDirectory":"\/docs\/"})";
  const std::vector<Case> cases = {
      {"save", 8, {byRef, byRef, doc}, S_OK, save},
      {"close", 6, {byRef, doc}, S_OK,
       R"({"command":"documentCloseEvent","destination":"ormidDocEditorWebPage","nameFile":"my file.docx",)"
       R"("status":{"result":"success"},"workingDirectory":"\/docs\/"})"},
      {"close with three", 6, {byRef, byRef, doc}, E_INVALIDARG, ""},
      {"save with two", 8, {byRef, doc}, E_INVALIDARG, ""},
      {"first not a document", 6, {byRef, number}, E_INVALIDARG, ""},
      {"second not by reference", 6, {number, doc}, E_INVALIDARG, ""},
      {"third not by reference", 8, {number, byRef, doc}, E_INVALIDARG, ""},
      {"null document", 6, {byRef, nullDocument}, E_FAIL, ""},
      {"ignored events", 1, {}, S_OK, ""},
      {"ignored events", 12, {}, S_OK, ""},
      {"logged events", 4, {doc}, S_OK, ""},
  };
  for (const Case& c : cases) {
    output_.clear();
    EXPECT_EQ(invoke(c.id, c.reversed), c.expected) << c.what;
    EXPECT_EQ(output_.empty() ? "" : output_.substr(4), c.message) << c.what;
    EXPECT_EQ(flag, VARIANT_FALSE) << "the save or close goes ahead";
  }
  EXPECT_EQ(invoke(8, {byRef, byRef, doc}, IID_IDispatch), E_INVALIDARG);

  // A full name that cannot be read fails the event; one that is not text is "Bad file name".
  state.failures["Document.FullName"] = static_cast<HRESULT>(0x800A1001);
  output_.clear();
  EXPECT_EQ(invoke(6, {byRef, doc}), static_cast<HRESULT>(0x800A1001));
  EXPECT_TRUE(output_.empty());
  state.failures.clear();
  state.fullNameNotText = true;
  EXPECT_EQ(invoke(6, {byRef, doc}), S_OK);
  EXPECT_EQ(output_.substr(4),
            R"({"command":"documentCloseEvent","destination":"ormidDocEditorWebPage","status":)"
            R"({"description":"Bad file name","result":"error"}})");
  // Nor can such a document be the one a save looks for.
  EXPECT_FALSE(DocEditorProcessing::saveDocument("/docs/", "my file.docx", description_));
  EXPECT_EQ(description_, u"Document not openning");
}

TEST_F(Listener, AnswersItsInterfacesAndCountsReferences) {
  ASSERT_TRUE(DocEditorProcessing::openEditor(description_));
  IDispatch* listener = wordConnection().eventListener.get();
  const IID events = IID_WordApplicationEvents;
  for (const IID& iid : {IID_IUnknown, IID_IDispatch, events}) {
    void* object = nullptr;
    ASSERT_EQ(listener->QueryInterface(iid, &object), S_OK);
    EXPECT_EQ(object, static_cast<void*>(listener));
    EXPECT_EQ(listener->Release(), 2u);  // the host's reference and the advised one remain
  }
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(listener->QueryInterface(IID_IConnectionPoint, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  UINT count = 5;
  EXPECT_EQ(listener->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(listener->GetIDsOfNames(IID_NULL, nullptr, 0, 0, nullptr), E_NOTIMPL);
}

TEST(EventMessages, SplitTheFullNameOnItsLastSeparator) {
  struct Case {
    std::string fullName;
    std::u16string command;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"/docs/a.docx", u"documentSaveEvent",
       R"({"command":"documentSaveEvent","destination":"ormidDocEditorWebPage","nameFile":"a.docx","status":{"result":"success"},"workingDirectory":"\/docs\/"})"},
      {"Document1", u"documentSaveEvent",
       R"({"command":"documentSaveEvent","destination":"ormidDocEditorWebPage","nameFile":"Document1","status":{"result":"success"}})"},
      {"", u"documentCloseEvent",
       R"({"command":"documentCloseEvent","destination":"ormidDocEditorWebPage","status":{"description":"Bad file name","result":"error"}})"},
      {"/docs/", u"documentCloseEvent",
       R"({"command":"documentCloseEvent","destination":"ormidDocEditorWebPage","nameFile":"","status":{"result":"success"},"workingDirectory":"\/docs\/"})"},
      {"//server/share/é b.docx", u"documentCloseEvent",
       R"({"command":"documentCloseEvent","destination":"ormidDocEditorWebPage","nameFile":"é b.docx","status":{"result":"success"},"workingDirectory":"\/\/server\/share\/"})"},
  };
  for (const Case& c : cases) {
    std::string message;
    DocEditorEventListener::createEventMessage(message, u"ormidDocEditorWebPage", c.command, c.fullName);
    EXPECT_EQ(message, c.message) << c.fullName;
  }
}

}  // namespace
}  // namespace ormid::test
