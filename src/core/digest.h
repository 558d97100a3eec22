// Content ids: "sha256:" followed by 64 hex digits of the SHA-256 of the bytes.
//
// Digest is an immutable value (one text); equality is byte equality of the
// text, so a parsed upper-case id differs from the computed id of the same
// content. compute_digest is thread-safe (one hashing context per thread).
#pragma once

#include <compare>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/error.h"

namespace qv {

inline constexpr std::string_view kDigestPrefix = "sha256:";

class Digest {
 public:
  Digest() = default;
  // Wraps a text as is; use compute_digest / parse_digest to make one.
  static Digest from_text(std::string text) { return Digest(std::move(text)); }

  const std::string& as_str() const { return text_; }
  // The text from byte 7 on (the hex part of a well-formed digest).
  std::string_view hex() const {
    return text_.size() >= kDigestPrefix.size() ? std::string_view(text_).substr(kDigestPrefix.size())
                                                : std::string_view();
  }

  friend bool operator==(const Digest&, const Digest&) = default;
  friend auto operator<=>(const Digest&, const Digest&) = default;

 private:
  explicit Digest(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

// SHA-256 (libcrypto) of the bytes, as a lower-case digest. Never fails.
Digest compute_digest(std::string_view bytes);

// Validates an id that came from outside; keeps the text unchanged.
Result<Digest> parse_digest(std::string_view text);

// Lower-case hex of raw bytes.
std::string hex_encode(std::string_view bytes);

// True when the text is "sha256:" followed by exactly 64 ASCII hex digits.
bool is_well_formed_digest(std::string_view text);

// root / "blobs" / "sha256" / hex[0..2] / (hex + ".zst").
// Digest texts read from stored records reach this unvalidated; anything that
// is not a well-formed digest fails with Integrity so that no stored reference
// can ever name a file outside the fan-out directories.
Result<std::filesystem::path> blob_path(const std::filesystem::path& root, const Digest& digest);

}  // namespace qv

template <>
struct std::hash<qv::Digest> {
  size_t operator()(const qv::Digest& d) const noexcept { return std::hash<std::string>()(d.as_str()); }
};
