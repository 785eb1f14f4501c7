#include "pseudo_voigt.hpp"

#include <algorithm>
#include <cmath>

#include "failure.hpp"
#include "vector_math.hpp"

namespace brivane {

namespace {

constexpr double kSqrtTwoPi = 2.5066282746310002;
constexpr double kPi = 3.141592653589793;
constexpr double kInversePi = 0.3183098861837907;
constexpr double kDensityFloor = 1e-20;  // added inside the logarithm
constexpr double kMassFloor = 1e-300;

// Samples are processed in blocks so that the exponentials and logarithms run over short
// contiguous buffers that stay in cache.
constexpr std::size_t kBlock = 256;

// What the density of one parameter set needs at every sample, formed once per call.
struct Profile {
  double x0;
  double sigma;
  double gaussian_normaliser;  // sigma sqrt(2 pi)
  double half_width;
  double eta;
  double lorentzian_weight;  // (1 - eta) / Z
};

Profile profile(const PseudoVoigtPeak& peak, double x_min, double x_max) {
  const double sigma = peak.gamma / kFwhmPerSigma;
  const double mass = pseudo_voigt_window_mass(peak.x0, peak.gamma, x_min, x_max);
  return {peak.x0, sigma, sigma * kSqrtTwoPi, peak.gamma * 0.5, peak.eta, (1.0 - peak.eta) / mass};
}

// The Gaussian part G and the Lorentzian part L (before division by Z) of `len` samples.
inline void density_parts(const Profile& p, const double* __restrict x, std::size_t len, double* __restrict g,
                          double* __restrict l) {
  for (std::size_t i = 0; i < len; ++i) {
    const double d = x[i] - p.x0;
    const double z = d / p.sigma;
    g[i] = exp_kernel(z * -0.5 * z) / p.gaussian_normaliser;
    l[i] = p.half_width / ((d * d + p.half_width * p.half_width) * kPi);
  }
}

// The log-likelihood terms' logarithms ln(eta G + L (1 - eta)/Z + 1e-20), in place of g.
inline void log_density(const Profile& p, double* __restrict g, const double* __restrict l, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) g[i] = p.eta * g[i] + l[i] * p.lorentzian_weight + kDensityFloor;
  log_in_place({g, len});
}

__attribute__((target_clones("avx2", "default")))
void density_row(const Profile& p, const double* x, std::size_t n, double* out) {
  double l[kBlock];
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(kBlock, n - start);
    double* __restrict g = out + start;
    density_parts(p, x + start, len, g, l);
    for (std::size_t i = 0; i < len; ++i) g[i] = p.eta * g[i] + l[i] * p.lorentzian_weight;
  }
}

__attribute__((target_clones("avx2", "default")))
double log_likelihood_of(const Profile& p, const double* x, const double* w, std::size_t m) {
  double g[kBlock], l[kBlock];
  double total = 0.0;
  for (std::size_t start = 0; start < m; start += kBlock) {
    const std::size_t len = std::min(kBlock, m - start);
    density_parts(p, x + start, len, g, l);
    log_density(p, g, l, len);
    const double* __restrict ws = w + start;
    for (std::size_t i = 0; i < len; ++i) total += ws[i] * g[i];
  }
  return total;
}

}  // namespace

double pseudo_voigt_window_mass(double x0, double gamma, double x_min, double x_max) {
  const double h = gamma * 0.5;
  // fmax returns the number when the other operand is NaN, so a NaN mass is floored as well.
  return std::fmax((std::atan((x_max - x0) / h) - std::atan((x_min - x0) / h)) * kInversePi, kMassFloor);
}

void pseudo_voigt_density(std::span<const double> x, const PseudoVoigtPeak& peak, double x_min, double x_max,
                          std::span<double> row) {
  if (row.size() < x.size()) fail_index(row.size(), row.size());
  density_row(profile(peak, x_min, x_max), x.data(), x.size(), row.data());
}

std::vector<double> pseudo_voigt_predict(std::span<const double> x, const PseudoVoigtPeak& peak, double x_min,
                                         double x_max) {
  std::vector<double> values(x.size());
  pseudo_voigt_density(x, peak, x_min, x_max, values);
  return values;
}

double pseudo_voigt_log_likelihood(std::span<const double> x, std::span<const double> weights,
                                   const PseudoVoigtPeak& peak, double x_min, double x_max) {
  const std::size_t m = std::min(x.size(), weights.size());
  return log_likelihood_of(profile(peak, x_min, x_max), x.data(), weights.data(), m);
}

}  // namespace brivane
