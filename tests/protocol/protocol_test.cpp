// Request validation, dispatch to the main thread (a fake hand-off here) and
// the answers, including the transfer of documents in parts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "host/base64/base64.h"
#include "host/json/json.h"
#include "host/protocol/processing.h"
#include "host/text/text.h"
#include "ormid/platform/platform.h"

namespace ormid {
namespace {

struct Call {
  CommandMessage message;
  CommandInputs inputs;
};

// Records every hand-off and answers with fixed outputs.
struct FakeMainThread {
  std::vector<Call> calls;
  CommandOutputs next{u"success", u"", ""};
  DocEditorJsonProcessing::HandOff handOff() {
    return [this](CommandMessage message, CommandInputs inputs, CommandOutputs& outputs) {
      calls.push_back({message, inputs});
      outputs = next;
    };
  }
};

std::string req(const std::string& command, const std::string& extra = "") {
  return R"({"messageId":"1","contentId":"c","command":")" + command + "\"" +
         (extra.empty() ? "" : "," + extra) + "}";
}

std::string answerTo(DocEditorJsonProcessing& processing, const std::string& request) {
  std::string answer;
  processing.processingMessage(request, static_cast<std::uint32_t>(request.size()), answer);
  return answer;
}

// A path as a JSON string's content.
std::string jsonText(const std::string& path) {
  std::string out;
  for (char c : path) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return out;
}

// The process's temporary directory, made for the test process and named in
// the environment once (which keeps the text): TMPDIR on POSIX systems, TMP on Windows.
const std::string& temporaryDirectory() {
  static std::string tmpdir;
  static std::string tmp;
  static const std::string dir = [] {
    const std::string name = "protocol_test_" + std::to_string(std::random_device()());
    const std::filesystem::path base = ::testing::TempDir();
    std::string path = (base / name).string() + platform::pathSeparator();
    tmpdir = "TMPDIR=" + path;
    tmp = "TMP=" + path;
    putenv(tmpdir.data());
    putenv(tmp.data());
    return path;
  }();
  return dir;
}

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir_); }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  const char sep_ = platform::pathSeparator();
  const std::string dir_ = temporaryDirectory();
  FakeMainThread main_;
  DocEditorJsonProcessing processing_{main_.handOff()};
};

