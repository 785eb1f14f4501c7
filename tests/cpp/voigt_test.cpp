#include "voigt.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <limits>
#include <string>
#include <vector>

#include "failure.hpp"
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

struct VoigtDifferenceReference {
  int problem;
  double log_likelihood;
  std::size_t moved;
  double shifted;
  double change;
};
#include "reference/voigt_difference_table.inc"

// The problems of reference/make_voigt_difference_table.py, by index.
struct DifferenceProblem {
  double low, step;
  std::size_t count;
  int base, spread;
  VoigtParameters p;
  double x_min, x_max;
};
const DifferenceProblem kDifferenceProblems[] = {
    {-10.0, 0.125, 177, 2000, 3, {1.3, 0.8, 0.5}, -10.0, 12.0},
    {500.0, 0.0625, 641, 500, 9, {521.3, 0.3, 1.2}, 500.0, 540.0},
    {-20.0, 0.25, 161, 300, 1, {0.7, 0.01, 1.0}, -20.0, 20.0},
    {-8.0, 0.0625, 257, 4000, 2, {-0.4, 2.0, 1e-3}, -8.0, 8.0},
    {-8.0, 0.0625, 257, 4000, 2, {0.25, 1.5, 0.0}, -8.0, 8.0},
    {-30.0, 0.25, 241, 100, 5, {2.0, 0.0, 3.0}, -30.0, 30.0},
};

TEST(VoigtLogLikelihood, ForwardDifferencesAgreeWithAFortyDigitReference) {
  // Log-likelihoods of 7e5 to 2e7 in size: subtracting two of them in doubles leaves errors of
  // 1e-4 to 0.3 in the gradient (difference / 1e-7), above the minimiser's tolerance of 1e-5.
  // Formed sample by sample the gradient is within 1e-6 (the Faddeeva function's own rounding,
  // amplified in its derivative near |z| = 6, is the largest part), or within 1e-10 of itself
  // where it is huge (gamma leaving 0, where the Cauchy tails appear).
  for (const VoigtDifferenceReference& r : kVoigtDifferenceTable) {
    const DifferenceProblem& p = kDifferenceProblems[r.problem];
    const std::vector<double> x = fit_test::uniform_grid(p.low, p.step, p.count);
    const std::vector<double> w = fit_test::patterned_weights(p.count, p.base, p.spread);
    const Shift shift{r.moved, r.shifted};
    ASSERT_EQ(shift.value, p.p[r.moved] + kDifferenceStep);
    double change;
    const double ll = voigt_log_likelihood_differences(x, w, p.p, {&shift, 1}, p.x_min, p.x_max, {&change, 1});
    EXPECT_NEAR(ll, r.log_likelihood, 1e-14 * std::fabs(r.log_likelihood)) << r.problem;
    EXPECT_EQ(ll, voigt_log_likelihood(x, w, p.p, p.x_min, p.x_max)) << r.problem;
    EXPECT_NEAR(change, r.change, 1e-6 * kDifferenceStep + 1e-10 * std::fabs(r.change))
        << "problem " << r.problem << " parameter " << r.moved;
  }
}

TEST(VoigtLogLikelihood, DifferencesWhereAFloorActsAreTheSubtractedLogDensities) {
  // A window holding no mass of the profile (M floored at 1e-300) and a profile whose far samples
  // fall below 1e-200: the differences are the sample-by-sample differences of the literal
  // log-densities, equal to the difference of the two log-likelihoods up to their rounding.
  struct Case {
    VoigtParameters p;
    double x_min, x_max;
  };
  const Case cases[] = {{{300.0, 0.5, 0.0}, -10.0, 10.0}, {{0.0, 0.2, 0.0}, -10.0, 10.0}};
  const std::vector<double> x = fit_test::uniform_grid(-10.0, 0.125, 161);
  const std::vector<double> w = fit_test::patterned_weights(x.size(), 5, 1);
  for (const Case& c : cases) {
    for (std::size_t moved = 0; moved < 3; ++moved) {
      const Shift shift{moved, c.p[moved] + kDifferenceStep};
      VoigtParameters q = c.p;
      q[moved] = shift.value;
      double change;
      const double ll = voigt_log_likelihood_differences(x, w, c.p, {&shift, 1}, c.x_min, c.x_max, {&change, 1});
      const double subtracted = voigt_log_likelihood(x, w, q, c.x_min, c.x_max) - ll;
      if (std::isnan(subtracted)) {
        EXPECT_TRUE(std::isnan(change)) << c.p[0] << " " << moved;
      } else {
        EXPECT_NEAR(change, subtracted, 1e-15 * std::fabs(ll) + 1e-12 * std::fabs(subtracted)) << c.p[0] << " " << moved;
      }
    }
  }
}

