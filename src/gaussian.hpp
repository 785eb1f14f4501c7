#pragma once
// Gaussian peaks: the normal density and its closed-form weighted refit.

#include <cstddef>
#include <span>
#include <vector>

#include "em_shape.hpp"

namespace brivane {

// Row of the ordinary normal density exp(-z^2) / sqrt(2 pi sigma^2), z = (x - mu) / (sigma sqrt 2),
// over the whole grid: neither truncated to nor renormalised over any window. A negative sigma
// gives the density of |sigma|; a zero sigma gives infinities and NaN.
void gaussian_density(std::span<const double> x, double mu, double sigma, std::span<double> row);

// K Gaussian peaks as one EM shape: values mu, sigma; fixed fix_mu, fix_sigma.
struct GaussianPeaks : PeakParameters<2, 2> {
  static constexpr bool kParallel = true;
  static constexpr bool kElementwiseDensity = true;

  void density(std::size_t k, std::span<const double> x, const Window& window,
               std::span<double> row) const;
  // Weighted moments of the samples: the centre is the weighted mean, the width the weighted spread
  // about the (new or fixed) centre, floored at 1e-5 so that a peak that has collapsed onto one
  // sample stays a density. A peak without weight (sum below 1e-300) keeps its values.
  Parameters refit(std::size_t k, std::span<const double> x, std::span<const double> weights,
                   const Window& window, std::span<double> scratch) const;
};

// The Gaussian mixture entry, instantiated in gaussian.cpp.
extern template EmResult run_em(GaussianPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