TEST_F(ProtocolTest, RejectedRequestsAnswerWithStatusOnly) {
  struct Case {
    std::string request;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {R"({"contentId":"c","command":"bogus"})",
       R"({"command":"bogus","contentId":"c","status":{"description":"Request messageId not found","result":"error"}})"},
      {R"({"messageId":5,"contentId":"c","command":"openEditor"})",
       R"({"command":"openEditor","contentId":"c","status":{"description":"Request messageId not found","result":"error"}})"},
      {R"({"messageId":"m","command":"openEditor"})",
       R"({"command":"openEditor","messageId":"m","status":{"description":"Request contentId not found","result":"error"}})"},
      {R"({"messageId":"m","contentId":"c"})",
       R"({"contentId":"c","messageId":"m","status":{"description":"Request command not found","result":"error"}})"},
      {R"({"messageId":"m","contentId":"c","command":"OpenEditor"})",
       R"({"command":"OpenEditor","contentId":"c","messageId":"m","status":{"description":"Unknow request command OpenEditor","result":"error"}})"},
      {R"({"messageId":"m","contentId":"c","command":"saveDocument"})",
       R"({"command":"saveDocument","contentId":"c","messageId":"m","status":{"description":"Error parsing name file","result":"error"}})"},
      {R"({"messageId":"m","contentId":"c","command":"openDocument","nameFile":"a"})",
       R"({"command":"openDocument","contentId":"c","messageId":"m","nameFile":"a","status":{"description":"Error parsing content file","result":"error"}})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(answerTo(processing_, c.request), c.answer) << c.request;
  }
  EXPECT_TRUE(main_.calls.empty());
}

TEST_F(ProtocolTest, CommandsReachTheMainThreadWithTheirInputs) {
  struct Case {
    std::string request;
    CommandMessage message;
    std::optional<std::string> workingDirectory;  // none: the default one
    std::string nameFile;
    std::string contentFile;
    bool isRemoveFile;
  };
  const std::string wd = dir_ + "docs", kept = dir_ + "x" + sep_;
  const std::nullopt_t none = std::nullopt;
  const std::vector<Case> cases = {
      {req("openEditor"), openEditorMessage, none, "", "", false},
      {req("closeEditor"), closeEditorMessage, none, "", "", false},
      // An empty directory stays empty (relative paths); one with a separator is kept.
      {req("removeDocument", R"("nameFile":"a","workingDirectory":"")"), removeDocumentMessage, "", "a", "",
       false},
      {req("removeDocument", R"("nameFile":"a","workingDirectory":")" + jsonText(kept) + "\""),
       removeDocumentMessage, kept, "a", "", false},
      {req("saveDocument", R"("nameFile":"a.docx","workingDirectory":")" + jsonText(wd) + "\""),
       saveDocumentMessage, wd + sep_, "a.docx", "", false},
      {req("closeDocument", R"("nameFile":"a","isRemoveFile":true)"), closeDocumentMessage, none, "a", "",
       true},
      {req("closeDocument", R"("nameFile":"a","isRemoveFile":"true")"), closeDocumentMessage, none, "a", "",
       false},
      {req("openDocument", R"("nameFile":"é.docx","contentFile":"QUJD")"), openDocumentMessage, none,
       toAnsi(u"é.docx"), "QUJD", false},  // the system code page's bytes
      {req("removeDocument", R"("nameFile":"a")"), removeDocumentMessage, none, "a", "", false},
      {req("createDocument", R"("nameFile":"a")"), createDocumentMessage, none, "a", "", false},
      {req("getDocument", R"("nameFile":"a")"), getDocumentMessage, none, "a", "", false},
      {R"({"messageId":"2","contentId":"c","command":"saveAndGetDocument","nameFile":"a"})",
       saveAndGetDocumentMessage, none, "a", "", false},
  };
  for (const Case& c : cases) {
    main_.calls.clear();
    const std::string answer = answerTo(processing_, c.request);
    ASSERT_EQ(main_.calls.size(), 1u) << c.request;
    const Call& call = main_.calls[0];
    EXPECT_EQ(call.message, c.message) << c.request;
    if (c.message == openEditorMessage || c.message == closeEditorMessage) continue;
    EXPECT_EQ(call.inputs.workingDirectory, c.workingDirectory.value_or(dir_ + "ormid_doc_editor" + sep_))
        << c.request;
    EXPECT_EQ(call.inputs.nameFile, c.nameFile);
    EXPECT_EQ(call.inputs.contentFile, c.contentFile);
    EXPECT_EQ(call.inputs.isRemoveFile, c.isRemoveFile);
    EXPECT_NE(answer.find(R"("status":{"result":"success"})"), std::string::npos) << answer;
  }
}

// A name the code page cannot hold exactly would reach another file. A lone
// surrogate is exact in no code page; which characters a code page lacks:
// ormid_windows_ansi_test.
TEST_F(ProtocolTest, NamesThatWouldReachAnotherFileAreRefusedBeforeAnythingIsTouched) {
  std::vector<std::string> created;
  DocEditorJsonProcessing processing(main_.handOff(), {},
                                     [&created](const std::string& path) { created.push_back(path); });
  const std::string lone = R"(\uD800)", wd = R"("workingDirectory":")" + jsonText(dir_);
  for (const std::string& request : {
           req("openDocument", R"("nameFile":")" + lone + R"(.docx","contentFile":"QUJD")"),
           req("getDocument", R"("nameFile":"a)" + lone + "\""),
           req("saveDocument", wd + lone + R"(","nameFile":"a")"),
           req("closeDocument", wd + R"(\u0000x","nameFile":"a")"),  // a NUL would end the path early
           req("removeDocument", wd + lone + "\""),                  // refused before the missing name
       }) {
    const std::string answer = answerTo(processing, request);
    EXPECT_NE(answer.find(R"("status":{"description":"Invalid file name","result":"error"})"),
              std::string::npos)
        << answer;
  }
  EXPECT_TRUE(main_.calls.empty());
  EXPECT_TRUE(created.empty());
  EXPECT_EQ(processing.pendingAnswers(), 0u);
  // The same request with a name that converts exactly goes through.
  answerTo(processing, req("getDocument", R"("nameFile":"a")"));
  EXPECT_EQ(main_.calls.size(), 1u);
  EXPECT_EQ(created.size(), 1u);
}

// Escapes, other destinations and lone surrogates: host_e2e_test.
TEST_F(ProtocolTest, AnswersEchoTheRequestAsSent) {
  main_.next = {u"error", u"Word application not running", ""};
  const std::string answer = answerTo(
      processing_,
      R"({"workingDirectory":"a\/b","nameFile":"q\"x","isRemoveFile":false,"destination":"ormidDocEditorNative","command":"closeDocument","contentId":"𝄞","messageId":"\u0001\t"})");
  EXPECT_EQ(
      answer,
      R"({"command":"closeDocument","contentId":"𝄞","destination":"ormidDocEditorWebExt","isRemoveFile":false,)"
      R"("messageId":"\u0001\t","nameFile":"q\"x","status":{"description":"Word application not running",)"
      R"("result":"error"},"workingDirectory":"a\/b"})");
}

