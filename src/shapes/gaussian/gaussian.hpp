#pragma once
// Gaussian peaks: the normal density and its closed-form weighted refit.

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "em_shape.hpp"
#include "shapes/gaussian/vector_pass.hpp"

namespace brivane {

// A Gaussian peak's parameters by name: their positions in the mixture's arrays, their names,
// and the names of the mixture entry's per-peak arrays and fix flags, in that order.
struct GaussianParameter {
  enum : std::size_t { mu, sigma };
  static constexpr std::array<std::string_view, 2> kNames{"mu", "sigma"};
  static constexpr std::array<std::string_view, 2> kMixtureArrays = kNames;
  static constexpr std::array<std::string_view, 2> kMixtureFlags{"fix_mu", "fix_sigma"};
};

// Row of the ordinary normal density exp(-z^2) / sqrt(2 pi sigma^2), z = (x - mu) / (sigma sqrt 2),
// over the whole grid: neither truncated to nor renormalised over any window. A negative sigma
// gives the density of |sigma|; a zero sigma gives infinities and NaN.
void gaussian_density(std::span<const double> x, double mu, double sigma, std::span<double> row);

// K Gaussian peaks as one EM shape: values mu, sigma; fixed fix_mu, fix_sigma. The EM loop runs
// its fused pass: the refit needs only each peak's weight sum and its first two moments, which the
// pass forms about the peak's current centre.
struct GaussianPeaks : PeakParameters<2, 2> {
  using Names = GaussianParameter;
  static constexpr bool kParallel = true;
  static constexpr bool kElementwiseDensity = true;
  // sum w (x - c), sum w (x - c)^2, and the bounds E0, E2 of what the tails the pass left out
  // would add to sum w and to the second sum (shapes/gaussian/vector_pass.hpp, GaussianPass).
  static constexpr std::size_t kPeakSums = kGaussianPeakSums;
  static constexpr std::size_t kConstantsPerPeak = 3;  // mu, sqrt(log2(e) / 2) / sigma, 1 / sqrt(2 pi sigma^2)

  void density(std::size_t k, std::span<const double> x, const Window& window,
               std::span<double> row) const;
  // Weighted moments of the samples: the centre is the weighted mean, the width the weighted spread
  // about the (new or fixed) centre, floored at 1e-5 so that a peak that has collapsed onto one
  // sample stays a density. A peak without weight (sum below 1e-300) keeps its values.
  Parameters refit(std::size_t k, std::span<const double> x, std::span<const double> weights,
                   const Window& window, std::span<double> scratch) const;

  std::size_t pass_scratch(std::size_t components) const;
  void pass_constants(std::span<double> constants) const;
  void pass_chunk(const FusedPassInputs& inputs, std::span<const double> constants, std::size_t begin,
                  std::size_t end, double* sums, double* scratch) const;
  bool sums_resolved(double weight_sum, std::span<const double> sums) const;
  double reference_point(std::size_t k) const { return values[Names::mu][k]; }
  // The same moments as refit, from W = sum w, S1 = sum w (x - c) and S2 = sum w (x - c)^2 about the
  // reference c: mu' = (c W + S1) / (W + 1e-100) and, with d = mu' - c,
  // var = (S2 - 2 d S1 + d^2 W) / (W + 1e-100). When the centre moved far from c the terms of var
  // nearly cancel; if they are more than kCancellation times var and may_retake, the refit asks for
  // the sums again about mu'.
  SumsRefit<Parameters> refit_from_sums(std::size_t k, double weight_sum, std::span<const double> sums,
                                        double reference, bool may_retake) const;
  static constexpr double kCancellation = 1024.0;
};

// The Gaussian mixture entry, instantiated in gaussian.cpp.
extern template EmResult run_em(GaussianPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
