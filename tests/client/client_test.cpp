#include "client/client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "host/base64/base64.h"
#include "host/text/text.h"

namespace ormid::client {
namespace {

std::unique_ptr<JsonValue> json(const std::string& text) { return parseJson(text); }

TEST(ClientFraming, ReaderFindsLittleEndianFramesAcrossAnySplitOfTheStream) {
  EXPECT_EQ(encodeFrame(std::string(0x010203, 'x')).substr(0, 4), std::string("\x03\x02\x01\0", 4));
  const std::vector<std::string> bodies = {"{\"a\":1}", "", std::string(70000, 'b'), "\xC3\xA9"};
  std::string stream;
  for (const auto& body : bodies) stream += encodeFrame(body);
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()}) {
    FrameReader reader;
    std::vector<std::string> got;
    std::string_view body;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      reader.feed(std::string_view(stream).substr(at, chunk));
      while (reader.next(body) == FrameReader::Status::frame) got.emplace_back(body);
    }
    EXPECT_EQ(got, bodies) << "chunk " << chunk;
    EXPECT_EQ(reader.pending(), 0u);
  }
  // An oversized length breaks the stream for good.
  FrameReader small(16);
  small.feed(encodeFrame(std::string(17, 'x')) + encodeFrame("ok"));
  std::string_view body;
  EXPECT_EQ(small.next(body), FrameReader::Status::tooLarge);
  EXPECT_EQ(small.next(body), FrameReader::Status::tooLarge);
}

TEST(ClientArguments, AcceptedAndRejected) {
  const ParsedArguments parsed = parseArguments({"--host=valgrind ./host", "--timeout", "5", "getDocument",
                                                 "nameFile=a b=c", "isRemoveFile:=true", "--out", "x.docx",
                                                 "{\"command\":\"openEditor\"}", "--", "--option-like"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.options.host, "valgrind ./host");
  EXPECT_EQ(parsed.options.out, "x.docx");
  EXPECT_EQ(parsed.options.timeoutSeconds, 5);
  const auto& requests = parsed.options.requests;
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].command, "getDocument");
  using Fields = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(requests[0].fields, (Fields{{"nameFile", "a b=c"}, {"isRemoveFile:", "true"}}));
  EXPECT_EQ(requests[1].json, "{\"command\":\"openEditor\"}");
  EXPECT_EQ(requests[2].command, "--option-like");

  const std::vector<std::pair<std::vector<std::string>, std::string>> rejected = {
      {{}, "no request"},
      {{"nameFile=a"}, "must follow a command"},
      {{"{\"command\":\"getDocument\"}", "nameFile=a"}, "must follow a command"},
      {{"getDocument", "=a"}, "no field name"},
      {{"-x", "openEditor"}, "unknown option -x"},
      {{"openEditor", "--out"}, "--out needs a value"},
      {{"--timeout", "0", "openEditor"}, "whole number of seconds"},
      {{"--timeout=5s", "openEditor"}, "whole number of seconds"},
      {{"--host=", "openEditor"}, "--host needs a command"},
  };
  for (const auto& [args, error] : rejected) {
    const ParsedArguments result = parseArguments(args);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find(error), std::string::npos) << result.error;
  }
}

TEST(ClientRequests, BuiltOrRefused) {
  const std::map<std::string, std::string> files = {{"doc.bin", std::string("\x00\xFF\x10", 3)},
                                                    {"empty", ""}};
  const FileReader reader = [&files](const std::string& path, std::string& bytes) {
    const auto it = files.find(path);
    if (it != files.end()) bytes = it->second;
    return it != files.end();
  };
  const std::string ids =
      R"("contentId":"cli-content-7","destination":"ormidDocEditorNative","messageId":"cli-7")";
  // Each request gives either the JSON text or an error containing the text given.
  const struct {
    CommandLineRequest given;
    std::string json;
    std::string error = "";  // nothing expected
  } cases[] = {
      {{"", "openEditor", {}}, R"({"command":"openEditor",)" + ids + "}"},
      {{"", "openDocument", {{"nameFile", "é.docx"}, {"contentFile", "@doc.bin"}}},
       R"({"command":"openDocument","contentFile":"AP8Q",)" + ids + R"(,"nameFile":"é.docx"})"},
      {{"",
        "closeDocument",
        {{"isRemoveFile", "true"}, {"messageId", "m"}, {"contentId", "c"}, {"destination", "x"}}},
       R"({"command":"closeDocument","contentId":"c","destination":"x","isRemoveFile":true,"messageId":"m"})"},
      {{"", "getDocument", {{"nameFile:", "12"}, {"workingDirectory:", "null"}, {"nameFile", "last wins"}}},
       R"({"command":"getDocument",)" + ids + R"(,"nameFile":"last wins","workingDirectory":null})"},
      {{"", "openDocument", {{"contentFile", "@empty"}, {"nameFile", "@not-a-file"}}},
       R"({"command":"openDocument","contentFile":"",)" + ids + R"(,"nameFile":"@not-a-file"})"},
      {{R"({"command":"saveDocument","messageId":5})", "", {}},
       R"({"command":"saveDocument","contentId":"cli-content-7","destination":"ormidDocEditorNative","messageId":5})"},
      {{"", "openDocument", {{"contentFile", "@missing.docx"}}}, "", "cannot read 'missing.docx'"},
      {{"", "closeDocument", {{"isRemoveFile", "yes"}}}, "", "must be true or false"},
      {{"", "getDocument", {{"nameFile:", "{oops"}}}, "", "is not JSON"},
      {{"[1,2]", "", {}}, "", "is not a JSON object"},
      {{"{\"command\":", "", {}}, "", "is not a JSON object"},
      {{"", "getDocument", {{"nameFile", "\xC3"}}}, "", "is not UTF-8"},
  };
  for (const auto& [given, json, error] : cases) {
    const BuiltRequest request = buildRequest(given, 7, reader);
    EXPECT_EQ(request.value ? stringifyUtf8(*request.value) : "", json);
    EXPECT_NE(request.error.find(error), std::string::npos) << request.error;
  }
}

