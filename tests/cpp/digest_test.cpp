#include "core/digest.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(DigestTest, KnownAnswers) {
  struct {
    std::string input;
    std::string hex;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Digest d = compute_digest(c.input);
    EXPECT_EQ(d.as_str(), "sha256:" + c.hex);
    EXPECT_EQ(d.hex(), c.hex);
  }
  std::string million(1000000, 'a');
  EXPECT_EQ(compute_digest(million).hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(DigestTest, ParseRules) {
  const std::string hex64(64, 'a');
  const std::string upper64(64, 'A');
  struct {
    std::string text;
    std::string error;  // empty: parses
  } cases[] = {
      {"sha256:" + hex64, ""},
      {"sha256:" + upper64, ""},
      {"SHA256:" + hex64, "missing sha256: prefix in SHA256:" + hex64},
      {"", "missing sha256: prefix in "},
      {"sha25", "missing sha256: prefix in sha25"},
      {"sha256:", "not 64 hex chars: sha256:"},
      {"sha256:" + hex64.substr(1), "not 64 hex chars: sha256:" + hex64.substr(1)},
      {"sha256:" + hex64 + "a", "not 64 hex chars: sha256:" + hex64 + "a"},
      {"sha256:" + hex64 + "\n", "not 64 hex chars: sha256:" + hex64 + "\n"},
      {"sha256:g" + hex64.substr(1), "not 64 hex chars: sha256:g" + hex64.substr(1)},
      // 71 bytes with a two-byte character in the tail.
      {"sha256:" + hex64.substr(2) + "\xc3\xa9", "not 64 hex chars: sha256:" + hex64.substr(2) + "\xc3\xa9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = parse_digest(c.text);
    if (c.error.empty()) {
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->as_str(), c.text);
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind, ErrorKind::kInvalidDigest);
      EXPECT_EQ(r.error().message, c.error);
    }
  }
}

TEST(DigestTest, BlobPathAndStoredReferences) {
  std::string hex = "ab" + std::string(62, '0');
  auto p = blob_path("root", Digest::from_text("sha256:" + hex));
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->string(), "root/blobs/sha256/ab/" + hex + ".zst");
  // References read from stored records are never turned into arbitrary paths.
  for (const std::string& bad : std::vector<std::string>{"sha256:../../x", "sha256:", "", "x", "sha256:" + std::string(62, '0') + "/.",
                          "sha256:../" + std::string(61, '0')}) {
    SCOPED_TRACE(bad);
    auto r = blob_path("root", Digest::from_text(bad));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::kIntegrity);
  }
}

}  // namespace
}  // namespace qv
