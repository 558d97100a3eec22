#include "core/digest.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <memory>

namespace qv {
namespace {

// The digest method is fetched once; each thread reuses its own context.
const EVP_MD* sha256_md() {
  static const EVP_MD* md = [] {
    const EVP_MD* m = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return m != nullptr ? m : EVP_sha256();
  }();
  return md;
}

struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

EVP_MD_CTX* thread_ctx() {
  thread_local std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
  return ctx.get();
}

bool is_hex_char(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

std::string hex_encode(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(bytes.size() * 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto b = static_cast<unsigned char>(bytes[i]);
    out[2 * i] = kDigits[b >> 4];
    out[2 * i + 1] = kDigits[b & 15];
  }
  return out;
}

Digest compute_digest(std::string_view bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_MD_CTX* ctx = thread_ctx();
  // These calls fail only on allocation failure inside libcrypto; there is no
  // meaningful recovery, and a wrong digest would corrupt the store.
  if (ctx == nullptr || EVP_DigestInit_ex(ctx, sha256_md(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx, bytes.data(), bytes.size()) != 1 || EVP_DigestFinal_ex(ctx, md, &len) != 1) {
    std::abort();
  }
  std::string text(kDigestPrefix);
  text += hex_encode(std::string_view(reinterpret_cast<const char*>(md), len));
  return Digest::from_text(std::move(text));
}

Result<Digest> parse_digest(std::string_view text) {
  if (text.size() < kDigestPrefix.size() || text.substr(0, kDigestPrefix.size()) != kDigestPrefix) {
    return invalid_digest_error("missing sha256: prefix in " + std::string(text));
  }
  if (!is_well_formed_digest(text)) return invalid_digest_error("not 64 hex chars: " + std::string(text));
  return Digest::from_text(std::string(text));
}

bool is_well_formed_digest(std::string_view text) {
  if (text.size() != kDigestPrefix.size() + 64 || text.substr(0, kDigestPrefix.size()) != kDigestPrefix) return false;
  for (char c : text.substr(kDigestPrefix.size())) {
    if (!is_hex_char(c)) return false;
  }
  return true;
}

Result<std::filesystem::path> blob_path(const std::filesystem::path& root, const Digest& digest) {
  if (!is_well_formed_digest(digest.as_str())) {
    return integrity_error("malformed digest reference " + digest.as_str());
  }
  std::string_view hex = digest.hex();
  std::string file(hex);
  file += ".zst";
  return root / "blobs" / "sha256" / std::string(hex.substr(0, 2)) / file;
}

}  // namespace qv