// A Voigt peak of 20000 counts on a fine grid, deterministic.
struct PeakData {
  std::vector<double> x, w;
};
PeakData smooth_peak() {
  PeakData d{fit_test::uniform_grid(-10.0, 0.0625, 321), {}};
  d.w.resize(d.x.size());
  voigt_density(d.x, 0.8, 0.7, 0.4, -10.0, 10.0, d.w);
  for (double& v : d.w) v = std::round(1250.0 * v);
  return d;
}

const VoigtBounds kBounds{-10.0, 10.0, 0.01, 5.0, 0.01, 5.0};

bool same_bits(const VoigtParameters& a, const VoigtParameters& b) {
  for (int i = 0; i < 3; ++i) {
    if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
  }
  return true;
}

TEST(VoigtFit, ComponentsWithoutAFitKeepTheirValuesBitForBit) {
  const PeakData d = smooth_peak();
  const VoigtParameters current{0.1 + 0.2, -0.0, kNaN};
  std::uint64_t calls = 0;
  EXPECT_TRUE(same_bits(fit_voigt_component(d.x, d.w, current, {true, true, true}, kBounds, &calls), current));
  const std::vector<double> zeros(d.x.size(), 0.0);
  const VoigtParameters start{0.1 + 0.2, 0.5, 0.5};
  EXPECT_TRUE(same_bits(fit_voigt_component(d.x, zeros, start, {false, false, false}, kBounds, &calls), start));
  EXPECT_TRUE(same_bits(fit_voigt_component(d.x, {}, start, {false, false, false}, kBounds, &calls), start));
  // Bounds with min > max: the minimiser rejects them, the component keeps its values, no error.
  VoigtBounds unordered = kBounds;
  unordered.sigma_min = 6.0;
  EXPECT_TRUE(same_bits(fit_voigt_component(d.x, d.w, start, {false, false, false}, unordered, &calls), start));
  unordered = kBounds;
  std::swap(unordered.x_min, unordered.x_max);
  EXPECT_TRUE(same_bits(fit_voigt_component(d.x, d.w, start, {false, true, true}, unordered, &calls), start));
  EXPECT_EQ(calls, 0u);
}

TEST(VoigtFit, NaNWidthBoundsFailTheClampWithTheirValuesPrinted) {
  const PeakData d = smooth_peak();
  auto message = [&](const VoigtBounds& bounds, const std::array<bool, 3>& fixed) {
    try {
      fit_voigt_component(d.x, d.w, {0.5, 0.5, 0.5}, fixed, bounds);
    } catch (const Failure& failure) {
      return std::string(failure.what());
    }
    return std::string("no failure");
  };
  VoigtBounds bounds = kBounds;
  bounds.sigma_min = kNaN;
  EXPECT_EQ(message(bounds, {false, false, false}), "min > max, or either was NaN. min = NaN, max = 5.0");
  bounds = kBounds;
  bounds.gamma_max = kNaN;
  EXPECT_EQ(message(bounds, {false, false, false}), "min > max, or either was NaN. min = 0.01, max = NaN");
  // The bounds of a fixed width are never looked at.
  bounds.sigma_min = 9.0;
  EXPECT_EQ(message(bounds, {false, false, true}), "no failure");
}

