// The one error type of the core library.
//
// Every fallible core operation returns Result<T>: the value or a CoreError.
// Nothing in the core throws; exceptions exist only at the Python boundary.
// CoreError is a plain value and safe to copy between threads.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace qv {

enum class ErrorKind {
  kIo,              // operating-system or file error, or a message of our own
  kJson,            // JSON reader/writer message (reader: "... at line L column C")
  kHex,             // hexadecimal decoding error
  kInvalidDigest,   // a digest text from outside failed validation
  kIntegrity,       // stored data of the wrong content, kind or shape
  kNotImplemented,  // fixed text naming the operation
};

struct CoreError {
  ErrorKind kind;
  std::string message;

  // How the error reads inside another message, e.g. "io: {message}" or
  // "CAS integrity check failed for {message}".
  std::string embedded() const;
};

template <class T>
using Result = std::expected<T, CoreError>;

// Status for operations without a value.
using Status = std::expected<void, CoreError>;

inline std::unexpected<CoreError> make_error(ErrorKind kind, std::string message) {
  return std::unexpected(CoreError{kind, std::move(message)});
}
inline std::unexpected<CoreError> io_error(std::string m) { return make_error(ErrorKind::kIo, std::move(m)); }
inline std::unexpected<CoreError> json_error(std::string m) { return make_error(ErrorKind::kJson, std::move(m)); }
inline std::unexpected<CoreError> integrity_error(std::string m) {
  return make_error(ErrorKind::kIntegrity, std::move(m));
}
inline std::unexpected<CoreError> invalid_digest_error(std::string m) {
  return make_error(ErrorKind::kInvalidDigest, std::move(m));
}
inline std::unexpected<CoreError> not_implemented_error(std::string m) {
  return make_error(ErrorKind::kNotImplemented, std::move(m));
}

// The system's text for an errno value: "{strerror} (os error {code})".
std::string errno_text(int err);
// io_error(errno_text(err)).
std::unexpected<CoreError> errno_error(int err);

// Propagates the error of a Result/Status expression, otherwise yields nothing.
// The one propagation macro of the code base:
//   QV_TRY(put_thing());          // Status or Result, value discarded
#define QV_TRY(expr)                                       \
  do {                                                     \
    auto&& qv_try_result_ = (expr);                        \
    if (!qv_try_result_) return std::unexpected(std::move(qv_try_result_).error()); \
  } while (0)

}  // namespace qv
