#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "automation.h"

namespace ormid::standin::testing {
namespace {

namespace fs = std::filesystem;

Variant i2(short value) {
  Variant v;
  v.get()->vt = VT_I2;
  v.get()->iVal = value;
  return v;
}

std::vector<Variant> dontSave() {
  return args(Variant::integer(0), Variant::integer(1), Variant::boolean(false));
}

class Standin : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ormid-standin-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    start({});
  }

  void TearDown() override {
    documents.reset();
    point.reset();
    app.reset();
    EXPECT_EQ(sink.references, 1u) << "the application let go of the sink";
    fs::remove_all(dir);
  }

  void start(const ApplicationOptions& options) {
    documents.reset();
    point.reset();
    app.reset();
    ASSERT_EQ(createApplication(options, IID_IDispatch, app.putVoid()), S_OK);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(app.queryInterface(IID_IConnectionPointContainer, container), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(kApplicationEventsIid, point.put()), S_OK);
    ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
    documents = object(app.get(), u"Documents", Kind::get);
  }

  std::u16string file(const std::string& name, const std::string& content) {
    std::ofstream(dir + "/" + name, std::ios::binary) << content;
    return path(name);
  }
  std::u16string path(const std::string& name) {
    const std::string full = dir + "/" + name;
    return std::u16string(full.begin(), full.end());
  }
  std::string contentOf(const std::string& name) {
    std::stringstream all;
    all << std::ifstream(dir + "/" + name, std::ios::binary).rdbuf();
    return all.str();
  }

  std::string dir;
  RecordingSink sink;
  DWORD cookie = 0;
  ComPtr<IDispatch> app;
  ComPtr<IConnectionPoint> point;
  ComPtr<IDispatch> documents;
};

TEST_F(Standin, ObjectModelHappyPath) {
  EXPECT_EQ(value(app.get(), u"Visible").get()->boolVal, VARIANT_FALSE);
  EXPECT_EQ(call(app.get(), u"Visible", Kind::put, args(Variant::boolean(true))), S_OK);
  EXPECT_EQ(value(app.get(), u"Visible").get()->boolVal, VARIANT_TRUE);
  EXPECT_EQ(call(app.get(), u"Activate", Kind::method), S_OK);
  EXPECT_EQ(call(app.get(), u"WindowState", Kind::put, args(Variant::integer(1))), S_OK);
  EXPECT_EQ(value(app.get(), u"WindowState").get()->lVal, 1);

  const std::u16string original = file("a b.docx", "original");
  const auto opened = object(documents.get(), u"Open", Kind::method, args(Variant::string(original)));
  const auto first = object(documents.get(), u"Add", Kind::method);
  const auto second = object(documents.get(), u"Add", Kind::method);
  EXPECT_EQ(fullName(opened.get()), original);
  EXPECT_EQ(fullName(first.get()), u"Document1");
  EXPECT_EQ(fullName(second.get()), u"Document2");
  EXPECT_EQ(count(documents.get()), 3);
  EXPECT_EQ(object(documents.get(), u"Item", Kind::method, args(Variant::i4(1))).get(), opened.get());
  EXPECT_EQ(object(documents.get(), u"Item", Kind::method, args(Variant::integer(2))).get(), first.get());
  EXPECT_EQ(object(documents.get(), u"Item", Kind::method, args(i2(3))).get(), second.get());
  // Opening an open document hands back the same one.
  EXPECT_EQ(object(documents.get(), u"Open", Kind::method, args(Variant::string(original))).get(),
            opened.get());

  // SaveAs with a path saves there and renames; without one it saves in place.
  EXPECT_EQ(call(first.get(), u"SaveAs", Kind::method, args(Variant::string(path("new.docx")))), S_OK);
  EXPECT_EQ(fullName(first.get()), path("new.docx"));
  EXPECT_TRUE(fs::exists(dir + "/new.docx"));
  fs::remove(dir + "/a b.docx");
  EXPECT_EQ(call(opened.get(), u"SaveAs", Kind::method), S_OK);
  EXPECT_EQ(contentOf("a b.docx"), "original");
  EXPECT_EQ(call(second.get(), u"SaveAs", Kind::method), kCommandFailed) << "never saved";
  EXPECT_EQ(call(second.get(), u"SaveAs", Kind::method, args(Variant::string(original))), kCommandFailed)
      << "the name of another open document";

  const ULONG held = referencesOf(opened.get());
  EXPECT_EQ(call(opened.get(), u"Close", Kind::method, dontSave()), S_OK);
  EXPECT_EQ(referencesOf(opened.get()), held - 1) << "the collection let go of it";
  EXPECT_EQ(count(documents.get()), 2);
  EXPECT_EQ(call(opened.get(), u"FullName", Kind::get), kObjectDeleted);
  EXPECT_EQ(call(documents.get(), u"Open", Kind::method, args(Variant::string(path("missing.docx")))),
            kFileNotFound);
  EXPECT_EQ(count(documents.get()), 2);
}