// Joins the parts of a transfer; checks every answer on the way.
std::string fetchAll(DocEditorJsonProcessing& processing, const std::string& request,
                     std::vector<std::size_t>* sizes) {
  std::string joined;
  for (int i = 0; i < 10000; ++i) {
    const std::string answer = answerTo(processing, request);
    EXPECT_LE(answer.size(), kMaxAnswerBytes);
    auto parsed = parseJson(answer);  // refuses ill-formed UTF-8 as well
    EXPECT_TRUE(parsed && parsed->isObject());
    if (!parsed || !parsed->isObject()) return joined;
    // Byte for byte what the tree serializer writes for the same value.
    EXPECT_EQ(answer, stringifyUtf8(*parsed));
    const JsonObject& split = parsed->asObject().at(u"split")->asObject();
    const std::string part = wideToUtf8(split.at(u"part")->asString());
    EXPECT_FALSE(part.empty());
    if (sizes) sizes->push_back(part.size());
    joined += part;
    if (split.at(u"last")->asBool()) return joined;
  }
  ADD_FAILURE() << "transfer never ended";
  return joined;
}

TEST_F(ProtocolTest, DocumentAnswerGoesInPartsOfTheBoundAtLength200) {
  std::string request = R"({"messageId":"m","contentId":"c","command":"getDocument","nameFile":"a","pad":")";
  request += std::string(200 - 2 - request.size(), 'x') + "\"}";
  auto sized = [&](std::size_t documentSize) {
    main_.next = {u"success", u"", std::string(documentSize, 'A')};
    std::vector<std::size_t> sizes;
    fetchAll(processing_, request, &sizes);
    return sizes;
  };
  // The complete answer without its document's base64 (four characters for
  // three bytes), then with 600,000 characters of it.
  const std::vector<std::size_t> probe = sized(3);
  ASSERT_EQ(probe.size(), 1u);
  const std::size_t overhead = probe[0] - 4;
  EXPECT_EQ(sized(450000), (std::vector<std::size_t>{523676u, overhead + 600000 - 523676u}));
}

TEST_F(ProtocolTest, PartsJoinToTheCompleteAnswerAndFitTheBrowserLimit) {
  // Multi-byte characters (and characters the serializer escapes) everywhere,
  // so that cuts fall inside sequences and parts grow when escaped.
  struct Case {
    std::size_t pad;  // a request field that is not echoed, to make the request long
    int repeats;      // of the content pattern
  };
  for (const Case& c : std::vector<Case>{{0, 150000}, {1000, 150000}, {1047000, 3000}, {1100000, 150000}}) {
    // The document, and a description with multi-byte and escaped characters
    // (in practice only echoed fields carry them) so that cuts fall inside sequences.
    // The document's base64 holds runs of '/' (escaped in the answer, and
    // again in its parts), so that cuts fall inside their escapes.
    std::string document;
    for (int i = 0; i < c.repeats; ++i) document += (i % 2 == 0) ? "ab\xFF\xFF" : "Z9\x01\xFC";
    std::u16string description;
    for (int i = 0; i < c.repeats / 2; ++i) description += (i % 3 == 0) ? u"é/𝄞" : u"\"\\a";
    main_.next = {u"error", description, document};
    DocEditorJsonProcessing processing(main_.handOff());
    const std::string request =
        R"({"messageId":"m","contentId":"c","command":"getDocument","nameFile":"a","pad":")" +
        std::string(c.pad, 'p') + "\"}";
    std::vector<std::size_t> sizes;
    const std::string joined = fetchAll(processing, request, &sizes);
    auto complete = parseJson(joined);
    ASSERT_TRUE(complete) << c.pad;
    EXPECT_EQ(joined, stringifyUtf8(*complete)) << c.pad;
    const auto encoded = toAnsi(complete->asObject().at(u"contentFile")->asString());
    const auto decoded = base64Decode(encoded);
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), document);
    EXPECT_EQ(complete->asObject().at(u"status")->asObject().at(u"description")->asString(), description);
    EXPECT_GT(sizes.size(), 1u);
    EXPECT_EQ(processing.pendingAnswers(), 0u);
  }
}

