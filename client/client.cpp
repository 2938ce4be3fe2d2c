#include "client/client.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <tmmintrin.h>
#endif

#include "host/base64/base64.h"
#include "host/text/text.h"
#include "ormid/platform/platform.h"

namespace ormid::client {

// ---------------------------------------------------------------------------
// Framing

std::string encodeFrame(std::string_view body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  std::string frame;
  frame.reserve(4 + body.size());
  for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<char>((n >> shift) & 0xFF));
  frame.append(body);
  return frame;
}

void FrameReader::feed(std::string_view bytes) {
  bytes.copy(room(bytes.size()).data(), bytes.size());
  wrote(bytes.size());
}

std::span<char> FrameReader::room(std::size_t size) {
  if (offset_ == size_) offset_ = size_ = 0;
  if (capacity_ - size_ < size && offset_ > 0) {
    // What is not yet a frame moves to the front.
    std::memmove(buffer_.get(), buffer_.get() + offset_, size_ - offset_);
    size_ -= offset_;
    offset_ = 0;
  }
  if (capacity_ - size_ < size) {
    const std::size_t capacity = std::max(size_ + size, 2 * capacity_);
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_ > 0) std::memcpy(grown.get(), buffer_.get(), size_);
    buffer_ = std::move(grown);
    capacity_ = capacity;
  }
  return {buffer_.get() + size_, capacity_ - size_};
}

FrameReader::Status FrameReader::next(std::string_view& body) {
  if (broken_) return Status::tooLarge;
  if (pending() < 4) return Status::needMore;
  const auto* p = reinterpret_cast<const unsigned char*>(buffer_.get() + offset_);
  const std::size_t length = static_cast<std::size_t>(p[0]) | static_cast<std::size_t>(p[1]) << 8 |
                             static_cast<std::size_t>(p[2]) << 16 | static_cast<std::size_t>(p[3]) << 24;
  if (length > maxBody_) {
    broken_ = true;
    return Status::tooLarge;
  }
  if (pending() - 4 < length) return Status::needMore;
  body = std::string_view(buffer_.get() + offset_ + 4, length);
  offset_ += 4 + length;
  return Status::frame;
}

Message parseFrame(std::string_view body, std::string& error) {
  // A part of an answer is left as it stands: its escapes are undone once,
  // as the answer is joined. The parser takes only well-formed UTF-8, so the
  // frame is looked at again only to say what is wrong with it.
  static constexpr std::u16string_view kPartPath[] = {u"split", u"part"};
  Message message;
  message.value = parseJsonLeaving(body, kPartPath, message.part);
  if (!message.value) {
    error = isWellFormedUtf8(body)
                ? "the host sent a frame that is not JSON: " + std::string(body.substr(0, 200))
                : "the host sent a frame that is not UTF-8";
  }
  return message;
}

// ---------------------------------------------------------------------------
// The command line

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool parseSeconds(const std::string& text, int& seconds) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value <= 0 || value > 24 * 3600) return false;
  seconds = value;
  return true;
}

}  // namespace

ParsedArguments parseArguments(const std::vector<std::string>& args) {
  ParsedArguments parsed;
  Options& options = parsed.options;
  auto fail = [&parsed](std::string error) {
    parsed.ok = false;
    parsed.error = std::move(error);
    return parsed;
  };

  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!optionsEnded && startsWith(arg, "--")) {
      if (arg == "--") {
        optionsEnded = true;
        continue;
      }
      if (arg == "--help") {
        options.help = true;
        continue;
      }
      std::string name = arg;
      std::string value;
      bool hasValue = false;
      if (const auto eq = arg.find('='); eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        hasValue = true;
      }
      if (name != "--host" && name != "--out" && name != "--timeout") return fail("unknown option " + name);
      if (!hasValue) {
        if (i + 1 >= args.size()) return fail(name + " needs a value");
        value = args[++i];
      }
      if (name == "--host") {
        if (value.empty()) return fail("--host needs a command");
        options.host = value;
      } else if (name == "--out") {
        if (value.empty()) return fail("--out needs a file name");
        options.out = value;
      } else if (!parseSeconds(value, options.timeoutSeconds)) {
        return fail("--timeout needs a whole number of seconds, not '" + value + "'");
      }
      continue;
    }
    if (!optionsEnded && arg == "-h") {
      options.help = true;
      continue;
    }
    if (!optionsEnded && startsWith(arg, "-") && arg.find('=') == std::string::npos) {
      return fail("unknown option " + arg);
    }
    if (startsWith(arg, "{")) {
      options.requests.push_back(CommandLineRequest{arg, {}, {}});
      continue;
    }
    const auto eq = arg.find('=');
    if (eq == std::string::npos) {
      if (arg.empty()) return fail("an empty command");
      options.requests.push_back(CommandLineRequest{{}, arg, {}});
      continue;
    }
    if (options.requests.empty() || !options.requests.back().json.empty()) {
      return fail("'" + arg + "' must follow a command: a field belongs to the command before it");
    }
    std::string key = arg.substr(0, eq);
    if (key.empty() || key == ":") return fail("'" + arg + "' has no field name");
    options.requests.back().fields.emplace_back(std::move(key), arg.substr(eq + 1));
  }
  if (!options.help && options.requests.empty()) return fail("no request given");
  parsed.ok = true;
  return parsed;
}

