// The vectorised kernels of the dispatch table, written once for the 8-lane vectors of
// src/simd/lanes.hpp and compiled three times: vector_math_avx512.cpp, vector_math_avx2.cpp and
// vector_math_baseline.cpp, each of which defines BRIVANE_SIMD_NAMESPACE and BRIVANE_SIMD_TABLE.
//
// Every operation acts lane by lane and rounds once (an FMA rounds once too), and every sum keeps
// its own accumulator per lane, so the AVX2 and AVX-512 variants compute the same operations in the
// same order and give bit-identical results. The baseline variant has no FMA: it forms a*b + c
// with two roundings, so its results may differ in the last bits.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>

#include "numerics/exponential_integrals.hpp"
#include "simd/atan.hpp"
#include "simd/exp.hpp"
#include "simd/exponential_integrals.hpp"
#include "simd/faddeeva.hpp"
#include "simd/lanes.hpp"
#include "simd/log.hpp"
#include "simd/pow.hpp"
#include "simd/sin_cos.hpp"
#include "vector_math.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

static_assert(kSumLanes == kLanes, "the summation order assumes 8 lanes");

void exp_array(double* values, std::size_t n) { map_in_place(values, n, exp_full); }
void exp2_of_minus_square_array(double* values, std::size_t n) {
  map_in_place(values, n, [](V y) { return exp2_of_minus_square(y, set(2.0)); });
}
void log_array(double* values, std::size_t n) { map_in_place(values, n, log_any); }

void gaussian_row(const double* x, std::size_t n, double centre, double inverse_scale, double normaliser,
                  double* row) {
  const V mu = set(centre), e = set(inverse_scale), q = set(normaliser);
  auto density = [&](V at) {
    const V z = (at - mu) * e;
    return exp_full(-(z * z)) / q;
  };
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) store(row + i, density(load(x + i)));
  if (i < n) store_partial(row + i, n - i, density(load_partial(x + i, n - i, centre)));
}

// ---- the E-step and the Gaussian pass ------------------------------------------------------------
//
// Both work on samples [begin, end) of one chunk, block by block (kPassBlock samples whose
// densities and per-sample terms stay in the first-level cache), and leave in `sums` the chunk's
// totals: sums[0] the log-likelihood, sums[1 + k] the expected count of component k, then the
// Gaussian moments. Lane j of every accumulator takes the samples whose offset from the chunk's
// start is j modulo 8; the lanes are added in one fixed order at the chunk's end.

// The block's samples, with the last vector padded: x repeats its last value and the intensity is
// 0; `valid` marks the real lanes of the last vector.
struct Block {
  std::size_t start, length, vectors, tail;  // tail: real lanes of the last vector, 0 if full
};

SIMD_INLINE Block block_at(std::size_t start, std::size_t end) {
  const std::size_t length = end - start < kPassBlock ? end - start : kPassBlock;
  return {start, length, (length + kLanes - 1) / kLanes, length % kLanes};
}

SIMD_INLINE V load_block(const double* values, const Block& b, std::size_t v, double fill) {
  const std::size_t at = b.start + v * kLanes;
  return (b.tail != 0 && v + 1 == b.vectors) ? load_partial(values + at, b.tail, fill) : load(values + at);
}

SIMD_INLINE void store_block(double* values, const Block& b, std::size_t v, V value) {
  const std::size_t at = b.start + v * kLanes;
  if (b.tail != 0 && v + 1 == b.vectors) {
    store_partial(values + at, b.tail, value);
  } else {
    store(values + at, value);
  }
}

// Zero in the padded lanes of the last vector.
SIMD_INLINE V real_lanes(const Block& b, std::size_t v, V value) {
  return (b.tail != 0 && v + 1 == b.vectors) ? select(first_lanes(b.tail), value, set(0.0)) : value;
}

