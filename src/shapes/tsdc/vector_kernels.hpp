#pragma once
// The TSDC curve's vector pass (vector_pass.hpp).
// Compiled once per instruction set (CMakeLists.txt, brivane_shape), each unit filling its variant
// of TsdcKernels (vector_pass.hpp); the helpers stay inside this instruction set's namespace.

#include <cstddef>

#include "shapes/tsdc/vector_pass.hpp"
#include "simd/exp.hpp"
#include "simd/exponential_integrals.hpp"
#include "simd/lanes.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// One chunk of the TSDC pass (see TsdcPass); E1 and the sums only when kSums. Groups of 32 samples
// start at `begin`.
template <bool kSums>
SIMD_INLINE void tsdc_samples(const TsdcPass& pass, std::size_t begin, std::size_t end, double* sums) {
  const V reduced = set(pass.reduced_factor), minus_inverse_h = set(pass.minus_inverse_h);
  const V energy = set(pass.energy), h = set(pass.h), ea = set(pass.ea), k = set(pass.boltzmann);
  const double* t_all = pass.t;
  double* row = pass.row;
  double integral = pass.integral != nullptr ? *pass.integral : 0.0;
  V s1 = set(0.0), s2 = set(0.0);
  for (std::size_t i = begin; i < end; i += kGroupLanes) {
    const std::size_t count = end - i < kGroupLanes ? end - i : kGroupLanes;
    V t[kGroup], x[kGroup], e1[kGroup], e2[kGroup];
    load_group(t_all + i, count, t_all[i + count - 1], t);
    for (int g = 0; g < kGroup; ++g) x[g] = reduced / t[g];
    group_integrals<kSums>(x, count, e1, e2);
    if (row != nullptr) {
      // The raw curve, each operation as written: exp(e2 ((-1/h) T) + (ea / -k) / T) / h.
      V y[kGroup];
      for (int g = 0; g < kGroup; ++g) y[g] = exp_mostly_normal(e2[g] * (minus_inverse_h * t[g]) + energy / t[g]) / h;
      store_group(row + i, count, y);
      if (pass.integral != nullptr) {
        // The trapezoid terms of the pairs that end in this group, in sample order: a chain of
        // additions that the next group's work hides.
        for (std::size_t j = i > 0 ? i : 1; j < i + count; ++j) {
          integral += (t_all[j] - t_all[j - 1]) * ((row[j - 1] + row[j]) * 0.5);
        }
      }
    }
    if constexpr (kSums) {
      if (i >= pass.used) continue;
      const std::size_t weighted = pass.used - i < count ? pass.used - i : count;
      V w[kGroup];
      load_group(pass.weights + i, weighted, 0.0, w);
      for (int g = 0; g < kGroup; ++g) {
        const std::size_t offset = static_cast<std::size_t>(g) * kLanes;
        const std::size_t here = weighted > offset ? weighted - offset : 0;
        if (here == 0) break;
        // E1 at x1 = ea / (k T), an ulp or two from x: E1(x1) = E1(x) + (x - x1) (E1(x) + E2(x) / x)
        // (E1' = -(E1 + E2 / x)); where x1 = x (also x = 0, E1 infinite) E1(x) itself.
        const V x1 = ea / (k * t[g]);
        const V at_x1 = select(x1 == x[g], e1[g], e1[g] + (x[g] - x1) * (e1[g] + e2[g] / x[g]));
        V term1 = (at_x1 * w[g]) / k;
        V term2 = e2[g] * (w[g] * t[g]);
        if (here < kLanes) {
          const M real = first_lanes(here);
          term1 = select(real, term1, set(0.0));
          term2 = select(real, term2, set(0.0));
        }
        s1 = s1 + term1;
        s2 = s2 + term2;
      }
    }
  }
  if (pass.integral != nullptr) *pass.integral = integral;
  if (sums != nullptr) {
    sums[0] = lane_total(s1);
    sums[1] = lane_total(s2);
  }
}

}  // namespace

void tsdc_chunk(const TsdcPass& pass, std::size_t begin, std::size_t end, double* sums, double* /*scratch*/) {
  if (pass.weights != nullptr) {
    tsdc_samples<true>(pass, begin, end, sums);
  } else {
    tsdc_samples<false>(pass, begin, end, sums);
  }
}

const TsdcKernels kTsdcKernels = {.chunk = tsdc_chunk};

}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
