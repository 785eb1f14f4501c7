#pragma once
// The Doniach-Sunjic line's vector pass (vector_pass.hpp): per sample an arc tangent, a sine and
// cosine of an angle inside a few multiples of pi, and a power of a positive number, each within
// about one ulp (src/simd), so that the line's values are those of the scalar formula to a few
// units of 2^-53.
// Compiled once per instruction set (CMakeLists.txt, brivane_shape), each unit filling its variant
// of DoniachSunjicKernels (vector_pass.hpp); the helpers stay inside this instruction set's namespace.

#include <cstddef>

#include "shapes/doniach_sunjic/vector_pass.hpp"
#include "simd/atan.hpp"
#include "simd/exp.hpp"
#include "simd/lanes.hpp"
#include "simd/log.hpp"
#include "simd/pow.hpp"
#include "simd/sin_cos.hpp"
#include "summation_order.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// The small-argument series of the shifts' changes (|t| < 1e-4, where the first omitted term is
// below 1e-17 of the result), the same as the scalar code's.
SIMD_INLINE V atan_series(V t) {
  const V t2 = t * t;
  return t - t * (t2 * (set(1.0 / 3.0) - t2 * set(0.2)));
}
SIMD_INLINE V sin_series(V t) {
  const V t2 = t * t;
  return t - t * (t2 * (set(1.0 / 6.0) - t2 * set(1.0 / 120.0)));
}
SIMD_INLINE V log1p_series(V r) { return r - (r * r) * (set(0.5) - r * (set(1.0 / 3.0) - r * set(0.25))); }
SIMD_INLINE V expm1_series(V r) { return r + (r * r) * (set(0.5) + r * (set(1.0 / 6.0) + r * set(1.0 / 24.0))); }
SIMD_INLINE M small_argument(V t) { return abs_of(t) < set(1e-4); }

// The trapezoid weight of samples i..i+7 of the grid: (x_{i+1} - x_{i-1}) / 2, one-sided at the
// ends, 0 past `count` lanes; sum_i c_i v_i is the trapezoid integral.
SIMD_INLINE V trapezoid_weights(const double* x, std::size_t n, std::size_t i, std::size_t count) {
  if (count == kLanes && i >= 1 && i + kLanes < n) return set(0.5) * (load(x + i + 1) - load(x + i - 1));
  alignas(64) double lanes[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) {
    const std::size_t at = i + j;
    if (j >= count) {
      lanes[j] = 0.0;
      continue;
    }
    const double before = at > 0 ? x[at - 1] : x[at];
    const double after = at + 1 < n ? x[at + 1] : x[at];
    lanes[j] = after - before;
  }
  return set(0.5) * load(lanes);
}

}  // namespace

