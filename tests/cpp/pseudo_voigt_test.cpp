#include "pseudo_voigt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "failure.hpp"

namespace brivane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<double> grid(double from, double to, std::size_t n) {
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = from + (to - from) * static_cast<double>(i) / static_cast<double>(n - 1);
  return x;
}

double trapezoid(const std::vector<double>& x, const std::vector<double>& y) {
  double total = 0.0;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) total += (x[i + 1] - x[i]) * ((y[i] + y[i + 1]) * 0.5);
  return total;
}

// ---- Density --------------------------------------------------------------------------------------

TEST(PseudoVoigtDensity, PureGaussianIsTheNormalDensityWhateverTheWindow) {
  // eta = 1 leaves no Lorentzian weight, so neither the window nor its floored mass may show.
  const std::vector<double> x = grid(-30.0, 50.0, 641);
  const double x0 = 7.25, gamma = 3.5;
  const long double sigma = static_cast<long double>(gamma) / 2.3548200450309493L;
  const double windows[][2] = {{-30.0, 50.0}, {0.0, 10.0}, {50.0, -30.0}, {5.0, 5.0}, {1e6, 1e6 + 1.0}, {kNaN, 3.0}};
  for (const auto& window : windows) {
    const std::vector<double> p = pseudo_voigt_predict(x, {x0, gamma, 1.0}, window[0], window[1]);
    ASSERT_EQ(p.size(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
      const long double z = (x[i] - static_cast<long double>(x0)) / sigma;
      const long double normal = std::exp(-z * z / 2) / (sigma * std::sqrt(2 * std::numbers::pi_v<long double>));
      // z carries the roundings of x - x0, of sigma and of their quotient, so the exponent
      // -z^2 / 2 is good to about 3 ulp relative: that many times |z^2 / 2| ulp in the result.
      const double tolerance = static_cast<double>(normal) * (4.0 + 4.0 * static_cast<double>(z * z / 2)) * 1.2e-16;
      EXPECT_NEAR(p[i], static_cast<double>(normal), tolerance) << window[0] << " " << x[i];
    }
  }
}

TEST(PseudoVoigtDensity, PureLorentzianHasUnitMassInsideTheWindow) {
  // eta = 0: the Lorentzian of half width gamma / 2 divided by its window mass, so its integral
  // over the window is 1 wherever the window lies relative to the peak, even when it holds only
  // the peak's tail. The trapezoid rule on 40001 points is good to 1e-7 here.
  const double x0 = 2.0, gamma = 1.6;
  const double windows[][2] = {{-40.0, 40.0}, {-1.0, 3.0}, {2.5, 12.0}, {-60.0, -20.0}};
  for (const auto& window : windows) {
    const std::vector<double> x = grid(window[0], window[1], 40001);
    const std::vector<double> p = pseudo_voigt_predict(x, {x0, gamma, 0.0}, window[0], window[1]);
    EXPECT_NEAR(trapezoid(x, p), 1.0, 1e-7) << window[0];
    // Pointwise against the Cauchy density of half width gamma / 2 over its exact window mass.
    const long double h = 0.8L;
    const long double mass = (std::atan((window[1] - 2.0L) / h) - std::atan((window[0] - 2.0L) / h)) /
                             std::numbers::pi_v<long double>;
    for (std::size_t i = 0; i < x.size(); i += 997) {
      const long double d = x[i] - 2.0L;
      const double expected = static_cast<double>(h / (std::numbers::pi_v<long double> * (d * d + h * h)) / mass);
      EXPECT_NEAR(p[i], expected, 1e-13 * expected) << window[0] << " " << x[i];
    }
  }
  EXPECT_NEAR(pseudo_voigt_window_mass(x0, gamma, -1e9, 1e9), 1.0, 1e-9);
  EXPECT_NEAR(pseudo_voigt_window_mass(x0, gamma, 2.0, 1e9), 0.5, 1e-9);
}

TEST(PseudoVoigtDensity, EtaMixesLinearlyAndIsNeverClamped) {
  // p is affine in eta: eta = 2 gives 2 G - L / Z (negative where the Lorentzian dominates) and
  // eta = -1 gives 2 L / Z - G, with no clamping to [0, 1].
  const std::vector<double> x = grid(-10.0, 10.0, 81);
  const auto gaussian = pseudo_voigt_predict(x, {0.5, 2.0, 1.0}, -8.0, 8.0);
  const auto lorentzian = pseudo_voigt_predict(x, {0.5, 2.0, 0.0}, -8.0, 8.0);
  const auto over = pseudo_voigt_predict(x, {0.5, 2.0, 2.0}, -8.0, 8.0);
  const auto under = pseudo_voigt_predict(x, {0.5, 2.0, -1.0}, -8.0, 8.0);
  const auto mixed = pseudo_voigt_predict(x, {0.5, 2.0, 0.25}, -8.0, 8.0);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double scale = gaussian[i] + lorentzian[i];
    EXPECT_NEAR(over[i], 2.0 * gaussian[i] - lorentzian[i], 1e-15 * scale) << x[i];
    EXPECT_NEAR(under[i], 2.0 * lorentzian[i] - gaussian[i], 1e-15 * scale) << x[i];
    EXPECT_NEAR(mixed[i], 0.25 * gaussian[i] + 0.75 * lorentzian[i], 1e-15 * scale) << x[i];
  }
  EXPECT_LT(over[0], 0.0);
}

