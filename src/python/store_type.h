// The Python class QvStore: a handle holding one shared reference to a core
// store, created only by QvStore.open.
//
// The class is a heap type created once per process (the module object is
// never re-created). Instances hold no Python references and no dict.
// Everything here needs the GIL.
#pragma once

#include "core/store.h"
#include "python/py.h"

namespace qv::py {

// Creates the class. Returns false with a Python error set.
bool init_store_type();
// The class object (borrowed), valid after init_store_type.
PyObject* store_type();
// The core store of a QvStore instance, or nullptr for any other object.
const QvStore* core_store_of(PyObject* obj);

}  // namespace qv::py
