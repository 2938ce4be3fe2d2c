// The by-name call helper, the document operations against a scripted word
// processor, and the event listener.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "host/automation/automation.h"
#include "host/core/core.h"
#include "host/events/listener.h"
#include "host/word/doc_editor_processing.h"
#include "tests/word/fake_word.h"

namespace ormid::test {
namespace {

using Arrange = std::function<void(FakeWordState&)>;
Arrange fail(const char* member, HRESULT hr = E_FAIL) {
  return [member, hr](FakeWordState& s) { s.failures[member] = hr; };
}

TEST(AutomationCall, ArgumentsTravelLastFirstAndPutsAreNamed) {
  FakeWord word;
  FakeWordState& state = word.state();
  const com::ComPtr<IDispatch> target = word.application();
  const com::Variant i4 = com::Variant::i4(1), flag = com::Variant::boolean(true);
  const com::Variant text = com::Variant::string(u"t");
  ASSERT_EQ(AutomationCall(target.get(), CallKind::method, "Activate", {i4.get(), flag.get(), text.get()}),
            S_OK);
  ASSERT_EQ(AutomationCall(target.get(), CallKind::put, "WindowState", {flag.get()}), S_OK);
  ASSERT_EQ(state.calls.size(), 2u);
  EXPECT_EQ(state.calls[0].flags, DISPATCH_METHOD);
  EXPECT_EQ(state.calls[0].argumentTypes, (std::vector<VARTYPE>{VT_I4, VT_BOOL, VT_BSTR}));
  EXPECT_TRUE(state.calls[0].named.empty());
  EXPECT_EQ(state.calls[1].flags, DISPATCH_PROPERTYPUT);
  EXPECT_EQ(state.calls[1].named, std::vector<DISPID>{DISPID_PROPERTYPUT});

  state.calls.clear();
  EXPECT_EQ(AutomationCall(target.get(), CallKind::get, "Gamma"), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(AutomationCall(target.get(), CallKind::put, "WindowState"), E_POINTER);
  EXPECT_TRUE(state.calls.empty());
  EXPECT_EQ(AutomationCall(nullptr, CallKind::get, "Visible"), E_INVALIDARG);
  EXPECT_EQ(AutomationCall(nullptr, CallKind::put, "Visible", {flag.get()}), E_INVALIDARG);
}

class Operations : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_);
    core().eventSink = [this](std::string_view message) { output_.append(message); };
  }
  void TearDown() override {
    clearWordResource();
    std::filesystem::remove_all(dir_);
    EXPECT_EQ(word_.state().liveObjects, 0) << "every object obtained was released";
  }
  bool connected() const { return static_cast<bool>(core().connection.wordApplication); }

  const std::string dir_ = std::filesystem::temp_directory_path().string() + "/ormid-word-test-" +
                           std::to_string(::getpid()) + "/";
  // The operations run under the process lock, as the command window runs them.
  ScopedLock lock_{core().lock};
  std::string output_;
  FakeWord word_;
  std::u16string description_;
};

TEST_F(Operations, StartingTheWordProcessorFailsCleanlyAtEveryStep) {
  const std::vector<std::pair<Arrange, const char16_t*>> cases = {
      {[](FakeWordState& s) { s.createInstance = REGDB_E_CLASSNOTREG; },
       u"Error create instace word application"},
      {fail("Application.Visible"), u"Error create visible word application"},
      {[](FakeWordState& s) { s.visibleStuckFalse = true; }, u"Error create visible word application"},
      {fail("Application.Activate"), u"Error activate word application"},
      {fail("Application.WindowState"), u"Error set window state word application"},
      {[](FakeWordState& s) { s.queryContainer = E_NOINTERFACE; }, u"Error get connection point container"},
      {[](FakeWordState& s) { s.findConnectionPoint = E_FAIL; }, u"Error find connection point"},
      {[](FakeWordState& s) { s.advise = E_FAIL; }, u"Error advise event listner"},
  };
  for (const auto& [arrange, description] : cases) {
    FakeWordState& state = word_.state();
    state = FakeWordState{};
    arrange(state);
    description_.clear();
    EXPECT_FALSE(DocEditorProcessing::openEditor(description_)) << testing::PrintToString(description);
    EXPECT_EQ(description_, description);
    EXPECT_FALSE(connected());
    EXPECT_EQ(state.liveObjects, 0) << testing::PrintToString(description);
    EXPECT_LE(state.visibleReads, kVisibleWaitReads) << "the wait for visibility is bounded";
    EXPECT_EQ(state.count("Application.Quit"), FAILED(state.createInstance) ? 0 : 1)
        << "an instance started is not left running: " << testing::PrintToString(description);
  }
}

