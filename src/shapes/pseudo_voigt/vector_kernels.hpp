#pragma once
// The pseudo-Voigt's vector passes (vector_pass.hpp).
// Compiled once per instruction set (CMakeLists.txt, brivane_shape), each unit filling its variant
// of PseudoVoigtKernels (vector_pass.hpp); the helpers stay inside this instruction set's namespace.

#include <cstddef>
#include <numbers>

#include "shapes/pseudo_voigt/vector_pass.hpp"
#include "simd/exp.hpp"
#include "simd/lanes.hpp"
#include "simd/log.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// ---- pseudo-Voigt passes -------------------------------------------------------------------------
//
// Both work on one chunk of at most kSumChunk samples with one accumulator lane per sample offset
// modulo 8, the lanes added in lane_total's fixed order (the compensated value of the objective in
// lane order). The density's parts are rounded as the scalar formula writes them (no FMA); only
// exp and log are those of src/simd.

constexpr double kPvDensityFloor = 1e-20;  // inside the log-likelihood's logarithm

SIMD_INLINE V absolute(V v) { return from_bits(and_int(bits(v), set_int(0x7fffffffffffffffLL))); }
// Neither infinite nor NaN.
SIMD_INLINE M finite(V v) { return (v - v) == set(0.0); }

// The Gaussian part G and the Lorentzian part L (before division by the window mass) of `p` at
// the samples `at`, with the offset d = x - x0 and z = d / sigma they come from.
SIMD_INLINE void pv_parts(const PseudoVoigtProfile& p, V at, V& offset, V& z, V& g, V& l) {
  offset = at - set(p.x0);
  z = offset / set(p.sigma);
  g = exp_full((z * set(-0.5)) * z) / set(p.gaussian_normaliser);
  l = set(p.half_width) / ((offset * offset + set(p.half_width * p.half_width)) * set(std::numbers::pi));
}

// exp(t) - 1: by its series for |t| < 1e-2 (the first omitted term, t^9 / 9!, is below 3e-22 |t|),
// else from the exponential, which then loses at most 2e-14 relative to the result.
SIMD_INLINE V pv_expm1(V t) {
  const V series =
      t * (set(1.0) + t * (set(0.5) + t * (set(1.0 / 6.0) + t * (set(1.0 / 24.0) + t * (set(1.0 / 120.0) +
      t * (set(1.0 / 720.0) + t * (set(1.0 / 5040.0) + t * set(1.0 / 40320.0))))))));
  const M small = absolute(t) < set(1e-2);
  if (all(small)) return series;
  return select(small, series, exp_full(t) - set(1.0));
}

// ln(1 + r): by its series for |r| < 1e-3 (the first omitted term, r^7 / 7, is below 1.5e-19 |r|),
// else from the logarithm of 1 + r.
SIMD_INLINE V pv_log1p(V r) {
  const V series =
      r * (set(1.0) + r * (set(-0.5) + r * (set(1.0 / 3.0) + r * (set(-0.25) + r * (set(0.2) + r * set(-1.0 / 6.0))))));
  const M small = absolute(r) < set(1e-3);
  if (all(small)) return series;
  return select(small, series, log_any(set(1.0) + r));
}

// The chunk's samples [begin, end) vector by vector: `full` real lanes in all but perhaps the
// last, whose real lanes are `tail` (0: all).
struct PvChunk {
  std::size_t vectors, tail;
};
SIMD_INLINE PvChunk pv_chunk(std::size_t begin, std::size_t end) {
  const std::size_t length = end - begin;
  return {(length + kLanes - 1) / kLanes, length % kLanes};
}
SIMD_INLINE bool pv_partial(const PvChunk& c, std::size_t v) { return c.tail != 0 && v + 1 == c.vectors; }
SIMD_INLINE V pv_load(const double* values, const PvChunk& c, std::size_t v, double fill) {
  return pv_partial(c, v) ? load_partial(values + v * kLanes, c.tail, fill) : load(values + v * kLanes);
}
SIMD_INLINE V pv_real(const PvChunk& c, std::size_t v, V value) {
  return pv_partial(c, v) ? select(first_lanes(c.tail), value, set(0.0)) : value;
}

