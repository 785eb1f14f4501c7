#include "voigt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "peak_fit_support.hpp"

namespace brivane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct VoigtReference {
  double u, sigma, gamma, value;
};
struct VoigtCentre {
  double sigma, gamma, value;
};
#include "reference/voigt_profile_table.inc"

TEST(VoigtProfile, AgreesWithScipyOverOffsetsAndWidthsSpanningDecades) {
  // Widths from 1e-3 to 100 each, either one 0, offsets from 0 to 3e4: the Voigt, normal and Cauchy
  // cases, the centre, the far tails where w(z) is evaluated by its continued fraction, and normal
  // tails that underflow to exactly 0.
  for (const VoigtReference& r : kVoigtProfileTable) {
    const double value = voigt_profile(r.u, r.sigma, r.gamma);
    EXPECT_LE(std::fabs(value - r.value), 1e-13 * std::fabs(r.value))
        << "u " << r.u << " sigma " << r.sigma << " gamma " << r.gamma << ": " << value << " vs " << r.value;
  }
}

TEST(VoigtProfile, LimitingCasesAndTheCentre) {
  // At the centre z is purely imaginary and V = erfcx(gamma / (sigma sqrt 2)) / (sigma sqrt(2 pi)).
  for (const VoigtCentre& r : kVoigtCentreTable) {
    EXPECT_NEAR(voigt_profile(0.0, r.sigma, r.gamma), r.value, 1e-13 * r.value) << r.sigma << " " << r.gamma;
  }
  // sigma = 0 is the Cauchy density, gamma = 0 the normal density, both 0 a point mass.
  EXPECT_NEAR(voigt_profile(1.5, 0.0, 0.5), 0.5 / M_PI / 2.5, 1e-16);
  EXPECT_NEAR(voigt_profile(1.5, 0.5, 0.0), std::exp(-4.5) / (0.5 * std::sqrt(2.0 * M_PI)), 1e-16);
  EXPECT_EQ(voigt_profile(0.0, 0.0, 0.0), kInf);
  EXPECT_EQ(voigt_profile(-0.0, 0.0, 0.0), kInf);
  EXPECT_EQ(voigt_profile(1e-300, 0.0, 0.0), 0.0);
  EXPECT_TRUE(std::isnan(voigt_profile(kNaN, 0.0, 0.0)));
  // NaN widths count as non-zero: a NaN sigma is not the Cauchy case, a NaN gamma not the normal one.
  EXPECT_TRUE(std::isnan(voigt_profile(0.5, kNaN, 1.0)));
  EXPECT_TRUE(std::isnan(voigt_profile(0.5, 1.0, kNaN)));
  EXPECT_TRUE(std::isnan(voigt_profile(0.5, kNaN, 0.0)));
  // Widths enter as they are: a negative width flips the sign of the normal and Cauchy densities.
  EXPECT_EQ(voigt_profile(0.7, -1.3, 0.0), -voigt_profile(0.7, 1.3, 0.0));
  EXPECT_EQ(voigt_profile(0.7, 0.0, -1.3), -voigt_profile(0.7, 0.0, 1.3));
}

// Stand-ins for w_of_z as each libcerf header declares it; they return (2 Re z, 3 Im z).
std::complex<double> declared_std(std::complex<double> z) { return {2.0 * z.real(), 3.0 * z.imag()}; }
double _Complex declared_c99(double _Complex z) {
  double _Complex result{};
  __real__ result = 2.0 * __real__ z;
  __imag__ result = 3.0 * __imag__ z;
  return result;
}

TEST(Faddeeva, AdapterPassesRealAndImaginaryPartsThroughEitherDeclaration) {
  EXPECT_EQ(voigt_detail::call_complex(&declared_std, {1.5, -0.25}), std::complex<double>(3.0, -0.75));
  EXPECT_EQ(voigt_detail::call_complex(&declared_c99, {1.5, -0.25}), std::complex<double>(3.0, -0.75));
  // The library's w on the imaginary axis is erfcx, real; w(0) = 1.
  EXPECT_EQ(faddeeva_w({0.0, 0.0}), std::complex<double>(1.0, 0.0));
  EXPECT_NEAR(faddeeva_w({0.0, 2.0}).real(), std::exp(4.0) * std::erfc(2.0), 1e-15);
  EXPECT_EQ(faddeeva_w({0.0, 2.0}).imag(), 0.0);
}