// The frame of a part holding `text`, in which half of a surrogate pair cut
// in two is written as an escape (and so is the other half).
std::string part(const std::u16string& text, bool last) {
  std::string frame = std::string(R"({"split":{"last":)") + (last ? "true" : "false") + R"(,"part":")";
  for (const char16_t c : text) {
    if (c >= 0xD800 && c <= 0xDFFF) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      frame += escape;
    } else {
      std::string utf8;
      appendUtf8(utf8, std::u16string_view(&c, 1));
      appendEscapedUtf8(frame, utf8);
    }
  }
  return frame + "\"}}";
}

// Takes an answer as the client does: read from its frame.
AnswerJoiner::Step take(AnswerJoiner& joiner, const std::string& frame) {
  std::string error;
  return joiner.take(parseFrame(frame, error));
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
      step = take(joiner, part(complete.substr(at, size), at + size >= complete.size()));
    }
    ASSERT_EQ(step, AnswerJoiner::Step::complete) << joiner.error();
    EXPECT_EQ(joiner.parts(), static_cast<int>((complete.size() + size - 1) / size));
    const auto answer = joiner.takeComplete();
    EXPECT_EQ(stringMember(*answer, u"contentFile"), u"QUJD/w==");
    EXPECT_EQ(stringMember(*answer, u"nameFile"), u"\u00e9\U0001F600");
    EXPECT_EQ(resultOf(*answer), u"success");
  }
  AnswerJoiner plain;
  EXPECT_EQ(take(plain, R"({"status":{"result":"error"}})"), AnswerJoiner::Step::complete);
  EXPECT_EQ(resultOf(*plain.takeComplete()), u"error");
}

TEST(ClientJoining, Failures) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{R"({"split":{"part":"","last":false}})"}, "empty part"},
      {{R"({"split":{"part":"{\"a\":"}})"}, "last flag"},
      {{R"({"split":{"part":5,"last":true}})"}, "part or its last flag"},
      {{R"({"split":{"part":"{\"a\":","last":"true"}})"}, "last flag"},
      {{R"({"split":{"part":"{\"a\":","last":false}})", R"({"status":{}})"}, "in the middle"},
      {{R"({"split":{"part":"{\"a\":","last":false}})", R"({"split":{"part":"1","last":true}})"},
       "not a JSON object"},
      {{R"({"split":{"part":"[1]","last":true}})"}, "not a JSON object"},
  };
  for (const auto& [answers, error] : cases) {
    AnswerJoiner joiner;
    AnswerJoiner::Step step = AnswerJoiner::Step::needNextPart;
    for (const auto& answer : answers) step = take(joiner, answer);
    EXPECT_EQ(step, AnswerJoiner::Step::failed) << answers.back();
    EXPECT_NE(joiner.error().find(error), std::string::npos) << joiner.error();
  }
}

