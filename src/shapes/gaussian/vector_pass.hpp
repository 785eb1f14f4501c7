#pragma once
// The Gaussian mixture's pass over the grid: what gaussian.cpp hands to the vector kernel
// (vector_kernels.hpp, reached through gaussian_kernels().chunk and .row).

#include <cstddef>

#include "background_row.hpp"
#include "summation_order.hpp"
#include "vector_math.hpp"

namespace brivane {

// One pass of the Gaussian mixture: the densities of the K peaks,
//   d_k = 2^(-y^2) / q_k, y = (x - mu_k) s_k, s_k = sqrt(log2(e) / 2) / sigma_k,
// which is exp(-z^2) / q_k with z = (x - mu_k) / (sigma_k sqrt 2), flushed to 0 below about
// 2^-1021 / q_k; the background rows; then the E-step as in EStepPass (weights) without storing the
// rows, and the moments the refits need. Chunk sums: [0] log-likelihood, [1 + k] expected count of
// component k < P, then kGaussianPeakSums for each peak k < min(K, P): sum w (x - c_k) and
// sum w (x - c_k)^2 about its reference point c_k, and bounds E0_k and E2_k of what the tails the
// pass left out would add to its expected count and to its second sum.
//
// The tails: on a block where every |y| of peak k is at least kGaussianTailCut, its terms are below
// 2^-127 |pi_k / q_k| and are not evaluated, unless exact_tails is set. They are left out of the
// mixture only where every sample's mixture exceeds 2^60 times their bound (otherwise the block
// evaluates them), so the log-likelihood and every weight change by less than 2^-60 relative; the
// bounds E0_k and E2_k tell the caller whether the peak's own sums are as safe (a peak in an empty
// stretch of the spectrum draws its sums from its tails alone), and a pass with exact_tails gives
// them exactly where they are not. Where every |y| is 33 or more the terms are the flushed zeros
// (the same values the kernel returns) and are written without a bound.
inline constexpr std::size_t kGaussianPeakSums = 4;
inline constexpr double kGaussianTailCut = 11.4;  // 11.4^2 > 128
struct GaussianPass {
  const double* x = nullptr;
  const double* intensity = nullptr;
  std::size_t peaks = 0;       // K
  std::size_t components = 0;  // P, the number of weights
  const double* pi = nullptr;
  const double* centre = nullptr;              // K
  const double* scale = nullptr;               // K: s_k
  const double* inverse_normaliser = nullptr;  // K: 1 / q_k
  const double* reference = nullptr;           // K: c_k
  BackgroundRow background;
  const double* const* stored_rows = nullptr;  // background rows read by the pass
  double* background_weights = nullptr;        // optional: intensity * G of row K
  bool exact_tails = false;                    // evaluate every term that is not a flushed zero
};
inline std::size_t gaussian_pass_sums(std::size_t peaks, std::size_t components) {
  return 1 + components + kGaussianPeakSums * (peaks < components ? peaks : components);
}
inline std::size_t gaussian_pass_scratch(std::size_t peaks, std::size_t components) {
  return gaussian_pass_sums(peaks, components) * kSumLanes + (components + 2) * kPassBlock + 4 * peaks;
}

// The kernels of vector_kernels.hpp, one variant per instruction set, filled by name there.
struct GaussianKernels {
  // row[i] = exp(-z^2) / normaliser, z = (x[i] - centre) inverse_scale, exp over the full range.
  void (*row)(const double* x, std::size_t n, double centre, double inverse_scale, double normaliser, double* row);
  // The mixture's pass over samples [begin, end) of one chunk of the fixed summation order: `sums`
  // receives the chunk's sums, `scratch` is working memory.
  void (*chunk)(const GaussianPass& pass, std::size_t begin, std::size_t end, double* sums, double* scratch);
};
BRIVANE_VECTOR_KERNEL_TABLE(GaussianKernels, kGaussianKernels, gaussian_kernels)

}  // namespace brivane
