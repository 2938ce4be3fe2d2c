// Base64 (standard alphabet, '=' padding, no line breaks) for document content.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ormid {

std::string base64Encode(const unsigned char* data, std::size_t size);
// Appends the base64 of `data` to `out`; pieces whose sizes are multiples of
// three, but the last, append up to the base64 of the whole.
void base64Append(std::string& out, const unsigned char* data, std::size_t size);
// Characters of the base64 of `size` bytes.
constexpr std::size_t base64Size(std::size_t size) { return (size + 2) / 3 * 4; }
// Writes the base64 of `groups` whole groups of three bytes at `data` to
// `out` (four characters for each); the end of what was written.
char* base64EncodeGroups(const unsigned char* data, std::size_t groups, char* out);

// Decodes up to the first '=' or the first character outside the alphabet;
// a trailing group of two or three characters gives one or two bytes, a lone
// character nothing. Never fails: what was decoded is the result.
std::vector<unsigned char> base64Decode(std::string_view text);
// The same into `out`, whose memory is reused from one call to the next.
void base64Decode(std::string_view text, std::vector<unsigned char>& out);
// Room that decoding `characters` characters may use.
constexpr std::size_t base64DecodeRoom(std::size_t characters) { return characters / 4 * 3 + 3; }
// The same into memory with base64DecodeRoom(text.size()) bytes of room,
// none of it filled first; the end of what was decoded.
unsigned char* base64DecodeTo(std::string_view text, unsigned char* out);

// How many bytes base64Decode(text) gives, without decoding; UTF-16 text is
// read the same way (a character beyond ASCII is outside the alphabet).
std::size_t base64DecodedSize(std::string_view text);
std::size_t base64DecodedSize(std::u16string_view text);

}  // namespace ormid
