// Module initialisation: PyInit__qv_py, the only exported symbol.
//
// The module object is created once per process and handed out again on every
// later import (also after `del sys.modules["_qv_py"]`), so the class object
// and everything registered stay the same objects. It is usable from one
// interpreter only: the first interpreter to import it is recorded, and any
// other is refused, because the class and the cached module are shared
// process-wide.
#include <atomic>
#include <cstdint>

#include "python/calls.h"
#include "python/errors.h"
#include "python/py.h"
#include "python/store_type.h"

#ifndef QV_VERSION
#error "QV_VERSION is set by the build from the project version"
#endif

namespace qv::py {
namespace {

constexpr int64_t kNoInterpreter = -1;  // interpreter ids are never negative
std::atomic<int64_t> g_interpreter{kNoInterpreter};
PyObject* g_module = nullptr;

// Registered in this order; the docstrings carry the text signatures.
PyMethodDef kFunctions[] = {
    {"digest_of", as_cfunction(digest_of), METH_FASTCALL | METH_KEYWORDS,
     "digest_of(bytes)\n--\n\n`qv.digest_of(bytes) -> str` \xe2\x80\x94 sanity helper used in tests and demos."},
    {"snapshot_filesystem", as_cfunction(snapshot_filesystem), METH_FASTCALL | METH_KEYWORDS,
     "snapshot_filesystem(store, agent_kind, fs_root, env, messages)\n--\n\n"
     "Capture a filesystem sandbox + env + chat trace into a `.qvimg`-style\n"
     "manifest. Returns the manifest CID (`sha256:...`).\n\n"
     "`messages` is a list of `{\"role\": str, \"content\": str}` dicts."},
    {"checkout_filesystem", as_cfunction(checkout_filesystem), METH_FASTCALL | METH_KEYWORDS,
     "checkout_filesystem(store, cid, target_path)\n--\n\n"
     "Restore the world-layer FS tree of an image into `target_path`.\n"
     "`target_path` must not already exist."},
    {"read_manifest", as_cfunction(read_manifest), METH_FASTCALL | METH_KEYWORDS,
     "read_manifest(store, cid)\n--\n\n"
     "Load a manifest by CID and return it as a Python dict (decoded from\n"
     "the canonical JSON wire format)."},
    {"merge", as_cfunction(merge), METH_FASTCALL | METH_KEYWORDS,
     "merge(store, a, b, alpha=None, dare_p=None, seed=None)\n--\n\n"
     "Three-way merge B into A, auto-discovering the common ancestor. Returns\n"
     "`{\"merged_cid\": ..., \"ancestor\": ..., \"overall\": \"clean\"|\"conflicted\",\n"
     "\"world_conflicts\": [...], \"trace_summary\": \"...\"}`."},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 (not -1): on a later import the interpreter calls the init
// function again instead of copying the module dict into a new module, which
// is what lets init return the one cached module object.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_qv_py", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* create_module() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  int64_t recorded = kNoInterpreter;
  if (!g_interpreter.compare_exchange_strong(recorded, id) && recorded != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_qv_py does not support sub-interpreters: it is already in use by another interpreter "
                    "of this process");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  if (!init_internal_error_type() || !init_store_type() ||
      PyModule_AddObjectRef(module, "QvStore", store_type()) < 0 ||
      PyModule_AddFunctions(module, kFunctions) < 0 ||
      PyModule_AddStringConstant(module, "__version__", QV_VERSION) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  g_module = module;  // the cache's reference, kept until the process ends
  return Py_NewRef(module);
}

}  // namespace
}  // namespace qv::py

PyMODINIT_FUNC PyInit__qv_py(void) {
  return qv::py::guarded([] { return qv::py::create_module(); });
}
