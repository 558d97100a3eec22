#include "python/store_type.h"

#include <memory>
#include <new>
#include <string>

#include "core/file_util.h"
#include "python/calls.h"
#include "python/convert.h"
#include "python/errors.h"

namespace qv::py {
namespace {

struct StoreObject {
  PyObject_HEAD
  // The core handle, constructed in place by wrap_store and destroyed by dealloc.
  alignas(QvStore) unsigned char storage[sizeof(QvStore)];
};

PyObject* g_store_type = nullptr;

QvStore* store_in(PyObject* self) {
  return std::launder(reinterpret_cast<QvStore*>(reinterpret_cast<StoreObject*>(self)->storage));
}

PyObject* wrap_store(QvStore store) {
  auto* type = reinterpret_cast<PyTypeObject*>(g_store_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  std::construct_at(reinterpret_cast<QvStore*>(reinterpret_cast<StoreObject*>(self)->storage), std::move(store));
  return self;
}

PyObject* store_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for QvStore");
  return nullptr;
}

void store_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(store_in(self));
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* store_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    std::string text = "<QvStore at " + path_text(store_in(self)->root()) + ">";
    return str_from_utf8(text);
  });
}

PyObject* open_impl(std::string_view path_text_arg) {
  auto root = path_from_text(path_text_arg);
  if (!root) return raise_core_error(root.error());
  auto store = QvStore::open(*root);
  if (!store) return raise_core_error(store.error());
  return wrap_store(std::move(*store));
}

constexpr const char* kOpenParams[] = {"path"};
constexpr Signature kOpenSignature{"open", kOpenParams, 1, 1};

PyObject* store_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_arguments(kOpenSignature, args, nargs, kwnames, a)) return nullptr;
    auto path = str_arg(a[0], "path");
    if (!path) return nullptr;
    return open_impl(*path);
  });
}

PyObject* physical_bytes_impl(const QvStore& store) {
  auto size = store.physical_bytes();
  if (!size) return raise_core_error(size.error());
  return PyLong_FromUnsignedLongLong(*size);
}

PyObject* store_physical_bytes(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    QvStore store = *store_in(self);  // the call's own reference
    return physical_bytes_impl(store);
  });
}

PyMethodDef kStoreMethods[] = {
    {"open", as_cfunction(store_open), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "open(path)\n--\n\nOpen (or create) a Qivara store rooted at `path`."},
    {"physical_bytes", store_physical_bytes, METH_NOARGS,
     "physical_bytes($self)\n--\n\nTotal physical bytes stored on disk (compressed)."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kStoreDoc[] =
    "Python wrapper around the core store type `store::QvStore`. It is cheap to clone because it keeps its "
    "inner state behind a shared reference count.";

}  // namespace

bool init_store_type() {
  if (g_store_type != nullptr) return true;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kStoreDoc)},
      {Py_tp_new, reinterpret_cast<void*>(store_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(store_repr)},
      {Py_tp_methods, kStoreMethods},
      {0, nullptr},
  };
  PyType_Spec spec = {
      "_qv_py.QvStore",
      static_cast<int>(sizeof(StoreObject)),
      0,
      // Not a base type: a subclass could add an instance dict. Immutable so
      // the class's methods cannot be replaced from Python.
      static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE),
      slots,
  };
  g_store_type = PyType_FromSpec(&spec);
  return g_store_type != nullptr;
}

PyObject* store_type() { return g_store_type; }

const QvStore* core_store_of(PyObject* obj) {
  if (g_store_type == nullptr || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_store_type))) {
    return nullptr;
  }
  return store_in(obj);
}

}  // namespace qv::py
