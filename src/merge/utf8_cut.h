// Byte-limited cuts of UTF-8 text that never leave half a character behind.
// Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string_view>

namespace qv {

// The longest prefix of `text` that is at most `limit` bytes and does not end
// inside a multi-byte character. If the byte after the cut is a continuation
// byte, the cut moves back to the start of that character (at most three
// bytes, the longest tail a character can have); text that is not UTF-8 at
// that point is cut at `limit` as is.
inline std::string_view utf8_prefix(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  auto is_continuation = [&](size_t i) { return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80; };
  size_t cut = limit;
  while (cut > 0 && limit - cut < 3 && is_continuation(cut)) --cut;
  if (is_continuation(cut)) {
    // Still inside a run of continuation bytes: not a character boundary we
    // can find, so keep the plain byte cut.
    return text.substr(0, limit);
  }
  return text.substr(0, cut);
}

}  // namespace qv
