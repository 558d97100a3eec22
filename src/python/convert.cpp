#include "python/convert.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <variant>

#include "core/file_util.h"
#include "python/store_type.h"

namespace qv::py {
namespace {

// A sequence's reported length only sizes the buffer; a length that lies must
// not turn into one huge allocation before the first item is read.
constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 26;

// PyErr_Fetch/Restore are deprecated from 3.12 on, but their replacements are
// not in the 3.11 stable ABI this module is built for.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
struct PendingError {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;

  // Takes the pending exception, normalised to an instance carrying its traceback.
  static PendingError take() {
    PendingError e;
    PyErr_Fetch(&e.type, &e.value, &e.traceback);
    PyErr_NormalizeException(&e.type, &e.value, &e.traceback);
    if (e.value != nullptr && e.traceback != nullptr) PyException_SetTraceback(e.value, e.traceback);
    return e;
  }
  // Raises it again (the references are handed back to the interpreter).
  void restore() {
    PyErr_Restore(type, value, traceback);
    type = value = traceback = nullptr;
  }
  void release() {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    type = value = traceback = nullptr;
  }
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// The UTF-8 text of a str item (env names and values, roles, contents).
std::optional<std::string_view> item_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    raise_conversion_error(obj, "str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<size_t>(size));
}

// The str value under a message key; a missing key is the caller's ValueError.
std::optional<std::string> message_field(PyObject* message, PyObject* key, const char* missing) {
  PyObject* value = PyDict_GetItemWithError(message, key);  // borrowed
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, missing);
    return std::nullopt;
  }
  auto text = item_text(value);
  if (!text) return std::nullopt;
  return std::string(*text);
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) {
  const size_t count = sig.names.size();
  std::fill(out, out + count, nullptr);
  if (nargs < 0 || static_cast<size_t>(nargs) > sig.positional) {
    if (sig.required == sig.positional) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", sig.function,
                   sig.positional, sig.positional == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given",
                   sig.function, sig.required, sig.positional, nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    if (nkw < 0) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);  // borrowed
      if (key == nullptr) return false;
      size_t index = count;
      for (size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
          index = i;
          break;
        }
      }
      if (index == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
        return false;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, sig.names[index]);
        return false;
      }
      out[index] = args[nargs + k];
    }
  }
  for (size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.function, sig.names[i],
                   i + 1);
      return false;
    }
  }
  return true;
}

void name_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PendingError original = PendingError::take();
  PyObject* text = original.value != nullptr ? PyObject_Str(original.value) : nullptr;
  if (text == nullptr) {
    // The message itself cannot be read: keep the original error rather than lose it.
    PyErr_Clear();
    original.restore();
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
  Py_DECREF(text);
  PendingError renamed = PendingError::take();
  if (renamed.value == nullptr) {
    original.release();
    renamed.restore();
    return;
  }
  // As `raise TypeError(...) from original` inside an except block.
  PyException_SetContext(renamed.value, Py_NewRef(original.value));
  PyException_SetCause(renamed.value, Py_NewRef(original.value));
  original.release();
  renamed.restore();
}

PyObject* raise_conversion_error(PyObject* obj, const char* target) {
  PyObject* type_name = PyType_GetName(Py_TYPE(obj));
  if (type_name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name, target);
  Py_DECREF(type_name);
  return nullptr;
}

std::optional<std::string_view> str_arg(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    raise_conversion_error(obj, "str");
    name_argument_error(name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return std::nullopt;  // lone surrogates: UnicodeEncodeError, unchanged
  return std::string_view(data, static_cast<size_t>(size));
}

std::optional<QvStore> store_arg(PyObject* obj, const char* name) {
  const QvStore* store = core_store_of(obj);
  if (store == nullptr) {
    raise_conversion_error(obj, "QvStore");
    name_argument_error(name);
    return std::nullopt;
  }
  return *store;
}

bool dict_arg(PyObject* obj, const char* name) {
  if (PyDict_Check(obj)) return true;
  raise_conversion_error(obj, "dict");
  name_argument_error(name);
  return false;
}

bool list_arg(PyObject* obj, const char* name) {
  if (PyList_Check(obj)) return true;
  raise_conversion_error(obj, "list");
  name_argument_error(name);
  return false;
}

std::optional<std::string_view> byte_sequence_arg(PyObject* obj, const char* name, std::string& storage) {
  // Exact types only: a subclass may override iteration, which the generic path honours.
  if (PyBytes_CheckExact(obj)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return std::nullopt;
    return std::string_view(data, static_cast<size_t>(size));
  }
  if (PyByteArray_CheckExact(obj)) {
    return std::string_view(PyByteArray_AsString(obj), static_cast<size_t>(PyByteArray_Size(obj)));
  }
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "a str cannot be converted to bytes; encode it first");
    name_argument_error(name);
    return std::nullopt;
  }
  if (!PySequence_Check(obj)) {
    raise_conversion_error(obj, "Sequence");
    name_argument_error(name);
    return std::nullopt;
  }
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  storage.clear();
  storage.reserve(static_cast<size_t>(std::min(hint, kMaxReserve)));
  Ref iter(PyObject_GetIter(obj));
  if (!iter) return std::nullopt;
  for (;;) {
    Ref item(PyIter_Next(iter.get()));
    if (!item) {
      if (PyErr_Occurred()) return std::nullopt;  // the iterator's own error, unchanged
      break;
    }
    long value = PyLong_AsLong(item.get());
    if (value == -1 && PyErr_Occurred()) {
      name_argument_error(name);  // a non-integer; a too-large int stays an OverflowError
      return std::nullopt;
    }
    if (value < 0 || value > 255) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return std::nullopt;
    }
    storage.push_back(static_cast<char>(value));
  }
  return std::string_view(storage);
}

