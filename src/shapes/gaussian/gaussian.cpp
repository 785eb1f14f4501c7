#include "shapes/gaussian/gaussian.hpp"

#include <algorithm>
#include <cmath>

#include "em_engine.hpp"
#include "vector_math.hpp"

namespace brivane {

void gaussian_density(std::span<const double> x, double mu, double sigma, std::span<double> row) {
  const double inverse_scale = 1.0 / (sigma * 1.4142135623730951);
  const double normaliser = std::sqrt(sigma * (sigma * 6.283185307179586));
  gaussian_kernels().row(x.data(), std::min(x.size(), row.size()), mu, inverse_scale, normaliser, row.data());
}

void GaussianPeaks::density(std::size_t k, std::span<const double> x, const Window& /*window*/,
                            std::span<double> row) const {
  gaussian_density(x, values[Names::mu][k], values[Names::sigma][k], row);
}

GaussianPeaks::Parameters GaussianPeaks::refit(std::size_t k, std::span<const double> x,
                                               std::span<const double> weights,
                                               const Window& /*window*/,
                                               std::span<double> /*scratch*/) const {
  Parameters fitted = current(k);
  const bool fix_mu = fixed[Names::mu][k];
  const bool fix_sigma = fixed[Names::sigma][k];
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
  if (!fix_mu) fitted[Names::mu] = first_moment / denominator;
  if (!fix_sigma) {
    const double centre = fitted[Names::mu];
    double second_moment = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double d = x[i] - centre;
      second_moment += w[i] * d * d;
    }
    const double variance = second_moment / denominator;
    fitted[Names::sigma] = variance > 0.0 ? std::fmax(std::sqrt(variance), 1e-5) : 1e-5;
  }
  return fitted;
}

std::size_t GaussianPeaks::pass_scratch(std::size_t components) const {
  return gaussian_pass_scratch(count(), components);
}

void GaussianPeaks::pass_constants(std::span<double> constants) const {
  const std::size_t peaks = count();
  for (std::size_t k = 0; k < peaks; ++k) {
    const double sigma = values[Names::sigma][k];
    constants[k] = values[Names::mu][k];
    // sqrt(log2(e) / 2) / sigma: the pass evaluates exp(-z^2) as 2^(-y^2).
    constants[peaks + k] = 0.8493218002880191 / sigma;
    constants[2 * peaks + k] = 1.0 / std::sqrt(sigma * (sigma * 6.283185307179586));
  }
}

void GaussianPeaks::pass_chunk(const FusedPassInputs& inputs, std::span<const double> constants, std::size_t begin,
                               std::size_t end, double* sums, double* scratch) const {
  const std::size_t peaks = count();
  GaussianPass pass;
  pass.x = inputs.x.data();
  pass.intensity = inputs.intensity.data();
  pass.peaks = peaks;
  pass.components = inputs.pi.size();
  pass.pi = inputs.pi.data();
  pass.centre = constants.data();
  pass.scale = constants.data() + peaks;
  pass.inverse_normaliser = constants.data() + 2 * peaks;
  pass.reference = inputs.reference.data();
  pass.background = inputs.background;
  pass.stored_rows = inputs.stored_rows;
  pass.background_weights = inputs.background_weights;
  pass.exact_tails = inputs.exact_tails;
  gaussian_kernels().chunk(pass, begin, end, sums, scratch);
}

bool GaussianPeaks::sums_resolved(double weight_sum, std::span<const double> sums) const {
  // The left-out tails could change the expected count and the second sum by at most E0 and E2
  // (and the first sum by at most sqrt(E0 E2)): below 2^-60 of each, the refit moves by less than
  // a few units of 2^-53 of the width, even after a retake's cancellation of 1024.
  const double e0 = sums[2], e2 = sums[3];
  return e0 == 0.0 || (e0 <= 0x1p-60 * weight_sum && e2 <= 0x1p-60 * sums[1]);
}

SumsRefit<GaussianPeaks::Parameters> GaussianPeaks::refit_from_sums(std::size_t k, double weight_sum,
                                                                   std::span<const double> sums, double reference,
                                                                   bool may_retake) const {
  SumsRefit<Parameters> fit{current(k)};
  const bool fix_mu = fixed[Names::mu][k];
  const bool fix_sigma = fixed[Names::sigma][k];
  if ((fix_mu && fix_sigma) || weight_sum < 1e-300) return fit;
  const double denominator = weight_sum + 1e-100;
  const double first = sums[0], second = sums[1];
  // A fixed centre is the reference itself (the sums are always taken about the current centre
  // first, and a fixed centre never asks for a retake).
  if (!fix_mu) fit.values[Names::mu] = std::fma(reference, weight_sum, first) / denominator;
  if (!fix_sigma) {
    const double shift = fit.values[Names::mu] - reference;
    // sum w (x - mu')^2 = S2 - d (2 S1 - d W); its terms are at most S2 + |d| (2 |S1| + |d| W).
    const double spread = std::fma(-shift, std::fma(-shift, weight_sum, 2.0 * first), second);
    const double terms = second + std::fabs(shift) * (2.0 * std::fabs(first) + std::fabs(shift) * weight_sum);
    if (may_retake && spread * kCancellation < terms) {
      fit.retake = true;
      fit.reference = fit.values[Names::mu];
      return fit;
    }
    const double variance = spread / denominator;
    fit.values[Names::sigma] = variance > 0.0 ? std::fmax(std::sqrt(variance), 1e-5) : 1e-5;
  }
  return fit;
}

template EmResult run_em(GaussianPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
