// The one include of the CPython headers for the extension module.
//
// The module is built against the stable ABI of CPython 3.11 (Py_LIMITED_API
// is defined for the whole target by the build), so one binary serves every
// later CPython. Include this instead of <Python.h>.
#pragma once

#ifndef Py_LIMITED_API
#error "the extension module must be compiled with Py_LIMITED_API (set by CMakeLists.txt)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