std::string usage(std::string_view program) {
  std::string text = "Usage: ";
  text.append(program);
  text.append(
      " [options] REQUEST...\n"
      "\n"
      "Starts the document editor host, sends it each REQUEST in turn and shows the\n"
      "answers and the events it sends. A REQUEST is a JSON object, or a command\n"
      "followed by its fields:\n"
      "  key=value        a text field (isRemoveFile=true|false: a boolean)\n"
      "  key:=JSON        a field given as JSON (true, 12, null, ...)\n"
      "  contentFile=@F   the content of file F, base64-encoded\n"
      "messageId, contentId and destination are filled in when missing; answers that\n"
      "come in parts are fetched and joined.\n"
      "\n"
      "Options:\n"
      "  --host COMMAND   start the host with COMMAND (default: ormid-doc-editor\n"
      "                   beside this program)\n"
      "  --out FILE       write the document returned by getDocument or\n"
      "                   saveAndGetDocument to FILE\n"
      "  --timeout SECS   longest wait for one answer (default 60)\n"
      "  --help           show this help\n"
      "\n"
      "Example:\n"
      "  ormid-client openDocument nameFile=a.docx contentFile=@a.docx \\\n"
      "               saveDocument nameFile=a.docx \\\n"
      "               getDocument nameFile=a.docx --out copy.docx \\\n"
      "               closeDocument nameFile=a.docx isRemoveFile=true\n"
      "\n"
      "Exit status: 0 every answer reported success, 1 some answer reported an\n"
      "error, 2 bad arguments, 3 the host could not be run or broke the protocol.\n");
  return text;
}

// ---------------------------------------------------------------------------
// Building requests

namespace {

bool toWide(const std::string& text, std::u16string& out, const std::string& what, std::string& error) {
  if (utf8ToWide(text, out)) return true;
  error = what + " is not UTF-8 text";
  return false;
}

std::u16string generatedId(const char* prefix, int sequence) {
  return asciiToWide(std::string(prefix) + std::to_string(sequence));
}

// isRemoveFile counts only as a JSON boolean: sent as the text "true" it would
// be ignored, and the file kept.
bool isBooleanField(std::string_view key) { return key == "isRemoveFile"; }

}  // namespace

