// Inputs shared by the micro-benchmarks, built once per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace ormid::bench {

constexpr std::size_t kMiB = 1024 * 1024;

inline std::vector<unsigned char> randomBytes(std::size_t size) {
  std::mt19937_64 random(42);
  std::vector<unsigned char> bytes(size);
  for (std::size_t i = 0; i < size; i += 8) {
    std::uint64_t word = random();
    for (std::size_t k = i; k < size && k < i + 8; ++k, word >>= 8)
      bytes[k] = static_cast<unsigned char>(word);
  }
  return bytes;
}

// Prose mixing ASCII, Latin-1, CJK and emoji, repeated to `size` bytes.
inline std::string mixedUtf8(std::size_t size) {
  const std::string sample =
      "Le r\xC3\xA9sum\xC3\xA9 du document \xE6\x96\x87\xE6\x9B\xB8 \xF0\x9F\x93\x84 est pr\xC3\xAAt. ";
  std::string text;
  text.reserve(size + sample.size());
  while (text.size() < size) text += sample;
  return text;
}

}  // namespace ormid::bench
