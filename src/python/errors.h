// How failures leave the extension module.
//
// Every entry point returns through raise_core_error for a CoreError, through
// raise_merge_error for a failed merge, and is wrapped in guarded() so that no
// C++ exception ever unwinds into the interpreter: a thrown exception becomes
// the module's internal-error exception, which derives from BaseException
// (not Exception) so that ordinary `except Exception` handlers do not swallow
// what is a bug in this module.
//
// All functions need the GIL; the internal-error type is created once, at
// module initialisation, before any entry point can run.
#pragma once

#include <exception>
#include <string_view>

#include "core/error.h"
#include "python/py.h"

namespace qv::py {

// Creates the internal-error type. Returns false with a Python error set.
bool init_internal_error_type();
// The internal-error type (borrowed), valid after init_internal_error_type.
PyObject* internal_error_type();

// Sets the Python exception for a core error and returns nullptr:
//   Io, Integrity, NotImplemented -> RuntimeError; Json, Hex, InvalidDigest -> ValueError,
// with the kind's prefix ("io: ", "manifest: ", "hex: ", "invalid digest: ",
// "integrity: ", "not yet implemented: ") before the error's own text.
PyObject* raise_core_error(const CoreError& error);

// RuntimeError "merge: {text}"; returns nullptr.
PyObject* raise_merge_error(std::string_view text);

// The internal-error exception with the given text; returns nullptr.
PyObject* raise_internal_error(std::string_view text) noexcept;

// Runs an entry point's body (returning a new reference or nullptr with a
// Python error set); a C++ exception becomes the internal error.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    return raise_internal_error(e.what());
  } catch (...) {
    return raise_internal_error("unknown C++ exception");
  }
}

}  // namespace qv::py
