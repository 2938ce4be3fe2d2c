// The hand-off between the reader thread and the main thread through a real
// command window and message loop, and the rolling log.
#include "host/core/core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "host/core/log.h"

namespace ormid {
namespace {

std::size_t contentSeen = 0;

std::intptr_t commandProcedure(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) {
  if (message >= openEditorMessage && message <= createDocumentMessage) {
    serveCommand(message, [](Command& command) {
      contentSeen = command.inputs.contentFile.size();
      command.outputs.document = "QUJD";
      command.outputs.description = u"described";
      return true;
    });
  }
  return platform::defaultWindowProcedure(window, message, wParam, lParam);
}

TEST(HandOff, RunsTheCommandOnTheLoopThreadAndKeepsNothingOfIt) {
  HostCore& c = core();
  ASSERT_TRUE(platform::registerWindowClass("ormidHandOffTest", commandProcedure));
  c.commandWindow = platform::createHiddenWindow("ormidHandOffTest");
  ASSERT_NE(c.commandWindow, nullptr);
  c.eventEndProcessing = platform::ManualResetEvent::create(nullptr);
  c.mainThread.bindToCurrentThread();

  CommandOutputs outputs;
  auto reader = platform::Thread::start([&] {
    handOff(getDocumentMessage, CommandInputs{"dir/", "a", std::string(1 << 20, 'x'), false}, outputs);
    platform::postMessage(core().commandWindow, endOfInputMessage, 0, 0);
    return 0u;
  });
  ASSERT_TRUE(reader);
  platform::MessageLoop loop;
  while (loop.getMessage() > 0 && loop.message() != endOfInputMessage) loop.dispatch();
  ASSERT_TRUE(reader->waitFor(5000));
  EXPECT_EQ(contentSeen, 1u << 20);
  EXPECT_EQ(outputs.result, u"success");
  EXPECT_EQ(outputs.description, u"described");
  EXPECT_EQ(outputs.document, "QUJD");
  {
    ScopedLock lock(c.lock);
    EXPECT_FALSE(c.command.has_value()) << "the command and its content are gone";
  }
  // Content travels back only for the commands that return a document; a
  // command that cannot be posted is answered at once.
  const platform::WindowHandle window = std::exchange(c.commandWindow, nullptr);
  CommandOutputs unposted;
  handOff(saveDocumentMessage, CommandInputs{"dir/", "a", "", false}, unposted);
  EXPECT_EQ(unposted.result, u"error");
  c.commandWindow = window;
  EXPECT_FALSE(serveCommand(saveDocumentMessage, [](Command&) { return true; })) << "no command waits";
}

std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Log, RollsAtItsSizeKeepsTenFilesAndCutsLongerRecords) {
  const std::filesystem::path dir =
      std::filesystem::path(::testing::TempDir()) / ("ormid-log-" + std::to_string(std::random_device()()));
  std::filesystem::create_directories(dir);
  log::init((dir / "OrmidDocEditor.log").string(), 6, 4000, 10);
  for (int i = 0; i < 300; ++i) ORMID_LOG(debug, "test") << "record " << i << std::string(100, '.');
  log::write(Severity::verbose, "test", 1, "Read message: ", std::string(9000, 'L'));
  log::flush();

  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
    EXPECT_LE(entry.file_size(), 4000u) << names.back();
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"OrmidDocEditor.1.log", "OrmidDocEditor.2.log", "OrmidDocEditor.3.log",
                                      "OrmidDocEditor.4.log", "OrmidDocEditor.5.log", "OrmidDocEditor.6.log",
                                      "OrmidDocEditor.7.log", "OrmidDocEditor.8.log", "OrmidDocEditor.9.log",
                                      "OrmidDocEditor.log"}));
  EXPECT_NE(fileText(dir / "OrmidDocEditor.log").find("LLL ... (9000 bytes in all)"), std::string::npos);
  log::init({}, 0);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace ormid