// Mixture, the per-sample factor and the log-likelihood of a block whose component densities are in
// `densities` (row k at k * kPassBlock): m = sum_k pi_k d_k in component order, factor =
// numerator / (m + 1e-20) (numerator: the intensity for weights, 1 for responsibilities),
// log-likelihood += intensity ln(m + 1e-200).
SIMD_INLINE void mixture_and_factor(const double* pi, std::size_t components, const double* intensity,
                                    const Block& b, const double* densities, bool weights,
                                    double* mixture_out, double* factor, V& log_likelihood) {
  for (std::size_t v = 0; v < b.vectors; ++v) {
    V m = set(0.0);
    for (std::size_t k = 0; k < components; ++k) m = fma(set(pi[k]), load(densities + k * kPassBlock + v * kLanes), m);
    const V counts = load_block(intensity, b, v, 0.0);
    // One division per sample serves every component.
    store(factor + v * kLanes, (weights ? counts : set(1.0)) / (m + set(1e-20)));
    log_likelihood = log_likelihood + real_lanes(b, v, counts * log_any(m + set(1e-200)));
    if (mixture_out != nullptr) store_block(mixture_out, b, v, m);
  }
}

void e_step_chunk(const EStepPass& pass, std::size_t begin, std::size_t end, double* sums, double* scratch) {
  const std::size_t components = pass.components;
  double* accumulators = scratch;                                   // (1 + P) x 8
  double* densities = accumulators + (1 + components) * kLanes;     // P x kPassBlock
  double* factor = densities + components * kPassBlock;             // kPassBlock
  for (std::size_t j = 0; j < (1 + components) * kLanes; ++j) accumulators[j] = 0.0;
  for (std::size_t start = begin; start < end; start += kPassBlock) {
    const Block b = block_at(start, end);
    for (std::size_t k = 0; k < components; ++k) {
      for (std::size_t v = 0; v < b.vectors; ++v) {
        store(densities + k * kPassBlock + v * kLanes, load_block(pass.densities[k], b, v, 0.0));
      }
    }
    V log_likelihood = load(accumulators);
    mixture_and_factor(pass.pi, components, pass.intensity, b, densities, pass.weights, pass.mixture, factor,
                       log_likelihood);
    store(accumulators, log_likelihood);
    for (std::size_t k = 0; k < components; ++k) {
      const V weight = set(pass.pi[k]);
      V count = load(accumulators + (1 + k) * kLanes);
      for (std::size_t v = 0; v < b.vectors; ++v) {
        // (pi_k d_k) times the sample's factor: intensity G_k, or G_k.
        const V w = (weight * load(densities + k * kPassBlock + v * kLanes)) * load(factor + v * kLanes);
        store_block(pass.rows[k], b, v, w);
        count = count + real_lanes(b, v, w);
      }
      store(accumulators + (1 + k) * kLanes, count);
    }
  }
  for (std::size_t j = 0; j < 1 + components; ++j) sums[j] = lane_total(load(accumulators + j * kLanes));
}

// Peak k's terms (pi_k d_k) on the block's positions xs, written to row.
SIMD_INLINE void gaussian_terms(const GaussianPass& pass, std::size_t k, const double* xs, const Block& b, double* row) {
  const V mu = set(pass.centre[k]), scale = set(pass.scale[k]), factor = set(2.0 * (pass.pi[k] * pass.inverse_normaliser[k]));
  for (std::size_t v = 0; v < b.vectors; ++v) {
    store(row + v * kLanes, exp2_of_minus_square((load(xs + v * kLanes) - mu) * scale, factor));
  }
}