TEST_F(ProtocolTest, RepeatedRequestIsServedFromThePendingAnswer) {
  main_.next = {u"success", u"", std::string(1100000, 'Q')};  // three parts
  const std::string get = R"({"messageId":"m","contentId":"c","command":"getDocument","nameFile":"a"})";
  std::string first = answerTo(processing_, get);
  ASSERT_EQ(main_.calls.size(), 1u);
  EXPECT_NE(first.find(R"("last":false)"), std::string::npos);
  // Another command with the same messageId is ordinary and leaves the transfer alone.
  answerTo(processing_, R"({"messageId":"m","contentId":"c","command":"saveDocument","nameFile":"a"})");
  // A continuation that fails another check still carries the next part, with its own error.
  const std::string next =
      answerTo(processing_, R"({"messageId":"m","command":"getDocument","nameFile":"a"})");
  EXPECT_NE(next.find(R"("split":{"last":false,"part":")"), std::string::npos);
  EXPECT_NE(next.find(R"("status":{"description":"Request contentId not found","result":"error"})"),
            std::string::npos);
  EXPECT_EQ(main_.calls.size(), 2u);  // only the saveDocument reached the main thread again
  const std::string last = answerTo(processing_, get);
  EXPECT_NE(last.find(R"("last":true)"), std::string::npos);
  EXPECT_EQ(processing_.pendingAnswers(), 0u);
  // The transfer is over: the same request starts a new one.
  answerTo(processing_, get);
  EXPECT_EQ(main_.calls.size(), 3u);
}

TEST_F(ProtocolTest, EmptyDocumentGivesACompleteAnswerWithoutContent) {
  const std::string answer =
      answerTo(processing_, R"({"messageId":"m","contentId":"c","command":"getDocument","nameFile":"a"})");
  EXPECT_EQ(
      answer,
      R"({"command":"getDocument","contentId":"c","messageId":"m","nameFile":"a","split":{"last":true,"part":)"
      R"("{\"command\":\"getDocument\",\"contentId\":\"c\",\"messageId\":\"m\",\"nameFile\":\"a\",)"
      R"(\"status\":{\"result\":\"success\"}}"},"status":{"result":"success"}})");
}

TEST_F(ProtocolTest, NoAnswerOutgrowsWhatABrowserTakes) {
  const std::string status = R"("status":{"description":"Answer too large","result":"error"})";
  const std::string big(700000, 'x'), huge(1100000, 'y');
  main_.next = {u"success", u"", "QUJD"};
  struct Case {
    std::string request;
    std::string answer;
  };
  const std::vector<Case> cases = {
      // The command is echoed twice: as itself and in the description.
      {R"({"messageId":"1","contentId":"c","destination":"ormidDocEditorNative","command":")" + big + "\"}",
       R"({"destination":"ormidDocEditorWebExt","messageId":"1",)" + status + "}"},
      {R"({"messageId":")" + huge + R"(","contentId":"c","command":"x"})", "{" + status + "}"},
      // Echoed fields that leave no room for a part: the transfer is dropped.
      {req("getDocument", R"("nameFile":")" + huge + "\""), R"({"messageId":"1",)" + status + "}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(answerTo(processing_, c.request), c.answer);
    EXPECT_EQ(processing_.pendingAnswers(), 0u);
  }
}

TEST_F(ProtocolTest, APendingTransferServesOnlyItsOwnRequestsAndTheirNumberIsBounded) {
  main_.next = {u"success", u"", std::string(1100000, 'Q')};  // three parts
  auto get = [](const std::string& id, const std::string& command, const std::string& more) {
    return R"({"messageId":")" + id + R"(","contentId":"c","command":")" + command + "\"," + more + "}";
  };
  // Each names another command, file or directory than the transfer under way.
  for (const std::string& request :
       {get("m", "getDocument", R"("nameFile":"a")"), get("m", "getDocument", R"("nameFile":"b")"),
        get("m", "saveAndGetDocument", R"("nameFile":"b")"),
        get("m", "saveAndGetDocument", R"("nameFile":"b","workingDirectory":"w")")}) {
    const std::size_t before = main_.calls.size();
    EXPECT_NE(answerTo(processing_, request).find(R"("last":false)"), std::string::npos);
    EXPECT_EQ(main_.calls.size(), before + 1) << request;
    EXPECT_EQ(processing_.pendingAnswers(), 1u);
  }
  // Five transfers under way: the oldest is dropped, and its next request starts afresh.
  for (const std::string id : {"1", "2", "3", "4", "5"})
    answerTo(processing_, get(id, "getDocument", R"("nameFile":"a")"));
  EXPECT_EQ(processing_.pendingAnswers(), 4u);
  std::size_t before = main_.calls.size();
  answerTo(processing_, get("5", "getDocument", R"("nameFile":"a")"));
  EXPECT_EQ(main_.calls.size(), before);
  answerTo(processing_, get("1", "getDocument", R"("nameFile":"a")"));
  EXPECT_EQ(main_.calls.size(), before + 1);
  // The same by size.
  DocEditorJsonProcessing small(main_.handOff(), {4, 2'000'000});
  for (const std::string id : {"1", "2"}) answerTo(small, get(id, "getDocument", R"("nameFile":"a")"));
  EXPECT_EQ(small.pendingAnswers(), 1u);
  EXPECT_LE(small.pendingBytes(), 2'000'000u);
}

