// ormid-client: starts the document editor host, sends it requests from the
// command line and shows what comes back, for demonstrations and for support
// staff who need to see what the host says without a browser in between.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/host_process.h"
#include "host/base64/base64.h"
#include "host/text/text.h"

#ifdef _WIN32
#include <windows.h>
// windows.h must come first.
#include <shellapi.h>

#include "ormid/platform/unique_handle.h"
#endif

namespace ormid::client {
namespace {

enum ExitCode { kAllSucceeded = 0, kSomeFailed = 1, kBadArguments = 2, kHostFailed = 3 };

std::filesystem::path pathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

bool readWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(pathOf(path), std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

void say(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void complain(const std::string& text) {
  std::fprintf(stderr, "ormid-client: %s\n", text.c_str());
  std::fflush(stderr);
}

// Reads the host's frames and turns them into JSON messages.
class Channel {
 public:
  enum class Got { message, timeout, end, broken };

  Channel(HostProcess& host, int timeoutMs) : host_(host), timeoutMs_(timeoutMs) {}

  Got receive(Message& message, int timeoutMs = -1) {
    if (timeoutMs < 0) timeoutMs = timeoutMs_;
    std::string_view body;
    for (;;) {
      switch (reader_.next(body)) {
        case FrameReader::Status::frame:
          return decode(body, message);
        case FrameReader::Status::tooLarge:
          complain("the host announced a frame too large to be real; the channel is out of step");
          return Got::broken;
        case FrameReader::Status::needMore:
          break;
      }
      std::size_t got = 0;
      switch (host_.read(reader_.room(kReadSize), got, timeoutMs)) {
        case HostProcess::ReadResult::data:
          reader_.wrote(got);
          break;
        case HostProcess::ReadResult::timeout:
          return Got::timeout;
        case HostProcess::ReadResult::end:
          if (reader_.pending() > 0) complain("the host's output ended inside a frame");
          return Got::end;
      }
    }
  }

 private:
  Got decode(std::string_view body, Message& message) {
    if (body.size() > kBrowserFrameLimit) {
      complain("warning: a frame of " + std::to_string(body.size()) +
               " bytes: browsers close the connection on frames over 1 MiB");
    }
    std::string error;
    message = parseFrame(body, error);
    if (!message.value) {
      complain(error);
      return Got::broken;
    }
    return Got::message;
  }

  // A part's frame fits in one read, as the host writes it in one.
  static constexpr std::size_t kReadSize = std::size_t{1} << 20;

  HostProcess& host_;
  int timeoutMs_;
  FrameReader reader_;
};

void showEvent(const JsonValue& event) {
  say("<< event " + wideToUtf8(stringMember(event, u"command")) + "\n" + describe(event));
}

std::string partSummary(const Message& message, int partNumber) {
  const JsonValue* split = member(*message.value, u"split");
  const JsonValue* last = split ? member(*split, u"last") : nullptr;
  // The part's size as it came, escapes and all.
  std::string text =
      "<< part " + std::to_string(partNumber) + ", " + std::to_string(message.part.size()) + " bytes";
  text += last && last->isBool() && last->asBool() ? ", the last" : ", more to come";
  const std::u16string result = resultOf(*message.value);
  if (!result.empty()) text += " (" + wideToUtf8(result) + ")";
  return text;
}

bool returnsDocument(const std::u16string& command) {
  return command == u"getDocument" || command == u"saveAndGetDocument";
}

int saveDocumentContent(const JsonValue& answer, const std::string& outPath) {
  // An empty document comes back without contentFile: that is an empty file.
  const JsonValue* content = member(answer, u"contentFile");
  std::string converted;
  if (!content || !content->isNarrow()) converted = wideToUtf8(stringMember(answer, u"contentFile"));
  const std::string_view text = content && content->isNarrow() ? content->asNarrow() : converted;
  // Decoded and written a piece at a time: the document is never held whole.
  // A piece decodes to its full size unless the text ends or stops in it (a
  // '=' or a character outside the alphabet), and decoding stops there.
  constexpr std::size_t kPieceChars = std::size_t{4} << 20;  // a multiple of 4
  std::ofstream out(pathOf(outPath), std::ios::binary | std::ios::trunc);
  std::size_t written = 0;
  for (std::size_t at = 0; at < text.size() && out; at += kPieceChars) {
    const std::vector<unsigned char> bytes = base64Decode(text.substr(at, kPieceChars));
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    written += bytes.size();
    if (bytes.size() < kPieceChars / 4 * 3) break;
  }
  out.close();
  if (!out) {
    complain("cannot write " + outPath);
    return kSomeFailed;
  }
  say("   wrote " + std::to_string(written) + " bytes to " + outPath);
  return kAllSucceeded;
}

int run(const Options& options) {
  std::vector<std::unique_ptr<JsonValue>> requests;
  for (std::size_t i = 0; i < options.requests.size(); ++i) {
    BuiltRequest built = buildRequest(options.requests[i], static_cast<int>(i + 1), readWholeFile);
    if (!built.value) {
      complain(built.error);
      return kBadArguments;
    }
    requests.push_back(std::move(built.value));
  }

  const bool useShell = !options.host.empty();
  const std::string command = useShell ? options.host : defaultHostPath();
  std::string error;
  std::unique_ptr<HostProcess> host = HostProcess::start(command, useShell, error);
  if (!host) {
    complain(error);
    return kHostFailed;
  }
  Channel channel(*host, options.timeoutSeconds * 1000);

  int exitCode = kAllSucceeded;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const JsonValue& request = *requests[i];
    const std::u16string requestCommand = stringMember(request, u"command");
    const std::string frame = encodeFrame(stringifyUtf8(request));
    say(">> request " + std::to_string(i + 1) + ": " + wideToUtf8(requestCommand) + "\n" + describe(request));
    AnswerJoiner joiner;
    // A document to keep goes into its file as its parts arrive.
    const bool keep = !options.out.empty() && returnsDocument(requestCommand);
    std::ofstream document;
    if (keep) {
      joiner.streamDocument([&](std::string_view bytes) {
        if (!document.is_open()) document.open(pathOf(options.out), std::ios::binary | std::ios::trunc);
        document.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return static_cast<bool>(document);
      });
    }
    bool split = false;
    if (!host->write(frame)) {
      complain("the host ended before it read the request (another instance running?)");
      return kHostFailed;
    }
    for (;;) {
      Message message;
      switch (channel.receive(message)) {
        case Channel::Got::message:
          break;
        case Channel::Got::timeout:
          complain("no answer within " + std::to_string(options.timeoutSeconds) + " s");
          return kHostFailed;
        case Channel::Got::end:
          complain("the host ended before it answered (another instance running?)");
          return kHostFailed;
        case Channel::Got::broken:
          return kHostFailed;
      }
      if (isEventMessage(*message.value)) {
        showEvent(*message.value);
        continue;
      }
      // The host makes the next part while this one is taken.
      if (AnswerJoiner::morePartsFollow(message) && !host->write(frame)) {
        complain("the host ended in the middle of a split answer");
        return kHostFailed;
      }
      if (member(*message.value, u"split")) {
        split = true;
        say(partSummary(message, joiner.parts() + 1));
      } else {
        say("<< answer\n" + describe(*message.value));
      }
      const AnswerJoiner::Step step = joiner.take(std::move(message));
      if (step == AnswerJoiner::Step::failed) {
        complain(joiner.error());
        if (document.is_open()) complain("what came of the document is in " + options.out);
        return kHostFailed;
      }
      if (step == AnswerJoiner::Step::complete) break;  // otherwise the next part is asked for already
    }
    std::unique_ptr<JsonValue> answer = joiner.takeComplete();
    if (split) {
      say("== complete answer, joined from " + std::to_string(joiner.parts()) + " part(s)\n" +
          describe(*answer));
    }
    const bool succeeded = resultOf(*answer) == u"success";
    if (!succeeded) exitCode = kSomeFailed;
    if (succeeded && keep && joiner.streamed()) {
      document.close();
      if (!document) {
        complain("cannot write " + options.out);
        exitCode = kSomeFailed;
      } else {
        say("   wrote " + std::to_string(joiner.streamedBytes()) + " bytes to " + options.out);
      }
    } else if (succeeded && keep) {
      if (saveDocumentContent(*answer, options.out) != kAllSucceeded) exitCode = kSomeFailed;
    }
  }

  // The end of its input stops the host; show what it still says until then.
  host->closeInput();
  for (;;) {
    Message message;
    const Channel::Got got = channel.receive(message, 5000);
    if (got != Channel::Got::message) break;
    if (isEventMessage(*message.value)) {
      showEvent(*message.value);
    } else {
      say("<< unexpected message\n" + describe(*message.value));
    }
  }
  if (!host->waitForExit(5000)) {
    complain("the host did not stop after its input ended; ending it");
    host->kill();
  }
  return exitCode;
}

std::vector<std::string> commandLine(int argc, char** argv) {
  std::vector<std::string> args;
#ifdef _WIN32
  // The wide command line keeps characters the ANSI code page lacks.
  (void)argc;
  (void)argv;
  int count = 0;
  const ormid::platform::LocalMemory<wchar_t*> wide(::CommandLineToArgvW(::GetCommandLineW(), &count));
  for (int i = 1; wide && i < count; ++i) {
    const std::wstring arg(wide.get()[i]);
    args.push_back(wideToUtf8(std::u16string(arg.begin(), arg.end())));
  }
#else
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
#endif
  return args;
}

}  // namespace
}  // namespace ormid::client

int main(int argc, char** argv) {
  using namespace ormid::client;
  const std::vector<std::string> args = commandLine(argc, argv);
  if (args.size() == 1 && args[0] == "--version") {
    say("ormid-client " ORMID_VERSION);
    return kAllSucceeded;
  }
  const ParsedArguments parsed = parseArguments(args);
  if (parsed.ok && parsed.options.help) {
    std::fputs(usage("ormid-client").c_str(), stdout);
    return kAllSucceeded;
  }
  if (!parsed.ok) {
    complain(parsed.error);
    std::fputs(usage("ormid-client").c_str(), stderr);
    return kBadArguments;
  }
  return run(parsed.options);
}
