// Drives a real, headless office through the automation server module, loaded
// and called the way the host does it.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "host/text/text.h"
#include "ormid/com_ptr.h"
#include "ormid/com_registry.h"

// The office's runtime keeps process-lifetime caches that leak checkers
// report; leaks of our own code show up with the frames of our module.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:/usr/lib/libreoffice/program/libuno_sal.so\n"
         "leak:/usr/lib/libreoffice/program/libuno_cppu.so\n";
}

namespace ormid::uno {
namespace {

using com::AdviseToken;
using com::Bstr;
using com::ComPtr;
using com::Variant;
using Clock = std::chrono::steady_clock;

constexpr IID kApplicationEvents = {0x000209FE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// ---- The host side: posted tasks run on the test's thread, as on the host's main thread.

std::mutex tasksMutex;
std::vector<std::pair<void (*)(void*), void*>> tasks;

void postTask(void (*run)(void*), void* context) {
  std::lock_guard lock(tasksMutex);
  tasks.emplace_back(run, context);
}

void logLine(int severity, const char* function, const char* message) {
  std::fprintf(stderr, "[office %d] %s: %s\n", severity, function, message);
}

const OrmidModuleHost kHost = {ORMID_MODULE_HOST_VERSION, &postTask, &logLine};

// Runs posted tasks until `done` holds or the time is up.
// Runs the tasks posted so far; false when there were none.
bool runPostedTasks() {
  std::vector<std::pair<void (*)(void*), void*>> ready;
  {
    std::lock_guard lock(tasksMutex);
    ready.swap(tasks);
  }
  for (auto& [run, context] : ready) run(context);
  return !ready.empty();
}

// Runs posted tasks until `done` holds or the time is up.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    if (!runPostedTasks()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

OrmidCreateApplication loadModule() {
  static void* module = dlopen(ORMID_UNO_MODULE, RTLD_NOW | RTLD_LOCAL);
  if (!module) return nullptr;
  auto available = reinterpret_cast<OrmidApplicationAvailable>(dlsym(module, ORMID_MODULE_AVAILABLE));
  if (!available || !available()) return nullptr;
  return reinterpret_cast<OrmidCreateApplication>(dlsym(module, ORMID_MODULE_ENTRY));
}

// ---- Late-bound calls, as the host makes them.

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

// ---- The event sink: records what arrives, and reads the document's name
// from inside the event as the host's listener does.

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

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kApplicationEvents) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
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
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
      if (it->id == id) return &*it;
    }
    return nullptr;
  }
};

// ---- Checks on the files and processes.

// The office processes this process started and has not reaped.
std::vector<pid_t> officeChildren() {
  std::vector<pid_t> result;
  DIR* proc = opendir("/proc");
  while (const dirent* entry = proc ? readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos || line.find("(soffice") == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == getpid()) result.push_back(pid);
  }
  if (proc) closedir(proc);
  return result;
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

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
                        size = le(zip, at + 24, 4);
    const std::uint32_t nameLength = le(zip, at + 28, 2), extra = le(zip, at + 30, 2),
                        comment = le(zip, at + 32, 2);
    const std::uint32_t local = le(zip, at + 42, 4);
    if (zip.substr(at + 46, nameLength) == wanted) {
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
    at += 46 + nameLength + extra + comment;
  }
  return {};
}

constexpr char kWords[] = "Ormid sample words 42";

// Word's event numbers.
constexpr DISPID kQuit = 2, kOpen = 4, kBeforeClose = 6, kBeforeSave = 8, kNew = 9;

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

  void TearDown() override {
    documents_.reset();
    advise_.reset();
    app_.reset();
    runPostedTasks();  // those of an application that has gone do nothing
    if (create_) {
      EXPECT_TRUE(officeChildren().empty()) << "an office outlived its application";
      const std::string socket =
          "OSL_PIPE_" + std::to_string(getuid()) + "_ormid-" + std::to_string(getpid()) + "-";
      for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
        EXPECT_NE(entry.path().filename().string().rfind(socket, 0), 0u) << "left behind: " << entry.path();
      }
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
    alarm(0);
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  LONG count() {
    Variant result;
    EXPECT_EQ(call(documents_.get(), DISPATCH_PROPERTYGET, u"Count", {}, &result), S_OK);
    EXPECT_EQ(result.type(), VT_I4);
    return result.type() == VT_I4 ? result.get()->lVal : -1;
  }
  ComPtr<IDispatch> open(const std::string& file) {
    return object(documents_.get(), DISPATCH_METHOD, u"Open", [&] {
      std::vector<Variant> args;
      args.push_back(Variant::string(wide(file)));
      return args;
    }());
  }
  HRESULT saveAs(IDispatch* document, const std::string& file) {
    std::vector<Variant> args;
    args.push_back(Variant::string(wide(file)));
    return call(document, DISPATCH_METHOD, u"SaveAs", std::move(args));
  }
  HRESULT close(IDispatch* document) {
    std::vector<Variant> args;
    args.push_back(Variant::integer(0));
    args.push_back(Variant::integer(1));
    args.push_back(Variant::boolean(false));
    return call(document, DISPATCH_METHOD, u"Close", std::move(args));
  }
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

long long msSince(Clock::time_point begin) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
}