TEST_F(Standin, RefusesCallsThatDoNotFitTheMember) {
  const auto document = object(documents.get(), u"Add", Kind::method);
  enum Target { application, collection, doc };
  struct BadCall {
    const char* what;
    Target target;
    std::u16string member;
    Kind kind;
    std::function<std::vector<Variant>()> arguments;
    HRESULT expected;
  };
  const auto none = [] { return std::vector<Variant>(); };
  const std::vector<BadCall> table = {
      {"method on a property", application, u"Visible", Kind::method, none, DISP_E_MEMBERNOTFOUND},
      {"put on a read-only property", doc, u"FullName", Kind::put, [] { return args(Variant::i4(1)); },
       DISP_E_MEMBERNOTFOUND},
      {"argument too many", application, u"Activate", Kind::method, [] { return args(Variant::i4(1)); },
       DISP_E_BADPARAMCOUNT},
      {"visible from text", application, u"Visible", Kind::put, [] { return args(Variant::string(u"yes")); },
       DISP_E_TYPEMISMATCH},
      {"window state out of range", application, u"WindowState", Kind::put,
       [] { return args(Variant::integer(7)); }, E_INVALIDARG},
      {"item by text", collection, u"Item", Kind::method, [] { return args(Variant::string(u"Document1")); },
       DISP_E_TYPEMISMATCH},
      {"item zero", collection, u"Item", Kind::method, [] { return args(Variant::i4(0)); }, DISP_E_BADINDEX},
      {"close with an unknown save choice", doc, u"Close", Kind::method,
       [] { return args(Variant::integer(5)); }, E_INVALIDARG},
  };
  for (const BadCall& bad : table) {
    IDispatch* target = bad.target == application  ? app.get()
                        : bad.target == collection ? documents.get()
                                                   : document.get();
    EXPECT_EQ(call(target, bad.member, bad.kind, bad.arguments()), bad.expected) << bad.what;
  }
  EXPECT_EQ(count(documents.get()), 1);

  std::u16string unknown = u"Nope";
  LPOLESTR names[] = {unknown.data()};
  DISPID id = 0;
  EXPECT_EQ(app->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  // Names ignore ASCII case.
  EXPECT_EQ(call(app.get(), u"vIsIbLe", Kind::get), S_OK);
  EXPECT_EQ(count(object(app.get(), u"DOCUMENTS", Kind::get).get()), 1);
}

TEST_F(Standin, EventsCarryTheirArgumentsInOrder) {
  const std::u16string original = file("doc.docx", "x");
  const auto opened = object(documents.get(), u"Open", Kind::method, args(Variant::string(original)));
  const auto added = object(documents.get(), u"Add", Kind::method);
  bool writtenBeforeEvent = true;
  sink.onEvent = [&](DISPID id, DISPPARAMS&) {
    if (id == kDocumentBeforeSaveEvent) writtenBeforeEvent = fs::exists(dir + "/saved.docx");
  };
  EXPECT_EQ(call(added.get(), u"SaveAs", Kind::method, args(Variant::string(path("saved.docx")))), S_OK);
  EXPECT_FALSE(writtenBeforeEvent);
  EXPECT_EQ(call(app.get(), u"Activate", Kind::method), S_OK);
  EXPECT_EQ(call(opened.get(), u"Close", Kind::method, dontSave()), S_OK);
  EXPECT_EQ(call(app.get(), u"Quit", Kind::method, dontSave()), S_OK);

  using Types = std::vector<VARTYPE>;
  constexpr VARTYPE kBoolRef = VT_BOOL | VT_BYREF;
  const std::vector<RecordingSink::Event> expected = {
      {kDocumentOpenEvent, Types{VT_DISPATCH}, original},
      {kNewDocumentEvent, Types{VT_DISPATCH}, u"Document1"},
      {kDocumentBeforeSaveEvent, Types{VT_DISPATCH, kBoolRef, kBoolRef}, u"Document1"},
      {kWindowActivateEvent, Types{VT_DISPATCH, VT_DISPATCH}, path("saved.docx")},
      {kDocumentBeforeCloseEvent, Types{VT_DISPATCH, kBoolRef}, original},
      {kQuitEvent, Types{}, u""},
  };
  ASSERT_EQ(sink.events.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(sink.events[i].id, expected[i].id) << i;
    EXPECT_EQ(sink.events[i].types, expected[i].types) << i;
    EXPECT_EQ(sink.events[i].document, expected[i].document) << i;
  }
}

TEST_F(Standin, CancelInAnEventStopsSaveAndClose) {
  const auto document =
      object(documents.get(), u"Open", Kind::method, args(Variant::string(file("c.docx", "c"))));
  sink.onEvent = [](DISPID id, DISPPARAMS& params) {
    if (id == kDocumentBeforeSaveEvent || id == kDocumentBeforeCloseEvent)
      *params.rgvarg[0].pboolVal = VARIANT_TRUE;
  };
  fs::remove(dir + "/c.docx");
  EXPECT_EQ(call(document.get(), u"SaveAs", Kind::method), kCommandFailed);
  EXPECT_FALSE(fs::exists(dir + "/c.docx"));
  EXPECT_EQ(call(document.get(), u"Close", Kind::method, dontSave()), kCommandFailed);
  EXPECT_EQ(count(documents.get()), 1);
  sink.onEvent = nullptr;
  EXPECT_EQ(call(document.get(), u"Close", Kind::method, dontSave()), S_OK);
  EXPECT_EQ(count(documents.get()), 0);
}

TEST_F(Standin, SinksMayUnadviseAndReleaseEverythingDuringAnEvent) {
  RecordingSink second;
  DWORD secondCookie = 0;
  ASSERT_EQ(point->Advise(&second, &secondCookie), S_OK);
  EXPECT_EQ(cookie, 1u);
  EXPECT_EQ(secondCookie, 2u);
  EXPECT_EQ(point->Unadvise(99), CONNECT_E_NOCONNECTION);

  // As a client does on quit: unadvise everyone and drop every pointer, in the middle of the event.
  sink.onEvent = [&](DISPID id, DISPPARAMS&) {
    if (id != kQuitEvent) return;
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(point->Unadvise(secondCookie), S_OK);
    point.reset();
    documents.reset();
    app.reset();
  };
  IDispatch* application = app.get();
  EXPECT_EQ(call(application, u"Quit", Kind::method), S_OK);
  EXPECT_EQ(sink.ids(), std::vector<DISPID>{kQuitEvent});
  EXPECT_TRUE(second.events.empty()) << "unadvised before its turn";
  EXPECT_EQ(second.references, 1u);
}

TEST_F(Standin, EverythingFailsAfterQuitAndANewApplicationIsFresh) {
  const auto document = object(documents.get(), u"Add", Kind::method);
  ASSERT_EQ(call(app.get(), u"Quit", Kind::method, dontSave()), S_OK);
  EXPECT_EQ(call(app.get(), u"Visible", Kind::get), kServerUnavailable);
  EXPECT_EQ(call(documents.get(), u"Count", Kind::get), kServerUnavailable);
  EXPECT_EQ(call(document.get(), u"FullName", Kind::get), kServerUnavailable);
  EXPECT_EQ(point->Unadvise(cookie), kServerUnavailable);

  start({});
  EXPECT_EQ(value(app.get(), u"Visible").get()->boolVal, VARIANT_FALSE);
  EXPECT_EQ(count(documents.get()), 0);
  EXPECT_EQ(fullName(object(documents.get(), u"Add", Kind::method).get()), u"Document1");
}

TEST(Faults, ParseItemsAndReportMalformedOnes) {
  struct Case {
    std::string text;
    Faults expected;
    std::size_t problems;
  };
  const HRESULT failed = kCommandFailed;
  const std::vector<Case> table = {
      {"Documents.Open=0x800A1066,Application.Visible=0x80004005",
       {{{ObjectKind::documents, u"open"}, failed}, {{ObjectKind::application, u"visible"}, E_FAIL}},
       0},
      {" document . SaveAs = 800a1066 ,,", {{{ObjectKind::document, u"saveas"}, failed}}, 0},
      {"Documents.Open", {}, 1},
      {"Window.Close=0x80004005", {}, 1},
      {"Document.=0x80004005", {}, 1},
      {"Document.Close=0x00000001", {}, 1},
      {"Document.Close=0xZZ,Document.Close=0x1800A1066", {}, 2},
      {"Document.Close=0x80004005,Documents.Add=nope", {{{ObjectKind::document, u"close"}, E_FAIL}}, 1},
  };
  for (const Case& c : table) {
    std::vector<std::string> problems;
    EXPECT_EQ(parseFaults(c.text, problems), c.expected) << c.text;
    EXPECT_EQ(problems.size(), c.problems) << c.text;
  }
}

TEST_F(Standin, DocumentsOutliveTheApplicationOnlyAsFailingObjects) {
  const auto open = object(documents.get(), u"Add", Kind::method);
  documents.reset();
  point.reset();
  app.reset();
  EXPECT_EQ(sink.references, 1u);
  EXPECT_EQ(referencesOf(open.get()), 1u);
  EXPECT_EQ(call(open.get(), u"FullName", Kind::get), kServerUnavailable);
}

}  // namespace
}  // namespace ormid::standin::testing