// Adds `term` to the compensated sum (total, compensation) by Neumaier's rule.
SIMD_INLINE void pv_neumaier(V& total, V& compensation, V term) {
  const V sum = total + term;
  compensation = compensation + select(absolute(total) >= absolute(term), (total - sum) + term, (term - sum) + total);
  total = sum;
}

// The change ln(p' + 1e-20) - ln(p + 1e-20) of one sample's logarithm at shift `t`, from the change
// of the density's terms (see pseudo_voigt.cpp): `inverse_density` is 1 / (p + 1e-20) (one division
// serves both shifts), `log_density` ln(p + 1e-20). The moved z are
// formed with the reciprocals of the widths: they enter only the exponent's small change, which
// they shift by an ulp or two of itself. Where that route gives no number, the two logarithms
// are subtracted.
SIMD_INLINE V pv_log_change(const PseudoVoigtProfile& p, const PseudoVoigtShift& t, V at, V offset, V z, V g, V l,
                            V inverse_density, V log_density) {
  V gaussian_change, lorentzian_change;
  const V h2 = set(p.half_width * p.half_width);
  if (t.centre) {
    const V moved_offset = at - set(t.moved.x0);
    const V moved_z = moved_offset * set(1.0 / p.sigma);
    gaussian_change = g * pv_expm1(set(0.5) * (set(t.step_per_sigma) * (z + moved_z)));
    lorentzian_change = (l * (set(t.step) * (offset + moved_offset))) / (moved_offset * moved_offset + h2);
  } else {
    const V moved_z = offset * set(1.0 / t.moved.sigma);
    const V exponent_change = set(0.5) * ((offset * set(t.z_change)) * (z + moved_z));
    gaussian_change = g * (pv_expm1(exponent_change) * set(t.sigma_ratio) - set(t.sigma_change_ratio));
    const V a2 = offset * offset;
    const V moved_h2 = set(t.moved.half_width * t.moved.half_width);
    lorentzian_change = (l * (set(t.half_width_ratio) * (a2 - set(t.half_width_product)))) / (a2 + moved_h2);
  }
  const V density_change =
      (set(p.eta) * gaussian_change + set(t.moved.lorentzian_weight) * lorentzian_change) + set(t.weight_change) * l;
  const V change = pv_log1p(density_change * inverse_density);
  const M usable = finite(change);
  if (all(usable)) return change;
  V moved_offset, moved_z, moved_g, moved_l;
  pv_parts(t.moved, at, moved_offset, moved_z, moved_g, moved_l);
  const V moved_density = (set(p.eta) * moved_g + moved_l * set(t.moved.lorentzian_weight)) + set(kPvDensityFloor);
  return select(usable, change, log_any(moved_density) - log_density);
}

}  // namespace