TEST(VoigtFit, FreeParametersEndInsideTheirBoundsAndFixedOnesDoNotMove) {
  const PeakData d = smooth_peak();
  // A start outside the window is moved into it before the first evaluation.
  const VoigtParameters fitted = fit_voigt_component(d.x, d.w, {15.0, 2.0, 0.05}, {false, false, false}, kBounds);
  EXPECT_NEAR(fitted[0], 0.8, 0.02);
  EXPECT_NEAR(fitted[1], 0.7, 0.05);
  EXPECT_NEAR(fitted[2], 0.4, 0.05);
  // Bounds that exclude the optimum (0.8, 0.7, 0.4) hold the parameter at the bound.
  VoigtBounds narrow[3] = {kBounds, kBounds, kBounds};
  narrow[0].x_max = 0.5;
  narrow[1].sigma_max = 0.6;
  narrow[2].gamma_max = 0.3;
  const double bound[] = {0.5, 0.6, 0.3};
  for (int j = 0; j < 3; ++j) {
    EXPECT_EQ(fit_voigt_component(d.x, d.w, {0.0, 0.5, 0.2}, {false, false, false}, narrow[j])[j], bound[j]) << j;
  }
  for (int fixed = 0; fixed < 3; ++fixed) {
    std::array<bool, 3> flags{};
    flags[fixed] = true;
    const VoigtParameters start{0.3, 0.9, 0.2};
    const VoigtParameters p = fit_voigt_component(d.x, d.w, start, flags, kBounds);
    EXPECT_EQ(p[fixed], start[fixed]) << fixed;
    for (int other = 0; other < 3; ++other) {
      if (other != fixed) {
        EXPECT_NE(p[other], start[other]) << fixed << " " << other;
      }
    }
  }
}

TEST(VoigtFit, RecoversSyntheticPeaksWithinTheirStatisticalErrors) {
  // 2e5 counts drawn with fixed seeds from the discrete distribution of the window-normalised
  // density over the grid's cells. The fit's normalisation by the window mass differs from that
  // distribution's by the trapezoid rule's error, far below the statistical error, so the estimate
  // lies within a few standard errors (from the log-likelihood's curvature) of the truth; 5 is
  // exceeded with probability 6e-7 per parameter.
  struct Case {
    double low, step;
    std::size_t count;
    VoigtParameters truth, start;
    VoigtBounds bounds;
    std::uint64_t seed;
  };
  const Case cases[] = {
      {-20.0, 0.05, 801, {1.7, 0.6, 0.4}, {0.0, 1.0, 1.0}, {-20.0, 20.0, 0.01, 10.0, 0.01, 10.0}, 42},
      {505.0, 0.025, 1401, {521.3, 1.1, 0.2}, {520.0, 0.5, 1.0}, {505.0, 540.0, 0.01, 10.0, 0.001, 10.0}, 7},
  };
  for (const Case& c : cases) {
    const std::vector<double> x = fit_test::uniform_grid(c.low, c.step, c.count);
    std::vector<double> density(x.size());
    voigt_density(x, c.truth[0], c.truth[1], c.truth[2], c.bounds.x_min, c.bounds.x_max, density);
    const std::vector<double> counts = fit_test::draw_counts(x, density, 200000, c.seed);
    std::uint64_t calls = 0;
    const VoigtParameters fitted = fit_voigt_component(x, counts, c.start, {false, false, false}, c.bounds, &calls);
    const auto errors = fit_test::standard_errors(
        [&](const std::array<double, 3>& p) { return voigt_log_likelihood(x, counts, p, c.bounds.x_min, c.bounds.x_max); },
        fitted, {1e-4, 1e-4, 1e-4});
    // The errors are small against the widths, so the test is a sharp one.
    const double scale[] = {c.truth[1], c.truth[1], c.truth[2]};
    for (int j = 0; j < 3; ++j) {
      EXPECT_LT(errors[j], 0.02 * scale[j]) << "standard error of parameter " << j;
      EXPECT_NEAR(fitted[j], c.truth[j], 5.0 * errors[j]) << "parameter " << j << " seed " << c.seed;
    }
    EXPECT_LT(calls, 100u);
  }
}

