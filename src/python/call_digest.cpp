// digest_of(bytes) -> str
#include <new>
#include <stdexcept>
#include <string>

#include "core/digest.h"
#include "python/calls.h"
#include "python/convert.h"
#include "python/errors.h"

namespace qv::py {
namespace {

// The second, keyword-only parameter is a test hook that is not part of the
// documented signature: it makes the call throw a C++ exception from inside
// the boundary, so tests can see that such a fault becomes the module's
// internal-error exception instead of ending the process. It costs nothing
// unless given.
constexpr const char* kParams[] = {"bytes", "_qv_test_fault"};
constexpr Signature kSignature{"digest_of", kParams, 1, 1};

[[noreturn]] void inject_fault(PyObject* kind) {
  if (PyUnicode_Check(kind)) {
    if (PyUnicode_CompareWithASCIIString(kind, "bad_alloc") == 0) throw std::bad_alloc();
    if (PyUnicode_CompareWithASCIIString(kind, "runtime_error") == 0) throw std::runtime_error("injected fault");
  }
  throw 42;  // not derived from std::exception
}

PyObject* digest_of_impl(std::string_view bytes) { return str_from_utf8(compute_digest(bytes).as_str()); }

}  // namespace

PyObject* digest_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_arguments(kSignature, args, nargs, kwnames, a)) return nullptr;
    if (a[1] != nullptr) inject_fault(a[1]);
    std::string storage;
    auto bytes = byte_sequence_arg(a[0], "bytes", storage);
    if (!bytes) return nullptr;
    return digest_of_impl(*bytes);
  });
}

}  // namespace qv::py