void gaussian_chunk(const GaussianPass& pass, std::size_t begin, std::size_t end, double* sums, double* scratch) {
  const std::size_t components = pass.components;
  const std::size_t peaks = pass.peaks < components ? pass.peaks : components;
  const std::size_t accumulator_count = 1 + components + kGaussianPeakSums * peaks;
  double* accumulators = scratch;                                  // accumulator_count x 8
  double* terms = accumulators + accumulator_count * kLanes;       // P x kPassBlock: pi_k d_k
  double* factor = terms + components * kPassBlock;                // kPassBlock
  double* xs = factor + kPassBlock;                                // kPassBlock
  double* twice_factor = xs + kPassBlock;                          // K: 2 pi_k / q_k
  double* near_peaks = twice_factor + peaks;                       // K: the block's peaks not skipped
  double* skipped = near_peaks + peaks;  // K: 0 evaluated, -1 flushed zeros, 1 a left-out tail
  double* tail_bound = skipped + peaks;  // K: the bound of a left-out tail's terms
  for (std::size_t j = 0; j < accumulator_count * kLanes; ++j) accumulators[j] = 0.0;
  // Per peak: sum w (x - c), sum w (x - c)^2, and the tail bounds E0 and E2 (in lane 0).
  double* moments = accumulators + (1 + components) * kLanes;
  for (std::size_t k = 0; k < peaks; ++k) twice_factor[k] = 2.0 * (pass.pi[k] * pass.inverse_normaliser[k]);
  for (std::size_t start = begin; start < end; start += kPassBlock) {
    const Block b = block_at(start, end);
    const double last_x = pass.x[start + b.length - 1];
    // The block's extent, and whether all its positions are finite (x - x is 0 only then).
    V lowest = set(last_x), highest = lowest, finite = set(0.0);
    for (std::size_t v = 0; v < b.vectors; ++v) {
      const V at = load_block(pass.x, b, v, last_x);
      store(xs + v * kLanes, at);
      lowest = min_or_second(lowest, at);
      highest = max_or_second(highest, at);
      finite = finite + (at - at);
    }
    double block_low = 0.0, block_high = 0.0;
    const bool all_finite = lane_total(finite) == 0.0;
    if (all_finite) {
      alignas(64) double lanes[kLanes];
      store(lanes, lowest);
      block_low = lanes[0];
      for (std::size_t j = 1; j < kLanes; ++j) block_low = lanes[j] < block_low ? lanes[j] : block_low;
      store(lanes, highest);
      block_high = lanes[0];
      for (std::size_t j = 1; j < kLanes; ++j) block_high = lanes[j] > block_high ? lanes[j] : block_high;
    }

    // The mixture's terms pi_k d_k of the peaks, 2^(-y^2) (pi_k / q_k) with y = (x - mu) s: the
    // weight joins the normaliser once per chunk instead of once per sample.
    double tails = 0.0;  // the sum of the left-out tails' bounds
    bool any_tail = false;
    for (std::size_t k = 0; k < peaks; ++k) {
      double* row = terms + k * kPassBlock;
      // A peak lies far from most blocks of a wide grid. Rounding is monotonic, so every |y| of the
      // block is at least reach = fl(gap |s|) up to an ulp or two. From 33 on the exponential
      // flushes every term to a zero with the factor's sign, and writing those zeros gives the same
      // bits at a fraction of the cost. From kGaussianTailCut on, each term is at most
      // |2 pi_k / q_k| 2^(1 - reach^2) (a factor 2 to spare for that rounding): the tail is left out
      // under the checks of GaussianPass. A zero or non-finite factor takes the general way.
      const double mu_k = pass.centre[k];
      const double gap = block_low - mu_k > mu_k - block_high ? block_low - mu_k : mu_k - block_high;
      const double tf = twice_factor[k];
      const double reach = gap * __builtin_fabs(pass.scale[k]);
      const bool usable = all_finite && tf != 0.0 && tf - tf == 0.0;
      skipped[k] = 0.0;
      if (usable && reach >= 33.0) {
        skipped[k] = -1.0;
      } else if (usable && !pass.exact_tails && reach >= kGaussianTailCut) {
        skipped[k] = 1.0;
        // 2^(1 - floor(reach^2)) >= 2^(1 - reach^2), built from its bits (2^-1022 at least).
        const std::int64_t biased = 1024 - static_cast<std::int64_t>(reach * reach);
        const double power = std::bit_cast<double>(static_cast<std::uint64_t>(biased > 1 ? biased : 1) << 52);
        tail_bound[k] = __builtin_fabs(tf) * power;
        tails += tail_bound[k];
        any_tail = true;
      }
      if (skipped[k] != 0.0) {
        const V zero = set(tf * 0.0);
        for (std::size_t v = 0; v < b.vectors; ++v) store(row + v * kLanes, zero);
        continue;
      }
      gaussian_terms(pass, k, xs, b, row);
    }
    // The terms of the background rows: the first one may be formed here from x, the others are
    // read.
    for (std::size_t k = pass.peaks; k < components; ++k) {
      double* row = terms + k * kPassBlock;
      const V weight = set(pass.pi[k]);
      const std::size_t background = k - pass.peaks;
      const BackgroundRow& bg = pass.background;
      if (background == 0 && bg.form == BackgroundForm::kLinear) {
        for (std::size_t v = 0; v < b.vectors; ++v) {
          const V at = load(xs + v * kLanes);
          // The products and sums of the stored row, rounded the same way (no FMA); fmax(value,
          // 0): a NaN value clips to 0 like a negative one.
          const V line = set(bg.slope) * at + set(bg.intercept);
          const M inside = (set(bg.x_min) <= at) & (at <= set(bg.x_max));
          store(row + v * kLanes, weight * select(inside & (line > set(0.0)), line, set(0.0)));
        }
      } else if (background == 0 && bg.form == BackgroundForm::kConstant) {
        for (std::size_t v = 0; v < b.vectors; ++v) {
          const V at = load(xs + v * kLanes);
          const M inside = (set(bg.x_min) <= at) & (at <= set(bg.x_max));
          store(row + v * kLanes, weight * select(inside, set(bg.value), set(0.0)));
        }
      } else {
        for (std::size_t v = 0; v < b.vectors; ++v) {
          store(row + v * kLanes, weight * load_block(pass.stored_rows[background], b, v, 0.0));
        }
      }
    }

    // Mixture m = sum of the terms in component order, factor = intensity / (m + 1e-20), and the
    // log-likelihood. Left-out tails must be negligible in every sample's m (then each weight
    // w = (pi_k d_k) factor they leave out is below 2^-60 of the sample's intensity); on a block
    // where some m is smaller (no background, far from every peak), or a factor is not finite,
    // the tails are evaluated and the block is taken again.
    const V log_likelihood_before = load(accumulators);
    double factor_sum = 0.0;
    for (;;) {
      V log_likelihood = log_likelihood_before;
      V factor_check = set(0.0), factor_magnitude = set(0.0), lowest_mixture = set(__builtin_inf());
      auto mixture = [&]<bool kTails>() {
        for (std::size_t v = 0; v < b.vectors; ++v) {
          V m = load(terms + v * kLanes);
          for (std::size_t k = 1; k < components; ++k) m = m + load(terms + k * kPassBlock + v * kLanes);
          const V counts = load_block(pass.intensity, b, v, 0.0);
          const V f = counts / (m + set(1e-20));
          store(factor + v * kLanes, f);
          factor_check = factor_check + (f - f);
          if constexpr (kTails) {
            // A NaN m gives a NaN factor, which the factor check catches.
            lowest_mixture = min_or_second(lowest_mixture, m);
            factor_magnitude = factor_magnitude + abs_of(f);
          }
          log_likelihood = log_likelihood + real_lanes(b, v, counts * log_any(m + set(1e-200)));
        }
      };
      if (any_tail) {
        mixture.template operator()<true>();
      } else {
        mixture.template operator()<false>();
      }
      const bool factors_finite = lane_total(factor_check) == 0.0;
      if (!any_tail || (factors_finite && all(lowest_mixture >= set(tails * 0x1p60)))) {
        store(accumulators, log_likelihood);
        // A skipped peak's weights on this block are its zero terms times finite factors: zeros,
        // and so are their products with the finite offsets from a finite reference point. Those
        // leave its sums as they are (an accumulator starts at +0 and is never -0, so adding a
        // zero of either sign changes no bit). With a factor that is not finite (a NaN or
        // infinite intensity) they are not zeros, and every peak takes its sums.
        if (!factors_finite) {
          for (std::size_t k = 0; k < peaks; ++k) skipped[k] = 0.0;
        }
        factor_sum = lane_total(factor_magnitude);
        break;
      }
      for (std::size_t k = 0; k < peaks; ++k) {
        if (skipped[k] <= 0.0) continue;
        skipped[k] = 0.0;
        gaussian_terms(pass, k, xs, b, terms + k * kPassBlock);
      }
      any_tail = false;
    }
    std::size_t near_count = 0;
    for (std::size_t k = 0; k < peaks; ++k) {
      const double c = pass.reference[k];
      if (skipped[k] == 0.0 || c - c != 0.0) {
        near_peaks[near_count++] = static_cast<double>(k);
      } else if (skipped[k] > 0.0) {
        // What the left-out weights could add to the expected count and to the second sum: each
        // weight is at most the bound times |factor|, at a squared distance from c of at most
        // far_end^2.
        const double far_end = __builtin_fabs(block_low - c) > __builtin_fabs(block_high - c) ? __builtin_fabs(block_low - c)
                                                                                                : __builtin_fabs(block_high - c);
        const double bound = tail_bound[k] * factor_sum;
        moments[(kGaussianPeakSums * k + 2) * kLanes] += bound;
        moments[(kGaussianPeakSums * k + 3) * kLanes] += bound * (far_end * far_end);
      }
    }

    // Expected counts, and for the peaks the first two moments about the reference point c:
    // sum w (x - c) and sum w (x - c)^2, with w = (pi_k d_k) factor. Peaks go in pairs, so that
    // six chains of additions advance side by side; each accumulator still takes its own samples
    // in order.
    std::size_t pair = 0;
    for (; pair + 2 <= near_count; pair += 2) {
      const auto k = static_cast<std::size_t>(near_peaks[pair]), l = static_cast<std::size_t>(near_peaks[pair + 1]);
      const double* row_a = terms + k * kPassBlock;
      const double* row_b = terms + l * kPassBlock;
      const V c_a = set(pass.reference[k]), c_b = set(pass.reference[l]);
      V count_a = load(accumulators + (1 + k) * kLanes), count_b = load(accumulators + (1 + l) * kLanes);
      V first_a = load(moments + kGaussianPeakSums * k * kLanes), second_a = load(moments + (kGaussianPeakSums * k + 1) * kLanes);
      V first_b = load(moments + kGaussianPeakSums * l * kLanes), second_b = load(moments + (kGaussianPeakSums * l + 1) * kLanes);
      for (std::size_t v = 0; v < b.vectors; ++v) {
        const V f = load(factor + v * kLanes), at = load(xs + v * kLanes);
        const V w_a = real_lanes(b, v, load(row_a + v * kLanes) * f);
        const V w_b = real_lanes(b, v, load(row_b + v * kLanes) * f);
        const V d_a = at - c_a, d_b = at - c_b;
        const V wd_a = w_a * d_a, wd_b = w_b * d_b;
        count_a = count_a + w_a;
        count_b = count_b + w_b;
        first_a = first_a + wd_a;
        first_b = first_b + wd_b;
        second_a = fma(wd_a, d_a, second_a);
        second_b = fma(wd_b, d_b, second_b);
      }
      store(accumulators + (1 + k) * kLanes, count_a);
      store(accumulators + (1 + l) * kLanes, count_b);
      store(moments + kGaussianPeakSums * k * kLanes, first_a);
      store(moments + (kGaussianPeakSums * k + 1) * kLanes, second_a);
      store(moments + kGaussianPeakSums * l * kLanes, first_b);
      store(moments + (kGaussianPeakSums * l + 1) * kLanes, second_b);
    }
    // The last near peak if their number is odd, then the background components.
    for (std::size_t next = pair; next < near_count + (components - peaks); ++next) {
      const std::size_t k = next < near_count ? static_cast<std::size_t>(near_peaks[next]) : peaks + (next - near_count);
      const double* row = terms + k * kPassBlock;
      V count = load(accumulators + (1 + k) * kLanes);
      if (k < peaks) {
        const V c = set(pass.reference[k]);
        V first = load(moments + kGaussianPeakSums * k * kLanes), second = load(moments + (kGaussianPeakSums * k + 1) * kLanes);
        for (std::size_t v = 0; v < b.vectors; ++v) {
          const V w = real_lanes(b, v, load(row + v * kLanes) * load(factor + v * kLanes));
          const V d = load(xs + v * kLanes) - c;
          const V wd = w * d;
          count = count + w;
          first = first + wd;
          second = fma(wd, d, second);
        }
        store(moments + kGaussianPeakSums * k * kLanes, first);
        store(moments + (kGaussianPeakSums * k + 1) * kLanes, second);
      } else {
        const bool keep = k == pass.peaks && pass.background_weights != nullptr;
        for (std::size_t v = 0; v < b.vectors; ++v) {
          const V w = load(row + v * kLanes) * load(factor + v * kLanes);
          if (keep) store_block(pass.background_weights, b, v, w);
          count = count + real_lanes(b, v, w);
        }
      }
      store(accumulators + (1 + k) * kLanes, count);
    }
  }
  for (std::size_t j = 0; j < accumulator_count; ++j) sums[j] = lane_total(load(accumulators + j * kLanes));
}

