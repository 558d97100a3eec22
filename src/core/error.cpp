#include "core/error.h"

#include <cstring>

namespace qv {

std::string CoreError::embedded() const {
  switch (kind) {
    case ErrorKind::kIo: return "io: " + message;
    case ErrorKind::kJson: return "manifest: " + message;
    case ErrorKind::kHex: return "hex: " + message;
    case ErrorKind::kInvalidDigest: return "invalid digest: " + message;
    case ErrorKind::kIntegrity: return "CAS integrity check failed for " + message;
    case ErrorKind::kNotImplemented: return "not yet implemented: " + message;
  }
  return message;
}

std::string errno_text(int err) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

std::unexpected<CoreError> errno_error(int err) { return io_error(errno_text(err)); }

}  // namespace qv
