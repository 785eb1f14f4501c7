#include "lorentzian.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <variant>

#include "failure.hpp"
#include "numerics/lbfgsb.hpp"
#include "standard_output.hpp"
#include "vector_math.hpp"

namespace brivane {

namespace {

constexpr double kInversePi = 0.3183098861837907;
constexpr double kPi = 3.141592653589793;
constexpr double kDifferenceStep = 1e-7;

// Rows are filled block by block so that the logarithms of the log-likelihood stay in cache.
constexpr std::size_t kBlock = 512;

}  // namespace

__attribute__((target_clones("avx2", "default")))
double lorentzian_density(std::span<const double> x, double x0, double gamma, double x_min,
                          double x_max, std::span<double> row) {
  const double half_width = 0.5 * gamma;
  const double mass = std::atan((x_max - x0) / half_width) * kInversePi -
                      std::atan((x_min - x0) / half_width) * kInversePi;
  const double scale = std::fmax(mass, 1e-300) * kPi;
  const double half_width_squared = half_width * half_width;
  const std::size_t n = std::min(x.size(), row.size());
  const double* __restrict grid = x.data();
  double* __restrict d = row.data();
  for (std::size_t i = 0; i < n; ++i) {
    const double offset = grid[i] - x0;
    d[i] = gamma / ((offset * offset + half_width_squared) * scale);
  }
  double integral = 0.0;
  for (std::size_t j = 0; j + 1 < n; ++j) integral += (grid[j + 1] - grid[j]) * ((d[j] + d[j + 1]) * 0.5);
  const double normaliser = n < 2 ? 1e-300 : std::fmax(integral, 1e-300);
  for (std::size_t i = 0; i < n; ++i) d[i] = d[i] / normaliser;
  return normaliser;
}

__attribute__((target_clones("avx2", "default")))
double lorentzian_log_likelihood(std::span<const double> x, std::span<const double> weights,
                                 double x0, double gamma, double x_min, double x_max,
                                 std::span<double> scratch) {
  const std::span<double> d = scratch.first(x.size());
  lorentzian_density(x, x0, gamma, x_min, x_max, d);
  const std::size_t n = std::min(x.size(), weights.size());
  double log_likelihood = 0.0;
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(kBlock, n - start);
    double* __restrict block = d.data() + start;
    for (std::size_t i = 0; i < len; ++i) block[i] = block[i] + 1e-200;
    log_in_place({block, len});
    const double* __restrict w = weights.data() + start;
    for (std::size_t i = 0; i < len; ++i) log_likelihood += w[i] * block[i];
  }
  return log_likelihood;
}

bool lorentzian_fit(std::span<const double> x, std::span<const double> weights, double& x0,
                    double& gamma, bool fix_x0, bool fix_gamma, double x_min, double x_max,
                    std::span<double> scratch) {
  if ((fix_x0 && fix_gamma) || weights.empty()) return false;
  double total = 0.0;
  for (double w : weights) total += w;
  if (total < 1e-300) return false;

  const std::size_t n = std::min(x.size(), weights.size());
  std::vector<double> start, lower, upper;
  if (!fix_x0) {
    double first_moment = 0.0;
    for (std::size_t i = 0; i < n; ++i) first_moment += x[i] * weights[i];
    start.push_back(first_moment / total);
    lower.push_back(x_min);
    upper.push_back(x_max);
  }
  if (!fix_gamma) {
    double raw_second_moment = 0.0;
    for (std::size_t i = 0; i < n; ++i) raw_second_moment += x[i] * x[i] * weights[i];
    // The width of a Lorentzian whose half-width would match the spread, 2 ln 2 M2 / S, as a
    // start only; a NaN root starts from the lower bound.
    start.push_back(std::fmax(std::sqrt((raw_second_moment / total) * 1.3862943611198906), kLorentzianWidthMin));
    lower.push_back(kLorentzianWidthMin);
    upper.push_back(kLorentzianWidthMax);
  }

  auto parameters = [&](std::span<const double> p) {
    return std::pair{fix_x0 ? x0 : p[0], fix_gamma ? gamma : p[fix_x0 ? 0 : 1]};
  };
  auto negative_log_likelihood = [&](std::span<const double> p) {
    const auto [centre, width] = parameters(p);
    return -lorentzian_log_likelihood(x, weights, centre, width, x_min, x_max, scratch);
  };
  std::vector<double> shifted;
  auto objective = [&](std::span<const double> p, std::vector<double>& gradient) {
    const double value = negative_log_likelihood(p);
    gradient.resize(p.size());
    for (std::size_t j = 0; j < p.size(); ++j) {
      shifted.assign(p.begin(), p.end());
      shifted[j] += kDifferenceStep;
      gradient[j] = (negative_log_likelihood(shifted) - value) / kDifferenceStep;
    }
    return value;
  };
  const MinimiseOutcome outcome = minimise_bounded(objective, std::move(start), lower, upper);
  const MinimiserResult* result = std::get_if<MinimiserResult>(&outcome);
  if (!result) return false;
  print_line("LBFGSB finished\n");
  if (!fix_x0) x0 = result->x[0];
  if (!fix_gamma) {
    const double fitted = result->x[fix_x0 ? 0 : 1];
    gamma = std::isnan(fitted) ? kLorentzianWidthMin
                               : std::clamp(fitted, kLorentzianWidthMin, kLorentzianWidthMax);
  }
  return true;
}

void LorentzianPeaks::check_density_inputs() const { require_length(gamma.size(), count()); }

void LorentzianPeaks::check_refit_inputs() const {
  require_length(gamma.size(), count());
  if (fix_x0.size() < count() && fix_x0.size() <= fix_gamma.size()) fail_index(fix_x0.size(), fix_x0.size());
  require_length(fix_gamma.size(), count());
}

void LorentzianPeaks::density(std::size_t k, std::span<const double> x, std::span<double> row) const {
  lorentzian_density(x, x0[k], gamma[k], x_min, x_max, row);
}

LorentzianPeaks::Parameters LorentzianPeaks::refit(std::size_t k, std::span<const double> x,
                                                   std::span<const double> weights,
                                                   std::span<double> scratch) const {
  Parameters p{x0[k], gamma[k]};
  lorentzian_fit(x, weights, p[0], p[1], fix_x0[k], fix_gamma[k], x_min, x_max, scratch);
  return p;
}

}  // namespace brivane