TEST(PseudoVoigtDensity, SamplesOutsideTheWindowAreNotMasked) {
  // The window [-3, 10] around x0 = 0 leaves x = -5 outside and x = 5 inside; the profile is
  // symmetric about x0, so both get the same positive value.
  const std::vector<double> x{-5.0, 5.0, -12.0, 12.0};
  const auto p = pseudo_voigt_predict(x, {0.0, 2.0, 0.5}, -3.0, 10.0);
  EXPECT_GT(p[0], 0.0);
  EXPECT_EQ(p[0], p[1]);
  EXPECT_EQ(p[2], p[3]);
}

TEST(PseudoVoigtDensity, DegenerateWindowsAndWidthsFlowThroughTheFormula) {
  // An inverted or empty window floors the mass at 1e-300: the Lorentzian part is scaled by 1e300.
  EXPECT_EQ(pseudo_voigt_window_mass(0.0, 1.0, 5.0, -5.0), 1e-300);
  EXPECT_EQ(pseudo_voigt_window_mass(0.0, 1.0, 5.0, 5.0), 1e-300);
  EXPECT_EQ(pseudo_voigt_window_mass(kNaN, 1.0, -5.0, 5.0), 1e-300);
  const std::vector<double> x{0.0, 3.0};
  const auto p = pseudo_voigt_predict(x, {0.0, 1.0, 0.5}, 5.0, -5.0);
  EXPECT_GT(p[0], 1e298);
  // A zero width is 0/0 in the Gaussian part: NaN at every sample, not an error.
  for (double v : pseudo_voigt_predict(x, {0.0, 0.0, 0.5}, -5.0, 5.0)) EXPECT_TRUE(std::isnan(v));
  EXPECT_TRUE(pseudo_voigt_predict({}, {0.0, 1.0, 0.5}, -5.0, 5.0).empty());
}

TEST(PseudoVoigtDensity, AShortRowFailsBeforeAnythingIsWritten) {
  const std::vector<double> x = grid(0.0, 1.0, 5);
  std::vector<double> row(4, -7.0);
  try {
    pseudo_voigt_density(x, {0.5, 0.2, 0.5}, 0.0, 1.0, row);
    ADD_FAILURE() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(std::string(failure.what()), "index out of bounds: the len is 4 but the index is 4");
  }
  EXPECT_EQ(row, std::vector<double>(4, -7.0));
  // A longer row is fine; entries past the grid are left alone.
  std::vector<double> longer(7, -7.0);
  pseudo_voigt_density(x, {0.5, 0.2, 0.5}, 0.0, 1.0, longer);
  EXPECT_GT(longer[4], 0.0);
  EXPECT_EQ(longer[5], -7.0);
}

// ---- Log-likelihood -------------------------------------------------------------------------------

TEST(PseudoVoigtLogLikelihood, IsTheWeightedLogOfTheFlooredDensityOverTheShorterInput) {
  const std::vector<double> x = grid(-20.0, 20.0, 1001);
  std::vector<double> w(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) w[i] = 50.0 / (1.0 + x[i] * x[i]) + static_cast<double>(i % 7);
  const PseudoVoigtPeak peak{0.4, 2.5, 0.7};
  const std::vector<double> p = pseudo_voigt_predict(x, peak, -15.0, 15.0);
  for (std::size_t used : {x.size(), std::size_t{600}, std::size_t{1}, std::size_t{0}}) {
    double expected = 0.0;
    for (std::size_t i = 0; i < used; ++i) expected += w[i] * std::log(p[i] + 1e-20);
    const std::vector<double> short_w(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(used));
    const std::vector<double> short_x(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(used));
    // The logarithm's kernel and the C library's differ by under an ulp per term.
    EXPECT_NEAR(pseudo_voigt_log_likelihood(x, short_w, peak, -15.0, 15.0), expected, 1e-13 * std::fabs(expected));
    EXPECT_NEAR(pseudo_voigt_log_likelihood(short_x, w, peak, -15.0, 15.0), expected, 1e-13 * std::fabs(expected));
  }
  // A density that underflows contributes w ln(1e-20), not -inf.
  const std::vector<double> far{1e4}, three{3.0};
  EXPECT_NEAR(pseudo_voigt_log_likelihood(far, three, {0.0, 0.1, 1.0}, -1.0, 1.0), 3.0 * std::log(1e-20), 1e-12);
}

}  // namespace
}  // namespace brivane