// Writes each word processing format, opens it again, and reports the costs.
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
  long long saveMs = 0, openMs = 0, closeMs = 0;
  for (const auto& format : formats) {
    SCOPED_TRACE(format.name);
    const int saves = sink_.count(kBeforeSave);
    auto begin = Clock::now();
    ASSERT_EQ(saveAs(source.get(), path(format.name)), S_OK);
    saveMs = std::max(saveMs, msSince(begin));
    // The save event reached the sink before the call returned, on this thread.
    ASSERT_EQ(sink_.count(kBeforeSave), saves + 1);
    EXPECT_TRUE(sink_.last(kBeforeSave)->onTestThread);
    EXPECT_EQ((sink_.last(kBeforeSave)->types),
              (std::vector<VARTYPE>{VT_DISPATCH, VT_BOOL | VT_BYREF, VT_BOOL | VT_BYREF}));
    EXPECT_EQ(fullName(source.get()), wide(path(format.name)));

    const std::string bytes = readFile(path(format.name));
    EXPECT_EQ(bytes.substr(0, format.magic.size()), format.magic);
    if (!format.entry.empty()) {
      EXPECT_NE(zipEntry(bytes, format.entry).find("sample words"), std::string::npos);
    }

    // A copy opens as a document of its own (the original is open already).
    const std::string copy = path("copy of " + format.name);
    std::filesystem::copy_file(path(format.name), copy);
    begin = Clock::now();
    ComPtr<IDispatch> reopened = open(copy);
    openMs = std::max(openMs, msSince(begin));
    ASSERT_TRUE(reopened);
    EXPECT_EQ(fullName(reopened.get()), wide(copy));
    EXPECT_EQ(count(), 2);
    begin = Clock::now();
    ASSERT_EQ(close(reopened.get()), S_OK);
    closeMs = std::max(closeMs, msSince(begin));
    ASSERT_NE(sink_.last(kBeforeClose), nullptr);
    EXPECT_EQ(sink_.last(kBeforeClose)->name, wide(copy));
    EXPECT_EQ(count(), 1);
  }
  // Saving in place keeps the document's format, also over a file that
  // changed since it was opened: the save is what was asked for.
  ComPtr<IDispatch> loaded = open(path("copy of words.docx"));
  ASSERT_TRUE(loaded);
  const auto opened = std::filesystem::last_write_time(path("copy of words.docx"));
  std::ofstream(path("copy of words.docx"), std::ios::trunc) << "changed meanwhile";
  std::filesystem::last_write_time(path("copy of words.docx"), opened + std::chrono::hours(1));
  ASSERT_EQ(call(loaded.get(), DISPATCH_METHOD, u"SaveAs"), S_OK);
  EXPECT_NE(zipEntry(readFile(path("copy of words.docx")), "word/document.xml").find("sample words"),
            std::string::npos);
  ASSERT_EQ(close(loaded.get()), S_OK);

  pumpUntil([&] { return sink_.count(kOpen) >= 5; }, std::chrono::seconds(5));
  EXPECT_GE(sink_.count(kOpen), 5);
  EXPECT_EQ(sink_.count(kBeforeClose), 5);
  const auto begin = Clock::now();
  for (int i = 0; i < 20; ++i) {
    count();
    fullName(source.get());
  }
  std::cout << "office start " << startMs_ << " ms; slowest save " << saveMs << " ms, open " << openMs
            << " ms, close " << closeMs << " ms; Count + FullName "
            << std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count() / 20
            << " us; office RSS " << residentKiB(office_) / 1024 << " MiB\n";
}

