#include "lorentzian.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <variant>

#include "em_engine.hpp"
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

// What the density of one parameter pair needs at every sample.
struct DensityTerms {
  double gamma;
  double x0;
  double half_width_squared;
  double scale;  // pi times the analytic mass inside the window, floored
};

DensityTerms density_terms(double x0, double gamma, double x_min, double x_max) {
  const double half_width = 0.5 * gamma;
  const double mass = std::atan((x_max - x0) / half_width) * kInversePi -
                      std::atan((x_min - x0) / half_width) * kInversePi;
  return {gamma, x0, half_width * half_width, std::fmax(mass, 1e-300) * kPi};
}

inline void unnormalised_density(const DensityTerms& t, const double* __restrict x, std::size_t len,
                                 double* __restrict d) {
  for (std::size_t i = 0; i < len; ++i) {
    const double offset = x[i] - t.x0;
    d[i] = t.gamma / ((offset * offset + t.half_width_squared) * t.scale);
  }
}

constexpr std::size_t kMaxSets = 3;

// Log-likelihoods of kSets parameter pairs in two passes over the data and no working memory:
// the first pass makes each pair's trapezoid integral, the second recomputes the densities (the
// same operations, so the same values) and sums the weighted logarithms. Each pair's sums run in
// sample order on their own; running the pairs side by side lets those dependent additions
// overlap.
template <std::size_t kSets>
[[gnu::always_inline]] inline void log_likelihood_sets_of(std::span<const double> x,
                                                          std::span<const double> weights,
                                                          const DensityTerms* sets,
                                                          double* log_likelihoods) {
  const std::size_t n = x.size();
  const std::size_t used = std::min(n, weights.size());
  double buffer[kSets][kBlock];
  double integral[kSets] = {};
  double previous[kSets] = {};
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(kBlock, n - start);
    for (std::size_t j = 0; j < kSets; ++j) unnormalised_density(sets[j], x.data() + start, len, buffer[j]);
    std::size_t first = 0;
    if (start == 0) {
      for (std::size_t j = 0; j < kSets; ++j) previous[j] = buffer[j][0];
      first = 1;
    }
    for (std::size_t i = first; i < len; ++i) {
      const double step = x[start + i] - x[start + i - 1];
      for (std::size_t j = 0; j < kSets; ++j) {
        integral[j] += step * ((previous[j] + buffer[j][i]) * 0.5);
        previous[j] = buffer[j][i];
      }
    }
  }
  double normaliser[kSets];
  for (std::size_t j = 0; j < kSets; ++j) {
    normaliser[j] = n < 2 ? 1e-300 : std::fmax(integral[j], 1e-300);
    log_likelihoods[j] = 0.0;
  }
  for (std::size_t start = 0; start < used; start += kBlock) {
    const std::size_t len = std::min(kBlock, used - start);
    for (std::size_t j = 0; j < kSets; ++j) {
      double* __restrict d = buffer[j];
      unnormalised_density(sets[j], x.data() + start, len, d);
      for (std::size_t i = 0; i < len; ++i) d[i] = d[i] / normaliser[j] + 1e-200;
      log_in_place({d, len});
    }
    const double* __restrict w = weights.data() + start;
    for (std::size_t i = 0; i < len; ++i) {
      for (std::size_t j = 0; j < kSets; ++j) log_likelihoods[j] += w[i] * buffer[j][i];
    }
  }
}

__attribute__((target_clones("avx2", "default")))
void log_likelihood_sets(std::span<const double> x, std::span<const double> weights,
                         const DensityTerms* sets, std::size_t count, double* log_likelihoods) {
  switch (count) {
    case 1: return log_likelihood_sets_of<1>(x, weights, sets, log_likelihoods);
    case 2: return log_likelihood_sets_of<2>(x, weights, sets, log_likelihoods);
    default: return log_likelihood_sets_of<3>(x, weights, sets, log_likelihoods);
  }
}

}  // namespace

__attribute__((target_clones("avx2", "default")))
double lorentzian_density(std::span<const double> x, double x0, double gamma, double x_min,
                          double x_max, std::span<double> row) {
  const DensityTerms terms = density_terms(x0, gamma, x_min, x_max);
  const std::size_t n = std::min(x.size(), row.size());
  double* __restrict d = row.data();
  unnormalised_density(terms, x.data(), n, d);
  double integral = 0.0;
  for (std::size_t j = 0; j + 1 < n; ++j) integral += (x[j + 1] - x[j]) * ((d[j] + d[j + 1]) * 0.5);
  const double normaliser = n < 2 ? 1e-300 : std::fmax(integral, 1e-300);
  for (std::size_t i = 0; i < n; ++i) d[i] = d[i] / normaliser;
  return normaliser;
}

double lorentzian_log_likelihood(std::span<const double> x, std::span<const double> weights,
                                 double x0, double gamma, double x_min, double x_max) {
  const DensityTerms terms = density_terms(x0, gamma, x_min, x_max);
  double log_likelihood = 0.0;
  log_likelihood_sets(x, weights, &terms, 1, &log_likelihood);
  return log_likelihood;
}

bool lorentzian_fit(std::span<const double> x, std::span<const double> weights, double& x0,
                    double& gamma, bool fix_x0, bool fix_gamma, double x_min, double x_max,
                    std::uint64_t* passes) {
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

  // The value and the forward-difference gradient need the log-likelihood at p and at p plus
  // 1e-7 in each free component: all of them in one batch.
  const std::size_t free_count = start.size();
  auto objective = [&](std::span<const double> p, std::vector<double>& gradient) {
    DensityTerms sets[3];
    for (std::size_t j = 0; j <= free_count; ++j) {
      double shifted[2] = {p[0], free_count > 1 ? p[1] : 0.0};
      if (j > 0) shifted[j - 1] += kDifferenceStep;
      const double centre = fix_x0 ? x0 : shifted[0];
      const double width = fix_gamma ? gamma : shifted[fix_x0 ? 0 : 1];
      sets[j] = density_terms(centre, width, x_min, x_max);
    }
    double log_likelihoods[3];
    log_likelihood_sets(x, weights, sets, free_count + 1, log_likelihoods);
    if (passes) *passes += free_count + 1;
    const double value = -log_likelihoods[0];
    gradient.resize(free_count);
    for (std::size_t j = 0; j < free_count; ++j) {
      gradient[j] = (-log_likelihoods[j + 1] - value) / kDifferenceStep;
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

void LorentzianPeaks::density(std::size_t k, std::span<const double> x, const Window& window,
                              std::span<double> row) const {
  lorentzian_density(x, values[0][k], values[1][k], window.min, window.max, row);
}

LorentzianPeaks::Parameters LorentzianPeaks::refit(std::size_t k, std::span<const double> x,
                                                   std::span<const double> weights,
                                                   const Window& window,
                                                   std::span<double> /*scratch*/) const {
  Parameters p = current(k);
  lorentzian_fit(x, weights, p[0], p[1], fixed[0][k], fixed[1][k], window.min, window.max);
  return p;
}

template EmResult run_em(LorentzianPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
