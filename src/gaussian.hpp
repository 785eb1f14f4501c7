#pragma once
// Gaussian peaks: the normal density and its closed-form weighted refit.

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace brivane {

// Row of the ordinary normal density exp(-z^2) / sqrt(2 pi sigma^2), z = (x - mu) / (sigma sqrt 2),
// over the whole grid: neither truncated to nor renormalised over any window. A negative sigma
// gives the density of |sigma|; a zero sigma gives infinities and NaN.
void gaussian_density(std::span<const double> x, double mu, double sigma, std::span<double> row);

// K Gaussian peaks as one EM shape: working centres and widths, and their fix flags.
struct GaussianPeaks {
  using Parameters = std::array<double, 2>;
  static constexpr bool kParallel = true;
  static constexpr bool kElementwiseDensity = true;

  std::vector<double> mu;
  std::vector<double> sigma;
  std::vector<bool> fix_mu;
  std::vector<bool> fix_sigma;

  std::size_t count() const { return mu.size(); }
  void check_density_inputs() const;
  void check_refit_inputs() const;
  void density(std::size_t k, std::span<const double> x, std::span<double> row) const;
  // Weighted moments of the samples: the centre is the weighted mean, the width the weighted spread
  // about the (new or fixed) centre, floored at 1e-5 so that a peak that has collapsed onto one
  // sample stays a density. A peak without weight (sum below 1e-300) keeps its values.
  Parameters refit(std::size_t k, std::span<const double> x, std::span<const double> weights,
                   std::span<double> scratch = {}) const;
  void store(std::size_t k, const Parameters& p) {
    mu[k] = p[0];
    sigma[k] = p[1];
  }
};

}  // namespace brivane