BuiltRequest buildRequest(const CommandLineRequest& given, int sequence, const FileReader& readFile) {
  BuiltRequest built;
  std::unique_ptr<JsonValue> request;
  if (!given.json.empty()) {
    std::u16string text;
    if (!toWide(given.json, text, "the request", built.error)) return built;
    request = parseJson(text);
    if (!request || !request->isObject()) {
      built.error = "'" + given.json + "' is not a JSON object";
      return built;
    }
  } else {
    request = std::make_unique<JsonValue>(JsonObject{});
    std::u16string command;
    if (!toWide(given.command, command, "the command", built.error)) return built;
    request->asObject()[u"command"] = std::make_unique<JsonValue>(std::move(command));
  }
  JsonObject& members = request->asObject();

  for (const auto& [rawKey, text] : given.fields) {
    const bool asJson = rawKey.back() == ':';
    const std::string key = asJson ? rawKey.substr(0, rawKey.size() - 1) : rawKey;
    std::u16string wideKey;
    if (!toWide(key, wideKey, "field name '" + key + "'", built.error)) return built;
    std::unique_ptr<JsonValue> value;
    if (asJson) {
      std::u16string wideText;
      if (!toWide(text, wideText, "field " + key, built.error)) return built;
      value = parseJson(wideText);
      if (!value) {
        built.error = "field " + key + ": '" + text + "' is not JSON";
        return built;
      }
    } else if (key == "contentFile" && startsWith(text, "@")) {
      std::string bytes;
      if (!readFile(text.substr(1), bytes)) {
        built.error = "cannot read '" + text.substr(1) + "'";
        return built;
      }
      // Held narrow: a document is not widened on its way into the frame.
      value = std::make_unique<JsonValue>(
          base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    } else if (isBooleanField(key)) {
      if (text != "true" && text != "false") {
        built.error = key + " must be true or false, not '" + text + "'";
        return built;
      }
      value = std::make_unique<JsonValue>(text == "true");
    } else {
      std::u16string wideText;
      if (!toWide(text, wideText, "field " + key, built.error)) return built;
      value = std::make_unique<JsonValue>(std::move(wideText));
    }
    members[wideKey] = std::move(value);
  }

  if (!members.count(u"messageId"))
    members[u"messageId"] = std::make_unique<JsonValue>(generatedId("cli-", sequence));
  if (!members.count(u"contentId")) {
    members[u"contentId"] = std::make_unique<JsonValue>(generatedId("cli-content-", sequence));
  }
  if (!members.count(u"destination")) members[u"destination"] = std::make_unique<JsonValue>(kToHost);
  built.value = std::move(request);
  return built;
}

// ---------------------------------------------------------------------------
// Reading answers

const JsonValue* member(const JsonValue& value, std::u16string_view key) {
  if (!value.isObject()) return nullptr;
  const auto& members = value.asObject();
  const auto it = members.find(std::u16string(key));
  return it == members.end() ? nullptr : it->second.get();
}

std::u16string stringMember(const JsonValue& value, std::u16string_view key) {
  const JsonValue* found = member(value, key);
  if (!found || !found->isString()) return {};
  return found->isNarrow() ? asciiToWide(found->asNarrow()) : found->asString();
}

bool isEventMessage(const JsonValue& message) {
  return message.isObject() && !member(message, u"messageId") &&
         stringMember(message, u"destination") == kToPage;
}

std::u16string resultOf(const JsonValue& answer) {
  const JsonValue* status = member(answer, u"status");
  return status ? stringMember(*status, u"result") : std::u16string();
}

namespace {

constexpr std::string_view kContentKey = "contentFile";
// The document's characters are gathered this many at a time (a multiple of
// four) and decoded together; decoded bytes go to the sink about a megabyte
// at a time.
constexpr std::size_t kStaged = std::size_t{64} << 10;
constexpr std::size_t kDecodedPiece = std::size_t{1} << 20;

#if defined(__GNUC__) && defined(__x86_64__)
#define ORMID_CLIENT_SSSE3 1
// For each set of bytes to drop from eight (bit i: byte i), the byte shuffle
// that keeps the others in order, and how many they are.
struct Keeping {
  std::array<std::uint64_t, 256> shuffle{};
  std::array<std::uint8_t, 256> kept{};
};
constexpr Keeping kKeeping = [] {
  Keeping keeping;
  for (unsigned drop = 0; drop < 256; ++drop) {
    std::uint64_t shuffle = ~std::uint64_t{0};  // bytes beyond what is kept: zero
    unsigned kept = 0;
    for (unsigned i = 0; i < 8; ++i) {
      if (drop >> i & 1) continue;
      shuffle &= ~(std::uint64_t{0xFF} << (8 * kept));
      shuffle |= std::uint64_t{i} << (8 * kept);
      ++kept;
    }
    keeping.shuffle[drop] = shuffle;
    keeping.kept[drop] = static_cast<std::uint8_t>(kept);
  }
  return keeping;
}();

// A part's run of the document's text, sixteen bytes at a time where the
// processor has byte shuffles: a '/' of the base64 comes escaped once in the
// answer and again in the part, so before it stand one to three backslashes
// (as the text is cut between parts), and all of them are dropped. A block is
// taken when every run of backslashes starting in it is so followed (the
// next sixteen bytes are looked at for that); the first one that is not
// stops the copy. Any other byte is copied as it is: the part was checked as
// a string, so it holds no quotation mark or control character but a tab,
// and a tab or a byte beyond ASCII stops decoding where it stands. Writes up
// to sixteen bytes beyond `limit`.
__attribute__((target("ssse3"))) void copyEscapedSlashes(const char*& from, const char* const end, char*& to,
                                                         const char* const limit) {
  // Held here, not behind the references, where the stores could reach them.
  const char* p = from;
  char* w = to;
  if (end - p < 32) return;
  // What a block holds, bit i for byte i; each block's is found once, as the
  // next block and then as the block taken.
  struct Block {
    explicit Block(const char* at) : bytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))) {
      const auto bits = [](__m128i lanes) { return static_cast<std::uint32_t>(_mm_movemask_epi8(lanes)); };
      backslash = bits(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\')));
      slash = bits(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('/')));
    }
    __m128i bytes;
    std::uint32_t backslash, slash;
  };
  Block block(p);
  while (end - p >= 32 && w < limit) {
    const Block next(p + 16);
    const std::uint32_t backslash = block.backslash | next.backslash << 16;
    // A run cut by the block's start was looked at with the block before, and
    // what is left of it is again one to three backslashes before a '/'.
    const std::uint32_t starts = block.backslash & ~(block.backslash << 1);
    const std::uint32_t after = (backslash + starts) & ~backslash;  // the byte after each run
    const std::uint32_t four = backslash & backslash >> 1 & backslash >> 2 & backslash >> 3;
    if (((after & ~(block.slash | next.slash << 16)) | (four & 0xFFFF)) != 0) break;
    const std::uint32_t drop = block.backslash;
    const __m128i low = _mm_shuffle_epi8(
        block.bytes, _mm_cvtsi64_si128(static_cast<long long>(kKeeping.shuffle[drop & 0xFF])));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(w), low);
    w += kKeeping.kept[drop & 0xFF];
    const __m128i high =
        _mm_shuffle_epi8(_mm_srli_si128(block.bytes, 8),
                         _mm_cvtsi64_si128(static_cast<long long>(kKeeping.shuffle[drop >> 8])));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(w), high);
    w += kKeeping.kept[drop >> 8];
    p += 16;
    block = next;
  }
  from = p;
  to = w;
}
#endif