TEST(VoigtWindowMass, NormalProfilesAgainstTheErrorFunction) {
  // sigma = 1 on [-10, 10]: both tails are below 1e-23, and 1 minus the upper tail rounds to 1.
  EXPECT_EQ(voigt_window_mass(0.0, 1.0, 0.0, -10.0, 10.0), 1.0);
  const double one_sigma = std::erf(1.0 / std::sqrt(2.0));
  EXPECT_NEAR(voigt_window_mass(0.0, 1.0, 0.0, -1.0, 1.0), one_sigma, 1e-15);
  // The nodes s = t / (1 - t) are not scaled by the width: a tail that starts 100 units from a
  // profile of sigma 100 is resolved by only a few nodes, and the mass is 4.65e-6 off.
  const double wide_error = voigt_window_mass(0.0, 100.0, 0.0, -100.0, 100.0) - one_sigma;
  EXPECT_GT(std::fabs(wide_error), 4e-6);
  EXPECT_LT(std::fabs(wide_error), 6e-6);
}

TEST(VoigtWindowMass, CauchyTailsForEveryPositionOfTheCentre) {
  // sigma = 0: the mass is atan((x_max - x0) / gamma) / pi - atan((x_min - x0) / gamma) / pi. The
  // centre inside, left of, right of and on an edge of the window exercises each pairing of lower
  // and upper tails; a reversed window gives the negative mass.
  struct Case {
    double x0, gamma, x_min, x_max;
  };
  const Case cases[] = {{1.0, 0.7, -3.0, 5.0},  {-6.0, 0.7, -3.0, 5.0}, {9.0, 0.7, -3.0, 5.0},
                        {5.0, 0.7, -3.0, 5.0},  {-3.0, 0.7, -3.0, 5.0}, {1.0, 30.0, -3.0, 5.0},
                        {1.0, 0.01, -3.0, 5.0}, {1.0, 0.7, 5.0, -3.0}};
  for (const Case& c : cases) {
    const double exact = (std::atan((c.x_max - c.x0) / c.gamma) - std::atan((c.x_min - c.x0) / c.gamma)) / M_PI;
    EXPECT_NEAR(voigt_window_mass(c.x0, 0.0, c.gamma, c.x_min, c.x_max), exact, 2e-16)
        << c.x0 << " " << c.gamma << " [" << c.x_min << ", " << c.x_max << "]";
  }
}

TEST(VoigtDensity, ProfileDividedByTheWindowMassOverTheWholeGrid) {
  const std::vector<double> x = fit_test::uniform_grid(-12.0, 0.25, 97);
  std::vector<double> row(x.size());
  voigt_density(x, 1.0, 0.8, 0.5, -5.0, 7.0, row);
  const double mass = voigt_window_mass(1.0, 0.8, 0.5, -5.0, 7.0);
  EXPECT_GT(mass, 0.9);
  EXPECT_LT(mass, 1.0);
  // Samples outside the window (x < -5) are evaluated too.
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_EQ(row[i], voigt_profile(x[i] - 1.0, 0.8, 0.5) / mass) << i;
  // A reversed window has a negative mass, floored at 1e-300.
  voigt_density(x, 1.0, 0.8, 0.5, 7.0, -5.0, row);
  EXPECT_EQ(row[40], voigt_profile(x[40] - 1.0, 0.8, 0.5) / 1e-300);
}

TEST(VoigtLogLikelihood, WeightedLogDensityOverTheWeightedSamples) {
  const std::vector<double> x = fit_test::uniform_grid(-12.0, 0.25, 97);
  const std::vector<double> w = fit_test::patterned_weights(x.size(), 10, 1);
  std::vector<double> row(x.size());
  voigt_density(x, 1.0, 0.8, 0.5, -5.0, 7.0, row);
  for (std::size_t weighted : {x.size(), std::size_t{30}}) {
    double expected = 0.0;
    for (std::size_t i = 0; i < weighted; ++i) expected += w[i] * std::log(row[i] + 1e-200);
    const std::vector<double> ws(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(weighted));
    EXPECT_EQ(voigt_log_likelihood(x, ws, {1.0, 0.8, 0.5}, -5.0, 7.0), expected) << weighted;
  }
  // A profile far outside the window: the mass is floored and every density counts 1e-200.
  const double floored = voigt_log_likelihood(x, w, {1e6, 0.1, 0.0}, -5.0, 7.0);
  double total_weight = 0.0;
  for (double v : w) total_weight += v;
  EXPECT_NEAR(floored, total_weight * std::log(1e-200), 1e-12 * std::fabs(floored));
}

}  // namespace
}  // namespace brivane
