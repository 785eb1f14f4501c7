#include "voigt.hpp"

#include <algorithm>
#include <cmath>

#include "numerics/gauss_legendre_100.hpp"

// Last: with libcerf's C header, <complex.h> brings in C99's macros (I among them).
#include <cerf.h>

namespace brivane {

namespace {

constexpr double kInverseSqrt2 = 0.7071067811865476;
constexpr double kSqrt2Pi = 2.5066282746310002;
constexpr double kInverseSqrt2Pi = 0.3989422804014327;
constexpr double kPi = 3.141592653589793;

enum class ProfileCase { Voigt, Gaussian, Lorentzian, PointMass };

ProfileCase profile_case(double sigma, double gamma) {
  if (sigma != 0.0) return gamma != 0.0 ? ProfileCase::Voigt : ProfileCase::Gaussian;
  return gamma != 0.0 ? ProfileCase::Lorentzian : ProfileCase::PointMass;
}

std::complex<double> voigt_argument(double u, double sigma, double gamma) {
  return {(u / sigma) * kInverseSqrt2, (gamma / sigma) * kInverseSqrt2};
}

double voigt_value(std::complex<double> w, double sigma) { return w.real() / sigma / kSqrt2Pi; }

}  // namespace

std::complex<double> faddeeva_w(std::complex<double> z) { return voigt_detail::call_complex(&w_of_z, z); }

double voigt_profile(double u, double sigma, double gamma) {
  switch (profile_case(sigma, gamma)) {
    case ProfileCase::Voigt: return voigt_value(faddeeva_w(voigt_argument(u, sigma, gamma)), sigma);
    case ProfileCase::Gaussian: {
      const double r = u / sigma;
      return std::exp(-0.5 * (r * r)) * (kInverseSqrt2Pi / sigma);
    }
    case ProfileCase::Lorentzian: return gamma / kPi / (u * u + gamma * gamma);
    case ProfileCase::PointMass: break;
  }
  if (std::isnan(u)) return u;
  return u != 0.0 ? 0.0 : HUGE_VAL;
}

namespace {

namespace rule = gauss_legendre_100;

// F(e), the mass of the profile below e: the lower tail itself when the centre is at or above e,
// else one minus the upper tail, so that the tail summed never holds the centre.
double cumulative(double e, double x0, double sigma, double gamma) {
  const bool lower = x0 >= e;
  double tail = 0.0;
  for (std::size_t i = 0; i < rule::kPoints; ++i) {
    const double u = lower ? (e - rule::kTailOffset[i]) - x0 : (e + rule::kTailOffset[i]) - x0;
    tail += rule::kTailWeight[i] * voigt_profile(u, sigma, gamma);
  }
  return lower ? tail : 1.0 - tail;
}

}  // namespace

double voigt_window_mass(double x0, double sigma, double gamma, double x_min, double x_max) {
  const double upper = cumulative(x_max, x0, sigma, gamma);
  return upper - cumulative(x_min, x0, sigma, gamma);
}

void voigt_density(std::span<const double> x, double x0, double sigma, double gamma, double x_min,
                   double x_max, std::span<double> row) {
  const double normaliser = std::fmax(voigt_window_mass(x0, sigma, gamma, x_min, x_max), 1e-300);
  const std::size_t n = std::min(x.size(), row.size());
  for (std::size_t j = 0; j < n; ++j) row[j] = voigt_profile(x[j] - x0, sigma, gamma) / normaliser;
}

double voigt_log_likelihood(std::span<const double> x, std::span<const double> weights,
                            const VoigtParameters& p, double x_min, double x_max) {
  const double normaliser = std::fmax(voigt_window_mass(p[0], p[1], p[2], x_min, x_max), 1e-300);
  const std::size_t used = std::min(x.size(), weights.size());
  double total = -0.0;
  for (std::size_t i = 0; i < used; ++i) {
    total += weights[i] * std::log(voigt_profile(x[i] - p[0], p[1], p[2]) / normaliser + 1e-200);
  }
  return total;
}

}  // namespace brivane