void doniach_sunjic_chunk(const DoniachSunjicPass& pass, std::size_t begin, std::size_t end, double* sums) {
  const std::size_t shifts = pass.shifts;
  const V x0 = set(pass.x0), gamma = set(pass.gamma), gamma_squared = set(pass.gamma * pass.gamma);
  const V a = set(pass.one_minus_alpha), minus_half_exponent = set(-pass.half_exponent);
  const V infinity = set(__builtin_inf());
  V integral = set(0.0), weight_sum = set(0.0), outside = set(0.0), unformed = set(0.0), minimum = infinity;
  V integral_change[3] = {set(0.0), set(0.0), set(0.0)}, change_sum[3] = {set(0.0), set(0.0), set(0.0)};
  V log_shape_sum = set(0.0);
  for (std::size_t i = begin; i < end; i += kLanes) {
    const std::size_t count = end - i < kLanes ? end - i : kLanes;
    const M real = first_lanes(count);
    const std::size_t used_count = pass.used > i ? (pass.used - i < count ? pass.used - i : count) : 0;
    const M used = first_lanes(used_count);
    const V at = load_lanes(pass.x + i, count, pass.x0);
    const V c = trapezoid_weights(pass.x, pass.n, i, count);
    const V d = at - x0;
    const V psi = atan2_of_positive(gamma, d);
    const V angle = a * psi;
    V sine, cosine;
    sin_cos_reduced(angle, sine, cosine);
    // q^(-(1 - alpha)/2) as exp of the product with ln q in two parts (pow_positive, spelled out
    // because ln q serves the asymmetry's shift too).
    const V q = fma(d, d, gamma_squared);
    V log_q, log_q_tail;
    log_extended(q, log_q, log_q_tail);
    const V exponent = minus_half_exponent * log_q;
    const V exponent_tail = fma(minus_half_exponent, log_q_tail, product_error(minus_half_exponent, log_q, exponent));
    const V v = select(real, sine * exp_with_tail(exponent, exponent_tail), set(0.0));
    store_lanes(pass.shape + i, count, v);
    const M in_domain = (abs_of(angle) <= set(kSinCosLimit)) & positive_normal(q);
    outside = outside + select(real & in_domain, set(0.0), select(real, set(1.0), set(0.0)));
    integral = fma(c, v, integral);
    // No weights past `used` (and perhaps none at all): nothing is read there.
    const V w = used_count > 0 ? load_lanes(pass.weights + i, used_count, 0.0) : set(0.0);
    weight_sum = weight_sum + w;
    minimum = min_or_second(select(used, v, infinity), minimum);
    // ln v = ln sin + the exponent (its tail added first); lanes without a weight add nothing, and
    // a sine not above 0 gives no number, as a v not above 0 leaves the caller's floor test unmet.
    if (used_count > 0) {
      log_shape_sum = fma(w, select(used, log_any(sine) + (exponent_tail + exponent), set(0.0)), log_shape_sum);
    }
    if (shifts == 0) continue;
    const V tan_phi = cosine / sine;
    for (std::size_t j = 0; j < shifts; ++j) {
      const V step = set(pass.step[j]);
      V dphi, log_q_term;
      M formed = sine > set(0.0);
      if (pass.moved[j] == 0) {
        const V denominator = gamma_squared + d * (d - step);
        const V t = (-step * gamma) / denominator;
        const V r = (-step * (set(2.0) * d - step)) / q;
        dphi = a * atan_series(t);
        log_q_term = minus_half_exponent * log1p_series(r);
        formed = formed & (denominator > set(0.0)) & small_argument(t) & small_argument(r);
      } else if (pass.moved[j] == 1) {
        const V shifted = set(pass.shifted_gamma[j]);
        const V t = (d * -step) / (gamma * shifted + d * d);
        const V r = (step * (shifted + gamma)) / q;
        dphi = a * atan_series(t);
        log_q_term = minus_half_exponent * log1p_series(r);
        formed = formed & small_argument(t) & small_argument(r);
      } else {
        dphi = step * psi;
        log_q_term = (set(0.5) * step) * (log_q + log_q_tail);
      }
      const V half = sin_series(set(0.5) * dphi);
      const V ratio = set(-2.0) * (half * half) - tan_phi * sin_series(dphi);
      const V change = log1p_series(ratio) + log_q_term;
      formed = formed & small_argument(dphi) & small_argument(ratio) & small_argument(change);
      unformed = unformed + select(real & formed, set(0.0), select(real, set(1.0), set(0.0)));
      integral_change[j] = fma(c, v * select(real, expm1_series(change), set(0.0)), integral_change[j]);
      change_sum[j] = fma(w, select(used, change, set(0.0)), change_sum[j]);
    }
  }
  sums[0] = lane_total(integral);
  sums[1] = lane_total(weight_sum);
  sums[2] = lane_total(outside);
  sums[3] = lane_total(unformed);
  for (std::size_t j = 0; j < 3; ++j) {
    sums[4 + 2 * j] = j < shifts ? lane_total(integral_change[j]) : 0.0;
    sums[5 + 2 * j] = j < shifts ? lane_total(change_sum[j]) : 0.0;
  }
  sums[10] = lane_total(log_shape_sum);
  if (pass.chunk_minimum != nullptr) {
    alignas(64) double lowest[kLanes];
    store(lowest, minimum);
    double smallest = lowest[0];
    for (std::size_t j = 1; j < kLanes; ++j) smallest = lowest[j] < smallest ? lowest[j] : smallest;
    pass.chunk_minimum[begin / kSumChunk] = smallest;
  }
}

void weighted_log_density_chunk(const double* values, const double* weights, double divisor, std::size_t begin,
                                std::size_t end, double* sum) {
  const V by = set(divisor);
  V total = set(0.0);
  for (std::size_t i = begin; i < end; i += kLanes) {
    const std::size_t count = end - i < kLanes ? end - i : kLanes;
    const V v = load_lanes(values + i, count, 1.0);
    const V w = load_lanes(weights + i, count, 0.0);
    const V term = w * log_any(v / by + set(1e-200));
    total = total + (count == kLanes ? term : select(first_lanes(count), term, set(0.0)));
  }
  *sum = lane_total(total);
}

const DoniachSunjicKernels kDoniachSunjicKernels = {
    .chunk = doniach_sunjic_chunk,
    .weighted_log_density_chunk = weighted_log_density_chunk,
};

}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