TEST_F(OfficeTest, NewDocumentTakesAnyNameAndTheEventsFollowIt) {
  ComPtr<IDispatch> document = object(documents_.get(), DISPATCH_METHOD, u"Add");
  ASSERT_TRUE(document);
  pumpUntil([&] { return sink_.count(kNew) > 0; }, std::chrono::seconds(5));
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
  // Calls on a closed document fail.
  EXPECT_LT(call(document.get(), DISPATCH_METHOD, u"Save"), 0);

  // The non-ASCII name opens again, and is found under the name it was given.
  ComPtr<IDispatch> again = open(path(names[1]));
  ASSERT_TRUE(again);
  EXPECT_EQ(fullName(object(documents_.get(), DISPATCH_METHOD, u"Item",
                            [] {
                              std::vector<Variant> args;
                              args.push_back(Variant::i4(1));
                              return args;
                            }())
                         .get()),
            wide(path(names[1])));
  // Opening it again hands out the same document...
  EXPECT_TRUE(open(path(names[1])));
  EXPECT_EQ(count(), 1);
  // ...unless the file was rewritten meanwhile: then its new content is shown.
  std::ofstream(path("other.txt")) << "Replacement text 7\n";
  ComPtr<IDispatch> other = open(path("other.txt"));
  ASSERT_TRUE(other);
  ASSERT_EQ(saveAs(other.get(), path("other.docx")), S_OK);
  ASSERT_EQ(close(other.get()), S_OK);
  const auto target = std::filesystem::u8path(path(names[1]));
  const auto before = std::filesystem::last_write_time(target);
  std::filesystem::copy_file(path("other.docx"), target, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::last_write_time(target, before + std::chrono::seconds(2));
  const int closes = sink_.count(kBeforeClose);
  ComPtr<IDispatch> reloaded = open(path(names[1]));
  ASSERT_TRUE(reloaded);
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(sink_.count(kBeforeClose), closes + 1);
  ASSERT_EQ(call(reloaded.get(), DISPATCH_METHOD, u"SaveAs"), S_OK);
  EXPECT_NE(zipEntry(readFile(path(names[1])), "word/document.xml").find("Replacement text"),
            std::string::npos);
}

TEST_F(OfficeTest, RefusesWhatItCannotOpenWithoutAsking) {
  std::string noise(4096, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919 + 13) % 251);
  std::ofstream(path("noise.docx"), std::ios::binary) << noise;
  std::ofstream(path("prose.docx")) << kWords;  // text under a word processing name
  for (const std::string name : {"noise.docx", "prose.docx", "missing.docx"}) {
    SCOPED_TRACE(name);
    Variant result;
    std::vector<Variant> args;
    args.push_back(Variant::string(wide(path(name))));
    EXPECT_LT(call(documents_.get(), DISPATCH_METHOD, u"Open", std::move(args), &result), 0);
    EXPECT_EQ(count(), 0);
  }
  // A path with a lone surrogate neither breaks the connection nor opens anything.
  std::vector<Variant> args;
  args.push_back(Variant::string(wide(path("x")) + char16_t(0xD800) + u".docx"));
  EXPECT_LT(call(documents_.get(), DISPATCH_METHOD, u"Open", std::move(args)), 0);
  EXPECT_EQ(count(), 0);
  pumpUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(sink_.count(kOpen), 0);
  EXPECT_EQ(sink_.count(kBeforeClose), 0);
}