TEST_F(Operations, EditorLifecycle) {
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
  EXPECT_EQ(word_.state().calls.back().argumentTypes, (std::vector<VARTYPE>{VT_I4, VT_I4, VT_BOOL}))
      << "integers as the type library declares them";
  EXPECT_FALSE(connected());
  EXPECT_EQ(word_.state().sinks, 0);
  word_.state().failures.clear();
  EXPECT_TRUE(DocEditorProcessing::openEditor(description_));
}

TEST_F(Operations, SaveAndCloseFindTheDocumentByItsExactPath) {
  ASSERT_TRUE(DocEditorProcessing::openEditor(description_));
  FakeWordState& state = word_.state();
  const std::u16string path(dir_.begin(), dir_.end());
  state.documents = {path + u"A.docx", path + u"a.docx"};
  std::ofstream(dir_ + "a.docx") << "x";

  struct Case {
    const char* failing;  // member made to fail, or ""
    std::string name;
    bool close;
    const char16_t* description;  // empty: success
  };
  const Case cases[] = {
      {"", "a.docx", false, u""},  // found after a case-different one
      {"Document.FullName", "a.docx", false, u"Document not openning"},
      {"", "", true, u"File name is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.failing) + " " + c.name);
    state.failures.clear();
    if (*c.failing) state.failures[c.failing] = E_FAIL;
    description_.clear();
    const bool ok = c.close ? DocEditorProcessing::closeDocument(dir_, c.name, true, description_)
                            : DocEditorProcessing::saveDocument(dir_, c.name, description_);
    EXPECT_EQ(ok, *c.description == u'\0');
    EXPECT_EQ(description_, c.description);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "a.docx")) << "the file stays";
  }
  // A failing Item for one index is skipped; with no document, no Item at all.
  state.failures = {{"Documents.Item", E_FAIL}};
  state.calls.clear();
  EXPECT_FALSE(DocEditorProcessing::saveDocument(dir_, "a.docx", description_));
  EXPECT_EQ(state.count("Documents.Item"), 2);
  state.failures.clear();

  EXPECT_TRUE(DocEditorProcessing::closeDocument(dir_, "a.docx", true, description_));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "a.docx"));
  state.documents.clear();
  state.calls.clear();
  EXPECT_FALSE(DocEditorProcessing::closeDocument(dir_, "a.docx", false, description_));
  EXPECT_EQ(description_, u"Document not openning");
  EXPECT_EQ(state.count("Documents.Item"), 0);
}

TEST_F(Operations, OpenAndCreateDocumentCleanUpOnFailure) {
  for (const auto& [content, description] : {std::pair{"", u"Encoded file content is empty"},
                                             std::pair{"=QUJD", u"Decoded file content is empty"}}) {
    description_.clear();
    EXPECT_FALSE(DocEditorProcessing::openDocument(dir_, "o.docx", content, description_));
    EXPECT_EQ(description_, description);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "o.docx")) << content;
  }

  word_.state().failures = {{"Document.SaveAs", E_FAIL}};
  EXPECT_FALSE(DocEditorProcessing::createDocument(dir_, "n3.docx", description_));
  EXPECT_EQ(description_, u"Error save add document");
  EXPECT_EQ(word_.state().documents.back(), u"<closed>") << "the unsaved new document is closed";
}

