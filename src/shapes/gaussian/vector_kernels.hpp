#pragma once
// The Gaussian's vector kernels: a density row, and the mixture's pass (vector_pass.hpp).
// Compiled once per instruction set (CMakeLists.txt, brivane_shape), each unit filling its variant
// of GaussianKernels (vector_pass.hpp); the helpers stay inside this instruction set's namespace.

#include <bit>
#include <cstddef>
#include <cstdint>

#include "passes/blocks.hpp"
#include "shapes/gaussian/vector_pass.hpp"
#include "simd/exp.hpp"
#include "simd/lanes.hpp"
#include "simd/log.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// Peak k's terms (pi_k d_k) on the block's positions xs, written to row.
SIMD_INLINE void gaussian_terms(const GaussianPass& pass, std::size_t k, const double* xs, const Block& b, double* row) {
  const V mu = set(pass.centre[k]), scale = set(pass.scale[k]), factor = set(2.0 * (pass.pi[k] * pass.inverse_normaliser[k]));
  for (std::size_t v = 0; v < b.vectors; ++v) {
    store(row + v * kLanes, exp2_of_minus_square((load(xs + v * kLanes) - mu) * scale, factor));
  }
}

// ---- the Gaussian pass, section by section --------------------------------------------------------
//
// gaussian_chunk takes each block of its chunk through these steps in turn; they share the
// chunk's working memory (laid out in gaussian_chunk) and the block's extent.

// The block's positions copied to xs, and its extent [block_low, block_high]; false if some
// position is not finite (the extent is then not formed).
SIMD_INLINE bool block_extent(const GaussianPass& pass, const Block& b, double* xs, double& block_low,
                              double& block_high) {
  const std::size_t start = b.start;
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
  return all_finite;
}

// The peaks' terms, or their flushed zeros and left-out tails (skipped, tail_bound; tails and
// any_tail sum them up).
SIMD_INLINE void peak_terms(const GaussianPass& pass, const Block& b, const double* xs, std::size_t peaks,
                            double block_low, double block_high, bool all_finite, const double* twice_factor,
                            double* terms, double* skipped, double* tail_bound, double& tails, bool& any_tail) {
  // The mixture's terms pi_k d_k of the peaks, 2^(-y^2) (pi_k / q_k) with y = (x - mu) s: the
  // weight joins the normaliser once per chunk instead of once per sample.
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
}

// The terms of the background rows: the first one may be formed here from x, the others are
// read.
SIMD_INLINE void background_terms(const GaussianPass& pass, const Block& b, const double* xs, std::size_t components,
                                  double* terms) {
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
}

// The mixture, each sample's factor and the log-likelihood (accumulators[0]); returns the sum of the
// factors' magnitudes (where tails were left out). A block whose left-out tails are not negligible
// evaluates them (skipped) and is taken again.
SIMD_INLINE double mixture_and_factors(const GaussianPass& pass, const Block& b, const double* xs,
                                       std::size_t components, std::size_t peaks, double tails, bool any_tail,
                                       double* terms, double* factor, double* accumulators, double* skipped) {
  // Mixture m = sum of the terms in component order, factor = intensity / (m + 1e-20), and the
  // log-likelihood. Left-out tails must be negligible in every sample's m (then each weight
  // w = (pi_k d_k) factor they leave out is below 2^-60 of the sample's intensity); on a block
  // where some m is smaller (no background, far from every peak), or a factor is not finite,
  // the tails are evaluated and the block is taken again.
  const V log_likelihood_before = load(accumulators);
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
      return lane_total(factor_magnitude);
    }
    for (std::size_t k = 0; k < peaks; ++k) {
      if (skipped[k] <= 0.0) continue;
      skipped[k] = 0.0;
      gaussian_terms(pass, k, xs, b, terms + k * kPassBlock);
    }
    any_tail = false;
  }
}

// The peaks whose weights are summed on this block (near_peaks; returns their number), and the
// bounds of what the left-out tails would add to the others' sums.
SIMD_INLINE std::size_t near_peaks_and_tail_bounds(const GaussianPass& pass, std::size_t peaks, const double* skipped,
                                                   const double* tail_bound, double factor_sum, double block_low,
                                                   double block_high, double* near_peaks, double* moments) {
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
  return near_count;
}

// The expected counts and moments of the near peaks taken in pairs; returns how many were taken.
SIMD_INLINE std::size_t paired_peak_sums(const GaussianPass& pass, const Block& b, const double* xs,
                                         const double* terms, const double* factor, const double* near_peaks,
                                         std::size_t near_count, double* accumulators, double* moments) {
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
  return pair;
}

// The sums of the last near peak if their number is odd, then of the background components.
SIMD_INLINE void remaining_sums(const GaussianPass& pass, const Block& b, const double* xs, const double* terms,
                                const double* factor, const double* near_peaks, std::size_t pair,
                                std::size_t near_count, std::size_t components, std::size_t peaks,
                                double* accumulators, double* moments) {
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

}  // namespace

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
    double block_low = 0.0, block_high = 0.0;
    const bool all_finite = block_extent(pass, b, xs, block_low, block_high);
    double tails = 0.0;  // the sum of the left-out tails' bounds
    bool any_tail = false;
    peak_terms(pass, b, xs, peaks, block_low, block_high, all_finite, twice_factor, terms, skipped, tail_bound, tails,
               any_tail);
    background_terms(pass, b, xs, components, terms);
    const double factor_sum =
        mixture_and_factors(pass, b, xs, components, peaks, tails, any_tail, terms, factor, accumulators, skipped);
    const std::size_t near_count = near_peaks_and_tail_bounds(pass, peaks, skipped, tail_bound, factor_sum, block_low,
                                                              block_high, near_peaks, moments);
    const std::size_t pair = paired_peak_sums(pass, b, xs, terms, factor, near_peaks, near_count, accumulators, moments);
    remaining_sums(pass, b, xs, terms, factor, near_peaks, pair, near_count, components, peaks, accumulators, moments);
  }
  for (std::size_t j = 0; j < accumulator_count; ++j) sums[j] = lane_total(load(accumulators + j * kLanes));
}

const GaussianKernels kGaussianKernels = {.row = gaussian_row, .chunk = gaussian_chunk};

}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