// ---- pseudo-Voigt passes -------------------------------------------------------------------------
//
// Both work on one chunk of at most kSumChunk samples with one accumulator lane per sample offset
// modulo 8, the lanes added in lane_total's fixed order (the compensated value of the objective in
// lane order). The density's parts are rounded as the scalar formula writes them (no FMA); only
// exp and log are the kernels above.

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

// ---- the TSDC curve pass -------------------------------------------------------------------------

void exponential_integrals_array(const double* x, std::size_t n, double* e1, double* e2) {
  if (e1 != nullptr) {
    integrals_of_array<true>(x, n, e1, e2);
  } else {
    integrals_of_array<false>(x, n, e1, e2);
  }
}

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

void divide_array(double* values, std::size_t n, double divisor) {
  const V q = set(divisor);
  map_in_place(values, n, [&](V v) { return v / q; });
}

void tsdc_chunk(const TsdcPass& pass, std::size_t begin, std::size_t end, double* sums, double* /*scratch*/) {
  if (pass.weights != nullptr) {
    tsdc_samples<true>(pass, begin, end, sums);
  } else {
    tsdc_samples<false>(pass, begin, end, sums);
  }
}

// ==== Doniach-Sunjic kernels: atan, sin and cos, pow as exp(log), and the line's pass ============
//
// The Doniach-Sunjic line needs per sample an arc tangent, a sine and cosine of an angle inside a
// few multiples of pi, and a power of a positive number; the kernels below give each within about
// one ulp (checked against quadruple precision in the unit tests), so that the line's values are
// those of the scalar formula to a few units of 2^-53.

