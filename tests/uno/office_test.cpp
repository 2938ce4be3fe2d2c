// Drives a real, headless office through the automation server module, loaded
// and called the way the host does it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <thread>
#include <vector>

#include "host/text/text.h"
#include "ormid/com_ptr.h"
#include "tests/uno/office_host.h"

namespace ormid::uno {
namespace {

using com::AdviseToken;
using com::Bstr;
using com::ComPtr;
using com::Variant;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr IID kApplicationEvents = {0x000209FE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Word's event numbers.
constexpr DISPID kQuit = 2, kOpen = 4, kBeforeClose = 6, kBeforeSave = 8, kNew = 9;

constexpr char kWords[] = "Ormid sample words 42";

// Runs posted tasks until `done` holds or the time is up.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    if (!runPostedTasks()) std::this_thread::sleep_for(10ms);
  }
  return true;
}

template <class... Values>
std::vector<Variant> list(Values... values) {
  std::vector<Variant> result;
  (result.push_back(std::move(values)), ...);
  return result;
}

// A late-bound call, as the host makes it.
HRESULT call(IDispatch* target, WORD kind, std::u16string_view name, std::vector<Variant> args = {},
             Variant* result = nullptr) {
  Bstr text(name);
  LPOLESTR names[] = {text.get()};
  DISPID id = 0;
  if (const HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id); FAILED(hr)) {
    return hr;
  }
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(**it);
  DISPID put = DISPID_PROPERTYPUT;
  const bool isPut = kind == DISPATCH_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), isPut ? &put : nullptr, static_cast<UINT>(reversed.size()),
                    isPut ? 1u : 0u};
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, kind, &params, result ? result->put() : nullptr,
                        nullptr, nullptr);
}

ComPtr<IDispatch> object(IDispatch* target, WORD kind, std::u16string_view name,
                         std::vector<Variant> args = {}) {
  Variant result;
  if (FAILED(call(target, kind, name, std::move(args), &result))) return nullptr;
  return result.dispatchValue();
}

std::u16string fullName(IDispatch* document) {
  Variant result;
  if (FAILED(call(document, DISPATCH_PROPERTYGET, u"FullName", {}, &result)) || result.type() != VT_BSTR) {
    return u"<failed>";
  }
  const BSTR text = result.get()->bstrVal;
  return std::u16string(com::u16(text), SysStringLen(text));
}

std::u16string wide(const std::string& text) { return utf8ToWideReplacing(text); }

// The event sink: records what arrives, and reads the document's name from
// inside the event as the host's listener does.
struct Event {
  DISPID id;
  std::vector<VARTYPE> types;  // call order
  std::u16string name;
  bool onTestThread;
};

class Sink final : public IDispatch {
 public:
  std::vector<Event> events;
  std::thread::id thread = std::this_thread::get_id();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    Event event{id, {}, {}, std::this_thread::get_id() == thread};
    for (UINT i = params->cArgs; i > 0; --i) event.types.push_back(params->rgvarg[i - 1].vt);
    if (params->cArgs > 0 && params->rgvarg[params->cArgs - 1].vt == VT_DISPATCH) {
      event.name = fullName(params->rgvarg[params->cArgs - 1].pdispVal);
    }
    events.push_back(std::move(event));
    return S_OK;
  }

  int count(DISPID id) const {
    return static_cast<int>(
        std::count_if(events.begin(), events.end(), [id](const Event& e) { return e.id == id; }));
  }
  const Event* last(DISPID id) const {
    const auto found =
        std::find_if(events.rbegin(), events.rend(), [id](const Event& e) { return e.id == id; });
    return found == events.rend() ? nullptr : &*found;
  }
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t le(const std::string& data, std::size_t at, int bytes) {
  std::uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(data.at(at + i));
  return value;
}

