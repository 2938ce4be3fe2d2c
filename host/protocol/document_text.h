// A document's base64 as it stands in an answer: the JSON text of the
// contentFile member, where every '/' is written "\/", and, inside a part of
// an answer sent in parts, that text escaped once more ('/' as "\\\/").
// Made from the document's own bytes a piece at a time, from a position
// that only moves forward, so that a document is held once, as its bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ormid {

struct DocumentTextPosition {
  std::size_t character = 0;  // of the base64
  bool slashBegun = false;    // the '\' before the '/' at `character` is behind
};

// How many bytes of the text are left from `at` on. The first form is
// exact and reads the rest of the document; the second never more than the
// exact count, at once.
std::size_t documentTextLeft(std::string_view document, DocumentTextPosition at);
std::size_t documentTextLeftAtLeast(std::string_view document, DocumentTextPosition at);

// Appends the text from `at` on, at most `count` bytes of it, escaped once
// more when `again`; no more than `room` bytes are appended (a text byte
// that does not fit whole is left). Moves `at` past what was taken; how many
// bytes of the text that was.
std::size_t appendDocumentText(std::string_view document, DocumentTextPosition& at, std::size_t count,
                               bool again, std::size_t room, std::string& out);

}  // namespace ormid
