// The module's functions, as registered by module.cpp.
//
// Each takes METH_FASTCALL | METH_KEYWORDS arguments, converts them in
// parameter order (convert.h), runs its _impl on C++ values and maps every
// failure through errors.h. All of them need the GIL and keep it throughout.
#pragma once

#include "python/py.h"

namespace qv::py {

using FastFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A METH_FASTCALL | METH_KEYWORDS function as the PyMethodDef field type.
inline PyCFunction as_cfunction(FastFunction f) {
  // The interpreter calls it with the signature its flags name; the detour
  // through a generic function pointer keeps the cast warning-free.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyObject* digest_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* snapshot_filesystem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* checkout_filesystem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* read_manifest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace qv::py
