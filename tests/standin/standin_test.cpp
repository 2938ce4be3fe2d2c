// The stand-in word processor driven the way the host drives it: late-bound
// calls, an event sink, injected faults and user actions through a FIFO.
#include "standin/standin.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <tuple>

#include "ormid/com_ptr.h"
#include "standin/control.h"

namespace ormid::standin {
namespace {

namespace fs = std::filesystem;
using com::ComPtr;
using com::Variant;

enum class Kind { get, put, method };

// Looks the member up by name and calls it, arguments in call order.
HRESULT call(IDispatch* target, std::u16string name, Kind kind = Kind::get, std::vector<Variant> args = {},
             Variant* result = nullptr) {
  LPOLESTR names[] = {name.data()};
  DISPID id = 0;
  if (HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id); FAILED(hr)) {
    EXPECT_TRUE(hr != DISP_E_UNKNOWNNAME || id == DISPID_UNKNOWN) << "the id of an unknown name";
    return hr;
  }
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(*it->get());
  DISPID putId = DISPID_PROPERTYPUT;
  const bool put = kind == Kind::put;
  DISPPARAMS params{reversed.data(), put ? &putId : nullptr, static_cast<UINT>(reversed.size()),
                    put ? 1u : 0u};
  const WORD flags = put ? DISPATCH_PROPERTYPUT : kind == Kind::get ? DISPATCH_PROPERTYGET : DISPATCH_METHOD;
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result ? result->put() : nullptr,
                        nullptr, nullptr);
}

// The result of a call that has to succeed.
Variant result(IDispatch* target, const std::u16string& name, Kind kind = Kind::get,
               std::vector<Variant> args = {}) {
  Variant value;
  EXPECT_EQ(call(target, name, kind, std::move(args), &value), S_OK) << std::string(name.begin(), name.end());
  return value;
}

ComPtr<IDispatch> object(IDispatch* target, const std::u16string& name, Kind kind = Kind::get,
                         std::vector<Variant> args = {}) {
  return result(target, name, kind, std::move(args)).dispatchValue();
}

std::u16string fullName(IDispatch* document) {
  Variant name;
  if (FAILED(call(document, u"FullName", Kind::get, {}, &name)) || name.type() != VT_BSTR) return u"?";
  return com::bstrText(name.get()->bstrVal);
}

LONG count(IDispatch* documents) {
  const Variant value = result(documents, u"Count");
  EXPECT_EQ(value.type(), VT_I4);
  return value.get()->lVal;
}

std::vector<Variant> args(auto&&... values) {
  std::vector<Variant> list;
  (list.push_back(std::move(values)), ...);
  return list;
}

std::vector<Variant> dontSave() {
  return args(Variant::integer(0), Variant::integer(1), Variant::boolean(false));
}

ULONG referencesOf(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

std::string contentOf(const std::string& path) {
  std::stringstream all;
  all << std::ifstream(path, std::ios::binary).rdbuf();
  return all.str();
}

// Records each event with its argument types in call order and the full name
// of its document argument; `onEvent` may act during the call.
struct RecordingSink final : IDispatch {
  struct Event {
    DISPID id;
    std::vector<VARTYPE> types;
    std::u16string document;
    bool operator==(const Event&) const = default;
    friend void PrintTo(const Event& e, std::ostream* out) {
      *out << e.id << ::testing::PrintToString(e.types) << std::string(e.document.begin(), e.document.end());
    }
  };
  std::vector<Event> events;
  std::function<void(DISPID id, DISPPARAMS& params)> onEvent;
  ULONG references = 1;

  std::vector<DISPID> ids() const {
    std::vector<DISPID> list;
    for (const Event& e : events) list.push_back(e.id);
    return list;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    *object = iid == IID_IUnknown || iid == IID_IDispatch || iid == kApplicationEventsIid ? this : nullptr;
    if (*object) AddRef();
    return *object ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }  // lives on the test's stack
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    EXPECT_EQ(iid, IID_NULL);
    EXPECT_EQ(flags, DISPATCH_METHOD);
    EXPECT_EQ(result, nullptr);
    Event event{id, {}, {}};
    for (UINT i = params->cArgs; i-- > 0;) event.types.push_back(params->rgvarg[i].vt);
    if (params->cArgs > 0 && params->rgvarg[params->cArgs - 1].vt == VT_DISPATCH) {
      event.document = fullName(params->rgvarg[params->cArgs - 1].pdispVal);
    }
    events.push_back(event);
    if (onEvent) onEvent(id, *params);
    return E_FAIL;  // a failing sink changes nothing
  }
};

