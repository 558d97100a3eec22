#include "python/errors.h"

#include <string>

namespace qv::py {
namespace {

PyObject* g_internal_error = nullptr;

PyObject* raise_text(PyObject* type, std::string_view prefix, std::string_view text) {
  std::string message;
  message.reserve(prefix.size() + text.size());
  message.append(prefix).append(text);
  // The message is the exception's single argument; texts from the file
  // system may hold bytes that are not UTF-8, which must not turn the report
  // of one error into another error.
  PyObject* value = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (value == nullptr) return nullptr;
  PyErr_SetObject(type, value);
  Py_DECREF(value);
  return nullptr;
}

}  // namespace

bool init_internal_error_type() {
  if (g_internal_error != nullptr) return true;
  g_internal_error = PyErr_NewExceptionWithDoc(
      "_qv_py.InternalError",
      "A fault inside the _qv_py extension module (a bug, not a user error).\n\n"
      "Derives from BaseException so that `except Exception` does not hide it.",
      PyExc_BaseException, nullptr);
  return g_internal_error != nullptr;
}

PyObject* internal_error_type() { return g_internal_error; }

PyObject* raise_core_error(const CoreError& error) {
  switch (error.kind) {
    case ErrorKind::kIo: return raise_text(PyExc_RuntimeError, "io: ", error.message);
    case ErrorKind::kJson: return raise_text(PyExc_ValueError, "manifest: ", error.message);
    case ErrorKind::kHex: return raise_text(PyExc_ValueError, "hex: ", error.message);
    case ErrorKind::kInvalidDigest: return raise_text(PyExc_ValueError, "invalid digest: ", error.message);
    case ErrorKind::kIntegrity: return raise_text(PyExc_RuntimeError, "integrity: ", error.message);
    case ErrorKind::kNotImplemented: return raise_text(PyExc_RuntimeError, "not yet implemented: ", error.message);
  }
  return raise_internal_error("core error of unknown kind: " + error.message);
}

PyObject* raise_merge_error(std::string_view text) { return raise_text(PyExc_RuntimeError, "merge: ", text); }

PyObject* raise_internal_error(std::string_view text) noexcept {
  PyObject* type = g_internal_error != nullptr ? g_internal_error : PyExc_SystemError;
  PyObject* value = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (value == nullptr) return nullptr;
  PyErr_SetObject(type, value);
  Py_DECREF(value);
  return nullptr;
}

}  // namespace qv::py
