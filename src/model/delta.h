// The numeric kernels of the model merge. Pure functions: equal inputs give
// bit-identical outputs on every run and machine. Thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.h"

namespace qv {

// Drops each element with probability p (SplitMix64 draws from seed, one per
// element) and scales survivors by 1/(1-p).
Result<std::vector<float>> dare(std::span<const float> delta, double p, uint64_t seed);

// Trims each delta, elects a sign per coordinate and averages agreeing
// entries, times scale.
Result<std::vector<float>> ties_merge(std::span<const std::span<const float>> deltas, double keep_top, float scale);

}  // namespace qv
