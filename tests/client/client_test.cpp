#include "client/client.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "host/text/text.h"

namespace ormid::client {
namespace {

std::unique_ptr<JsonValue> json(const std::string& text) {
  std::u16string wide;
  EXPECT_TRUE(utf8ToWide(text, wide));
  return parseJson(wide);
}

std::string compact(const JsonValue& value) { return stringifyUtf8(value); }

// ---- Framing ----------------------------------------------------------------

TEST(ClientFraming, LengthIsFourLittleEndianBytes) {
  const struct {
    std::size_t size;
    std::string header;
  } cases[] = {
      {0, std::string("\0\0\0\0", 4)},
      {5, std::string("\x05\0\0\0", 4)},
      {256, std::string("\0\x01\0\0", 4)},
      {300, std::string("\x2C\x01\0\0", 4)},
      {0x01020304, std::string("\x04\x03\x02\x01", 4)},
  };
  for (const auto& c : cases) {
    const std::string frame = encodeFrame(std::string(c.size, 'x'));
    EXPECT_EQ(frame.substr(0, 4), c.header) << c.size;
    EXPECT_EQ(frame.size(), 4 + c.size);
  }
}

TEST(ClientFraming, ReaderFindsFramesAcrossAnySplitOfTheStream) {
  const std::vector<std::string> bodies = {"{\"a\":1}", "", std::string(70000, 'b'), "\xC3\xA9"};
  std::string stream;
  for (const auto& body : bodies) stream += encodeFrame(body);
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()}) {
    FrameReader reader;
    std::vector<std::string> got;
    std::string body;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      reader.feed(std::string_view(stream).substr(at, chunk));
      while (reader.next(body) == FrameReader::Status::frame) got.push_back(body);
    }
    EXPECT_EQ(got, bodies) << "chunk " << chunk;
    EXPECT_EQ(reader.pending(), 0u);
  }
}

TEST(ClientFraming, OversizedLengthBreaksTheStreamForGood) {
  FrameReader reader(16);
  reader.feed(encodeFrame(std::string(17, 'x')) + encodeFrame("ok"));
  std::string body;
  EXPECT_EQ(reader.next(body), FrameReader::Status::tooLarge);
  EXPECT_EQ(reader.next(body), FrameReader::Status::tooLarge);
}

// ---- Command line -----------------------------------------------------------

TEST(ClientArguments, Accepted) {
  const struct {
    std::vector<std::string> args;
    std::string host, out;
    int timeout;
    std::vector<std::string> commands;  // command, or the JSON text
    std::vector<std::size_t> fieldCounts;
  } cases[] = {
      {{"openEditor"}, "", "", 60, {"openEditor"}, {0}},
      {{"getDocument", "nameFile=a b.docx", "--out", "x.docx", "closeDocument", "nameFile=a=b"},
       "",
       "x.docx",
       60,
       {"getDocument", "closeDocument"},
       {1, 1}},
      {{"--host=valgrind ./host", "--timeout", "5", "{\"command\":\"openEditor\"}", "saveDocument"},
       "valgrind ./host",
       "",
       5,
       {"{\"command\":\"openEditor\"}", "saveDocument"},
       {0, 0}},
      {{"--", "--looks-like-an-option"}, "", "", 60, {"--looks-like-an-option"}, {0}},
      {{"closeDocument", "isRemoveFile:=true", "contentFile=@f"}, "", "", 60, {"closeDocument"}, {2}},
  };
  for (const auto& c : cases) {
    const ParsedArguments parsed = parseArguments(c.args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.host, c.host);
    EXPECT_EQ(parsed.options.out, c.out);
    EXPECT_EQ(parsed.options.timeoutSeconds, c.timeout);
    ASSERT_EQ(parsed.options.requests.size(), c.commands.size());
    for (std::size_t i = 0; i < c.commands.size(); ++i) {
      const CommandLineRequest& given = parsed.options.requests[i];
      EXPECT_EQ(given.json.empty() ? given.command : given.json, c.commands[i]);
      EXPECT_EQ(given.fields.size(), c.fieldCounts[i]);
    }
  }
  const ParsedArguments split = parseArguments({"closeDocument", "nameFile=a=b"});
  EXPECT_EQ(split.options.requests[0].fields[0], (std::pair<std::string, std::string>("nameFile", "a=b")));
}