void atan_array(double* values, std::size_t n) { map_in_place(values, n, atan_any); }

// Lanes outside the reduction's range (and NaN) from the scalar library.
void sin_cos_array(const double* x, std::size_t n, double* sine, double* cosine) {
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    const V at = load_lanes(x + i, count, 0.0);
    V s, c;
    sin_cos_reduced(at, s, c);
    alignas(64) double lanes_s[kLanes], lanes_c[kLanes];
    store(lanes_s, s);
    store(lanes_c, c);
    if (!all(abs_of(at) <= set(kSinCosLimit))) {
      for (std::size_t j = 0; j < count; ++j) {
        if (!(std::fabs(x[i + j]) <= kSinCosLimit)) {
          lanes_s[j] = std::sin(x[i + j]);
          lanes_c[j] = std::cos(x[i + j]);
        }
      }
    }
    for (std::size_t j = 0; j < count; ++j) {
      sine[i + j] = lanes_s[j];
      cosine[i + j] = lanes_c[j];
    }
  }
}

// Lanes whose base is not positive, normal and finite from the scalar library.
void pow_array(double* values, std::size_t n, double exponent) {
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    const V at = load_lanes(values + i, count, 1.0);
    alignas(64) double lanes[kLanes], bases[kLanes];
    store(bases, at);
    store(lanes, pow_positive(at, set(exponent)));
    if (!all(positive_normal(at))) {
      for (std::size_t j = 0; j < count; ++j) {
        if (!(bases[j] >= 2.2250738585072014e-308 && bases[j] < __builtin_inf())) lanes[j] = std::pow(bases[j], exponent);
      }
    }
    for (std::size_t j = 0; j < count; ++j) values[i + j] = lanes[j];
  }
}

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

