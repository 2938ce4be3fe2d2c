#include "standin/control.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "automation.h"
#include "ormid/com_registry.h"

namespace ormid::standin::testing {
namespace {

namespace fs = std::filesystem;

TEST(ControlLine, ParsesActionsAndRefusesTheRest) {
  using K = ControlAction::Kind;
  struct Case {
    std::string line;
    bool valid;
    K kind;
    std::u16string name;
    std::string content;
  };
  const std::vector<Case> table = {
      {"save /tmp/a b/c.docx", true, K::save, u"/tmp/a b/c.docx", ""},
      {"close /tmp/\xC3\xA9.docx", true, K::close, u"/tmp/\u00E9.docx", ""},
      {"edit /tmp/a b.docx aGVsbG8=", true, K::edit, u"/tmp/a b.docx", "hello"},
      {"edit /tmp/a.docx ", true, K::edit, u"/tmp/a.docx", ""},
      {"quit", true, K::quit, u"", ""},
      {"activate", true, K::activate, u"", ""},
      {"quit now", false, K::quit, u"", ""},
      {"save ", false, K::save, u"", ""},
      {"close /tmp/\xFF.docx", false, K::close, u"", ""},
      {"edit /tmp/a.docx", false, K::edit, u"", ""},
      {"edit /tmp/a.docx a$==", false, K::edit, u"", ""},
      {"", false, K::save, u"", ""},
  };
  for (const Case& c : table) {
    std::string problem;
    const auto action = parseControlLine(c.line, problem);
    ASSERT_EQ(action.has_value(), c.valid) << c.line;
    if (!action) {
      EXPECT_FALSE(problem.empty()) << c.line;
      continue;
    }
    EXPECT_EQ(action->kind, c.kind) << c.line;
    EXPECT_EQ(action->fullName, c.name) << c.line;
    EXPECT_EQ(action->content, c.content) << c.line;
  }
}

// The host's message loop, as the module sees it: tasks queue up and the test runs them.
struct TaskQueue {
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<std::pair<void (*)(void*), void*>> tasks;
};
TaskQueue gQueue;

void postTask(void (*run)(void*), void* context) {
  std::lock_guard lock(gQueue.mutex);
  gQueue.tasks.emplace_back(run, context);
  gQueue.posted.notify_all();
}

void noLog(int, const char*, const char*) {}

// Waits (without a time assertion) until `count` tasks are queued, then runs them here.
void runTasks(std::size_t count) {
  std::deque<std::pair<void (*)(void*), void*>> ready;
  {
    std::unique_lock lock(gQueue.mutex);
    ASSERT_TRUE(
        gQueue.posted.wait_for(lock, std::chrono::seconds(20), [&] { return gQueue.tasks.size() >= count; }))
        << "only " << gQueue.tasks.size() << " of " << count << " actions arrived";
    ready.swap(gQueue.tasks);
  }
  EXPECT_EQ(ready.size(), count);
  for (auto& [run, context] : ready) run(context);
}

void writeToFifo(const std::string& fifo, const std::string& text) {
  const int fd = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
}

class StandinModule : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ormid-control-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    fifo = dir + "/control";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    setenv("ORMID_EDITOR", "standin", 1);
    com::setModuleHost(OrmidModuleHost{ORMID_MODULE_HOST_VERSION, postTask, noLog});
    CLSID clsid{};
    if (FAILED(CLSIDFromProgID(u"Word.Application", &clsid)))
      GTEST_SKIP() << "the stand-in module is not built";
  }
  void TearDown() override {
    unsetenv("ORMID_STANDIN_CONTROL");
    unsetenv("ORMID_STANDIN_FAIL");
    unsetenv("ORMID_EDITOR");
    fs::remove_all(dir);
  }

  ComPtr<IDispatch> create() {
    ComPtr<IDispatch> app;
    EXPECT_EQ(CoCreateInstance(com::CLSID_WordApplication, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               app.putVoid()),
              S_OK);
    return app;
  }

  std::string dir;
  std::string fifo;
};

TEST_F(StandinModule, PerformsUserActionsOnTheMainThreadWithTheirEvents) {
  setenv("ORMID_STANDIN_CONTROL", fifo.c_str(), 1);
  auto app = create();
  ASSERT_TRUE(app);
  RecordingSink sink;
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  ASSERT_EQ(app.queryInterface(IID_IConnectionPointContainer, container), S_OK);
  ASSERT_EQ(container->FindConnectionPoint(kApplicationEventsIid, point.put()), S_OK);
  ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);

  const std::string name = dir + "/with space.docx";
  std::ofstream(name, std::ios::binary) << "old";
  const std::u16string wide(name.begin(), name.end());
  const auto documents = object(app.get(), u"Documents", Kind::get);
  ASSERT_TRUE(object(documents.get(), u"Open", Kind::method, args(Variant::string(wide))));

  // The last line has no newline: it counts once the writer has gone.
  writeToFifo(fifo, "edit " + name + " bmV3IGNvbnRlbnQ=\nsave " + name + "\nsave " + dir +
                        "/not-open.docx\nbogus line\nclose " + name);
  runTasks(5);
  std::stringstream saved;
  saved << std::ifstream(name, std::ios::binary).rdbuf();
  EXPECT_EQ(saved.str(), "new content");
  EXPECT_EQ(count(documents.get()), 0);

  // The FIFO is read again for the next writer.
  writeToFifo(fifo, "activate\r\ndeactivate\nquit\n");
  runTasks(3);
  const std::vector<DISPID> expected = {kDocumentOpenEvent,        kDocumentBeforeSaveEvent,
                                        kDocumentBeforeCloseEvent, kWindowActivateEvent,
                                        kWindowDeactivateEvent,    kQuitEvent};
  EXPECT_EQ(sink.ids(), expected);
  EXPECT_EQ(sink.events[3].types, (std::vector<VARTYPE>{VT_EMPTY, VT_EMPTY})) << "no document to show";
  EXPECT_EQ(call(app.get(), u"Visible", Kind::get), kServerUnavailable);
  EXPECT_EQ(sink.references, 1u);

  // An action read for an application that is gone by the time it runs is dropped.
  auto next = create();
  writeToFifo(fifo, "activate\n");
  {
    std::unique_lock lock(gQueue.mutex);
    gQueue.posted.wait_for(lock, std::chrono::seconds(20), [] { return !gQueue.tasks.empty(); });
  }
  next.reset();
  runTasks(1);
}

TEST_F(StandinModule, TakesFaultsFromTheEnvironment) {
  setenv("ORMID_STANDIN_FAIL", "Documents.Add=0x800A1066,not a fault,Application.Visible=0x80004005", 1);
  auto app = create();
  ASSERT_TRUE(app);
  const auto documents = object(app.get(), u"Documents", Kind::get);
  EXPECT_EQ(call(documents.get(), u"Add", Kind::method), kCommandFailed);
  EXPECT_EQ(call(app.get(), u"Visible", Kind::get), E_FAIL);
  EXPECT_EQ(call(app.get(), u"Visible", Kind::put, args(Variant::boolean(true))), E_FAIL);
  EXPECT_EQ(count(documents.get()), 0);
}

}  // namespace
}  // namespace ormid::standin::testing