// One member of a zip file, inflated; empty when absent.
std::string zipEntry(const std::string& zip, const std::string& wanted) {
  const std::size_t end = zip.rfind(std::string("PK\x05\x06", 4));
  if (end == std::string::npos) return {};
  std::size_t at = le(zip, end + 16, 4);
  for (std::uint32_t n = le(zip, end + 10, 2); n > 0; --n) {
    const std::uint32_t method = le(zip, at + 10, 2), packed = le(zip, at + 20, 4),
                        size = le(zip, at + 24, 4), nameLength = le(zip, at + 28, 2);
    if (zip.substr(at + 46, nameLength) == wanted) {
      const std::uint32_t local = le(zip, at + 42, 4);
      const std::size_t data = local + 30 + le(zip, local + 26, 2) + le(zip, local + 28, 2);
      if (method == 0) return zip.substr(data, size);
      std::string out(size, '\0');
      z_stream stream{};
      inflateInit2(&stream, -MAX_WBITS);
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zip.data() + data));
      stream.avail_in = packed;
      stream.next_out = reinterpret_cast<Bytef*>(out.data());
      stream.avail_out = size;
      inflate(&stream, Z_FINISH);
      inflateEnd(&stream);
      return out;
    }
    at += 46 + nameLength + le(zip, at + 30, 2) + le(zip, at + 32, 2);
  }
  return {};
}

bool mentions(const std::string& path, const std::string& entry, const std::string& text) {
  return zipEntry(readFile(path), entry).find(text) != std::string::npos;
}

class OfficeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    alarm(100);  // a hung office must not hang the suite
    create_ = loadModule();
    if (!create_) GTEST_SKIP() << "no office installation";
    char pattern[] = "/tmp/ormid-uno-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    dir_ = pattern;
    setenv("TMPDIR", dir_.c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(start());
  }

  void TearDown() override {
    release();
    if (create_) {
      const std::string socket =
          "OSL_PIPE_" + std::to_string(getuid()) + "_ormid-" + std::to_string(getpid()) + "-";
      for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
        EXPECT_NE(entry.path().filename().string().rfind(socket, 0), 0u) << "left behind: " << entry.path();
      }
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
    alarm(0);
  }

  // A new application with its office, the sink advised on its events.
  void start() {
    sink_.events.clear();
    const auto begin = Clock::now();
    ASSERT_EQ(create_(&kHost, IID_IDispatch, app_.putVoid()), S_OK);
    startMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(app_.queryInterface(IID_IConnectionPointContainer, container), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(kApplicationEvents, point.put()), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&sink_, &cookie), S_OK);
    advise_ = AdviseToken(point, cookie);
    documents_ = object(app_.get(), DISPATCH_PROPERTYGET, u"Documents");
    ASSERT_TRUE(documents_);
    const auto children = officeChildren();
    ASSERT_EQ(children.size(), 1u);
    office_ = children[0];
  }

  // Lets go of the application: its office must end with it.
  void release() {
    documents_.reset();
    advise_.reset();
    app_.reset();
    runPostedTasks();  // those of an application that has gone do nothing
    if (create_) {
      EXPECT_TRUE(officeChildren().empty()) << "an office outlived its application";
    }
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  LONG count() {
    Variant result;
    EXPECT_EQ(call(documents_.get(), DISPATCH_PROPERTYGET, u"Count", {}, &result), S_OK);
    return result.type() == VT_I4 ? result.get()->lVal : -1;
  }
  ComPtr<IDispatch> open(const std::string& file) {
    return object(documents_.get(), DISPATCH_METHOD, u"Open", list(Variant::string(wide(file))));
  }
  HRESULT saveAs(IDispatch* document, const std::string& file) {
    return call(document, DISPATCH_METHOD, u"SaveAs", list(Variant::string(wide(file))));
  }
  // Close and Quit as the host calls them: no saving, original format, no routing.
  static std::vector<Variant> discarding() {
    return list(Variant::integer(0), Variant::integer(1), Variant::boolean(false));
  }
  HRESULT close(IDispatch* document) { return call(document, DISPATCH_METHOD, u"Close", discarding()); }
  ComPtr<IDispatch> textDocument(const std::string& name) {
    std::ofstream(path(name)) << kWords << "\n";
    return open(path(name));
  }

  OrmidCreateApplication create_ = nullptr;
  std::string dir_;
  ComPtr<IDispatch> app_;
  ComPtr<IDispatch> documents_;
  Sink sink_;
  AdviseToken advise_;
  pid_t office_ = 0;
  long long startMs_ = 0;
};