// Copies the document's plain characters at the start of a part's text to
// `w`, and each escaped '/' as a '/' (the answer's escaped '/' is escaped
// again in the part: "\\\/", or "\/" when the answer had it plain), until a
// quotation mark, another escape, a control character or a byte beyond
// ASCII, or until `limit` is reached. Sixteen bytes are looked at together
// and stored whole: `w` has sixteen bytes of room beyond `limit`. Returns the
// end of what was written.
char* copyPlain(std::string_view& text, char* w, const char* const limit) {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (w < limit) {
#if defined(ORMID_CLIENT_SSSE3)
    if (platform::hasByteShuffles()) copyEscapedSlashes(p, end, w, limit);
    if (w >= limit) break;
#endif
#if defined(__SSE2__)
    if (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i special = _mm_or_si128(
          _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
          _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(w), v);
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
      const std::size_t n = mask == 0 ? 16 : static_cast<std::size_t>(std::countr_zero(mask));
      w += n;
      p += n;
      if (mask == 0) continue;
    }
#endif
    if (p == end) break;
    const auto c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
      *w++ = static_cast<char>(c);
      ++p;
    } else if (c == '\\' && end - p >= 2 && p[1] == '/') {
      // A '/' of the base64 comes escaped: the common case, taken here.
      *w++ = '/';
      p += 2;
    } else if (c == '\\' && end - p >= 4 && p[1] == '\\' && p[2] == '\\' && p[3] == '/') {
      *w++ = '/';
      p += 4;
    } else {
      break;
    }
  }
  text.remove_prefix(static_cast<std::size_t>(p - text.data()));
  return w;
}

// The character a complete escape (what follows its backslash) stands for,
// '!' for one beyond ASCII (outside the alphabet as well); false when it is
// none.
bool unescape(std::string_view escape, char& c) {
  unsigned unit = 0;
  std::size_t length = 0;
  if (!jsonEscape(escape, unit, length) || length != escape.size()) return false;
  c = unit < 0x80 ? static_cast<char>(unit) : '!';
  return true;
}

}  // namespace

