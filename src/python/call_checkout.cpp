// checkout_filesystem(store, cid, target_path) -> None
// read_manifest(store, cid) -> dict
#include "core/digest.h"
#include "core/error.h"
#include "core/manifest.h"
#include "core/store.h"
#include "python/calls.h"
#include "python/convert.h"
#include "python/errors.h"

namespace qv::py {
namespace {

constexpr const char* kCheckoutParams[] = {"store", "cid", "target_path"};
constexpr Signature kCheckoutSignature{"checkout_filesystem", kCheckoutParams, 3, 3};
constexpr const char* kReadParams[] = {"store", "cid"};
constexpr Signature kReadSignature{"read_manifest", kReadParams, 2, 2};

PyObject* checkout_filesystem_impl(const QvStore& store, std::string_view cid, std::string_view target_path) {
  // The id's form is checked before the store is touched.
  auto id = parse_digest(cid);
  if (!id) return raise_core_error(id.error());
  auto manifest = get_manifest(store, *id);
  if (!manifest) return raise_core_error(manifest.error());
  auto target = path_from_text(target_path);
  if (!target) return raise_core_error(target.error());
  return raise_core_error(CoreError{ErrorKind::kNotImplemented, "checkout_filesystem"});
}

PyObject* read_manifest_impl(const QvStore& store, std::string_view cid) {
  auto id = parse_digest(cid);
  if (!id) return raise_core_error(id.error());
  auto manifest = get_manifest(store, *id);
  if (!manifest) return raise_core_error(manifest.error());
  return json_to_python(manifest_to_value(*manifest));
}

}  // namespace

PyObject* checkout_filesystem(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!bind_arguments(kCheckoutSignature, args, nargs, kwnames, a)) return nullptr;
    auto store = store_arg(a[0], "store");
    if (!store) return nullptr;
    auto cid = str_arg(a[1], "cid");
    if (!cid) return nullptr;
    auto target_path = str_arg(a[2], "target_path");
    if (!target_path) return nullptr;
    return checkout_filesystem_impl(*store, *cid, *target_path);
  });
}

PyObject* read_manifest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_arguments(kReadSignature, args, nargs, kwnames, a)) return nullptr;
    auto store = store_arg(a[0], "store");
    if (!store) return nullptr;
    auto cid = str_arg(a[1], "cid");
    if (!cid) return nullptr;
    return read_manifest_impl(*store, *cid);
  });
}

}  // namespace qv::py