// Writes each word processing format and opens it again.
TEST_F(OfficeTest, SavesAndOpensEachFormat) {
  ComPtr<IDispatch> source = textDocument("words.txt");
  ASSERT_TRUE(source);
  const struct {
    std::string name;
    std::string magic;
    std::string entry;  // the zip member that holds the words
  } formats[] = {
      {"words.docx", "PK", "word/document.xml"},
      {"words.odt", "PK", "content.xml"},
      {"words.doc", "\xD0\xCF\x11\xE0", ""},
      {"words.rtf", "{\\rtf", ""},
  };
  for (const auto& format : formats) {
    SCOPED_TRACE(format.name);
    const int saves = sink_.count(kBeforeSave);
    ASSERT_EQ(saveAs(source.get(), path(format.name)), S_OK);
    // The save event reached the sink before the call returned, on this thread.
    ASSERT_EQ(sink_.count(kBeforeSave), saves + 1);
    EXPECT_TRUE(sink_.last(kBeforeSave)->onTestThread);
    EXPECT_EQ((sink_.last(kBeforeSave)->types),
              (std::vector<VARTYPE>{VT_DISPATCH, VT_BOOL | VT_BYREF, VT_BOOL | VT_BYREF}));
    EXPECT_EQ(fullName(source.get()), wide(path(format.name)));
    EXPECT_EQ(readFile(path(format.name)).substr(0, format.magic.size()), format.magic);
    if (!format.entry.empty()) {
      EXPECT_TRUE(mentions(path(format.name), format.entry, "sample words"));
    }

    // A copy opens as a document of its own (the original is open already).
    const std::string copy = path("copy of " + format.name);
    std::filesystem::copy_file(path(format.name), copy);
    ComPtr<IDispatch> reopened = open(copy);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(fullName(reopened.get()), wide(copy));
    EXPECT_EQ(count(), 2);
    ASSERT_EQ(close(reopened.get()), S_OK);
    ASSERT_NE(sink_.last(kBeforeClose), nullptr);
    EXPECT_EQ(sink_.last(kBeforeClose)->name, wide(copy));
    EXPECT_EQ(count(), 1);
  }
  // Saving in place keeps the document's format, also over a file that
  // changed since it was opened: the save is what was asked for.
  const std::string docx = path("copy of words.docx");
  ComPtr<IDispatch> loaded = open(docx);
  ASSERT_TRUE(loaded);
  const auto opened = std::filesystem::last_write_time(docx);
  std::ofstream(docx, std::ios::trunc) << "changed meanwhile";
  std::filesystem::last_write_time(docx, opened + 1h);
  ASSERT_EQ(call(loaded.get(), DISPATCH_METHOD, u"SaveAs"), S_OK);
  EXPECT_TRUE(mentions(docx, "word/document.xml", "sample words"));
  ASSERT_EQ(close(loaded.get()), S_OK);

  // Open events come from the office's own threads, after the call.
  EXPECT_TRUE(pumpUntil([&] { return sink_.count(kOpen) >= 5; }, 30s));
  EXPECT_EQ(sink_.count(kBeforeClose), 5);
  std::cout << "office started in " << startMs_ << " ms\n";
}