// ==== Voigt kernel: the profile's changes from the Taylor series of w ============================
//
// The scalar voigt_point_changes of voigt.cpp, eight samples at a time, with the same operations
// in the same order (no FMA: the scalar code has none), so that its results are the same bits.

// (2k + 1)(2k - 1)!! / 2^k, the coefficients of the asymptotic expansion of w'(z).
constexpr double kVoigtDerivativeCoefficients[18] = {
    1.0, 1.5, 3.75, 13.125, 59.0625, 324.84375, 2111.484375, 15836.1328125, 134607.12890625, 1278767.724609375,
    13427061.108398438, 154411202.74658203, 1930140034.3322754, 26056890463.485718, 377824911720.5429,
    5856286131668.415, 96628721172528.84, 1691002620519254.8};

void voigt_changes(const VoigtChangesPass& pass, std::size_t n) {
  const std::size_t shifts = pass.shifts;
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    const V zr = load_lanes(pass.z_real + i, count, 0.0);
    const V zi = load_lanes(pass.z_imag + i, count, 1.0);
    const V wr = load_lanes(pass.w_real + i, count, 1.0);
    const V wi = load_lanes(pass.w_imag + i, count, 0.0);
    const V z_norm = zr * zr + zi * zi;
    const M far = (z_norm >= set(100.0)) & (zi >= set(1e-20));
    V a1r = set(-2.0) * (zr * wr - zi * wi);
    V a1i = set(-2.0) * (zr * wi + zi * wr) + set(1.1283791670955126);
    if (!all(select(far, set(0.0), set(1.0)) == set(1.0))) {
      // As many terms of the expansion as |z| asks for, lane by lane.
      const V r = select(far, z_norm, set(1e4));
      V terms = set(1.0), power = r;
      M running = set(0.0) == set(0.0);
      int most = 1;  // the most terms any lane takes
      for (int t = 1; t < 18; ++t) {
        running = running & (set(kVoigtDerivativeCoefficients[t]) > set(1e-20) * power);
        if (all(select(running, set(0.0), set(1.0)) == set(1.0))) break;
        terms = terms + select(running, set(1.0), set(0.0));
        power = power * r;
        most = t + 1;
      }
      const V u_re = zr / r, u_im = -zi / r;
      const V v_re = u_re * u_re - u_im * u_im, v_im = set(2.0) * u_re * u_im;
      V q_re = set(0.0), q_im = set(0.0);
      for (int k = most - 1; k >= 0; --k) {
        const M active = set(static_cast<double>(k)) < terms;
        const V re = q_re * v_re - q_im * v_im + set(kVoigtDerivativeCoefficients[k]);
        const V im = q_re * v_im + q_im * v_re;
        q_re = select(active, re, q_re);
        q_im = select(active, im, q_im);
      }
      const V vq_re = v_re * q_re - v_im * q_im, vq_im = v_re * q_im + v_im * q_re;
      a1r = select(far, set(0.5641895835477563) * vq_im, a1r);
      a1i = select(far, -(set(0.5641895835477563) * vq_re), a1i);
    }
    const V a2r = -((zr * a1r - zi * a1i) + wr), a2i = -((zr * a1i + zi * a1r) + wi);
    const V a3r = set(-2.0) * ((zr * a2r - zi * a2i) + a1r) / set(3.0);
    const V a3i = set(-2.0) * ((zr * a2i + zi * a2r) + a1i) / set(3.0);
    const V a4r = -((zr * a3r - zi * a3i) + a2r) * set(0.5), a4i = -((zr * a3i + zi * a3r) + a2i) * set(0.5);
    const V a3_norm = a3r * a3r + a3i * a3i, a4_norm = a4r * a4r + a4i * a4i;
    M all_formed = set(0.0) == set(0.0);
    for (std::size_t j = 0; j < shifts; ++j) {
      V dr = set(0.0), di = set(0.0);
      if (pass.moved[j] == 0) dr = set(pass.dz[j]);
      if (pass.moved[j] == 2) di = set(pass.dz[j]);
      if (pass.moved[j] == 1) {
        dr = zr * set(pass.ratio[j]);
        di = zi * set(pass.ratio[j]);
      }
      const V dz_norm = dr * dr + di * di;
      V sr = a4r * dr - a4i * di + a3r, si = a4r * di + a4i * dr + a3i;
      V tr = sr * dr - si * di + a2r;
      si = sr * di + si * dr + a2i;
      sr = tr;
      tr = sr * dr - si * di + a1r;
      si = sr * di + si * dr + a1i;
      sr = tr;
      tr = sr * dr - si * di;
      si = sr * di + si * dr;
      sr = tr;
      const V dz4 = dz_norm * dz_norm, bound = set(0x1p-112) * (sr * sr + si * si);
      const M series = (set(4.0) * z_norm * dz_norm <= set(0.01)) & (dz_norm <= set(0.01)) &
                       (a4_norm * (dz4 * dz4) <= bound) & (a3_norm * (dz4 * dz4 * dz_norm) <= bound);
      const V difference = pass.moved[j] == 1
                               ? (set(pass.sigma) * sr + set(pass.width_change[j]) * wr) * set(pass.scale[j])
                               : sr * set(pass.scale[j]);
      // Finite: x - x is 0 only for finite x.
      all_formed = all_formed & series & ((difference - difference) == set(0.0));
      store_lanes(pass.change[j] + i, count, difference);
    }
    const V formed = select(all_formed, set(1.0), set(0.0));
    store_lanes(pass.formed + i, count, formed);
  }
}