void PartText::append(std::string_view part, std::string& out) {
  while (!part.empty()) {
    if (!waiting()) {
      const std::size_t run = std::min(part.find('\\'), part.size());
      out.append(part.substr(0, run));
      part.remove_prefix(run);
      if (part.empty()) break;
    }
    appendOne(part, out);
  }
}

void PartText::appendOne(std::string_view& part, std::string& out) {
  unsigned unit = 0;
  std::size_t length = 0;
  if (part.front() != '\\' || !jsonEscape(part.substr(1), unit, length)) {
    // A byte as it stands (a part was checked as a string when its frame
    // was read, so a backslash begins an escape).
    flushHigh(out);
    out += part.front();
    part.remove_prefix(1);
    return;
  }
  part.remove_prefix(1 + length);
  const auto c = static_cast<char16_t>(unit);
  if (high_ != 0 && c >= 0xDC00 && c <= 0xDFFF) {
    const char16_t pair[2] = {high_, c};
    appendUtf8(out, std::u16string_view(pair, 2));
    high_ = 0;
    return;
  }
  flushHigh(out);
  if (c >= 0xD800 && c <= 0xDBFF) {
    high_ = c;  // its second half may begin the next part
  } else if (c < 0x80) {
    out += static_cast<char>(c);
  } else {
    appendUtf8(out, std::u16string_view(&c, 1));
  }
}

void PartText::finish(std::string& out) { flushHigh(out); }

void PartText::flushHigh(std::string& out) {
  if (high_ == 0) return;
  appendUtf8(out, std::u16string_view(&high_, 1));
  high_ = 0;
}

// The staging has room for a last whole block stored beyond its end.
DocumentStream::DocumentStream(Sink sink) : sink_(std::move(sink)), staging_(kStaged + 16, '\0') {}

void DocumentStream::feed(std::string_view part, std::string& kept) {
  while (!part.empty()) {
    // The document's plain characters and escaped '/' are taken in runs,
    // straight from the part; the rest a character at a time.
    if (inContent_ && !escaping_ && !partText_.waiting()) {
      if (stagePlain(part)) continue;
      if (part.empty()) break;
    }
    character_.clear();
    partText_.appendOne(part, character_);
    text(character_, kept);
  }
}

void DocumentStream::text(std::string_view text, std::string& kept) {
  while (!text.empty()) {
    if (inContent_) {
      content(text);
      continue;
    }
    // The rest of an answer is small: a byte at a time.
    structure(text.front(), kept);
    text.remove_prefix(1);
  }
}

bool DocumentStream::stagePlain(std::string_view& part) {
  char* const staging = staging_.data();
  staged_ = static_cast<std::size_t>(copyPlain(part, staging + staged_, staging + kStaged) - staging);
  if (staged_ < kStaged) return false;
  decodeStaged(false);
  return true;
}

void DocumentStream::structure(char c, std::string& kept) {
  if (inString_) {
    kept += c;
    const bool ends = !escape_ && c == '"';
    escape_ = !escape_ && c == '\\';
    if (inKey_ && !ends && key_.size() <= kContentKey.size()) key_ += c;
    if (ends) {
      inString_ = false;
      if (inKey_) {
        inKey_ = false;
        afterKey_ = true;
        isContentKey_ = key_ == kContentKey;
      }
    }
    return;
  }
  if (c == '"' && depth_ == 1 && afterColon_ && isContentKey_) {
    // The document's string: decoded as it comes, and empty in what is kept.
    bad_ = bad_ || met_;
    met_ = inContent_ = true;
    afterColon_ = false;
    kept += "\"\"";
    return;
  }
  kept += c;
  switch (c) {
    case ' ':
    case '\t':
    case '\r':
    case '\n':
      return;
    case '"':
      inString_ = true;
      inKey_ = depth_ == 1 && expectKey_;
      key_.clear();
      break;
    case ':':
      afterColon_ = depth_ == 1 && afterKey_;
      break;
    case '{':
    case '[':
      expectKey_ = ++depth_ == 1 && c == '{';
      break;
    case '}':
    case ']':
      --depth_;
      break;
    case ',':
      expectKey_ = depth_ == 1;
      break;
    default:
      break;
  }
  if (c != ':') afterColon_ = false;
  if (c != '"') expectKey_ = expectKey_ && (c == '{' || c == ',');
  afterKey_ = false;
}

