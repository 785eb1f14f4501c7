#include "gaussian.hpp"

#include <algorithm>
#include <cmath>

#include "em_engine.hpp"
#include "vector_math.hpp"

namespace brivane {

__attribute__((target_clones("avx2", "default")))
void gaussian_density(std::span<const double> x, double mu, double sigma, std::span<double> row) {
  const double inverse_scale = 1.0 / (sigma * 1.4142135623730951);
  const double normaliser = std::sqrt(sigma * (sigma * 6.283185307179586));
  const std::size_t n = std::min(x.size(), row.size());
  double* __restrict out = row.data();
  const double* __restrict in = x.data();
  // Beyond about 27 widths from the centre exp(-z^2) is exactly 0, and so is the density when the
  // normaliser is a positive number: a block of samples that lies wholly out there is filled with
  // zeros instead of evaluated. The values are the same either way.
  const bool zeros_are_exact = std::isfinite(normaliser) && normaliser > 0.0;
  constexpr std::size_t kBlock = 64;
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(kBlock, n - start);
    double* __restrict block = out + start;
    std::size_t underflowing = 0;
    for (std::size_t i = 0; i < len; ++i) {
      const double z = (in[start + i] - mu) * inverse_scale;
      block[i] = -(z * z);
      underflowing += block[i] < vector_math_detail::kExpUnderflow ? 1 : 0;
    }
    if (zeros_are_exact && underflowing == len) {
      std::fill(block, block + len, 0.0);
      continue;
    }
    for (std::size_t i = 0; i < len; ++i) block[i] = exp_kernel(block[i]) / normaliser;
  }
}

void GaussianPeaks::density(std::size_t k, std::span<const double> x, const Window& /*window*/,
                            std::span<double> row) const {
  gaussian_density(x, values[0][k], values[1][k], row);
}

GaussianPeaks::Parameters GaussianPeaks::refit(std::size_t k, std::span<const double> x,
                                               std::span<const double> weights,
                                               const Window& /*window*/,
                                               std::span<double> /*scratch*/) const {
  Parameters fitted = current(k);
  const bool fix_mu = fixed[0][k];
  const bool fix_sigma = fixed[1][k];
  if ((fix_mu && fix_sigma) || weights.empty()) return fitted;
  const std::size_t n = std::min(x.size(), weights.size());
  const double* __restrict w = weights.data();
  // The total weight and the first moment in one pass; both sums run in sample order.
  double total = 0.0;
  double first_moment = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    total += w[i];
    first_moment += x[i] * w[i];
  }
  for (std::size_t i = n; i < weights.size(); ++i) total += w[i];
  if (total < 1e-300) return fitted;
  const double denominator = total + 1e-100;
  if (!fix_mu) fitted[0] = first_moment / denominator;
  if (!fix_sigma) {
    const double centre = fitted[0];
    double second_moment = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double d = x[i] - centre;
      second_moment += w[i] * d * d;
    }
    const double variance = second_moment / denominator;
    fitted[1] = variance > 0.0 ? std::fmax(std::sqrt(variance), 1e-5) : 1e-5;
  }
  return fitted;
}

template EmResult run_em(GaussianPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