TEST(ClientArguments, Rejected) {
  const struct {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{}, "no request"},
      {{"nameFile=a"}, "must follow a command"},
      {{"{\"command\":\"getDocument\"}", "nameFile=a"}, "must follow a command"},
      {{"getDocument", "=a"}, "no field name"},
      {{"--verbose", "openEditor"}, "unknown option --verbose"},
      {{"-x", "openEditor"}, "unknown option -x"},
      {{"openEditor", "--out"}, "--out needs a value"},
      {{"--timeout", "0", "openEditor"}, "whole number of seconds"},
      {{"--timeout=5s", "openEditor"}, "whole number of seconds"},
      {{"--host=", "openEditor"}, "--host needs a command"},
  };
  for (const auto& c : cases) {
    const ParsedArguments parsed = parseArguments(c.args);
    EXPECT_FALSE(parsed.ok);
    EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
  }
}

// ---- Building requests -------------------------------------------------------

TEST(ClientRequests, Built) {
  const std::map<std::string, std::string> files = {{"doc.bin", std::string("\x00\xFF\x10", 3)},
                                                    {"empty", ""}};
  const FileReader reader = [&files](const std::string& path, std::string& bytes) {
    const auto it = files.find(path);
    if (it == files.end()) return false;
    bytes = it->second;
    return true;
  };
  const struct {
    CommandLineRequest given;
    std::string expected;
  } cases[] = {
      {{"", "openEditor", {}},
       R"({"command":"openEditor","contentId":"cli-content-7","destination":"ormidDocEditorNative","messageId":"cli-7"})"},
      {{"", "openDocument", {{"nameFile", "é.docx"}, {"contentFile", "@doc.bin"}}},
       R"({"command":"openDocument","contentFile":"AP8Q","contentId":"cli-content-7","destination":"ormidDocEditorNative","messageId":"cli-7","nameFile":"é.docx"})"},
      {{"",
        "closeDocument",
        {{"isRemoveFile", "true"}, {"messageId", "m"}, {"contentId", "c"}, {"destination", "x"}}},
       R"({"command":"closeDocument","contentId":"c","destination":"x","isRemoveFile":true,"messageId":"m"})"},
      {{"", "getDocument", {{"nameFile:", "12"}, {"workingDirectory:", "null"}, {"nameFile", "last wins"}}},
       R"({"command":"getDocument","contentId":"cli-content-7","destination":"ormidDocEditorNative","messageId":"cli-7","nameFile":"last wins","workingDirectory":null})"},
      {{"", "openDocument", {{"contentFile", "@empty"}, {"nameFile", "@not-a-file"}}},
       R"({"command":"openDocument","contentFile":"","contentId":"cli-content-7","destination":"ormidDocEditorNative","messageId":"cli-7","nameFile":"@not-a-file"})"},
      {{R"({"command":"saveDocument","messageId":5})", "", {}},
       R"({"command":"saveDocument","contentId":"cli-content-7","destination":"ormidDocEditorNative","messageId":5})"},
  };
  for (const auto& c : cases) {
    const BuiltRequest built = buildRequest(c.given, 7, reader);
    ASSERT_TRUE(built.value) << built.error;
    EXPECT_EQ(compact(*built.value), c.expected);
  }
}

TEST(ClientRequests, Refused) {
  const FileReader none = [](const std::string&, std::string&) { return false; };
  const struct {
    CommandLineRequest given;
    std::string error;
  } cases[] = {
      {{"", "openDocument", {{"contentFile", "@missing.docx"}}}, "cannot read 'missing.docx'"},
      {{"", "closeDocument", {{"isRemoveFile", "yes"}}}, "must be true or false"},
      {{"", "getDocument", {{"nameFile:", "{oops"}}}, "is not JSON"},
      {{"[1,2]", "", {}}, "is not a JSON object"},
      {{"{\"command\":", "", {}}, "is not a JSON object"},
      {{"", "getDocument", {{"nameFile", "\xC3"}}}, "is not UTF-8"},
  };
  for (const auto& c : cases) {
    const BuiltRequest built = buildRequest(c.given, 1, none);
    EXPECT_FALSE(built.value);
    EXPECT_NE(built.error.find(c.error), std::string::npos) << built.error;
  }
}

// ---- Joining answers ---------------------------------------------------------

std::unique_ptr<JsonValue> part(const std::u16string& text, bool last) {
  JsonObject split;
  split[u"part"] = std::make_unique<JsonValue>(text);
  split[u"last"] = std::make_unique<JsonValue>(last);
  JsonObject answer;
  answer[u"messageId"] = std::make_unique<JsonValue>(u"m");
  answer[u"split"] = std::make_unique<JsonValue>(std::move(split));
  return std::make_unique<JsonValue>(std::move(answer));
}