void DocumentStream::content(std::string_view& text) {
  while (!text.empty()) {
    if (escaping_) {
      // \x or \uXXXX, perhaps cut between pieces.
      const char next = text.front();
      text.remove_prefix(1);
      char c = 0;
      if (escapePending_.empty() && next != 'u') {
        if (!unescape(std::string_view(&next, 1), c)) bad_ = true;
      } else {
        escapePending_ += next;
        if (escapePending_.size() < 5) continue;
        if (!unescape(escapePending_, c)) bad_ = true;
        escapePending_.clear();
      }
      stage(c);
      escaping_ = false;
      continue;
    }
    const auto c = static_cast<unsigned char>(text.front());
    text.remove_prefix(1);
    if (c == '"') {
      inContent_ = false;
      decodeStaged(true);
      flush();
      return;
    }
    if (c == '\\') {
      escaping_ = true;
      continue;
    }
    // A control character is not JSON; a tab or a byte beyond ASCII is
    // outside the alphabet, and decoding stops there.
    if (c < 0x20 && c != '\t') bad_ = true;
    stage(static_cast<char>(c));
  }
}

void DocumentStream::stage(char c) {
  staging_[staged_++] = c;
  if (staged_ >= kStaged) decodeStaged(false);
}

void DocumentStream::decodeStaged(bool last) {
  // Whole groups while more may come; decoding stops for good at a '=' or a
  // character outside the alphabet, as when the whole text is decoded at once.
  const std::size_t n = last ? staged_ : staged_ / 4 * 4;
  if (!stopped_ && n > 0) {
    if (decoded_.empty()) decoded_.resize(kDecodedPiece);
    if (decoded_.size() - used_ < base64DecodeRoom(n)) flush();
    unsigned char* const at = decoded_.data() + used_;
    const auto decoded =
        static_cast<std::size_t>(base64DecodeTo(std::string_view(staging_.data(), n), at) - at);
    used_ += decoded;
    bytes_ += decoded;
    stopped_ = decoded < n / 4 * 3;
  }
  // The characters of a group not yet whole move to the front.
  std::memmove(staging_.data(), staging_.data() + n, staged_ - n);
  staged_ -= n;
}

void DocumentStream::flush() {
  if (used_ > 0 && !sink_({reinterpret_cast<const char*>(decoded_.data()), used_})) bad_ = true;
  used_ = 0;
}

bool DocumentStream::finish(std::string& kept) {
  character_.clear();
  partText_.finish(character_);
  text(character_, kept);
  flush();  // what came of a document cut short is kept too
  return !bad_ && !inContent_;
}

bool AnswerJoiner::morePartsFollow(const Message& message) {
  const JsonValue* split = message.value ? member(*message.value, u"split") : nullptr;
  const JsonValue* part = split ? member(*split, u"part") : nullptr;
  const JsonValue* last = split ? member(*split, u"last") : nullptr;
  // Asking again after an empty part would go on for ever.
  return part && part->isString() && last && last->isBool() && !last->asBool() && !message.part.empty();
}

AnswerJoiner::Step AnswerJoiner::take(Message message) {
  const JsonValue* split = message.value ? member(*message.value, u"split") : nullptr;
  if (!split) {
    if (parts_ > 0) {
      error_ = "an answer without its part arrived in the middle of a split answer";
      return Step::failed;
    }
    complete_ = std::move(message.value);
    return Step::complete;
  }
  const JsonValue* part = member(*split, u"part");
  const JsonValue* last = member(*split, u"last");
  if (!part || !part->isString() || !last || !last->isBool()) {
    error_ = "a split answer without its part or its last flag";
    return Step::failed;
  }
  ++parts_;
  if (stream_) {
    stream_->feed(message.part, joined_);
  } else {
    // The joined text grows by doubling into memory made ready as it is
    // about to be written: it reaches the size of the document's base64.
    const std::size_t bound = joined_.size() + message.part.size();
    if (bound > joined_.capacity()) {
      platform::reserveLarge(joined_, std::max(bound, 2 * joined_.capacity()), joined_.size());
    }
    if (joined_.capacity() >= (std::size_t{4} << 20)) {
      platform::adviseLargeBuffer(joined_.data() + joined_.size(), message.part.size(), message.part.size());
    }
    partText_.append(message.part, joined_);
  }
  if (!last->asBool()) {
    if (!morePartsFollow(message)) {
      error_ = "the host sent an empty part that is not the last one";
      return Step::failed;
    }
    return Step::needNextPart;
  }
  if (!stream_) partText_.finish(joined_);
  if (stream_ && !stream_->finish(joined_)) {
    error_ = "the document in the joined parts is not one well-formed string, or could not be kept";
    return Step::failed;
  }
  // The joined text itself becomes the document's base64, unescaped where
  // it stands (no copy of it).
  complete_ = parseJsonTaking(joined_, u"contentFile");
  std::string().swap(joined_);
  if (!complete_ || !complete_->isObject()) {
    complete_.reset();
    error_ = "the joined parts are not a JSON object";
    return Step::failed;
  }
  if (streamed()) complete_->asObject().erase(std::u16string(kContentKey.begin(), kContentKey.end()));
  return Step::complete;
}