class Listener : public Operations {
 protected:
  HRESULT invoke(DISPID id, std::vector<VARIANT> reversed, const IID& iid = IID_NULL) {
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                      static_cast<UINT>(reversed.size()), 0};
    return core().connection.eventListener->Invoke(id, iid, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                                   nullptr, nullptr, nullptr);
  }
};

std::string eventMessage(const char* command, const char* rest) {
  return std::string(R"({"command":")") + command + R"(","destination":"ormidDocEditorWebPage",)" + rest +
         "}";
}

TEST_F(Listener, DocumentEventsAreValidatedAndAnnounced) {
  ASSERT_TRUE(DocEditorProcessing::openEditor(description_));
  FakeWordState& state = word_.state();
  state.documents = {u"/docs/my file.docx"};
  com::Variant items, document;
  ASSERT_EQ(
      AutomationCall(core().connection.wordApplication.get(), CallKind::get, "Documents", {}, items.put()),
      S_OK);
  const com::Variant index = com::Variant::i4(1);
  ASSERT_EQ(AutomationCall(items.get()->pdispVal, CallKind::method, "Item", {index.get()}, document.put()),
            S_OK);
  VARIANT_BOOL flag = VARIANT_FALSE;
  const VARIANT doc = *document.get(), byRef = *com::Variant::boolRef(&flag).get();
  VARIANT number{}, nullDocument{};
  number.vt = VT_I4;
  nullDocument.vt = VT_DISPATCH;

  const char* found =
      R"("nameFile":"my file.docx","status":{"result":"success"},"workingDirectory":"\/docs\/")";
  struct Case {
    DISPID id;
    std::vector<VARIANT> reversed;
    HRESULT expected;
    std::string message;
  };
  const Case cases[] = {
      {8, {byRef, byRef, doc}, S_OK, eventMessage("documentSaveEvent", found)},
      {6, {byRef, doc}, S_OK, eventMessage("documentCloseEvent", found)},
      {6, {byRef, byRef, doc}, E_INVALIDARG, ""},   // close with three
      {8, {byRef, doc}, E_INVALIDARG, ""},          // save with two
      {6, {byRef, number}, E_INVALIDARG, ""},       // first not a document
      {6, {number, doc}, E_INVALIDARG, ""},         // second not by reference
      {8, {number, byRef, doc}, E_INVALIDARG, ""},  // third not by reference
      {6, {byRef, nullDocument}, E_FAIL, ""},
      {1, {}, S_OK, ""},  // ignored events
      {12, {}, S_OK, ""},
      {4, {doc}, S_OK, ""},  // logged only
  };
  for (const Case& c : cases) {
    output_.clear();
    EXPECT_EQ(invoke(c.id, c.reversed), c.expected) << c.id << " with " << c.reversed.size();
    EXPECT_EQ(output_, c.message) << c.id << " with " << c.reversed.size();
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
  EXPECT_EQ(output_, eventMessage("documentCloseEvent",
                                  R"("status":{"description":"Bad file name","result":"error"})"));
  // Nor can such a document be the one a save looks for.
  EXPECT_FALSE(DocEditorProcessing::saveDocument("/docs/", "my file.docx", description_));
  EXPECT_EQ(description_, u"Document not openning");
}

TEST(EventMessages, SplitTheFullNameOnItsLastSeparator) {
  // A plain path and a bare title ("Document1"): the stand-in end-to-end events, byte for byte;
  // no name at all: the listener test.
  const std::pair<std::string, std::string> cases[] = {
      {"/docs/",
       eventMessage("documentSaveEvent",
                    R"("nameFile":"","status":{"result":"success"},"workingDirectory":"\/docs\/")")},
      {"//server/share/é b.docx",
       eventMessage("documentSaveEvent", R"("nameFile":"é b.docx","status":{"result":"success"},)"
                                         R"("workingDirectory":"\/\/server\/share\/")")},
  };
  for (const auto& [fullName, expected] : cases) {
    std::string message;
    DocEditorEventListener::createEventMessage(message, u"ormidDocEditorWebPage", u"documentSaveEvent",
                                               fullName);
    EXPECT_EQ(message, expected) << fullName;
  }
}

}  // namespace
}  // namespace ormid::test