class Standin : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ormid-standin-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    start({});
  }

  void TearDown() override {
    release();
    EXPECT_EQ(sink.references, 1u) << "the application let go of the sink";
    fs::remove_all(dir);
  }

  // Drops every reference the test holds on the application.
  void release() {
    documents.reset();
    point.reset();
    app.reset();
  }

  void start(const ApplicationOptions& options) {
    release();
    ASSERT_EQ(createApplication(options, IID_IDispatch, app.putVoid()), S_OK);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(app.queryInterface(IID_IConnectionPointContainer, container), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(kApplicationEventsIid, point.put()), S_OK);
    ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
    documents = object(app.get(), u"Documents");
  }

  // The full name of a file in the test's directory, written first when `content` is given.
  std::u16string path(const std::string& name, const char* content = nullptr) {
    const std::string full = dir + "/" + name;
    if (content) std::ofstream(full, std::ios::binary) << content;
    return {full.begin(), full.end()};
  }

  std::string dir;
  RecordingSink sink;
  DWORD cookie = 0;
  ComPtr<IDispatch> app;
  ComPtr<IConnectionPoint> point;
  ComPtr<IDispatch> documents;
};

TEST_F(Standin, ObjectModelHappyPath) {
  EXPECT_EQ(result(app.get(), u"Visible").get()->boolVal, VARIANT_FALSE);
  EXPECT_EQ(call(app.get(), u"Visible", Kind::put, args(Variant::boolean(true))), S_OK);
  EXPECT_EQ(result(app.get(), u"Visible").get()->boolVal, VARIANT_TRUE);
  EXPECT_EQ(call(app.get(), u"WindowState", Kind::put, args(Variant::integer(1))), S_OK);
  EXPECT_EQ(result(app.get(), u"WindowState").get()->lVal, 1);

  const std::u16string original = path("a b.docx", "original");
  const auto opened = object(documents.get(), u"Open", Kind::method, args(Variant::string(original)));
  const auto first = object(documents.get(), u"Add", Kind::method);
  const auto second = object(documents.get(), u"Add", Kind::method);
  EXPECT_EQ(fullName(opened.get()), original);
  EXPECT_EQ(fullName(first.get()), u"Document1");
  EXPECT_EQ(fullName(second.get()), u"Document2");
  EXPECT_EQ(count(documents.get()), 3);
  Variant i2;
  i2.get()->vt = VT_I2;
  i2.get()->iVal = 3;
  EXPECT_EQ(object(documents.get(), u"Item", Kind::method, args(Variant::i4(1))).get(), opened.get());
  EXPECT_EQ(object(documents.get(), u"Item", Kind::method, args(Variant::integer(2))).get(), first.get());
  EXPECT_EQ(object(documents.get(), u"Item", Kind::method, args(std::move(i2))).get(), second.get());
  // Opening an open document hands back the same one.
  EXPECT_EQ(object(documents.get(), u"Open", Kind::method, args(Variant::string(original))).get(),
            opened.get());

  // SaveAs with a path saves there and renames; without one it saves in place.
  EXPECT_EQ(call(first.get(), u"SaveAs", Kind::method, args(Variant::string(path("new.docx")))), S_OK);
  EXPECT_EQ(fullName(first.get()), path("new.docx"));
  EXPECT_TRUE(fs::exists(dir + "/new.docx"));
  fs::remove(dir + "/a b.docx");
  EXPECT_EQ(call(opened.get(), u"SaveAs", Kind::method), S_OK);
  EXPECT_EQ(contentOf(dir + "/a b.docx"), "original");
  EXPECT_EQ(call(second.get(), u"SaveAs", Kind::method), kCommandFailed) << "never saved";
  EXPECT_EQ(call(second.get(), u"SaveAs", Kind::method, args(Variant::string(original))), kCommandFailed)
      << "the name of another open document";

  const ULONG held = referencesOf(opened.get());
  EXPECT_EQ(call(opened.get(), u"Close", Kind::method, dontSave()), S_OK);
  EXPECT_EQ(referencesOf(opened.get()), held - 1) << "the collection let go of it";
  EXPECT_EQ(call(opened.get(), u"FullName"), kObjectDeleted);
  EXPECT_EQ(call(documents.get(), u"Open", Kind::method, args(Variant::string(path("missing.docx")))),
            kFileNotFound);
  EXPECT_EQ(count(documents.get()), 2);
}