// ---------------------------------------------------------------------------
// Showing messages

namespace {

void appendQuoted(std::string& out, std::u16string_view text) {
  out.push_back('"');
  for (const char16_t c : text) {
    switch (c) {
      case u'"':
        out.append("\\\"");
        break;
      case u'\\':
        out.append("\\\\");
        break;
      case u'\n':
        out.append("\\n");
        break;
      case u'\r':
        out.append("\\r");
        break;
      case u'\t':
        out.append("\\t");
        break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          out.append(escape);
        } else {
          appendUtf8(out, std::u16string_view(&c, 1));
        }
    }
  }
  out.push_back('"');
}

void appendString(std::string& out, const std::u16string& text, std::size_t maxString) {
  if (text.size() <= maxString) {
    appendQuoted(out, text);
    return;
  }
  std::size_t keep = maxString / 2;
  // Do not cut a surrogate pair in two.
  if (keep > 0 && text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF) --keep;
  appendQuoted(out, std::u16string_view(text).substr(0, keep));
  out.append("... (" + std::to_string(text.size()) + " chars)");
}

// ASCII text held narrow, as a document's base64 is.
void appendString(std::string& out, std::string_view text, std::size_t maxString) {
  if (text.size() <= maxString) {
    appendQuoted(out, asciiToWide(text));
    return;
  }
  appendQuoted(out, asciiToWide(text.substr(0, maxString / 2)));
  out.append("... (" + std::to_string(text.size()) + " chars)");
}

void appendNumber(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void appendValue(std::string& out, const JsonValue& value, std::size_t maxString, int depth) {
  const std::string indent(2 * (depth + 1), ' ');
  const std::string closing(2 * depth, ' ');
  switch (value.type()) {
    case JsonType::Null:
      out.append("null");
      break;
    case JsonType::Bool:
      out.append(value.asBool() ? "true" : "false");
      break;
    case JsonType::Number:
      appendNumber(out, value.asNumber());
      break;
    case JsonType::String:
      if (value.isNarrow()) {
        appendString(out, value.asNarrow(), maxString);
      } else {
        appendString(out, value.asString(), maxString);
      }
      break;
    case JsonType::Array: {
      const auto& elements = value.asArray();
      if (elements.empty()) {
        out.append("[]");
        break;
      }
      out.append("[\n");
      for (std::size_t i = 0; i < elements.size(); ++i) {
        out.append(indent);
        appendValue(out, *elements[i], maxString, depth + 1);
        out.append(i + 1 < elements.size() ? ",\n" : "\n");
      }
      out.append(closing + "]");
      break;
    }
    case JsonType::Object: {
      const auto& members = value.asObject();
      if (members.empty()) {
        out.append("{}");
        break;
      }
      out.append("{\n");
      std::size_t i = 0;
      for (const auto& [key, child] : members) {
        out.append(indent);
        appendQuoted(out, key);
        out.append(": ");
        appendValue(out, *child, maxString, depth + 1);
        out.append(++i < members.size() ? ",\n" : "\n");
      }
      out.append(closing + "}");
      break;
    }
  }
}

}  // namespace

std::string describe(const JsonValue& value, std::size_t maxString) {
  std::string out;
  appendValue(out, value, maxString, 0);
  return out;
}

}  // namespace ormid::client
