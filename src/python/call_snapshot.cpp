// snapshot_filesystem(store, agent_kind, fs_root, env, messages) -> str
#include "core/error.h"
#include "core/store.h"
#include "python/calls.h"
#include "python/convert.h"
#include "python/errors.h"

namespace qv::py {
namespace {

constexpr const char* kParams[] = {"store", "agent_kind", "fs_root", "env", "messages"};
constexpr Signature kSignature{"snapshot_filesystem", kParams, 5, 5};

// env and messages arrive type-checked only: their items are read (read_env,
// read_messages) after the capture, in the order the records are written.
PyObject* snapshot_filesystem_impl(const QvStore& /*store*/, std::string_view /*agent_kind*/,
                                   std::string_view /*fs_root*/, PyObject* /*env*/, PyObject* /*messages*/) {
  return raise_core_error(CoreError{ErrorKind::kNotImplemented, "snapshot_filesystem"});
}

}  // namespace

PyObject* snapshot_filesystem(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    if (!bind_arguments(kSignature, args, nargs, kwnames, a)) return nullptr;
    auto store = store_arg(a[0], "store");
    if (!store) return nullptr;
    auto agent_kind = str_arg(a[1], "agent_kind");
    if (!agent_kind) return nullptr;
    auto fs_root = str_arg(a[2], "fs_root");
    if (!fs_root) return nullptr;
    if (!dict_arg(a[3], "env")) return nullptr;
    if (!list_arg(a[4], "messages")) return nullptr;
    return snapshot_filesystem_impl(*store, *agent_kind, *fs_root, a[3], a[4]);
  });
}

}  // namespace qv::py