TEST_F(Standin, RefusesCallsThatDoNotFitTheMember) {
  const auto document = object(documents.get(), u"Add", Kind::method);
  IDispatch* const application = app.get();
  EXPECT_EQ(call(application, u"Visible", Kind::method), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(call(document.get(), u"FullName", Kind::put, args(Variant::i4(1))), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(call(application, u"Activate", Kind::method, args(Variant::i4(1))), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(call(application, u"Visible", Kind::put, args(Variant::string(u"yes"))), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(call(application, u"WindowState", Kind::put, args(Variant::integer(7))), E_INVALIDARG);
  EXPECT_EQ(call(documents.get(), u"Item", Kind::method, args(Variant::string(u"Document1"))),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(call(documents.get(), u"Item", Kind::method, args(Variant::i4(0))), DISP_E_BADINDEX);
  EXPECT_EQ(call(document.get(), u"Close", Kind::method, args(Variant::integer(5))), E_INVALIDARG);
  EXPECT_EQ(call(application, u"Nope"), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(count(documents.get()), 1);
  // Names ignore ASCII case.
  EXPECT_EQ(count(object(application, u"DOCUMENTS").get()), 1);
}

TEST_F(Standin, EventsCarryTheirArgumentsInOrderAndMayCancel) {
  const std::u16string original = path("doc.docx", "x");
  const auto opened = object(documents.get(), u"Open", Kind::method, args(Variant::string(original)));
  const auto added = object(documents.get(), u"Add", Kind::method);
  bool cancel = true;
  bool writtenBeforeEvent = true;
  sink.onEvent = [&](DISPID id, DISPPARAMS& params) {
    if (id == kDocumentBeforeSaveEvent) writtenBeforeEvent = fs::exists(dir + "/saved.docx");
    if (cancel && (id == kDocumentBeforeSaveEvent || id == kDocumentBeforeCloseEvent)) {
      *params.rgvarg[0].pboolVal = VARIANT_TRUE;  // the last argument
    }
  };
  EXPECT_EQ(call(added.get(), u"SaveAs", Kind::method, args(Variant::string(path("saved.docx")))),
            kCommandFailed);
  EXPECT_EQ(call(opened.get(), u"Close", Kind::method, dontSave()), kCommandFailed);
  EXPECT_FALSE(fs::exists(dir + "/saved.docx"));
  EXPECT_EQ(count(documents.get()), 2);
  cancel = false;
  EXPECT_EQ(call(added.get(), u"SaveAs", Kind::method, args(Variant::string(path("saved.docx")))), S_OK);
  EXPECT_FALSE(writtenBeforeEvent);
  EXPECT_EQ(call(app.get(), u"Activate", Kind::method), S_OK);
  EXPECT_EQ(call(opened.get(), u"Close", Kind::method, dontSave()), S_OK);
  EXPECT_EQ(call(app.get(), u"Quit", Kind::method, dontSave()), S_OK);

  using Types = std::vector<VARTYPE>;
  constexpr VARTYPE kBoolRef = VT_BOOL | VT_BYREF;
  const RecordingSink::Event save{kDocumentBeforeSaveEvent, Types{VT_DISPATCH, kBoolRef, kBoolRef},
                                  u"Document1"};
  const RecordingSink::Event close{kDocumentBeforeCloseEvent, Types{VT_DISPATCH, kBoolRef}, original};
  const std::vector<RecordingSink::Event> expected = {
      {kDocumentOpenEvent, Types{VT_DISPATCH}, original},
      {kNewDocumentEvent, Types{VT_DISPATCH}, u"Document1"},
      save,
      close,
      save,
      {kWindowActivateEvent, Types{VT_DISPATCH, VT_DISPATCH}, path("saved.docx")},
      close,
      {kQuitEvent, Types{}, u""},
  };
  EXPECT_EQ(sink.events, expected);
}

TEST_F(Standin, SinksMayUnadviseAndReleaseEverythingDuringAnEvent) {
  RecordingSink second;
  DWORD secondCookie = 0;
  ASSERT_EQ(point->Advise(&second, &secondCookie), S_OK);
  EXPECT_EQ(cookie, 1u);
  EXPECT_EQ(secondCookie, 2u);
  EXPECT_EQ(point->Unadvise(99), CONNECT_E_NOCONNECTION);
  // As a client does on quit: unadvise everyone and drop every pointer, in the middle of the event.
  sink.onEvent = [&](DISPID, DISPPARAMS&) {
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(point->Unadvise(secondCookie), S_OK);
    release();
  };
  IDispatch* application = app.get();
  EXPECT_EQ(call(application, u"Quit", Kind::method), S_OK);
  EXPECT_EQ(sink.ids(), std::vector<DISPID>{kQuitEvent});
  EXPECT_TRUE(second.events.empty()) << "unadvised before its turn";
  EXPECT_EQ(second.references, 1u);
}

TEST_F(Standin, EverythingFailsAfterQuitOrOnceTheApplicationIsGone) {
  const auto document = object(documents.get(), u"Add", Kind::method);
  ASSERT_EQ(call(app.get(), u"Quit", Kind::method, dontSave()), S_OK);
  EXPECT_EQ(call(app.get(), u"Visible"), kServerUnavailable);
  EXPECT_EQ(call(documents.get(), u"Count"), kServerUnavailable);
  EXPECT_EQ(call(document.get(), u"FullName"), kServerUnavailable);
  EXPECT_EQ(point->Unadvise(cookie), kServerUnavailable);

  // A new application starts afresh; its documents outlive it only as failing objects.
  start({});
  EXPECT_EQ(result(app.get(), u"Visible").get()->boolVal, VARIANT_FALSE);
  EXPECT_EQ(count(documents.get()), 0);
  const auto added = object(documents.get(), u"Add", Kind::method);
  EXPECT_EQ(fullName(added.get()), u"Document1");
  release();
  EXPECT_EQ(sink.references, 1u);
  EXPECT_EQ(referencesOf(added.get()), 1u);
  EXPECT_EQ(call(added.get(), u"FullName"), kServerUnavailable);
}

TEST_F(Standin, InjectedFaults) {
  std::vector<std::string> problems;
  const Faults faults = parseFaults(
      "Documents.Add=0x800A1066, application . VISIBLE = 80004005 ,,Documents.Open,Window.Close=0x80004005,"
      "Document.=0x80004005,Document.Close=0x00000001,Document.Close=0xZZ,Document.Close=0x1800A1066",
      problems);
  EXPECT_EQ(faults, (Faults{{{ObjectKind::documents, u"add"}, kCommandFailed},
                            {{ObjectKind::application, u"visible"}, E_FAIL}}));
  EXPECT_EQ(problems.size(), 6u) << "one for each malformed item";
  start({faults, {}, {}});
  EXPECT_EQ(call(documents.get(), u"Add", Kind::method), kCommandFailed);
  EXPECT_EQ(call(app.get(), u"Visible"), E_FAIL);
  EXPECT_EQ(call(app.get(), u"Visible", Kind::put, args(Variant::boolean(true))), E_FAIL);
  EXPECT_EQ(count(documents.get()), 0);
}

TEST(ControlLine, ParsesActionsAndRefusesTheRest) {
  using K = ControlAction::Kind;
  const std::vector<std::tuple<std::string, K, std::u16string, std::string>> valid = {
      {"save /tmp/a b/c.docx", K::save, u"/tmp/a b/c.docx", ""},
      {"close /tmp/\xC3\xA9.docx", K::close, u"/tmp/\u00E9.docx", ""},
      {"edit /tmp/a b.docx aGVsbG8=", K::edit, u"/tmp/a b.docx", "hello"},
      {"edit /tmp/a.docx ", K::edit, u"/tmp/a.docx", ""},
      {"quit", K::quit, u"", ""},
  };
  std::string problem;
  for (const auto& [line, kind, name, content] : valid) {
    const auto action = parseControlLine(line, problem);
    ASSERT_TRUE(action) << line << ": " << problem;
    EXPECT_EQ(action->kind, kind) << line;
    EXPECT_EQ(action->fullName, name) << line;
    EXPECT_EQ(action->content, content) << line;
  }
  for (const char* line : {"quit now", "quit ", "save ", "close /tmp/\xFF.docx", "edit /tmp/a.docx",
                           "edit /tmp/a.docx a$==", ""}) {
    problem.clear();
    EXPECT_FALSE(parseControlLine(line, problem)) << line;
    EXPECT_FALSE(problem.empty()) << line;
  }
}

// The thread of the automation calls, as the application sees it: tasks queue
// up and the test runs them.
struct TaskQueue {
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<std::function<void()>> tasks;

  void post(std::function<void()> task) {
    std::lock_guard lock(mutex);
    tasks.push_back(std::move(task));
    posted.notify_all();
  }
  // Waits (without a time assertion) until `count` tasks are queued, then runs them when asked to.
  void run(std::size_t count, bool perform = true) {
    std::deque<std::function<void()>> ready;
    {
      std::unique_lock lock(mutex);
      ASSERT_TRUE(posted.wait_for(lock, std::chrono::seconds(20), [&] { return tasks.size() >= count; }))
          << "only " << tasks.size() << " of " << count << " actions arrived";
      if (!perform) return;
      ready.swap(tasks);
    }
    EXPECT_EQ(ready.size(), count);
    for (auto& task : ready) task();
  }
};

TEST_F(Standin, PerformsUserActionsOnTheAutomationThreadWithTheirEvents) {
  const std::string fifo = dir + "/control";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  TaskQueue queue;
  const ApplicationOptions options{
      {}, fifo, [&queue](std::function<void()> task) { queue.post(std::move(task)); }};
  start(options);
  const std::string name = dir + "/with space.docx";
  ASSERT_TRUE(
      object(documents.get(), u"Open", Kind::method, args(Variant::string(path("with space.docx", "old")))));

  // The last line has no newline: it counts once the writer has gone.
  ASSERT_TRUE(std::ofstream(fifo) << "edit " + name + " bmV3IGNvbnRlbnQ=\nsave " + name + "\nsave " + dir +
                                         "/not-open.docx\nbogus line\nclose " + name);
  queue.run(5);
  EXPECT_EQ(contentOf(name), "new content");
  EXPECT_EQ(count(documents.get()), 0);
  // The FIFO is read again for the next writer.
  ASSERT_TRUE(std::ofstream(fifo) << "activate\r\ndeactivate\nquit\n");
  queue.run(3);
  const std::vector<DISPID> expected = {kDocumentOpenEvent,        kDocumentBeforeSaveEvent,
                                        kDocumentBeforeCloseEvent, kWindowActivateEvent,
                                        kWindowDeactivateEvent,    kQuitEvent};
  EXPECT_EQ(sink.ids(), expected);
  EXPECT_EQ(sink.events[3].types, (std::vector<VARTYPE>{VT_EMPTY, VT_EMPTY})) << "no document to show";
  EXPECT_EQ(call(app.get(), u"Visible"), kServerUnavailable);

  // An action read for an application that is gone by the time it runs is dropped.
  start(options);
  ASSERT_TRUE(std::ofstream(fifo) << "activate\n");
  queue.run(1, false);
  release();
  queue.run(1);
  EXPECT_EQ(sink.ids().size(), expected.size());
}

}  // namespace
}  // namespace ormid::standin