struct VoigtFitReference {
  double low, step;
  std::size_t count;
  const double* counts;
  VoigtParameters start;
  std::array<bool, 3> fixed;
  VoigtBounds bounds;
  VoigtParameters scipy;
  std::uint64_t scipy_calls;
  double start_log_likelihood, scipy_log_likelihood;
};
#include "reference/voigt_fit_table.inc"

TEST(VoigtFit, AgreesWithScipyLbfgsbOnTheSameObjective) {
  // SciPy's L-BFGS-B on the objective written again in Python (same profile, quadrature, sums and
  // forward-difference gradient, the difference taken sample by sample in doubles): all free,
  // a window far from zero, a fixed width, a width held at its bound, and a nearly Cauchy peak
  // whose sigma ends at its lower bound. Both solutions are stationary to within the tolerance
  // 1e-5 on the gradient, which places them within 1e-4 standard errors of each other and their
  // log-likelihoods within the rounding of the log-likelihood itself. This fit, with its noise-free
  // differences, needs at most as many objective calls as SciPy (a margin of 5 allows for a
  // different rounding of the elementary functions).
  for (const VoigtFitReference& r : kVoigtFitTable) {
    const std::vector<double> x = fit_test::uniform_grid(r.low, r.step, r.count);
    const std::vector<double> w(r.counts, r.counts + r.count);
    auto log_likelihood = [&](const VoigtParameters& p) { return voigt_log_likelihood(x, w, p, r.bounds.x_min, r.bounds.x_max); };
    EXPECT_NEAR(log_likelihood(r.start), r.start_log_likelihood, 1e-13 * std::fabs(r.start_log_likelihood));
    EXPECT_NEAR(log_likelihood(r.scipy), r.scipy_log_likelihood, 1e-13 * std::fabs(r.scipy_log_likelihood));
    std::uint64_t calls = 0;
    const VoigtParameters fitted = fit_voigt_component(x, w, r.start, r.fixed, r.bounds, &calls);
    const auto errors = fit_test::standard_errors(log_likelihood, fitted, {1e-4, 1e-4, 1e-4});
    for (int j = 0; j < 3; ++j) {
      if (r.fixed[j]) {
        EXPECT_EQ(fitted[j], r.start[j]);
      } else {
        EXPECT_NEAR(fitted[j], r.scipy[j], 1e-4 * errors[j]) << "case at " << r.low << ", parameter " << j;
      }
    }
    const double scipy_value = log_likelihood(r.scipy);
    EXPECT_NEAR(log_likelihood(fitted), scipy_value, 1e-14 * std::fabs(scipy_value)) << r.low;
    EXPECT_LE(calls, r.scipy_calls + 5) << r.low;
  }
}

TEST(VoigtFit, DegenerateInputsReturnWithoutFailing) {
  // Mismatched lengths, a grid of one sample, an empty grid, NaN and infinite starts and bounds,
  // a point-mass start: every call returns without a failure (and, under the sanitizers, reads
  // only what it owns).
  const PeakData d = smooth_peak();
  const std::vector<double> short_x(d.x.begin(), d.x.begin() + 10);
  const std::vector<double> one{0.5};
  struct Case {
    std::span<const double> x, w;
    VoigtParameters start;
    VoigtBounds bounds;
  };
  const VoigtBounds open{-kInf, kInf, -kInf, kInf, -kInf, kInf};
  const Case cases[] = {
      {short_x, d.w, {0.5, 0.5, 0.5}, kBounds},         {d.x, {d.w.data(), 10}, {0.5, 0.5, 0.5}, kBounds},
      {one, {d.w.data(), 1}, {0.5, 0.5, 0.5}, kBounds}, {{}, d.w, {0.5, 0.5, 0.5}, kBounds},
      {d.x, d.w, {kNaN, 0.5, 0.5}, kBounds},            {d.x, d.w, {0.5, kInf, 0.5}, kBounds},
      {d.x, d.w, {0.5, 0.5, 0.5}, open},                {d.x, d.w, {0.5, 0.0, 0.0}, open},
  };
  for (const Case& c : cases) {
    EXPECT_NO_THROW(fit_voigt_component(c.x, c.w, c.start, {false, false, false}, c.bounds));
  }
}

}  // namespace
}  // namespace brivane