void voigt_terms(const VoigtTermsPass& pass, std::size_t n) {
  const std::size_t shifts = pass.shifts, stride = 1 + shifts;
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    const V value = load_lanes(pass.value + i, count, 1.0);
    const V log_density = load_lanes(pass.log_density + i, count, 0.0);
    const V w = load_lanes(pass.weights + i, count, 0.0);
    const V formed = load_lanes(pass.formed + i, count, 0.0);
    alignas(64) double lanes[4][kLanes];
    store(lanes[0], w * log_density);
    const V inverse_value = set(1.0) / value;
    const M base = (formed == set(1.0)) & (value > set(0.0)) & (value * set(pass.inverse_mass) >= set(1e-180));
    M every = base;
    for (std::size_t j = 0; j < shifts; ++j) {
      const V change = load_lanes(pass.change[j] + i, count, 0.0);
      const V r = change * inverse_value;
      const M shift_formed = (value + change) * set(pass.inverse_shifted_mass[j]) >= set(1e-180);
      every = every & shift_formed & (abs_of(r) < set(1e-4));
      if (!pass.mass_formed[j]) every = every & (set(0.0) == set(1.0));
      const V log1p = r - (r * r) * (set(0.5) - r * (set(1.0 / 3.0) - r * set(0.25)));
      store(lanes[1 + j], w * (log1p - set(pass.mass_log_ratio[j])));
    }
    alignas(64) double every_lanes[kLanes];
    store(every_lanes, select(every, set(1.0), set(0.0)));
    for (std::size_t l = 0; l < count; ++l) {
      double* out = pass.out + (i + l) * stride;
      for (std::size_t j = 0; j < stride; ++j) out[j] = lanes[j][l];
      pass.done[i + l] = every_lanes[l];
    }
  }
}

}  // namespace

extern const SimdKernels BRIVANE_SIMD_TABLE;
// Filled by name: an entry out of order, or two entries of one type swapped, does not compile.
const SimdKernels BRIVANE_SIMD_TABLE = {
    .exp = exp_array,
    .exp2_of_minus_square = exp2_of_minus_square_array,
    .log = log_array,
    .gaussian_row = gaussian_row,
    .e_step_chunk = e_step_chunk,
    .gaussian_chunk = gaussian_chunk,
    .pseudo_voigt_mixing_chunk = pseudo_voigt_mixing_chunk,
    .pseudo_voigt_objective_chunk = pseudo_voigt_objective_chunk,
    .exponential_integrals = exponential_integrals_array,
    .tsdc_chunk = tsdc_chunk,
    .divide = divide_array,
    .atan = atan_array,
    .sin_cos = sin_cos_array,
    .pow = pow_array,
    .doniach_sunjic_chunk = doniach_sunjic_chunk,
    .weighted_log_density_chunk = weighted_log_density_chunk,
    .voigt_changes = voigt_changes,
    .voigt_terms = voigt_terms,
    .faddeeva = faddeeva_array,
};

}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
