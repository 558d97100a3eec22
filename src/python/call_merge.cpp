// merge(store, a, b, alpha=None, dare_p=None, seed=None) -> dict
#include "core/digest.h"
#include "core/error.h"
#include "core/store.h"
#include "python/calls.h"
#include "python/convert.h"
#include "python/errors.h"

namespace qv::py {
namespace {

constexpr const char* kParams[] = {"store", "a", "b", "alpha", "dare_p", "seed"};
constexpr Signature kSignature{"merge", kParams, 3, 6};

// The model-merge tuning used when the caller passes None or nothing.
constexpr float kDefaultAlpha = 0.5f;
constexpr double kDefaultDareP = 0.7;
constexpr uint64_t kDefaultSeed = 0;

struct MergeTuning {
  float alpha;
  double dare_p;
  uint64_t seed;
};

PyObject* merge_impl(const QvStore& /*store*/, const Digest& /*a*/, const Digest& /*b*/, const MergeTuning& /*tuning*/) {
  return raise_core_error(CoreError{ErrorKind::kNotImplemented, "merge"});
}

}  // namespace

PyObject* merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* p[6];
    if (!bind_arguments(kSignature, args, nargs, kwnames, p)) return nullptr;
    auto store = store_arg(p[0], "store");
    if (!store) return nullptr;
    auto a_text = str_arg(p[1], "a");
    if (!a_text) return nullptr;
    auto b_text = str_arg(p[2], "b");
    if (!b_text) return nullptr;
    auto alpha = f32_arg(p[3], "alpha", kDefaultAlpha);
    if (!alpha) return nullptr;
    auto dare_p = f64_arg(p[4], "dare_p", kDefaultDareP);
    if (!dare_p) return nullptr;
    auto seed = u64_arg(p[5], "seed", kDefaultSeed);
    if (!seed) return nullptr;
    auto a = parse_digest(*a_text);
    if (!a) return raise_core_error(a.error());
    auto b = parse_digest(*b_text);
    if (!b) return raise_core_error(b.error());
    return merge_impl(*store, *a, *b, MergeTuning{*alpha, *dare_p, *seed});
  });
}

}  // namespace qv::py
