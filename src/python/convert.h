// Conversions between Python objects and C++ values at the module boundary.
//
// Each entry point first binds its arguments (bind_arguments), then converts
// them one by one in parameter order with the *_arg functions, and only then
// calls its _impl with C++ values. A converter that fails returns an empty
// optional (or false) with a Python exception set; when that exception is a
// TypeError it reads "argument '{name}': {conversion message}" and chains the
// plain conversion error as its __cause__ (name_argument_error, the one place
// that prefix is written).
//
// Everything here needs the GIL. Views returned by str_arg and
// byte_sequence_arg borrow from the argument objects, which the caller keeps
// alive for the whole call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json.h"
#include "core/records.h"
#include "core/store.h"
#include "python/py.h"

namespace qv::py {

// The parameters of a function taking METH_FASTCALL | METH_KEYWORDS.
struct Signature {
  const char* function;                 // for messages: "{function}() ..."
  std::span<const char* const> names;   // every parameter, in order
  size_t required;                      // the first `required` parameters must be given
  size_t positional;                    // how many may be given by position (the rest are keyword-only)
};

// Binds the arguments of one call: out[i] receives the borrowed object given
// for names[i], or nullptr when an optional parameter was omitted. Missing,
// surplus, repeated and unknown arguments raise TypeError.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out);

// Replaces a pending TypeError by "argument '{name}': {its message}" with the
// original as cause; any other pending exception is left unchanged.
void name_argument_error(const char* name);

// "'{type}' object cannot be converted to '{target}'" as a TypeError (no
// argument prefix); returns nullptr.
PyObject* raise_conversion_error(PyObject* obj, const char* target);

// str -> its UTF-8 text. Lone surrogates raise the interpreter's UnicodeEncodeError.
std::optional<std::string_view> str_arg(PyObject* obj, const char* name);
// A QvStore instance -> a shared reference to its core store.
std::optional<QvStore> store_arg(PyObject* obj, const char* name);
// Only the type is checked (dict or subclass / list or subclass).
bool dict_arg(PyObject* obj, const char* name);
bool list_arg(PyObject* obj, const char* name);

// Any sequence of integers 0..255 (a str refused) -> bytes. Exact bytes and
// bytearray objects are viewed in place; anything else is read item by item
// through its iterator into `storage`. An item out of range raises
// OverflowError, an iterator's own exception passes unchanged.
std::optional<std::string_view> byte_sequence_arg(PyObject* obj, const char* name, std::string& storage);

// None or omitted -> fallback; else the interpreter's float conversion.
std::optional<double> f64_arg(PyObject* obj, const char* name, double fallback);
// As f64_arg, rounded to the nearest 32-bit float (overflowing to an infinity).
std::optional<float> f32_arg(PyObject* obj, const char* name, float fallback);
// None or omitted -> fallback; an int directly, anything else through its
// index conversion; out of range raises the interpreter's OverflowError.
std::optional<uint64_t> u64_arg(PyObject* obj, const char* name, uint64_t fallback);

// Round to nearest-even from double to float, infinities for overflow.
float narrow_to_f32(double v);

// A leading "~/" replaced by $HOME joined with the rest (a rest starting with
// "/" replaces HOME; an empty rest gives HOME with a trailing separator) when
// HOME is set and valid UTF-8; otherwise the text unchanged.
std::filesystem::path expand_home(std::string_view text);
// expand_home, refusing texts that hold a NUL byte: the operating system
// would silently cut the path there.
Result<std::filesystem::path> path_from_text(std::string_view text);

// The items of an env dict, in iteration order; non-str keys or values raise
// TypeError (no argument prefix).
std::optional<std::map<std::string, std::string>> read_env(PyObject* dict);
// The chat messages of a list of dicts with str "role" and "content".
std::optional<std::vector<TraceMessage>> read_messages(PyObject* list);

// New references; nullptr with a Python error set on failure.
PyObject* str_from_utf8(std::string_view text);   // strict UTF-8
PyObject* str_from_bytes_lossy(std::string_view bytes);  // invalid UTF-8 as U+FFFD
PyObject* json_to_python(const JsonValue& value);

// A Python reference released at scope exit.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) : o_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const { return o_; }
  void reset(PyObject* o) {
    Py_XDECREF(o_);
    o_ = o;
  }
  PyObject* release() {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

}  // namespace qv::py