TEST_F(OfficeTest, FollowsTheAutomationConventions) {
  Variant visible;
  EXPECT_EQ(call(app_.get(), DISPATCH_PROPERTYPUT, u"visible",
                 [] {
                   std::vector<Variant> args;
                   args.push_back(Variant::boolean(true));
                   return args;
                 }()),
            S_OK);
  ASSERT_EQ(call(app_.get(), DISPATCH_PROPERTYGET, u"VISIBLE", {}, &visible), S_OK);
  EXPECT_EQ(visible.type(), VT_BOOL);
  EXPECT_EQ(visible.get()->boolVal, VARIANT_TRUE);
  EXPECT_EQ(call(app_.get(), DISPATCH_METHOD, u"Activate"), S_OK);
  EXPECT_EQ(call(app_.get(), DISPATCH_PROPERTYPUT, u"WindowState",
                 [] {
                   std::vector<Variant> args;
                   args.push_back(Variant::integer(1));
                   return args;
                 }()),
            S_OK);
  EXPECT_EQ(call(app_.get(), DISPATCH_METHOD, u"NoSuchMember"), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(call(documents_.get(), DISPATCH_METHOD, u"Item",
                 [] {
                   std::vector<Variant> args;
                   args.push_back(Variant::i4(1));
                   return args;
                 }()),
            DISP_E_BADINDEX);
}

TEST_F(OfficeTest, QuitEndsTheOfficeAndIsReported) {
  ComPtr<IDispatch> document = textDocument("words.txt");
  ASSERT_TRUE(document);
  const std::string profile = [&] {
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      if (entry.path().filename().string().rfind("ormid-office-", 0) == 0) return entry.path().string();
    }
    return std::string();
  }();
  EXPECT_FALSE(profile.empty()) << "the private profile lives in TMPDIR";
  std::vector<Variant> args;
  args.push_back(Variant::integer(0));
  args.push_back(Variant::integer(1));
  args.push_back(Variant::boolean(false));
  ASSERT_EQ(call(app_.get(), DISPATCH_METHOD, u"Quit", std::move(args)), S_OK);
  EXPECT_EQ(sink_.count(kQuit), 1);
  // Its open document was closed on the way, and said so with its name.
  ASSERT_EQ(sink_.count(kBeforeClose), 1);
  EXPECT_EQ(sink_.last(kBeforeClose)->name, wide(path("words.txt")));
  EXPECT_TRUE(officeChildren().empty());
  EXPECT_FALSE(std::filesystem::exists(profile));
  EXPECT_LT(call(document.get(), DISPATCH_METHOD, u"SaveAs"), 0);
  EXPECT_LT(call(documents_.get(), DISPATCH_PROPERTYGET, u"Count"), 0);
  pumpUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(sink_.count(kQuit), 1);
}

TEST_F(OfficeTest, AnOfficeThatDiesIsReportedAsQuit) {
  ComPtr<IDispatch> document = textDocument("words.txt");
  ASSERT_TRUE(document);
  // Killed while calls go on: they start failing, and the host lives on.
  std::thread killer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(office_, SIGKILL);
  });
  int calls = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline && SUCCEEDED(call(document.get(), DISPATCH_PROPERTYGET, u"FullName")))
    ++calls;
  killer.join();
  EXPECT_GT(calls, 0);
  EXPECT_TRUE(pumpUntil([&] { return sink_.count(kQuit) > 0; }, std::chrono::seconds(10)));
  EXPECT_EQ(sink_.count(kQuit), 1);
  EXPECT_TRUE(sink_.last(kQuit)->onTestThread);
  EXPECT_LT(call(document.get(), DISPATCH_METHOD, u"SaveAs"), 0);
  EXPECT_LT(call(documents_.get(), DISPATCH_PROPERTYGET, u"Count"), 0);
  EXPECT_LT(call(app_.get(), DISPATCH_PROPERTYGET, u"Visible"), 0);
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

TEST_F(OfficeTest, ReleasingTheApplicationEndsTheOffice) {
  ComPtr<IDispatch> document = textDocument("words.txt");
  ASSERT_TRUE(document);
  // The connection's threads write to the office's pipe: an office that dies
  // under them must not take the host along.
  EXPECT_TRUE(otherThreadsIgnoreBrokenPipes());
  document.reset();
  // TearDown checks that no office is left once the last reference goes.
}

// Run in a child process by the test below: holds an office, then ends as told.
TEST(OfficeHelper, DISABLED_HoldsAnOffice) {
  const OrmidCreateApplication create = loadModule();
  ASSERT_TRUE(create);
  ComPtr<IDispatch> app;
  ASSERT_EQ(create(&kHost, IID_IDispatch, app.putVoid()), S_OK);
  const pid_t office = officeChildren().at(0);
  const int fd = std::atoi(std::getenv("ORMID_UNO_TEST_PID_FD"));
  ASSERT_EQ(write(fd, &office, sizeof office), static_cast<ssize_t>(sizeof office));
  if (std::string(std::getenv("ORMID_UNO_TEST_END")) == "exit") std::exit(1);  // without releasing
  pause();                                                                     // until killed
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
      setenv("ORMID_UNO_TEST_PID_FD", fd.c_str(), 1);
      setenv("ORMID_UNO_TEST_END", end.c_str(), 1);
      execl("/proc/self/exe", "uno_office_test", "--gtest_filter=OfficeHelper.DISABLED_HoldsAnOffice",
            "--gtest_also_run_disabled_tests", nullptr);
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
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!gone(office) && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(gone(office));
  }
  std::filesystem::remove_all(scratch);
  alarm(0);
}

}  // namespace
}  // namespace ormid::uno