TEST(ClientJoining, PartsJoinToTheCompleteAnswer) {
  const std::u16string complete =
      u"{\"command\":\"getDocument\",\"contentFile\":\"QUJD\\/w==\",\"nameFile\":\"\u00e9\U0001F600\","
      u"\"status\":{\"result\":\"success\"}}";
  // Cuts anywhere, also between the two halves of a surrogate pair or of an escape.
  for (std::size_t size : {complete.size(), std::size_t{1}, std::size_t{7}, std::size_t{40}}) {
    AnswerJoiner joiner;
    AnswerJoiner::Step step = AnswerJoiner::Step::needNextPart;
    for (std::size_t at = 0; at < complete.size(); at += size) {
      ASSERT_EQ(step, AnswerJoiner::Step::needNextPart);
      step = joiner.take(part(complete.substr(at, size), at + size >= complete.size()));
    }
    ASSERT_EQ(step, AnswerJoiner::Step::complete) << joiner.error();
    EXPECT_EQ(joiner.parts(), static_cast<int>((complete.size() + size - 1) / size));
    const auto answer = joiner.takeComplete();
    EXPECT_EQ(stringMember(*answer, u"contentFile"), u"QUJD/w==");
    EXPECT_EQ(stringMember(*answer, u"nameFile"), u"\u00e9\U0001F600");
    EXPECT_EQ(resultOf(*answer), u"success");
  }
}

TEST(ClientJoining, PlainAnswerIsCompleteAtOnce) {
  AnswerJoiner joiner;
  EXPECT_EQ(joiner.take(json(R"({"messageId":"m","status":{"result":"error","description":"x"}})")),
            AnswerJoiner::Step::complete);
  EXPECT_EQ(resultOf(*joiner.takeComplete()), u"error");
}

TEST(ClientJoining, Failures) {
  const struct {
    std::vector<std::string> answers;
    std::string error;
  } cases[] = {
      {{R"({"split":{"part":"","last":false}})"}, "empty part"},
      {{R"({"split":{"part":"{\"a\":"}})"}, "last flag"},
      {{R"({"split":{"part":5,"last":true}})"}, "part or its last flag"},
      {{R"({"split":{"part":"{\"a\":","last":"true"}})"}, "last flag"},
      {{R"({"split":{"part":"{\"a\":","last":false}})", R"({"status":{}})"}, "in the middle"},
      {{R"({"split":{"part":"{\"a\":","last":false}})", R"({"split":{"part":"1","last":true}})"},
       "not a JSON object"},
      {{R"({"split":{"part":"[1]","last":true}})"}, "not a JSON object"},
  };
  for (const auto& c : cases) {
    AnswerJoiner joiner;
    AnswerJoiner::Step step = AnswerJoiner::Step::needNextPart;
    for (const auto& answer : c.answers) step = joiner.take(json(answer));
    EXPECT_EQ(step, AnswerJoiner::Step::failed) << c.answers.back();
    EXPECT_NE(joiner.error().find(c.error), std::string::npos) << joiner.error();
  }
}

TEST(ClientMessages, EventsAreTheMessagesWithoutMessageId) {
  const struct {
    std::string text;
    bool event;
  } cases[] = {
      {R"({"command":"documentSaveEvent","destination":"ormidDocEditorWebPage","status":{"result":"success"}})",
       true},
      {R"({"command":"documentCloseEvent","destination":"ormidDocEditorWebPage"})", true},
      {R"({"command":"saveDocument","destination":"ormidDocEditorWebExt","messageId":"m"})", false},
      {R"({"status":{"description":"JSON failed to parse","result":"error"}})", false},
      {R"({"destination":"ormidDocEditorWebPage","messageId":"m"})", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isEventMessage(*json(c.text)), c.event) << c.text;
}

TEST(ClientMessages, DescribeShortensLongStringsOnly) {
  const std::string base64(5000, 'Q');
  const auto value = json(R"({"contentFile":")" + base64 + R"(","nameFile":"a\"b","n":[1.5,true,null]})");
  const std::string text = describe(*value, 20);
  EXPECT_NE(text.find("\"QQQQQQQQQQ\"... (5000 chars)"), std::string::npos) << text;
  EXPECT_EQ(text.find(base64.substr(0, 11)), std::string::npos);
  EXPECT_NE(text.find("\"nameFile\": \"a\\\"b\""), std::string::npos) << text;
  EXPECT_NE(text.find("1.5,\n    true,\n    null\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace ormid::client