TEST_F(ProtocolTest, ARequestThatRunsOutOfMemoryGetsItsCommandsError) {
  DocEditorJsonProcessing failing(
      [](CommandMessage, CommandInputs, CommandOutputs&) { throw std::bad_alloc(); });
  EXPECT_EQ(answerTo(failing, req("openDocument", R"("nameFile":"a","contentFile":"QUJD")")),
            R"({"command":"openDocument","contentId":"c","messageId":"1","nameFile":"a","status":)"
            R"({"description":"Error alocate memory file","result":"error"}})");
  const std::string get = answerTo(failing, req("getDocument", R"("nameFile":"a")"));
  EXPECT_NE(get.find(R"("split":{"last":true,"part":)"), std::string::npos);
  EXPECT_NE(get.find("Error alocate memory file"), std::string::npos);
  EXPECT_EQ(failing.pendingAnswers(), 0u);
}

// At length 200: DocumentAnswerGoesInPartsOfTheBoundAtLength200.
TEST(DocumentText, IsTheEscapedBase64FromEveryPositionWithinAnyRoom) {
  const auto escaped = [](std::string_view text) {
    std::string out;
    appendEscapedUtf8(out, text);
    return out;
  };
  // Padding of every kind, and runs of '/' ("////" for 0xFF 0xFF 0xFF).
  for (const std::string& document : std::vector<std::string>{"", "\xFF",
                                                              "\xFF\xFF\xFF"
                                                              "a?\xFC",
                                                              "ab\xFF\xFF\xFF\xFF\xFF\xFFZ"}) {
    const std::string text =
        escaped(base64Encode(reinterpret_cast<const unsigned char*>(document.data()), document.size()));
    EXPECT_EQ(documentTextLeft(document, {}), text.size());
    for (std::size_t first = 0; first <= text.size(); ++first) {
      for (std::size_t count = 0; count <= text.size() - first + 1; ++count) {
        for (const std::size_t room :
             {std::string::npos, std::size_t{1}, std::size_t{3}, std::size_t{2 * count}}) {
          DocumentTextPosition at;
          std::string skipped;
          ASSERT_EQ(appendDocumentText(document, at, first, false, std::string::npos, skipped), first);
          ASSERT_EQ(skipped, text.substr(0, first));
          ASSERT_EQ(documentTextLeft(document, at), text.size() - first);
          // As in a part: the longest piece whose escaped form fits the room.
          const std::string_view piece = std::string_view(text).substr(first, count);
          const std::size_t fit = escapedUtf8Fit(piece, room);
          for (const bool again : {false, true}) {
            DocumentTextPosition from = at;
            std::string out = "x";
            const std::size_t taken =
                appendDocumentText(document, from, count, again, again ? room : std::string::npos, out);
            const std::string_view expected = again ? piece.substr(0, fit) : piece;
            ASSERT_EQ(taken, expected.size()) << first << " " << count << " " << room;
            ASSERT_EQ(out, std::string("x").append(again ? escaped(expected) : std::string(expected)));
            ASSERT_EQ(documentTextLeft(document, from), text.size() - first - taken);
          }
        }
      }
    }
  }
}

TEST(PartSizeBound, FollowsTheRequestLength) {
  EXPECT_EQ(DocEditorJsonProcessing::partSizeBound(1047550, 5), 1u);
  // Where the halved bound is 0 or wraps, the largest part is tried (and then fitted).
  EXPECT_EQ(DocEditorJsonProcessing::partSizeBound(1047551, 77), 77u);
  EXPECT_EQ(DocEditorJsonProcessing::partSizeBound(2000000, 77), 77u);
}

}  // namespace
}  // namespace ormid