TEST(ClientJoining, TheDocumentIsDecodedAsItArrivesAndTakenOutOfTheAnswer) {
  struct Case {
    std::string complete;  // the complete answer's text
    std::string kept;      // what is kept of it
    std::string bytes;     // what is decoded
    bool ok;
  };
  // A document larger than a decoding piece, with '/' escaped in its base64.
  std::string large(5 << 20, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 13);
  std::string largeText;
  for (const char c : base64Encode(reinterpret_cast<const unsigned char*>(large.data()), large.size()))
    largeText += c == '/' ? std::string("\\/") : std::string(1, c);
  std::string run, runBytes;
  for (int i = 0; i < 25; ++i) {
    run += "QUJD";
    runBytes += "ABC";
  }
  const std::vector<Case> cases = {
      {R"({"command":"getDocument","contentFile":"QUJD\/w==","nameFile":"a"})",
       R"({"command":"getDocument","contentFile":"","nameFile":"a"})", "ABC\xFF", true},
      {R"({"contentFile":"QU\u004aD","n":1})", R"({"contentFile":"","n":1})", "ABC", true},
      // Decoding stops at a character outside the alphabet, as for the whole text.
      {R"({"contentFile":"QUJD!QUJD\u00e9"})", R"({"contentFile":""})", "ABC", true},
      // Only the top-level member is the document.
      {R"({"a":{"contentFile":"QUJD"},"b":["contentFile","QUJD"],"x":"contentFile","y":"\"contentFile\":"})",
       R"({"a":{"contentFile":"QUJD"},"b":["contentFile","QUJD"],"x":"contentFile","y":"\"contentFile\":"})",
       "", true},
      {R"({ "contentFile" : "QUJD" })", R"({ "contentFile" : "" })", "ABC", true},
      {R"({"contentFile":")" + largeText + R"("})", R"({"contentFile":""})", large, true},
      // Escapes other than of '/' after a run long enough to be taken in blocks:
      // a backslash and a quotation mark stop decoding, a letter goes on.
      {R"({"contentFile":")" + run + R"(\\)" + run + R"("})", R"({"contentFile":""})", runBytes, true},
      {R"({"contentFile":")" + run + R"(\\/)" + run + R"("})", R"({"contentFile":""})", runBytes, true},
      {R"({"contentFile":")" + run + R"(\")" + run + R"("})", R"({"contentFile":""})", runBytes, true},
      {R"({"contentFile":")" + run + R"(\u0041QUJ)" + run + R"("})", R"({"contentFile":""})",
       runBytes + "\x01\x05\x09" + runBytes, true},
      // Not one well-formed string.
      {R"({"contentFile":"QQ==","contentFile":"QQ=="})", R"({"contentFile":"","contentFile":""})", "AA",
       false},
      {"{\"contentFile\":\"QU\x01JD\"}", R"({"contentFile":""})", "A", false},
      {R"({"contentFile":"QU\qJD"})", R"({"contentFile":""})", "A", false},
      {R"({"contentFile":"QUJD)", R"({"contentFile":"")", "", false},
  };
  for (const Case& c : cases) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{1} << 20}) {
      std::string bytes;
      DocumentStream stream([&](std::string_view more) {
        bytes += more;
        return true;
      });
      std::string kept;
      // Each piece as a part's frame holds it, escaped again.
      for (std::size_t at = 0; at < c.complete.size(); at += piece) {
        std::string text;
        appendEscapedUtf8(text, std::string_view(c.complete).substr(at, piece));
        stream.feed(text, kept);
      }
      EXPECT_EQ(stream.finish(kept), c.ok) << c.complete.substr(0, 80) << " in pieces of " << piece;
      EXPECT_EQ(kept, c.kept) << piece;
      if (c.ok) {
        EXPECT_TRUE(bytes == c.bytes) << c.complete.substr(0, 80) << " in pieces of " << piece;
      }
    }
  }
  // Through the joiner: the answer comes without its document.
  std::string bytes;
  AnswerJoiner joiner;
  joiner.streamDocument([&](std::string_view more) {
    bytes += more;
    return true;
  });
  ASSERT_EQ(take(joiner, part(u"{\"contentFile\":\"QUJD\\", false)), AnswerJoiner::Step::needNextPart);
  ASSERT_EQ(take(joiner, part(u"/w==\",\"status\":{\"result\":\"success\"}}", true)),
            AnswerJoiner::Step::complete);
  EXPECT_TRUE(joiner.streamed());
  EXPECT_EQ(bytes, "ABC\xFF");
  EXPECT_EQ(stringifyUtf8(*joiner.takeComplete()), R"({"status":{"result":"success"}})");
}

TEST(ClientMessages, EventsAndDescriptions) {
  // An event is for the page and answers no request.
  EXPECT_TRUE(
      isEventMessage(*json(R"({"command":"documentSaveEvent","destination":"ormidDocEditorWebPage"})")));
  EXPECT_FALSE(isEventMessage(*json(R"({"destination":"ormidDocEditorWebPage","messageId":"m"})")));
  EXPECT_FALSE(isEventMessage(*json(R"({"status":{"result":"error"}})")));

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