void pseudo_voigt_mixing_chunk(const PseudoVoigtMixingPass& pass, std::size_t begin, std::size_t end, double* sums,
                               double* scratch) {
  const PvChunk c = pv_chunk(begin, end);
  double* g = scratch;                // kSumChunk: G
  double* l = g + kSumChunk;          // kSumChunk: L
  double* w = l + kSumChunk;          // kSumChunk: the weights, 0 in padded lanes
  for (std::size_t v = 0; v < c.vectors; ++v) {
    // Padded lanes sit at the centre, where both parts are finite.
    V offset, z, gv, lv;
    pv_parts(pass.shape, pv_load(pass.x + begin, c, v, pass.shape.x0), offset, z, gv, lv);
    store(g + v * kLanes, gv);
    store(l + v * kLanes, lv);
    store(w + v * kLanes, pv_load(pass.weights + begin, c, v, 0.0));
  }
  // Candidates in pairs: two chains of logarithms advance side by side over the same parts.
  std::size_t k = 0;
  for (; k + 2 <= pass.candidates; k += 2) {
    const V eta_a = set(pass.eta[k]), weight_a = set(pass.lorentzian_weight[k]);
    const V eta_b = set(pass.eta[k + 1]), weight_b = set(pass.lorentzian_weight[k + 1]);
    V total_a = set(0.0), total_b = set(0.0);
    for (std::size_t v = 0; v < c.vectors; ++v) {
      const V gv = load(g + v * kLanes), lv = load(l + v * kLanes), wv = load(w + v * kLanes);
      const V term_a = wv * log_any((eta_a * gv + lv * weight_a) + set(kPvDensityFloor));
      const V term_b = wv * log_any((eta_b * gv + lv * weight_b) + set(kPvDensityFloor));
      total_a = total_a + pv_real(c, v, term_a);
      total_b = total_b + pv_real(c, v, term_b);
    }
    sums[k] = lane_total(total_a);
    sums[k + 1] = lane_total(total_b);
  }
  for (; k < pass.candidates; ++k) {
    const V eta = set(pass.eta[k]), weight = set(pass.lorentzian_weight[k]);
    V total = set(0.0);
    for (std::size_t v = 0; v < c.vectors; ++v) {
      const V gv = load(g + v * kLanes), lv = load(l + v * kLanes), wv = load(w + v * kLanes);
      total = total + pv_real(c, v, wv * log_any((eta * gv + lv * weight) + set(kPvDensityFloor)));
    }
    sums[k] = lane_total(total);
  }
}

void pseudo_voigt_objective_chunk(const PseudoVoigtObjectivePass& pass, std::size_t begin, std::size_t end,
                                  double* sums, double* /*scratch*/) {
  const PvChunk c = pv_chunk(begin, end);
  const PseudoVoigtProfile& p = pass.profile;
  const std::size_t shifts = pass.shifts < 2 ? pass.shifts : 2;
  V total = set(0.0), compensation = set(0.0);
  V changes[2] = {set(0.0), set(0.0)};
  for (std::size_t v = 0; v < c.vectors; ++v) {
    const V at = pv_load(pass.x + begin, c, v, p.x0);
    const V w = pv_load(pass.weights + begin, c, v, 0.0);
    V offset, z, g, l;
    pv_parts(p, at, offset, z, g, l);
    const V density = (set(p.eta) * g + l * set(p.lorentzian_weight)) + set(kPvDensityFloor);
    const V log_density = log_any(density);
    const V inverse_density = set(1.0) / density;
    pv_neumaier(total, compensation, pv_real(c, v, w * log_density));
    for (std::size_t j = 0; j < shifts; ++j) {
      const V change = pv_log_change(p, pass.shift[j], at, offset, z, g, l, inverse_density, log_density);
      changes[j] = changes[j] + pv_real(c, v, w * change);
    }
  }
  // The lanes' compensated sums added in lane order, their compensations alongside.
  alignas(64) double lane_sums[kLanes], lane_compensations[kLanes];
  store(lane_sums, total);
  store(lane_compensations, compensation);
  double sum = lane_sums[0], carried = lane_compensations[0];
  for (int j = 1; j < kLanes; ++j) {
    const double next = sum + lane_sums[j];
    carried += __builtin_fabs(sum) >= __builtin_fabs(lane_sums[j]) ? (sum - next) + lane_sums[j]
                                                                    : (lane_sums[j] - next) + sum;
    carried += lane_compensations[j];
    sum = next;
  }
  sums[0] = sum;
  sums[1] = carried;
  for (std::size_t j = 0; j < shifts; ++j) sums[2 + j] = lane_total(changes[j]);
}

const PseudoVoigtKernels kPseudoVoigtKernels = {
    .mixing_chunk = pseudo_voigt_mixing_chunk,
    .objective_chunk = pseudo_voigt_objective_chunk,
};

}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