TEST_F(OfficeTest, NewDocumentTakesAnyNameAndTheEventsFollowIt) {
  ComPtr<IDispatch> document = object(documents_.get(), DISPATCH_METHOD, u"Add");
  ASSERT_TRUE(document);
  pumpUntil([&] { return sink_.count(kNew) > 0; }, 30s);
  ASSERT_EQ(sink_.count(kNew), 1);
  const std::u16string title = fullName(document.get());
  EXPECT_FALSE(title.empty());
  EXPECT_NE(title.front(), u'/');
  EXPECT_EQ(sink_.last(kNew)->name, title);
  // Never saved: there is no place to save it in.
  EXPECT_LT(call(document.get(), DISPATCH_METHOD, u"SaveAs"), 0);

  const std::string names[] = {"with space.docx", "Größe é 文書 😀.docx", "plain.odt"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ASSERT_EQ(saveAs(document.get(), path(name)), S_OK);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(path(name))));
    EXPECT_EQ(fullName(document.get()), wide(path(name)));
    EXPECT_EQ(sink_.last(kBeforeSave)->name.substr(0, 1), u"/");
  }
  EXPECT_EQ(close(document.get()), S_OK);
  EXPECT_EQ(sink_.last(kBeforeClose)->name, wide(path(names[2])));
  EXPECT_EQ(count(), 0);
  EXPECT_LT(call(document.get(), DISPATCH_METHOD, u"Save"), 0);  // closed

  // The non-ASCII name opens again, and is found under the name it was given.
  ComPtr<IDispatch> again = open(path(names[1]));
  ASSERT_TRUE(again);
  EXPECT_EQ(fullName(object(documents_.get(), DISPATCH_METHOD, u"Item", list(Variant::i4(1))).get()),
            wide(path(names[1])));
  // Opening it again hands out the same document...
  EXPECT_TRUE(open(path(names[1])));
  EXPECT_EQ(count(), 1);
  // ...unless the file was rewritten meanwhile: then its new content is shown.
  // The new time is set apart from the old one: a rewrite within the file
  // system's clock tick would keep the time it had.
  std::ofstream(path("other.txt")) << "Replacement text 7\n";
  ComPtr<IDispatch> other = open(path("other.txt"));
  ASSERT_TRUE(other);
  ASSERT_EQ(saveAs(other.get(), path("other.docx")), S_OK);
  ASSERT_EQ(close(other.get()), S_OK);
  const auto target = std::filesystem::u8path(path(names[1]));
  const auto before = std::filesystem::last_write_time(target);
  std::filesystem::copy_file(path("other.docx"), target, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::last_write_time(target, before + 2s);
  const int closes = sink_.count(kBeforeClose);
  ComPtr<IDispatch> reloaded = open(path(names[1]));
  ASSERT_TRUE(reloaded);
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(sink_.count(kBeforeClose), closes + 1);
  ASSERT_EQ(call(reloaded.get(), DISPATCH_METHOD, u"SaveAs"), S_OK);
  EXPECT_TRUE(mentions(path(names[1]), "word/document.xml", "Replacement text"));
}

TEST_F(OfficeTest, RefusesWhatItCannotOpenWithoutAsking) {
  std::string noise(4096, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919 + 13) % 251);
  std::ofstream(path("noise.docx"), std::ios::binary) << noise;
  std::ofstream(path("prose.docx")) << kWords;  // text under a word processing name
  const std::u16string paths[] = {
      wide(path("noise.docx")), wide(path("prose.docx")), wide(path("missing.docx")),
      wide(path("x")) + char16_t(0xD800) + u".docx",  // a lone surrogate
  };
  for (const std::u16string& file : paths) {
    SCOPED_TRACE(wideToUtf8(file));
    EXPECT_LT(call(documents_.get(), DISPATCH_METHOD, u"Open", list(Variant::string(file))), 0);
    EXPECT_EQ(count(), 0);
  }
  // Nothing shows up later either.
  pumpUntil([] { return false; }, 300ms);
  EXPECT_EQ(sink_.count(kOpen), 0);
  EXPECT_EQ(sink_.count(kBeforeClose), 0);
}

// Whether SIGPIPE is blocked in every thread but this one.
bool otherThreadsIgnoreBrokenPipes() {
  const std::string self = std::to_string(gettid());
  int others = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    if (task.path().filename() == self) continue;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigBlk:", 0) != 0) continue;
      if (!(std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGPIPE - 1)))) return false;
      ++others;
    }
  }
  return others > 0;
}