std::optional<double> f64_arg(PyObject* obj, const char* name, double fallback) {
  if (obj == nullptr || obj == Py_None) return fallback;
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    name_argument_error(name);
    return std::nullopt;
  }
  return value;
}

std::optional<float> f32_arg(PyObject* obj, const char* name, float fallback) {
  if (obj == nullptr || obj == Py_None) return fallback;
  auto value = f64_arg(obj, name, 0.0);
  if (!value) return std::nullopt;
  return narrow_to_f32(*value);
}

std::optional<uint64_t> u64_arg(PyObject* obj, const char* name, uint64_t fallback) {
  if (obj == nullptr || obj == Py_None) return fallback;
  Ref index;
  if (!PyLong_Check(obj)) {
    index.reset(PyNumber_Index(obj));
    if (!index) {
      name_argument_error(name);
      return std::nullopt;
    }
    obj = index.get();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;  // OverflowError
  return static_cast<uint64_t>(value);
}

float narrow_to_f32(double v) {
  constexpr double kMax = std::numeric_limits<float>::max();
  // Halfway between the largest float and 2^128: from here on, round-to-nearest-even
  // gives infinity. A plain cast of such a value would be undefined behaviour.
  constexpr double kOverflow = kMax + 0x1p103;
  constexpr float kInf = std::numeric_limits<float>::infinity();
  constexpr float kMaxF = std::numeric_limits<float>::max();
  const double magnitude = std::fabs(v);
  if (magnitude >= kOverflow) return std::signbit(v) ? -kInf : kInf;
  if (magnitude > kMax) return std::signbit(v) ? -kMaxF : kMaxF;
  return static_cast<float>(v);  // in range, or NaN
}

std::filesystem::path expand_home(std::string_view text) {
  if (text.size() >= 2 && text.substr(0, 2) == "~/") {
    const char* home = std::getenv("HOME");
    if (home != nullptr && is_valid_utf8(home)) {
      std::filesystem::path path(home);
      path /= std::string(text.substr(2));
      return path;
    }
  }
  return std::filesystem::path(std::string(text));
}

Result<std::filesystem::path> path_from_text(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) {
    return io_error("path contains a NUL byte: " + lossy_utf8(text));
  }
  return expand_home(text);
}

std::optional<std::map<std::string, std::string>> read_env(PyObject* dict) {
  std::map<std::string, std::string> vars;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    auto name = item_text(key);
    if (!name) return std::nullopt;
    auto text = item_text(value);
    if (!text) return std::nullopt;
    vars.insert_or_assign(std::string(*name), std::string(*text));
  }
  return vars;
}

std::optional<std::vector<TraceMessage>> read_messages(PyObject* list) {
  Ref role_key(PyUnicode_InternFromString("role"));
  Ref content_key(PyUnicode_InternFromString("content"));
  if (!role_key || !content_key) return std::nullopt;
  std::vector<TraceMessage> messages;
  // The length is read on every round: a key's __eq__ run by a dict lookup
  // could change the list.
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyObject* borrowed = PyList_GetItem(list, i);
    if (borrowed == nullptr) return std::nullopt;
    Ref item(Py_NewRef(borrowed));
    if (!PyDict_Check(item.get())) {
      raise_conversion_error(item.get(), "dict");
      return std::nullopt;
    }
    auto role = message_field(item.get(), role_key.get(), "message missing 'role'");
    if (!role) return std::nullopt;
    auto content = message_field(item.get(), content_key.get(), "message missing 'content'");
    if (!content) return std::nullopt;
    messages.push_back(TraceMessage{std::move(*role), std::move(*content)});
  }
  if (PyErr_Occurred()) return std::nullopt;
  return messages;
}

PyObject* str_from_utf8(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* str_from_bytes_lossy(std::string_view bytes) {
  return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
}

PyObject* json_to_python(const JsonValue& value) {
  struct Visitor {
    PyObject* operator()(std::nullptr_t) const { return Py_NewRef(Py_None); }
    PyObject* operator()(bool b) const { return PyBool_FromLong(b ? 1 : 0); }
    PyObject* operator()(uint64_t u) const { return PyLong_FromUnsignedLongLong(u); }
    PyObject* operator()(int64_t i) const { return PyLong_FromLongLong(i); }
    PyObject* operator()(double d) const { return PyFloat_FromDouble(d); }
    PyObject* operator()(const std::string& s) const { return str_from_utf8(s); }
    PyObject* operator()(const JsonValue::Array& array) const {
      Ref list(PyList_New(static_cast<Py_ssize_t>(array.size())));
      if (!list) return nullptr;
      for (size_t i = 0; i < array.size(); ++i) {
        PyObject* item = json_to_python(array[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
      }
      return list.release();
    }
    PyObject* operator()(const JsonValue::Object& object) const {
      Ref dict(PyDict_New());
      if (!dict) return nullptr;
      for (const auto& [key, member] : object) {
        Ref k(str_from_utf8(key));
        if (!k) return nullptr;
        Ref v(json_to_python(member));
        if (!v) return nullptr;
        if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
      }
      return dict.release();
    }
  };
  return std::visit(Visitor{}, value.v);
}

}  // namespace qv::py