// However the office ends, the host hears of it once, with a close event
// for each open document where the office still says so, and nothing of the
// office is left once the application goes.
TEST_F(OfficeTest, TheOfficeEndsByQuitDeathOrRelease) {
  enum class End { quit, killed, released };
  for (const End end : {End::quit, End::killed, End::released}) {
    SCOPED_TRACE(static_cast<int>(end));
    if (!app_) {
      ASSERT_NO_FATAL_FAILURE(start());
    }
    ComPtr<IDispatch> document = textDocument("words.txt");
    ASSERT_TRUE(document);
    std::string profile;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      if (entry.path().filename().string().rfind("ormid-office-", 0) == 0) profile = entry.path();
    }
    EXPECT_FALSE(profile.empty()) << "the private profile lives in TMPDIR";

    if (end == End::quit) {
      ASSERT_EQ(call(app_.get(), DISPATCH_METHOD, u"Quit", discarding()), S_OK);
      // Reported before the call returns; its document closed on the way, with its name.
      EXPECT_EQ(sink_.count(kQuit), 1);
      ASSERT_EQ(sink_.count(kBeforeClose), 1);
      EXPECT_EQ(sink_.last(kBeforeClose)->name, wide(path("words.txt")));
      EXPECT_TRUE(officeChildren().empty());
      EXPECT_FALSE(std::filesystem::exists(profile));
    } else if (end == End::killed) {
      // Killed while calls go on: they start failing, and the host lives on.
      ASSERT_EQ(call(document.get(), DISPATCH_PROPERTYGET, u"FullName"), S_OK);
      std::thread killer([this] { kill(office_, SIGKILL); });
      const auto deadline = Clock::now() + 30s;
      while (Clock::now() < deadline && SUCCEEDED(call(document.get(), DISPATCH_PROPERTYGET, u"FullName"))) {
      }
      killer.join();
      EXPECT_TRUE(pumpUntil([&] { return sink_.count(kQuit) > 0; }, 30s));
      EXPECT_TRUE(sink_.last(kQuit) && sink_.last(kQuit)->onTestThread);
      EXPECT_LT(call(app_.get(), DISPATCH_PROPERTYGET, u"Visible"), 0);
    } else {
      // The connection's threads write to the office's pipe: an office that
      // dies under them must not take the host along.
      EXPECT_TRUE(otherThreadsIgnoreBrokenPipes());
    }
    if (end != End::released) {
      EXPECT_LT(call(document.get(), DISPATCH_METHOD, u"SaveAs"), 0);
      EXPECT_LT(call(documents_.get(), DISPATCH_PROPERTYGET, u"Count"), 0);
      pumpUntil([] { return false; }, 300ms);
      EXPECT_EQ(sink_.count(kQuit), 1);
    }
    document.reset();
    release();
    EXPECT_FALSE(std::filesystem::exists(profile));
  }
}

bool gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const auto close = line.rfind(')');
  return close != std::string::npos && line.substr(close + 2, 1) == "Z";
}

// A host that exits, or is killed outright, takes its office along.
TEST(OfficeLifetime, TheOfficeEndsWithItsHost) {
  if (!loadModule()) GTEST_SKIP() << "no office installation";
  alarm(100);
  char scratch[] = "/tmp/ormid-uno-test-XXXXXX";
  ASSERT_TRUE(mkdtemp(scratch));
  setenv("TMPDIR", scratch, 1);  // where the killed host's office leaves its profile
  for (const std::string end : {"exit", "kill"}) {
    SCOPED_TRACE(end);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string fd = std::to_string(fds[1]);
    const pid_t host = fork();
    if (host == 0) {
      close(fds[0]);
      execl(ORMID_UNO_HOLDER, ORMID_UNO_HOLDER, fd.c_str(), end.c_str(), nullptr);
      _exit(127);
    }
    close(fds[1]);
    pid_t office = 0;
    ASSERT_EQ(read(fds[0], &office, sizeof office), static_cast<ssize_t>(sizeof office));
    close(fds[0]);
    if (end == "kill") {
      EXPECT_FALSE(gone(office));
      kill(host, SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(host, &status, 0), host);
    if (end == "exit") {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    }
    const auto deadline = Clock::now() + 30s;
    while (!gone(office) && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(gone(office));
  }
  std::filesystem::remove_all(scratch);
  alarm(0);
}

}  // namespace
}  // namespace ormid::uno
