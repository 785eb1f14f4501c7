#include "shapes/pseudo_voigt/pseudo_voigt.hpp"

#include <gtest/gtest.h>
#include <quadmath.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <tbb/task_arena.h>

#include "em_shape.hpp"
#include "failure.hpp"
#include "parallel.hpp"
#include "peak_fit_suites.hpp"
#include "peak_fit_support.hpp"
#include "vector_math.hpp"

namespace brivane {
namespace {

using fit_test::grid;
using fit_test::trapezoid;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A histogram of `draws` values from the pseudo-Voigt (x0, gamma, eta) on [from, to): each value
// is a normal draw with probability eta and otherwise a Cauchy draw of half width gamma / 2,
// redrawn until it falls inside, which is the density eta G + (1 - eta) L / Z when the window
// holds the whole Gaussian. `bins` counts at the bin centres.
struct Spectrum {
  std::vector<double> x;
  std::vector<double> counts;
};

// Uniform on (0, 1) from the top 53 bits: the engine's sequence is fixed by the standard.
struct Uniform {
  std::mt19937_64 rng;
  double operator()() { return (static_cast<double>(rng() >> 11) + 0.5) * 0x1p-53; }
};

// One draw from `peak` as draw_spectrum describes it, or NaN for a Gaussian draw beyond the window
// (lost, as the model's Gaussian allows).
double draw_value(const PseudoVoigtPeak& peak, Uniform& uniform, double from, double to) {
  const double sigma = peak.gamma / 2.3548200450309493, h = peak.gamma / 2.0;
  double v;
  if (uniform() < peak.eta) {
    v = peak.x0 + sigma * std::sqrt(-2.0 * std::log(uniform())) * std::cos(2.0 * std::numbers::pi * uniform());
    return v >= from && v < to ? v : kNaN;
  }
  do {
    v = peak.x0 + h * std::tan(std::numbers::pi * (uniform() - 0.5));
  } while (!(v >= from && v < to));
  return v;
}

Spectrum empty_histogram(double from, double to, std::size_t bins) {
  Spectrum s{std::vector<double>(bins), std::vector<double>(bins, 0.0)};
  const double width = (to - from) / static_cast<double>(bins);
  for (std::size_t i = 0; i < bins; ++i) s.x[i] = from + (static_cast<double>(i) + 0.5) * width;
  return s;
}

void add_draw(Spectrum& s, double v, double from, double to) {
  if (std::isnan(v)) return;
  const double width = (to - from) / static_cast<double>(s.x.size());
  s.counts[std::min(s.x.size() - 1, static_cast<std::size_t>((v - from) / width))] += 1.0;
}

Spectrum draw_spectrum(const PseudoVoigtPeak& peak, double from, double to, std::size_t bins, int draws,
                       std::uint64_t seed) {
  Uniform uniform{std::mt19937_64(seed)};
  Spectrum s = empty_histogram(from, to, bins);
  for (int d = 0; d < draws; ++d) add_draw(s, draw_value(peak, uniform, from, to), from, to);
  return s;
}

// The same for a mixture: each draw comes from peak k with probability shares[k], and otherwise
// (the remaining share) from the uniform density on the window.
Spectrum draw_mixture(const std::vector<PseudoVoigtPeak>& peaks, const std::vector<double>& shares, double from,
                      double to, std::size_t bins, int draws, std::uint64_t seed) {
  Uniform uniform{std::mt19937_64(seed)};
  Spectrum s = empty_histogram(from, to, bins);
  for (int d = 0; d < draws; ++d) {
    double pick = uniform();
    std::size_t k = 0;
    while (k < peaks.size() && pick >= shares[k]) pick -= shares[k++];
    add_draw(s, k < peaks.size() ? draw_value(peaks[k], uniform, from, to) : from + (to - from) * uniform(), from, to);
  }
  return s;
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

TEST(PseudoVoigtDensity, EtaMixesLinearlyAndNothingIsMaskedOrClamped) {
  // p is affine in eta with no clamping to [0, 1] (eta = 2 gives 2 G - L / Z, negative where the
  // Lorentzian dominates), and a sample outside the window gets the formula's value: the
  // profile is symmetric about x0 = 0.5, so x = -4.5 (outside [-3, 8]) equals x = 5.5 (inside).
  const std::vector<double> x = grid(-9.5, 10.5, 81);
  const auto gaussian = pseudo_voigt_predict(x, {0.5, 2.0, 1.0}, -3.0, 8.0);
  const auto lorentzian = pseudo_voigt_predict(x, {0.5, 2.0, 0.0}, -3.0, 8.0);
  const auto over = pseudo_voigt_predict(x, {0.5, 2.0, 2.0}, -3.0, 8.0);
  const auto mixed = pseudo_voigt_predict(x, {0.5, 2.0, 0.25}, -3.0, 8.0);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double scale = gaussian[i] + lorentzian[i];
    EXPECT_NEAR(over[i], 2.0 * gaussian[i] - lorentzian[i], 1e-15 * scale) << x[i];
    EXPECT_NEAR(mixed[i], 0.25 * gaussian[i] + 0.75 * lorentzian[i], 1e-15 * scale) << x[i];
    EXPECT_EQ(mixed[i], mixed[x.size() - 1 - i]) << x[i];
  }
  EXPECT_LT(over[0], 0.0);
}

TEST(PseudoVoigtDensity, DegenerateWindowsWidthsAndSamplesFlowThroughTheFormula) {
  // An inverted, empty or NaN window floors the mass at 1e-300: the Lorentzian part is scaled by
  // 1e300. A zero width is 0/0 in the Gaussian part: NaN, not an error.
  EXPECT_EQ(pseudo_voigt_window_mass(0.0, 1.0, 5.0, -5.0), 1e-300);
  EXPECT_EQ(pseudo_voigt_window_mass(0.0, 1.0, 5.0, 5.0), 1e-300);
  EXPECT_EQ(pseudo_voigt_window_mass(kNaN, 1.0, -5.0, 5.0), 1e-300);
  EXPECT_GT(pseudo_voigt_predict(std::vector<double>{0.0}, {0.0, 1.0, 0.5}, 5.0, -5.0)[0], 1e299);
  EXPECT_TRUE(std::isnan(pseudo_voigt_predict(std::vector<double>{3.0}, {0.0, 0.0, 0.5}, -5.0, 5.0)[0]));
  EXPECT_TRUE(pseudo_voigt_predict({}, {0.0, 1.0, 0.5}, -5.0, 5.0).empty());
  // Samples so far out that -z^2 / 2 is -6e15 (where the exponential's own integer arithmetic
  // would overflow), below -1e40, or -inf: the Gaussian part is exactly 0, the Lorentzian stays.
  const std::vector<double> far{4.65e7, 1e20, -1e25, 1e300, kInf};
  const std::vector<double> p = pseudo_voigt_predict(far, {0.0, 1.0, 0.5}, -1e30, 1e30);
  const std::vector<double> tail = pseudo_voigt_predict(far, {0.0, 1.0, 0.0}, -1e30, 1e30);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_GT(p[i], 0.0);
    EXPECT_EQ(p[i], 0.5 * tail[i]);
  }
  EXPECT_EQ(p[3], 0.0);  // the Lorentzian underflows as well
  EXPECT_EQ(p[4], 0.0);
}

TEST(PseudoVoigtDensity, AShortRowFailsBeforeAnythingIsWritten) {
  std::vector<double> row(4, -7.0);
  try {
    pseudo_voigt_density(grid(0.0, 1.0, 5), {0.5, 0.2, 0.5}, 0.0, 1.0, row);
    ADD_FAILURE() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(std::string(failure.what()), "index out of bounds: the len is 4 but the index is 4");
  }
  EXPECT_EQ(row, std::vector<double>(4, -7.0));
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

// The log-likelihood in quadruple precision from the density's definition, and the sum of the
// magnitudes of its terms' changes against a second parameter set, when one is given.
__float128 quad_log_likelihood(const std::vector<double>& x, const std::vector<double>& w, const PseudoVoigtPeak& peak,
                               double x_min, double x_max, const PseudoVoigtPeak* other = nullptr,
                               __float128* change_magnitude = nullptr) {
  const __float128 pi = 4 * atanq(1);
  auto terms = [&](const PseudoVoigtPeak& at, std::size_t i) {
    const __float128 gamma = at.gamma, sigma = gamma / static_cast<__float128>(2.3548200450309493), h = gamma / 2;
    __float128 mass = (atanq((x_max - static_cast<__float128>(at.x0)) / h) - atanq((x_min - static_cast<__float128>(at.x0)) / h)) / pi;
    if (!(mass > static_cast<__float128>(1e-300))) mass = static_cast<__float128>(1e-300);
    const __float128 d = x[i] - static_cast<__float128>(at.x0);
    const __float128 g = expq(-d * d / (2 * sigma * sigma)) / (sigma * sqrtq(2 * pi));
    const __float128 l = h / (pi * (d * d + h * h));
    return w[i] * logq(at.eta * g + (1 - static_cast<__float128>(at.eta)) * l / mass + static_cast<__float128>(1e-20));
  };
  __float128 total = 0;
  if (change_magnitude) *change_magnitude = 0;
  for (std::size_t i = 0; i < std::min(x.size(), w.size()); ++i) {
    const __float128 t = terms(peak, i);
    total += t;
    if (other) *change_magnitude += fabsq(terms(*other, i) - t);
  }
  return total;
}

TEST(PseudoVoigtLogLikelihood, ForwardDifferencesAreAccurateToTheirOwnSize) {
  // A Raman-like window far from zero with counts up to 2000: the log-likelihood is about -4e5,
  // so two of them subtracted in doubles lose about 1e-10 of differences as small as 1e-6.
  // Formed sample by sample, each difference agrees with a quadruple-precision reference to
  // 1e-13 of the summed magnitudes of its terms' changes (measured: at most 4e-15).
  const std::vector<double> x = grid(480.0, 560.0, 1500);
  std::vector<double> w(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double a = (x[i] - 521.3) / 2.4;
    w[i] = 3.0 + 2000.0 * (0.6 * std::exp(-a * a / 2) + 0.4 / (1.0 + a * a)) + static_cast<double>(i % 5);
  }
  struct Case {
    PseudoVoigtPeak peak;
    double x_min, x_max;
    std::size_t weighted;
  };
  const Case cases[] = {
      {{521.0, 4.9, 0.6}, 450.0, 600.0, x.size()}, {{521.0, 0.3, 0.0}, 450.0, 600.0, x.size()},
      {{505.5, 150.0, 1.0}, 450.0, 600.0, x.size()}, {{505.5, 0.3, 1.0}, 450.0, 600.0, 900},
      {{521.3, 2.4, 0.6}, 490.0, 550.0, x.size()},  // samples outside the window
      {{521.3, 2.4, 0.6}, 600.0, 450.0, x.size()},  // an inverted window: the mass is floored
      {{520.0, 1e-9, 0.2}, 500.0, 520.0, x.size()}, // the centre crosses x_max by 100 half widths
      {{530.0, 0.02, 0.9}, 450.0, 600.0, x.size()}, // the Gaussian underflows between samples
  };
  for (const Case& c : cases) {
    const std::vector<double> ws(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(c.weighted));
    const Shift shifts[] = {{0, c.peak.x0 + 1e-7}, {1, c.peak.gamma + 1e-7}};
    double differences[2];
    const double ll = pseudo_voigt_log_likelihood_differences(x, ws, c.peak, shifts, c.x_min, c.x_max, differences);
    const __float128 base = quad_log_likelihood(x, ws, c.peak, c.x_min, c.x_max);
    // The value is summed with compensation: here it is the reference rounded to a double, where
    // the plain sum is off by up to 1.5e-15 relative.
    EXPECT_NEAR(ll, static_cast<double>(base), 2e-16 * std::fabs(ll)) << c.peak.x0 << " " << c.peak.gamma;
    EXPECT_NEAR(ll, pseudo_voigt_log_likelihood(x, ws, c.peak, c.x_min, c.x_max), 1e-13 * std::fabs(ll));
    for (int j = 0; j < 2; ++j) {
      PseudoVoigtPeak moved = c.peak;
      (j == 0 ? moved.x0 : moved.gamma) = shifts[j].value;
      __float128 magnitude;
      const double expected =
          static_cast<double>(quad_log_likelihood(x, ws, moved, c.x_min, c.x_max, &c.peak, &magnitude) - base);
      EXPECT_NEAR(differences[j], expected, 1e-13 * static_cast<double>(magnitude))
          << j << ": " << c.peak.x0 << " " << c.peak.gamma << " " << c.x_min;
    }
  }
}

// ---- Conditional maximisation: its parts against their definitions -----------------------------

// The expected complete-data log-likelihood of the centre-and-width stage at centre c and width g,
// with the shares held, in quadruple precision straight from the definition of the two parts and
// the window mass (terms constant in c and g, ln eta and ln(1 - eta), left out):
//   Q(c, g) = sum_i w_i [r_G,i ln G_i(c, g) + r_L,i (ln L_i(c, g) - ln Z(c, g))].
// Alongside the value it gives the sum of the magnitudes of its terms' changes, the scale against
// which a derivative's rounding is judged.
struct ExpectedLogLikelihood {
  const std::vector<double>& x;
  const std::vector<double>& w;
  const ComponentShares& shares;
  double x_min, x_max;

  __float128 part_logs(__float128 c, __float128 g, std::size_t i, int part) const {
    const __float128 pi = 4 * atanq(1), sigma = g / static_cast<__float128>(2.3548200450309493), h = g / 2, d = x[i] - c;
    if (part == 0) return -d * d / (2 * sigma * sigma) - logq(sigma * sqrtq(2 * pi));
    return logq(h / (pi * (d * d + h * h)));
  }
  __float128 log_mass(__float128 c, __float128 g) const {
    const __float128 h = g / 2;
    return logq((atanq((x_max - c) / h) - atanq((x_min - c) / h)) / (4 * atanq(1)));
  }

  // dQ/dc (parameter 0) or dQ/dg (parameter 1) by central differences of step 1e-7 of the
  // parameter's size, and the scale sum_i |d term_i|.
  std::pair<double, double> derivative(double c, double g, int parameter) const {
    const __float128 step = static_cast<__float128>(1e-7) * (parameter == 0 ? fmaxq(fabsq(c), 1) : g);
    const __float128 c1 = parameter == 0 ? c + step : c, c0 = parameter == 0 ? c - step : c;
    const __float128 g1 = parameter == 1 ? g + step : g, g0 = parameter == 1 ? g - step : g;
    __float128 total = 0, scale = 0, lorentzian_weight = 0;
    for (std::size_t i = 0; i < std::min(x.size(), w.size()); ++i) {
      for (int part = 0; part < 2; ++part) {
        const __float128 r = part == 0 ? shares.gaussian[i] : shares.lorentzian[i];
        const __float128 term = w[i] * r * (part_logs(c1, g1, i, part) - part_logs(c0, g0, i, part));
        total += term;
        scale += fabsq(term);
      }
      lorentzian_weight += w[i] * static_cast<__float128>(shares.lorentzian[i]);
    }
    const __float128 mass_term = lorentzian_weight * (log_mass(c1, g1) - log_mass(c0, g0));
    return {static_cast<double>((total - mass_term) / (2 * step)),
            static_cast<double>((scale + fabsq(mass_term)) / (2 * step))};
  }
};

struct SharesCase {
  Spectrum data;
  PseudoVoigtPeak start;
  double x_min, x_max;
  ComponentShares shares;
};

SharesCase shares_case() {
  // Data on [-10, 30], some of it outside the window [-5, 25], with shares from a start that is
  // off in every parameter.
  SharesCase s{draw_spectrum({6.0, 4.0, 0.7}, -10.0, 30.0, 400, 20000, 11), {4.0, 3.0, 0.6}, -5.0, 25.0, {}};
  s.shares = component_shares(s.data.x, s.start, s.x_min, s.x_max);
  return s;
}

TEST(PseudoVoigtConditional, SharesSplitEachSampleByTheTwoWeightedParts) {
  const SharesCase s = shares_case();
  const auto gaussian = pseudo_voigt_predict(s.data.x, {s.start.x0, s.start.gamma, 1.0}, s.x_min, s.x_max);
  const auto whole = pseudo_voigt_predict(s.data.x, s.start, s.x_min, s.x_max);
  for (std::size_t i = 0; i < s.data.x.size(); ++i) {
    EXPECT_NEAR(s.shares.gaussian[i] + s.shares.lorentzian[i], 1.0, 1e-15);
    EXPECT_NEAR(s.shares.gaussian[i], s.start.eta * gaussian[i] / whole[i], 1e-15) << s.data.x[i];
  }
  // Far from the centre the Lorentzian's heavy tail takes the whole sample.
  EXPECT_EQ(s.shares.lorentzian.front(), 1.0);
}

TEST(PseudoVoigtConditional, WidthScoreIsCubeTimesTheWidthDerivativeOfTheExpectedLogLikelihood) {
  const SharesCase s = shares_case();
  const ShareWeightedSamples samples(s.data.x, s.data.counts, s.shares.gaussian, s.shares.lorentzian, s.x_min, s.x_max);
  const ExpectedLogLikelihood q{s.data.x, s.data.counts, s.shares, s.x_min, s.x_max};
  for (double c : {-4.5, 3.0, 6.2, 17.0, 24.9}) {
    for (double g : {0.1, 0.7, 3.3, 12.0, 30.0}) {
      const auto [dq, scale] = q.derivative(c, g, 1);
      // The score's sums round at about 1e-16 of the terms' magnitudes; the difference quotient
      // is good to 1e-13 relative.
      EXPECT_NEAR(samples.width_score(c, g), g * g * g * dq, 1e-12 * g * g * g * scale) << c << " " << g;
    }
  }
}

TEST(PseudoVoigtConditional, CentreUpdateMovesTowardsAndFixesOnTheStationaryCentre) {
  const SharesCase s = shares_case();
  const ShareWeightedSamples samples(s.data.x, s.data.counts, s.shares.gaussian, s.shares.lorentzian, s.x_min, s.x_max);
  const ExpectedLogLikelihood q{s.data.x, s.data.counts, s.shares, s.x_min, s.x_max};
  for (double g : {0.5, 3.0, 8.0}) {
    // T(c) - c takes the sign of dQ/dc: the update moves uphill.
    for (double c : {-4.0, 2.0, 5.0, 9.0, 20.0}) {
      const auto [dq, scale] = q.derivative(c, g, 0);
      if (std::fabs(dq) > 1e-6 * scale) {
        EXPECT_EQ(samples.centre_update(c, g) > c, dq > 0.0) << c << " " << g;
      }
    }
    // A fixed point of T, found by bisection on T(c) - c over the window, zeroes dQ/dc.
    double low = s.x_min, high = s.x_max;
    ASSERT_GT(samples.centre_update(low, g) - low, 0.0);
    ASSERT_LT(samples.centre_update(high, g) - high, 0.0);
    for (int step = 0; step < 200; ++step) {
      const double mid = 0.5 * (low + high);
      (samples.centre_update(mid, g) - mid > 0.0 ? low : high) = mid;
    }
    const auto [dq, scale] = q.derivative(low, g, 0);
    EXPECT_NEAR(dq, 0.0, 1e-12 * scale) << g;
    EXPECT_NEAR(samples.centre_update(low, g), low, 1e-12) << g;
  }
}

TEST(PseudoVoigtConditional, NoWidthRootWhereTheScoreKeepsItsSign) {
  // All weight on one sample at the centre: Q rises as the width shrinks, S < 0 over the whole
  // bracket [0.1, 4] and there is no root. (Where there is one, the whole pass below checks it.)
  const std::vector<double> x{1.0, 2.0, 3.0}, w{0.0, 5.0, 0.0}, half{0.5, 0.5, 0.5};
  const ShareWeightedSamples point(x, w, half, half, 0.0, 4.0);
  EXPECT_LT(point.width_score(2.0, 0.1), 0.0);
  EXPECT_LT(point.width_score(2.0, 4.0), 0.0);
  EXPECT_FALSE(point.width_root(2.0).has_value());
}

TEST(PseudoVoigtConditional, SignAndTieRules) {
  // Grid points qualify on strictly opposite signs: signed zeros count by their sign, NaN never.
  EXPECT_TRUE(opposite_signs(1.0, -2.0));
  EXPECT_TRUE(opposite_signs(-0.0, 3.0));
  EXPECT_TRUE(opposite_signs(0.0, -3.0));
  EXPECT_TRUE(opposite_signs(-0.0, 0.0));
  EXPECT_FALSE(opposite_signs(0.0, 0.0));
  EXPECT_FALSE(opposite_signs(-0.0, -1.0));
  EXPECT_FALSE(opposite_signs(kNaN, -1.0));
  EXPECT_FALSE(opposite_signs(1.0, -kNaN));
  EXPECT_TRUE(opposite_signs(kInf, -kInf));
  // Stationary points and the 20 mixing values: the later entry wins ties, NaN lets it in.
  const double tied[] = {1.0, 3.0, 2.0, 3.0, 0.0};
  EXPECT_EQ(best_later_on_ties(tied), 3u);
  const double nan_later[] = {5.0, kNaN, 1.0};
  EXPECT_EQ(best_later_on_ties(nan_later), 2u);  // NaN got in, then 1.0 replaced it
  const double nan_last[] = {5.0, 7.0, kNaN};
  EXPECT_EQ(best_later_on_ties(nan_last), 2u);
  const double single[] = {-kInf};
  EXPECT_EQ(best_later_on_ties(single), 0u);
  // The 100 mixing values: the earlier entry wins ties; NaN and -inf never win.
  EXPECT_EQ(best_earlier_on_ties(tied), std::optional<std::size_t>(1));
  const double with_nan[] = {kNaN, 2.0, kNaN, 2.0};
  EXPECT_EQ(best_earlier_on_ties(with_nan), std::optional<std::size_t>(1));
  const double hopeless[] = {-kInf, kNaN, -kInf};
  EXPECT_FALSE(best_earlier_on_ties(hopeless).has_value());
}

// ---- Conditional maximisation: the whole pass ---------------------------------------------------

TEST(PseudoVoigtConditional, CentreAndWidthLandOnAJointStationaryPointOfTheStartsSharesLikelihood) {
  const SharesCase s = shares_case();
  const PseudoVoigtPeak fitted =
      pseudo_voigt_mle_conditional_max(s.data.x, s.data.counts, s.start, {false, false, true}, s.x_min, s.x_max);
  EXPECT_EQ(fitted.eta, s.start.eta);
  EXPECT_GT(std::fabs(fitted.x0 - s.start.x0), 0.5);  // it moved, towards the data's 6
  const ExpectedLogLikelihood q{s.data.x, s.data.counts, s.shares, s.x_min, s.x_max};
  for (int parameter : {0, 1}) {
    const auto [dq, scale] = q.derivative(fitted.x0, fitted.gamma, parameter);
    // The root searches stop within 1e-10 of the roots.
    EXPECT_NEAR(dq, 0.0, 1e-9 * scale) << parameter;
  }
}

TEST(PseudoVoigtConditional, EtaIsTheBestOfTheTwentyValuesWhateverItsStart) {
  const Spectrum data = draw_spectrum({10.0, 3.0, 0.9}, 0.0, 20.0, 200, 20000, 5);
  for (double eta : {0.3, 1.0, 0.95}) {
    const PseudoVoigtPeak fitted =
        pseudo_voigt_mle_conditional_max(data.x, data.counts, {9.0, 2.0, eta}, {false, false, false}, 0.0, 20.0);
    const long k = std::lround((fitted.eta - 0.8) / 0.01);
    ASSERT_GE(k, 0);
    ASSERT_LE(k, 19);
    EXPECT_EQ(fitted.eta, static_cast<double>(k) * 0.01 + 0.8);
    const double chosen = pseudo_voigt_log_likelihood(data.x, data.counts, fitted, 0.0, 20.0);
    for (int j = 0; j < 20; ++j) {
      const PseudoVoigtPeak other{fitted.x0, fitted.gamma, j * 0.01 + 0.8};
      EXPECT_LE(pseudo_voigt_log_likelihood(data.x, data.counts, other, 0.0, 20.0), chosen) << j;
    }
  }
}

TEST(PseudoVoigtConditional, FixFlagsHoldCentreAndWidthOnlyTogether) {
  const Spectrum data = draw_spectrum({10.0, 3.0, 0.9}, 0.0, 20.0, 200, 20000, 5);
  const PseudoVoigtPeak start{8.0, 5.0, 0.5};
  const PseudoVoigtPeak free = pseudo_voigt_mle_conditional_max(data.x, data.counts, start, {}, 0.0, 20.0);
  EXPECT_NE(free.x0, start.x0);
  EXPECT_NE(free.gamma, start.gamma);
  // Either flag alone changes nothing about stage two.
  for (const PseudoVoigtFlags flags : {PseudoVoigtFlags{true, false, false}, PseudoVoigtFlags{false, true, false}}) {
    EXPECT_EQ(pseudo_voigt_mle_conditional_max(data.x, data.counts, start, flags, 0.0, 20.0), free);
  }
  const PseudoVoigtPeak held = pseudo_voigt_mle_conditional_max(data.x, data.counts, start, {true, true, false}, 0.0, 20.0);
  EXPECT_EQ(held, (PseudoVoigtPeak{start.x0, start.gamma, held.eta}));
  EXPECT_NE(held.eta, free.eta);
  EXPECT_EQ(pseudo_voigt_mle_conditional_max(data.x, data.counts, start, {false, false, true}, 0.0, 20.0),
            (PseudoVoigtPeak{free.x0, free.gamma, start.eta}));
}

TEST(PseudoVoigtConditional, OnePassIsTheSameWhereverTheAxisStarts) {
  // The same spectrum on an axis starting at 0, 1e5, 1e6 or 1e7. Beyond 2^18 neighbouring
  // doubles lie more than 1e-10 apart, so root searches held to 1e-10 could not converge and
  // the centre and width would never move; their tolerance follows the spacing of doubles there.
  const Spectrum data = draw_spectrum({8.0, 3.0, 0.85}, 0.0, 20.0, 400, 20000, 4);
  const PseudoVoigtPeak start{7.0, 4.0, 0.5};
  const PseudoVoigtPeak at_zero = pseudo_voigt_mle_conditional_max(data.x, data.counts, start, {}, 0.0, 20.0);
  for (double origin : {1e5, 1e6, 1e7}) {
    std::vector<double> x(data.x.size());
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = origin + data.x[i];
    const PseudoVoigtPeak shifted = pseudo_voigt_mle_conditional_max(
        x, data.counts, {origin + start.x0, start.gamma, start.eta}, {}, origin, origin + 20.0);
    // The shifted axis rounds the samples to 1e-9 at 1e7; the fit moves by less than 1e-6.
    EXPECT_NEAR(shifted.x0 - origin, at_zero.x0, 1e-6) << origin;
    EXPECT_NEAR(shifted.gamma, at_zero.gamma, 1e-6) << origin;
    EXPECT_EQ(shifted.eta, at_zero.eta) << origin;
  }
}

TEST(PseudoVoigtConditional, NothingToFitReturnsTheStart) {
  const std::vector<double> x = grid(0.0, 10.0, 11), empty;
  const PseudoVoigtPeak start{3.0, 2.0, 0.3};
  EXPECT_EQ(pseudo_voigt_mle_conditional_max(x, empty, start, {}, 0.0, 10.0), start);
  EXPECT_EQ(pseudo_voigt_mle_conditional_max(x, std::vector<double>(11, 1.0), start, {true, true, true}, 0.0, 10.0), start);
  std::vector<double> cancelling(11, 0.0);
  cancelling[2] = 4.0, cancelling[7] = -4.0;
  EXPECT_EQ(pseudo_voigt_mle_conditional_max(x, cancelling, start, {}, 0.0, 10.0), start);
  // Only a sum of exactly 0 carries nothing here: a negative sum is fitted as given.
  cancelling[7] = -5.0;
  EXPECT_NE(pseudo_voigt_mle_conditional_max(x, cancelling, start, {}, 0.0, 10.0), start);
  EXPECT_EQ(pseudo_voigt_mle_conditional_max(x, std::vector<double>(11, -0.0), start, {}, 0.0, 10.0), start);
  // Weights without samples: every sum is empty, no grid point qualifies and every eta scores 0,
  // so the tie rule ends on 0.99.
  const PseudoVoigtPeak no_samples = pseudo_voigt_mle_conditional_max(empty, std::vector<double>(5, 1.0), start, {}, 0.0, 10.0);
  EXPECT_EQ(no_samples, (PseudoVoigtPeak{3.0, 2.0, 19 * 0.01 + 0.8}));
}

// ---- Full optimisation ---------------------------------------------------------------------------

struct ReferenceFit {
  int n;
  double lo, hi, a, c1, s1, b, c2, s2, eta;
  bool fix_x0, fix_gamma;
  double x0, gamma, x_min, x_max, gamma_min, gamma_max, optimum_x0, optimum_gamma;
};

constexpr ReferenceFit kReferenceFits[] = {
#include "reference/pseudo_voigt_table.inc"
};

TEST(PseudoVoigtFull, BoundedStepAgreesWithScipy) {
  // One alternation step with eta held is one bounded minimisation. Its forward-difference
  // gradient (step 1e-7) is the derivative half a step away, so its zero lies about 5e-8 from the
  // likelihood's maximum in each coordinate; SciPy's point, polished with the exact gradient, is
  // the maximum itself. Measured: within 6e-8 everywhere; bounds that end the step hold exactly.
  for (const ReferenceFit& c : kReferenceFits) {
    std::vector<double> x(static_cast<std::size_t>(c.n)), w(x.size());
    for (int i = 0; i < c.n; ++i) {
      x[static_cast<std::size_t>(i)] = c.lo + (c.hi - c.lo) * i / (c.n - 1);
      const double t = (x[static_cast<std::size_t>(i)] - c.c1) / c.s1, u = (x[static_cast<std::size_t>(i)] - c.c2) / c.s2;
      const double v = 1.0 + u * u;
      w[static_cast<std::size_t>(i)] = c.a / (1.0 + t * t) + c.b / (v * v * v) + (i % 5);
    }
    const PseudoVoigtPeak fitted = pseudo_voigt_mle_full_optimization(
        x, w, {c.x0, c.gamma, c.eta}, {c.fix_x0, c.fix_gamma, true}, c.x_min, c.x_max, {c.gamma_min, c.gamma_max, 1, 0.0});
    EXPECT_EQ(fitted.eta, c.eta);
    for (const auto& [value, optimum, bounds] : {std::tuple{fitted.x0, c.optimum_x0, std::pair{c.x_min, c.x_max}},
                                                 std::tuple{fitted.gamma, c.optimum_gamma, std::pair{c.gamma_min, c.gamma_max}}}) {
      if (optimum == bounds.first || optimum == bounds.second) {
        EXPECT_EQ(value, optimum) << c.x0 << " " << c.gamma << " " << c.eta;
      } else {
        EXPECT_NEAR(value, optimum, 2e-7) << c.x0 << " " << c.gamma << " " << c.eta;
      }
    }
    EXPECT_TRUE(!c.fix_x0 || fitted.x0 == c.x0);
    EXPECT_TRUE(!c.fix_gamma || fitted.gamma == c.gamma);
  }
}

TEST(PseudoVoigtFull, MixingSearchTakesTheFirstBestOfTheHundredValues) {
  const Spectrum data = draw_spectrum({10.0, 3.0, 0.35}, 0.0, 20.0, 200, 20000, 3);
  const double eta = full_mixing_search(data.x, data.counts, 10.0, 3.0, 0.77, 0.0, 20.0);
  const long k = std::lround(eta / 0.01);
  ASSERT_GE(k, 0);
  ASSERT_LE(k, 99);
  EXPECT_EQ(eta, static_cast<double>(k) * 0.01);
  EXPECT_NEAR(eta, 0.35, 0.05);
  auto score = [&](long j) { return pseudo_voigt_log_likelihood(data.x, data.counts, {10.0, 3.0, j * 0.01}, 0.0, 20.0); };
  for (long j = 0; j < 100; ++j) {
    if (j < k) {
      EXPECT_LT(score(j), score(k)) << j;
    } else {
      EXPECT_LE(score(j), score(k)) << j;
    }
  }
  // Weights without samples score 0 for every value: the first one, 0.00, wins.
  EXPECT_EQ(full_mixing_search({}, data.counts, 10.0, 3.0, 0.77, 0.0, 20.0), 0.0);
  // Scores that are all -inf (an infinite weight on densities below 1) or all NaN (a negative
  // width) leave the fallback, which need not be a grid value.
  const std::vector<double> x{9.0, 10.0, 11.0}, infinite{1.0, kInf, 1.0};
  EXPECT_EQ(full_mixing_search(x, infinite, 10.0, 3.0, 0.77, 0.0, 20.0), 0.77);
  EXPECT_EQ(full_mixing_search(x, std::vector<double>{1.0, 1.0, 1.0}, 10.0, -3.0, 0.77, 0.0, 20.0), 0.77);
}

TEST(PseudoVoigtFull, MixingSearchPicksWhatAScanOfAllHundredScoresPicks) {
  // The search leaves out candidates that provably cannot win; it must land where a scan of all
  // 100 log-likelihoods lands (the highest, the earliest among equal ones, the fallback when none
  // is above -inf). Spectra of every size, peaks on and off their data, weights scaled from 1e-8
  // to 1e8, and flat likelihoods: samples only where the Gaussian and the window-normalised
  // Lorentzian are equal, so that every eta gives the same density up to rounding and the scores
  // tie within their last bits.
  auto scan = [](const std::vector<double>& x, const std::vector<double>& w, double x0, double gamma, double x_min,
                 double x_max) {
    std::vector<double> scores(100);
    for (std::size_t k = 0; k < 100; ++k) {
      scores[k] = pseudo_voigt_log_likelihood(x, w, {x0, gamma, static_cast<double>(k) * 0.01}, x_min, x_max);
    }
    const std::optional<std::size_t> best = best_earlier_on_ties(scores);
    return best ? static_cast<double>(*best) * 0.01 : 0.77;
  };
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int flat_cases = 0, distinct_winners = 0;
  double last_winner = -1.0;
  for (int c = 0; c < 400; ++c) {
    const std::size_t sizes[] = {1, 7, 60, 300, 1000, 2600};
    const std::size_t n = sizes[c % 6];
    const PseudoVoigtPeak truth{20.0 + 60.0 * unit(rng), 0.5 + 10.0 * unit(rng), unit(rng)};
    const double x_min = 0.0, x_max = 100.0;
    std::vector<double> x(n), w(n);
    const bool flat = c % 4 == 3;
    const double x0 = flat ? truth.x0 : truth.x0 + (unit(rng) - 0.5) * (c % 8 == 0 ? 60.0 : 3.0);
    const double gamma = flat ? truth.gamma : truth.gamma * (0.5 + unit(rng));
    if (flat) {
      // The distance where G = L / Z, by bisection between the centre and far out.
      const double sigma = gamma / 2.3548200450309493, h = gamma / 2.0;
      const double mass = (std::atan((x_max - x0) / h) - std::atan((x_min - x0) / h)) / std::numbers::pi;
      auto excess = [&](double d) {
        return std::exp(-d * d / (2.0 * sigma * sigma)) / (sigma * 2.5066282746310002) - h / ((d * d + h * h) * std::numbers::pi) / mass;
      };
      double lo = 0.0, hi = 10.0 * gamma;
      ASSERT_GT(excess(lo), 0.0);
      for (int it = 0; it < 200; ++it) (excess(0.5 * (lo + hi)) > 0.0 ? lo : hi) = 0.5 * (lo + hi);
      for (std::size_t i = 0; i < n; ++i) x[i] = x0 + (i % 2 == 0 ? lo : -lo);
      ++flat_cases;
    } else {
      for (std::size_t i = 0; i < n; ++i) x[i] = x_min + (x_max - x_min) * (static_cast<double>(i) + 0.5) / static_cast<double>(n);
    }
    const double scale = std::pow(10.0, -8.0 + 16.0 * unit(rng));
    const std::vector<double> shape = pseudo_voigt_predict(x, truth, x_min, x_max);
    for (std::size_t i = 0; i < n; ++i) {
      w[i] = scale * std::floor(1e4 * shape[i] * (0.8 + 0.4 * unit(rng)) + 5.0 * unit(rng));
    }
    const double expected = scan(x, w, x0, gamma, x_min, x_max);
    EXPECT_EQ(full_mixing_search(x, w, x0, gamma, 0.77, x_min, x_max), expected)
        << "case " << c << ": n " << n << ", x0 " << x0 << ", gamma " << gamma << ", scale " << scale;
    if (expected != last_winner) ++distinct_winners;
    last_winner = expected;
  }
  // The cases did spread over the grid.
  EXPECT_GT(flat_cases, 50);
  EXPECT_GT(distinct_winners, 100);
}

TEST(PseudoVoigtFull, EtaFallsBackToItsStartWhenNoValueScores) {
  // The fallback is the eta the call began with, whatever the steps in between did.
  const std::vector<double> x = grid(0.0, 20.0, 101);
  std::vector<double> w(x.size(), 1.0);
  w[50] = kInf;
  const PseudoVoigtPeak fitted =
      pseudo_voigt_mle_full_optimization(x, w, {10.0, 3.0, 0.537}, {true, true, false}, 0.0, 20.0, {0.1, 50.0, 5, 0.0});
  EXPECT_EQ(fitted, (PseudoVoigtPeak{10.0, 3.0, 0.537}));
}

TEST(PseudoVoigtFull, NothingToFitReturnsTheStart) {
  const Spectrum data = draw_spectrum({10.0, 3.0, 0.5}, 0.0, 20.0, 100, 5000, 2);
  const PseudoVoigtPeak start{9.0, 2.0, 0.333};
  const FullOptimisationLimits limits{0.1, 50.0, 20, 1e-9};
  // (Absent weights, weights that sum to 0 and every flag set: PseudoVoigtShape below.)
  EXPECT_EQ(pseudo_voigt_mle_full_optimization(data.x, data.counts, start, {true, true, true}, 0.0, 20.0, limits), start);
  // Only a sum of exactly 0 carries nothing here: a negative weight is fitted as given.
  std::vector<double> negative(100, 0.0);
  negative[45] = -3.0;
  EXPECT_NE(pseudo_voigt_mle_full_optimization(data.x, negative, start, {}, 0.0, 20.0, limits), start);
  EXPECT_EQ(pseudo_voigt_mle_full_optimization(data.x, data.counts, start, {}, 0.0, 20.0, {0.1, 50.0, 0, 1e-9}), start);
}

TEST(PseudoVoigtFull, FlagsHoldTheirOwnParameter) {
  const Spectrum data = draw_spectrum({10.0, 3.0, 0.5}, 0.0, 20.0, 200, 20000, 2);
  const PseudoVoigtPeak start{9.0, 2.0, 0.333};
  const FullOptimisationLimits limits{0.1, 50.0, 50, 1e-12};
  auto fit = [&](PseudoVoigtFlags flags) {
    return pseudo_voigt_mle_full_optimization(data.x, data.counts, start, flags, 0.0, 20.0, limits);
  };
  const PseudoVoigtPeak x0_held = fit({true, false, false}), gamma_held = fit({false, true, false});
  EXPECT_EQ(x0_held.x0, start.x0);
  EXPECT_NE(x0_held.gamma, start.gamma);
  EXPECT_EQ(gamma_held.gamma, start.gamma);
  EXPECT_NE(gamma_held.x0, start.x0);
  EXPECT_EQ(fit({false, false, true}).eta, start.eta);
  // Centre and width both held: eta is the best grid value there, and the next step gains nothing.
  EXPECT_EQ(fit({true, true, false}),
            (PseudoVoigtPeak{9.0, 2.0, full_mixing_search(data.x, data.counts, 9.0, 2.0, 0.333, 0.0, 20.0)}));
}

TEST(PseudoVoigtFull, WidthBoundsTheMinimiserRejectsOrThatAreNaN) {
  const Spectrum data = draw_spectrum({10.0, 3.0, 0.5}, 0.0, 20.0, 200, 20000, 2);
  const PseudoVoigtPeak start{9.0, 2.0, 0.333};
  // Unordered bounds: the minimiser fails every step, x0 and gamma stay, eta still moves.
  const PseudoVoigtPeak unordered =
      pseudo_voigt_mle_full_optimization(data.x, data.counts, start, {}, 0.0, 20.0, {5.0, 1.0, 10, 1e-9});
  EXPECT_EQ(unordered.x0, start.x0);
  EXPECT_EQ(unordered.gamma, start.gamma);
  EXPECT_EQ(unordered.eta, full_mixing_search(data.x, data.counts, 9.0, 2.0, 0.333, 0.0, 20.0));
  // A NaN bound passes the minimiser's check and fails the width's read-back, with both bounds.
  auto failure = [&](double gamma_min, double gamma_max, PseudoVoigtFlags flags) {
    try {
      pseudo_voigt_mle_full_optimization(data.x, data.counts, start, flags, 0.0, 20.0, {gamma_min, gamma_max, 10, 1e-9});
    } catch (const Failure& f) {
      return std::string(f.what());
    }
    return std::string("no failure");
  };
  // (Every flag free: PseudoVoigtShape below.)
  EXPECT_EQ(failure(1e-5, kNaN, {true, false, false}), "min > max, or either was NaN. min = 1e-5, max = NaN");
  // A held width is never read back.
  EXPECT_EQ(failure(kNaN, 10.0, {false, true, false}), "no failure");
}

// What the observed information at a maximum of the log-likelihood says about (x0, gamma, eta):
// their standard errors, and how far the best x0 and gamma move per unit of eta. The Hessian comes
// from central differences of the log-likelihood.
struct Information {
  std::array<double, 3> standard_error;
  std::array<double, 2> slope_per_eta;
};

Information information(const Spectrum& data, const PseudoVoigtPeak& at, double x_min, double x_max) {
  constexpr double kStep = 1e-3;
  auto ll = [&](std::array<double, 3> p) {
    return pseudo_voigt_log_likelihood(data.x, data.counts, {p[0], p[1], p[2]}, x_min, x_max);
  };
  const std::array<double, 3> centre{at.x0, at.gamma, at.eta};
  double h[3][3];
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      double sum = 0.0;
      for (double si : {-1.0, 1.0}) {
        for (double sj : {-1.0, 1.0}) {
          std::array<double, 3> p = centre;
          p[i] += si * kStep;
          p[j] += sj * kStep;
          sum += si * sj * ll(p);
        }
      }
      h[i][j] = -sum / (4.0 * kStep * kStep);
    }
  }
  // The inverse's diagonal by cofactors; the slopes solve the (x0, gamma) block against the eta column.
  const double det = h[0][0] * (h[1][1] * h[2][2] - h[1][2] * h[2][1]) - h[0][1] * (h[1][0] * h[2][2] - h[1][2] * h[2][0]) +
                     h[0][2] * (h[1][0] * h[2][1] - h[1][1] * h[2][0]);
  const double block = h[0][0] * h[1][1] - h[0][1] * h[1][0];
  return {{std::sqrt((h[1][1] * h[2][2] - h[1][2] * h[2][1]) / det), std::sqrt((h[0][0] * h[2][2] - h[0][2] * h[2][0]) / det),
           std::sqrt(block / det)},
          {-(h[1][1] * h[0][2] - h[0][1] * h[1][2]) / block, -(h[0][0] * h[1][2] - h[1][0] * h[0][2]) / block}};
}

TEST(PseudoVoigtRecovery, SyntheticPeaksComeBackWithinTheirStatisticalErrors) {
  // 200000 draws binned at a quarter of a unit: the binning moves the fitted width by about
  // gamma Delta^2 / (24 sigma^2), 0.1 % here, far inside the errors. Tolerance: 4 standard errors
  // from the observed information at the fit, plus one grid step of eta (0.01) and what that
  // step moves the best x0 and gamma by. Both fits alternate between (x0, gamma) and an eta grid,
  // and the alternation stops where neither step improves: on the ridge along which eta and gamma
  // trade off, that can be a grid step short of the best grid point, on the side it came from.
  // (Measured over 30 seeds from above: eta off by 1.6 standard errors on average, at most 4.6.)
  struct Case {
    PseudoVoigtPeak truth, start;
    bool conditional;
    std::uint64_t seed;
  };
  const Case cases[] = {
      {{50.0, 4.0, 0.4}, {47.0, 8.0, 0.8}, false, 7},
      {{31.5, 2.5, 0.75}, {35.0, 1.0, 0.1}, false, 8},
      {{50.0, 4.0, 0.9}, {47.0, 7.0, 0.85}, true, 9},
      {{62.0, 6.0, 0.83}, {58.0, 3.0, 0.95}, true, 10},
  };
  for (const Case& c : cases) {
    const Spectrum data = draw_spectrum(c.truth, 0.0, 100.0, 400, 200000, c.seed);
    PseudoVoigtPeak fitted = c.start;
    if (c.conditional) {
      // One pass is one expectation-conditional step; as the mixture EM would, repeat it.
      for (int pass = 0; pass < 200; ++pass) {
        fitted = pseudo_voigt_mle_conditional_max(data.x, data.counts, fitted, {}, 0.0, 100.0);
      }
    } else {
      fitted = pseudo_voigt_mle_full_optimization(data.x, data.counts, c.start, {}, 0.0, 100.0, {0.1, 100.0, 100, 1e-12});
    }
    const Information info = information(data, fitted, 0.0, 100.0);
    EXPECT_NEAR(fitted.x0, c.truth.x0, 4.0 * info.standard_error[0] + 0.01 * std::fabs(info.slope_per_eta[0])) << c.seed;
    EXPECT_NEAR(fitted.gamma, c.truth.gamma, 4.0 * info.standard_error[1] + 0.01 * std::fabs(info.slope_per_eta[1])) << c.seed;
    EXPECT_NEAR(fitted.eta, c.truth.eta, 4.0 * info.standard_error[2] + 0.01) << c.seed;
  }
}

// ---- Threads and bad input -----------------------------------------------------------------------

// ---- Instruction sets ------------------------------------------------------------------------------

TEST(PseudoVoigtVariants, PassesAreBitIdenticalOnAvx2AndAvx512AndEveryVariantMatchesThePlainFormula) {
  // The log-likelihood, the mixing scores and the objective's differences run as vector kernels
  // compiled for each instruction set. AVX2 and AVX-512 must agree to the bit, down to whole fits;
  // every variant, the baseline without FMA included, must give the plain formula's log-likelihood
  // (std::exp and std::log, summed in sample order) to 1e-13. 1003 samples: whole chunks, a part
  // chunk and a part vector; the peaks include a width whose Gaussian underflows between samples
  // and a centre that crosses the window's end, where the differences take their fallback route.
  const std::vector<double> x = grid(480.0, 560.0, 1003);
  std::vector<double> w(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double a = (x[i] - 521.3) / 2.4;
    w[i] = i % 11 == 0 ? 0.0 : 3.0 + 2000.0 * (0.6 * std::exp(-a * a / 2) + 0.4 / (1.0 + a * a)) + static_cast<double>(i % 5);
  }
  struct Case {
    PseudoVoigtPeak peak;
    double x_min, x_max;
  };
  const Case cases[] = {{{521.0, 4.9, 0.6}, 450.0, 600.0}, {{530.0, 0.02, 0.9}, 450.0, 600.0},
                        {{520.0, 1e-9, 0.2}, 500.0, 520.0}, {{505.5, 150.0, 1.0}, 600.0, 450.0}};
  struct Outputs {
    std::vector<double> values;
    std::vector<PseudoVoigtPeak> fits;
  };
  auto outputs = [&](SimdLevel level) {
    const SimdOverride variant(level);
    Outputs out;
    for (const Case& c : cases) {
      const double ll = pseudo_voigt_log_likelihood(x, w, c.peak, c.x_min, c.x_max);
      double plain = 0.0;
      for (std::size_t i = 0; i < x.size(); ++i) {
        const double sigma = c.peak.gamma / 2.3548200450309493, h = c.peak.gamma * 0.5, d = x[i] - c.peak.x0;
        const double mass = pseudo_voigt_window_mass(c.peak.x0, c.peak.gamma, c.x_min, c.x_max);
        const double g = std::exp(d / sigma * -0.5 * (d / sigma)) / (sigma * 2.5066282746310002);
        const double l = h / ((d * d + h * h) * 3.141592653589793);
        plain += w[i] * std::log(c.peak.eta * g + l * ((1.0 - c.peak.eta) / mass) + 1e-20);
      }
      EXPECT_NEAR(ll, plain, 1e-13 * std::fabs(plain)) << simd_level_name(level) << " " << c.peak.gamma;
      const Shift shifts[] = {{0, c.peak.x0 + 1e-7}, {1, c.peak.gamma + 1e-7}};
      double differences[2];
      out.values.push_back(ll);
      out.values.push_back(pseudo_voigt_log_likelihood_differences(x, w, c.peak, shifts, c.x_min, c.x_max, differences));
      out.values.insert(out.values.end(), differences, differences + 2);
      out.values.push_back(full_mixing_search(x, w, c.peak.x0, c.peak.gamma, 0.5, c.x_min, c.x_max));
      out.fits.push_back(pseudo_voigt_mle_full_optimization(x, w, {c.peak.x0 + 0.7, c.peak.gamma * 1.3, 0.5}, {}, c.x_min,
                                                            c.x_max, {1e-3, 100.0, 20, 1e-12}));
    }
    return out;
  };
  outputs(SimdLevel::kBaseline);
  if (!simd_level_supported(SimdLevel::kAvx512)) GTEST_SKIP() << "this processor lacks AVX-512";
  const Outputs avx2 = outputs(SimdLevel::kAvx2);
  const Outputs avx512 = outputs(SimdLevel::kAvx512);
  ASSERT_EQ(avx2.values.size(), avx512.values.size());
  for (std::size_t j = 0; j < avx2.values.size(); ++j) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(avx2.values[j]), std::bit_cast<std::uint64_t>(avx512.values[j])) << j;
  }
  EXPECT_EQ(avx2.fits, avx512.fits);
}

TEST(PseudoVoigtThreads, FitsAreBitIdenticalForOneThreadAndForMany) {
  // The mixing search's 100 scores and the bounded steps' passes share the samples' chunks among
  // the pool (700 samples are three chunks); chunk sums are added in chunk order, so a
  // single-thread arena must give the same bits. Run also as refits would be, several at once
  // inside pool tasks, where the passes nest.
  std::vector<Spectrum> spectra;
  for (std::uint64_t seed = 1; seed <= 4; ++seed) {
    spectra.push_back(draw_spectrum({40.0 + 5.0 * static_cast<double>(seed), 3.0, 0.2 * static_cast<double>(seed)},
                                    0.0, 100.0, 700, 50000, seed));
  }
  const FullOptimisationLimits limits{0.1, 100.0, 50, 1e-12};
  auto fit_all = [&] {
    std::vector<PseudoVoigtPeak> fitted(spectra.size() * 2);
    for (std::size_t k = 0; k < spectra.size(); ++k) {
      fitted[2 * k] = pseudo_voigt_mle_full_optimization(spectra[k].x, spectra[k].counts, {45.0, 6.0, 0.5}, {}, 0.0, 100.0, limits);
      fitted[2 * k + 1] = pseudo_voigt_mle_conditional_max(spectra[k].x, spectra[k].counts, {45.0, 6.0, 0.5}, {}, 0.0, 100.0);
    }
    return fitted;
  };
  std::vector<PseudoVoigtPeak> single;
  tbb::task_arena one_thread(1);
  one_thread.execute([&] { single = fit_all(); });
  const std::vector<PseudoVoigtPeak> many = fit_all();
  EXPECT_EQ(single, many);
  std::vector<PseudoVoigtPeak> nested(spectra.size());
  run_tasks(spectra.size(), [&](std::size_t k) {
    nested[k] = pseudo_voigt_mle_full_optimization(spectra[k].x, spectra[k].counts, {45.0, 6.0, 0.5}, {}, 0.0, 100.0, limits);
  });
  for (std::size_t k = 0; k < spectra.size(); ++k) EXPECT_EQ(nested[k], single[2 * k]) << k;
  // The fits did something: eta left its start for a grid value.
  for (std::size_t k = 0; k < spectra.size(); ++k) EXPECT_NE(single[2 * k].eta, 0.5) << k;
}

TEST(PseudoVoigtRobustness, DegenerateInputsReturnWithoutFailing) {
  // Every call returns; the conditional maximisation's eta is always one of its 20 values and
  // the full optimisation's one of its 100 or the starting eta; a free centre of the full
  // optimisation that moved stays inside an ordered window.
  const std::vector<double> x = grid(0.0, 10.0, 101), empty;
  std::vector<double> w(x.size()), x_bad = x;
  for (std::size_t i = 0; i < x.size(); ++i) w[i] = 100.0 / (1.0 + (x[i] - 5.0) * (x[i] - 5.0));
  std::vector<double> w_bad = w, few(w.begin(), w.begin() + 7), huge(x.size(), 1e300);
  w_bad[40] = kNaN, w_bad[60] = kInf, w_bad[3] = -w_bad[3];
  x_bad[50] = kNaN, x_bad[70] = 1e305;
  const std::pair<const std::vector<double>*, const std::vector<double>*> inputs[] = {
      {&x, &w}, {&x, &w_bad}, {&x, &huge}, {&x_bad, &w}, {&x, &few}, {&few, &w}, {&empty, &w}};
  const PseudoVoigtPeak starts[] = {{5.0, 2.0, 0.5}, {5.0, 0.0, 0.5}, {5.0, -2.0, 0.5}, {kNaN, 2.0, 0.5},
                                    {5.0, kInf, 0.5}, {1e300, 2.0, 0.5}, {5.0, 2.0, kNaN}};
  const double windows[][2] = {{0.0, 10.0}, {10.0, 0.0}, {5.0, 5.0}, {kNaN, 10.0}, {-1e300, 1e300}};
  for (const auto& [xs, ws] : inputs) {
    for (const PseudoVoigtPeak& start : starts) {
      for (const auto& window : windows) {
        const PseudoVoigtPeak conditional = pseudo_voigt_mle_conditional_max(*xs, *ws, start, {}, window[0], window[1]);
        bool twenty = false;
        for (int k = 0; k < 20; ++k) twenty = twenty || conditional.eta == static_cast<double>(k) * 0.01 + 0.8;
        EXPECT_TRUE(twenty) << conditional.eta;
        const PseudoVoigtPeak full =
            pseudo_voigt_mle_full_optimization(*xs, *ws, start, {}, window[0], window[1], {0.1, 50.0, 3, 1e-9});
        bool hundred = std::isnan(start.eta) ? std::isnan(full.eta) : full.eta == start.eta;
        for (int k = 0; k < 100; ++k) hundred = hundred || full.eta == static_cast<double>(k) * 0.01;
        EXPECT_TRUE(hundred) << full.eta;
        if (full.x0 != start.x0 && !std::isnan(full.x0) && window[0] <= window[1]) {
          EXPECT_GE(full.x0, window[0]);
          EXPECT_LE(full.x0, window[1]);
        }
      }
    }
  }
}

// ---- Mixture EM ----------------------------------------------------------------------------------

struct MixtureFit {
  PseudoVoigtPeaks peaks;
  std::vector<double> pi;
  EmResult result;
};

// K pseudo-Voigt peaks plus the uniform background on [from, to], every flag free.
MixtureFit fit_mixture(const Spectrum& data, const std::vector<PseudoVoigtPeak>& starts, bool use_full_opt,
                       std::uint64_t max_iter, double r_eps, double from, double to,
                       FullOptimisationLimits limits = {0.1, 50.0, 0, 0.0}) {
  MixtureFit f;
  for (const PseudoVoigtPeak& p : starts) {
    f.peaks.values[0].push_back(p.x0);
    f.peaks.values[1].push_back(p.gamma);
    f.peaks.values[2].push_back(p.eta);
  }
  for (std::vector<bool>& flags : f.peaks.fixed) flags.assign(starts.size(), false);
  f.peaks.use_full_opt = use_full_opt;
  // The EM's max_iter and r_eps bound each refit's alternation too, as the Python entry hands them on.
  f.peaks.limits = {limits.gamma_min, limits.gamma_max, max_iter, r_eps};
  f.pi.assign(starts.size() + 1, 1.0 / static_cast<double>(starts.size() + 1));
  const std::vector<double> alpha(starts.size() + 1, 1.0);
  EmProblem problem;
  problem.x = data.x;
  problem.intensity = data.counts;
  problem.dirichlet_alpha = alpha;
  problem.max_iter = max_iter;
  problem.r_eps = r_eps;
  problem.window = {from, to};
  problem.bg_type = kUniformBackground;
  f.result = run_em(f.peaks, f.pi, problem);
  return f;
}

PseudoVoigtPeak fitted_peak(const MixtureFit& f, std::size_t k) {
  return {f.peaks.values[0][k], f.peaks.values[1][k], f.peaks.values[2][k]};
}

// The mixture's log-likelihood with the uniform background on [from, to]: parameters x0, gamma and
// eta of every peak, then the peaks' weights (the background's weight is what they leave).
double mixture_log_likelihood(const Spectrum& data, const std::vector<double>& p, std::size_t peaks, double from,
                              double to) {
  std::vector<double> mixture(data.x.size());
  double background = 1.0;
  for (std::size_t k = 0; k < peaks; ++k) {
    const std::vector<double> row = pseudo_voigt_predict(data.x, {p[k], p[peaks + k], p[2 * peaks + k]}, from, to);
    for (std::size_t i = 0; i < row.size(); ++i) mixture[i] += p[3 * peaks + k] * row[i];
    background -= p[3 * peaks + k];
  }
  double total = 0.0;
  for (std::size_t i = 0; i < mixture.size(); ++i) total += data.counts[i] * std::log(mixture[i] + background / (to - from));
  return total;
}

// The inverse of the mixture's observed information at the fit, from central differences: the
// covariance of its parameters, in mixture_log_likelihood's order.
std::vector<std::vector<double>> mixture_covariance(const Spectrum& data, const MixtureFit& f, double from, double to) {
  const std::size_t peaks = f.peaks.count(), n = 4 * peaks;
  std::vector<double> at;
  for (const std::vector<double>& values : f.peaks.values) at.insert(at.end(), values.begin(), values.end());
  at.insert(at.end(), f.pi.begin(), f.pi.begin() + static_cast<std::ptrdiff_t>(peaks));
  constexpr double kStep = 1e-4;
  // [information | identity], reduced by Gauss-Jordan elimination with partial pivoting.
  std::vector<std::vector<double>> m(n, std::vector<double>(2 * n, 0.0));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double sum = 0.0;
      for (double si : {-1.0, 1.0}) {
        for (double sj : {-1.0, 1.0}) {
          std::vector<double> p = at;
          p[i] += si * kStep;
          p[j] += sj * kStep;
          sum += si * sj * mixture_log_likelihood(data, p, peaks, from, to);
        }
      }
      m[i][j] = -sum / (4.0 * kStep * kStep);
    }
    m[i][n + i] = 1.0;
  }
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t pivot = c;
    for (std::size_t r = c + 1; r < n; ++r) {
      if (std::fabs(m[r][c]) > std::fabs(m[pivot][c])) pivot = r;
    }
    std::swap(m[c], m[pivot]);
    const double scale = m[c][c];
    for (double& v : m[c]) v /= scale;
    for (std::size_t r = 0; r < n; ++r) {
      if (r == c) continue;
      const double factor = m[r][c];
      for (std::size_t j = 0; j < 2 * n; ++j) m[r][j] -= factor * m[c][j];
    }
  }
  for (std::vector<double>& row : m) row.erase(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(n));
  return m;
}

// The curvature in eta of peak k's refit objective at the fit: the weighted log-likelihood of the
// counts times peak k's responsibility, the complete-data information of eta.
double refit_curvature_in_eta(const Spectrum& data, const MixtureFit& f, std::size_t k, double from, double to) {
  const std::size_t peaks = f.peaks.count();
  std::vector<std::vector<double>> rows(peaks);
  for (std::size_t j = 0; j < peaks; ++j) rows[j] = pseudo_voigt_predict(data.x, fitted_peak(f, j), from, to);
  std::vector<double> weights(data.x.size());
  for (std::size_t i = 0; i < data.x.size(); ++i) {
    double mixture = f.pi[peaks] / (to - from);
    for (std::size_t j = 0; j < peaks; ++j) mixture += f.pi[j] * rows[j][i];
    weights[i] = data.counts[i] * f.pi[k] * rows[k][i] / mixture;
  }
  const PseudoVoigtPeak at = fitted_peak(f, k);
  auto ll = [&](double eta) { return pseudo_voigt_log_likelihood(data.x, weights, {at.x0, at.gamma, eta}, from, to); };
  constexpr double kStep = 1e-3;
  return -(ll(at.eta + kStep) - 2.0 * ll(at.eta) + ll(at.eta - kStep)) / (kStep * kStep);
}

TEST(PseudoVoigtMixture, SyntheticMixturesComeBackWithinTheirStatisticalErrors) {
  // Three peaks and a flat tenth of 300,000 draws on [0, 100), 400 bins, fitted from starts a few
  // units and a factor of 1.5 off with the background weight free. Every parameter is judged by
  // the covariance from the mixture's observed information at the fit: 4 standard errors, plus
  // where the EM can stop short of the likelihood's maximum.
  //
  // With eta on a grid of step d = 0.01 the EM ends at a point that every refit leaves as it is:
  // each eta is the best grid value of its refit's objective, the counts weighted by the
  // responsibilities of that point. Those responsibilities follow eta (a more Lorentzian peak
  // claims more of the flat counts under its wings), so the refit's best eta moves a fraction
  // 1 - I_obs / I_c of any step of eta, I_c the refit objective's curvature in eta (complete data)
  // and I_obs = 1 / Var(eta) what the mixture's likelihood keeps of it. Within d/2 of a best that
  // moves that way, eta stops up to (d/2) I_c Var(eta) from the maximum, and x0, gamma and the
  // weight by that offset times their regression slope on eta, Cov(., eta) / Var(eta). Measured:
  // I_c Var(eta) from 4.7 to 22 here; eta ends 1 to 5 grid steps from the truth, x0 within 2.1
  // standard errors. The conditional refit only reaches eta in [0.80, 0.99], so its peaks are
  // drawn in that range.
  struct Case {
    std::vector<PseudoVoigtPeak> truth, starts;
    bool use_full_opt;
    std::uint64_t seed;
  };
  const std::vector<double> shares{0.3, 0.4, 0.2};
  const Case cases[] = {
      {{{25.0, 4.0, 0.3}, {50.0, 6.0, 0.6}, {75.0, 3.0, 0.9}}, {{22.0, 6.0, 0.5}, {53.0, 4.0, 0.5}, {72.0, 4.5, 0.5}}, true, 21},
      {{{25.0, 4.0, 0.85}, {50.0, 6.0, 0.9}, {75.0, 3.0, 0.95}}, {{22.0, 6.0, 0.5}, {53.0, 4.0, 0.5}, {72.0, 4.5, 0.5}}, false, 22},
  };
  for (const Case& c : cases) {
    const Spectrum data = draw_mixture(c.truth, shares, 0.0, 100.0, 400, 300000, c.seed);
    const MixtureFit f = fit_mixture(data, c.starts, c.use_full_opt, 2000, 1e-10, 0.0, 100.0);
    ASSERT_LT(f.result.iterations, 2000u) << c.seed;
    const std::vector<std::vector<double>> covariance = mixture_covariance(data, f, 0.0, 100.0);
    for (std::size_t k = 0; k < 3; ++k) {
      SCOPED_TRACE("seed " + std::to_string(c.seed) + ", peak " + std::to_string(k));
      const std::size_t eta = 6 + k;
      const double stop = 0.005 * refit_curvature_in_eta(data, f, k, 0.0, 100.0) * covariance[eta][eta];
      const double fitted[] = {f.peaks.values[0][k], f.peaks.values[1][k], f.peaks.values[2][k], f.pi[k]};
      const double truth[] = {c.truth[k].x0, c.truth[k].gamma, c.truth[k].eta, shares[k]};
      for (std::size_t j = 0; j < 4; ++j) {
        const std::size_t index = 3 * j + k;
        const double slope = covariance[index][eta] / covariance[eta][eta];
        EXPECT_NEAR(fitted[j], truth[j], 4.0 * std::sqrt(covariance[index][index]) + stop * std::fabs(slope)) << j;
      }
    }
  }
}

TEST(PseudoVoigtMixture, FitsAreBitIdenticalForOneThreadAndTwoAndWhenNested) {
  // Both refits run as pool tasks, and the full optimisation's mixing search runs nested inside
  // them. Every task writes its own slot and the sums keep their order, so one thread, two, and
  // whole fits running as tasks of the pool themselves must give the same bits.
  const Spectrum data = draw_mixture({{30.0, 5.0, 0.4}, {45.0, 3.0, 0.7}, {70.0, 8.0, 0.2}}, {0.3, 0.3, 0.3}, 0.0,
                                     100.0, 2000, 100000, 31);
  const std::vector<PseudoVoigtPeak> starts{{28.0, 4.0, 0.5}, {47.0, 4.0, 0.5}, {66.0, 6.0, 0.5}};
  for (bool use_full_opt : {false, true}) {
    SCOPED_TRACE(use_full_opt ? "full optimisation" : "conditional maximisation");
    auto run = [&] { return fit_mixture(data, starts, use_full_opt, 25, 1e-12, 0.0, 100.0); };
    const MixtureFit one = fit_test::with_thread_limit(1, run), two = fit_test::with_thread_limit(2, run);
    EXPECT_EQ(one.result.iterations, 25u);
    EXPECT_EQ(one.result.log_likelihood, two.result.log_likelihood);
    EXPECT_EQ(one.result.relative_change, two.result.relative_change);
    EXPECT_EQ(one.peaks.values, two.peaks.values);
    EXPECT_EQ(one.pi, two.pi);
    std::vector<MixtureFit> nested(3);
    run_tasks(nested.size(), [&](std::size_t i) { nested[i] = run(); });
    for (const MixtureFit& f : nested) {
      EXPECT_EQ(f.result.log_likelihood, one.result.log_likelihood);
      EXPECT_EQ(f.peaks.values, one.peaks.values);
      EXPECT_EQ(f.pi, one.pi);
    }
  }
}

TEST(PseudoVoigtMixture, RefitRulesAtTheEdges) {
  const Spectrum data =
      draw_mixture({{30.0, 5.0, 0.4}, {60.0, 4.0, 0.9}}, {0.45, 0.45}, 0.0, 100.0, 1000, 40000, 41);
  const std::vector<PseudoVoigtPeak> starts{{33.0, 7.0, 0.37}, {57.0, 3.0, 1.0}};

  // The first log-likelihood is that of the mixture of the starting density rows, which the
  // engine may compute in pieces along the grid.
  const MixtureFit untouched = fit_mixture(data, starts, true, 0, 0.0, 0.0, 100.0);
  double expected = 0.0;
  const std::vector<double> p0 = pseudo_voigt_predict(data.x, starts[0], 0.0, 100.0);
  const std::vector<double> p1 = pseudo_voigt_predict(data.x, starts[1], 0.0, 100.0);
  for (std::size_t i = 0; i < data.x.size(); ++i) {
    expected += data.counts[i] * std::log((p0[i] + p1[i] + 0.01) / 3.0 + 1e-200);
  }
  EXPECT_NEAR(untouched.result.log_likelihood[0], expected, 1e-12 * std::fabs(expected));
  // No iteration, no refit: the starting values come back.
  EXPECT_EQ(untouched.peaks.values[0], (std::vector<double>{33.0, 57.0}));
  EXPECT_EQ(untouched.peaks.values[2], (std::vector<double>{0.37, 1.0}));

  // After one iteration every free eta is a grid value of its refit, whatever it started at.
  const MixtureFit conditional = fit_mixture(data, starts, false, 1, 0.0, 0.0, 100.0);
  const MixtureFit full = fit_mixture(data, starts, true, 1, 0.0, 0.0, 100.0);
  for (std::size_t k = 0; k < 2; ++k) {
    bool twenty = false, hundred = false;
    for (int j = 0; j < 20; ++j) twenty = twenty || conditional.peaks.values[2][k] == static_cast<double>(j) * 0.01 + 0.8;
    for (int j = 0; j < 100; ++j) hundred = hundred || full.peaks.values[2][k] == static_cast<double>(j) * 0.01;
    EXPECT_TRUE(twenty) << conditional.peaks.values[2][k];
    EXPECT_TRUE(hundred) << full.peaks.values[2][k];
  }

  // The width bounds belong to the full optimisation alone: unordered ones change nothing in a
  // conditional fit, and make every bounded step of a full one fail, so x0 and gamma stay.
  const MixtureFit conditional_unordered = fit_mixture(data, starts, false, 1, 0.0, 0.0, 100.0, {50.0, 0.1, 0, 0.0});
  EXPECT_EQ(conditional_unordered.peaks.values, conditional.peaks.values);
  const MixtureFit full_unordered = fit_mixture(data, starts, true, 3, 0.0, 0.0, 100.0, {50.0, 0.1, 0, 0.0});
  EXPECT_EQ(full_unordered.peaks.values[0], untouched.peaks.values[0]);
  EXPECT_EQ(full_unordered.peaks.values[1], untouched.peaks.values[1]);
  EXPECT_NE(full_unordered.peaks.values[2], untouched.peaks.values[2]);

  // A NaN width bound fails the read-back of a free width inside a refit task; the failure
  // reaches the calling thread with its message.
  try {
    fit_mixture(data, starts, true, 3, 0.0, 0.0, 100.0, {kNaN, 50.0, 0, 0.0});
    ADD_FAILURE() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_STREQ(failure.what(), "min > max, or either was NaN. min = NaN, max = 50.0");
  }
}

TEST(PseudoVoigtMixture, APeakWithoutResponsibilityKeepsItsValues) {
  // Its weight 0 gives it no responsibility anywhere, so both refits see weights summing to 0.
  const Spectrum data = draw_mixture({{30.0, 5.0, 0.9}}, {0.9}, 0.0, 100.0, 500, 20000, 51);
  for (bool use_full_opt : {false, true}) {
    PseudoVoigtPeaks peaks;
    peaks.values = {{{28.0, 80.0}, {4.0, 3.0}, {0.5, 0.123}}};
    peaks.fixed = {std::vector<bool>(2, false), std::vector<bool>(2, false), std::vector<bool>(2, false)};
    peaks.use_full_opt = use_full_opt;
    peaks.limits = {0.1, 50.0, 5, 0.0};
    std::vector<double> pi{0.8, 0.0, 0.2};
    const std::vector<double> alpha(3, 1.0);
    EmProblem problem;
    problem.x = data.x;
    problem.intensity = data.counts;
    problem.dirichlet_alpha = alpha;
    problem.max_iter = 5;
    problem.window = {0.0, 100.0};
    problem.bg_type = kUniformBackground;
    const EmResult result = run_em(peaks, pi, problem);
    EXPECT_EQ(result.iterations, 5u);
    EXPECT_EQ(peaks.current(1), (PseudoVoigtPeaks::Parameters{80.0, 3.0, 0.123})) << use_full_opt;
    EXPECT_NE(peaks.current(0), (PseudoVoigtPeaks::Parameters{28.0, 4.0, 0.5})) << use_full_opt;
    EXPECT_EQ(pi[1], 0.0);
  }
}

// ---- The single-peak suite (peak_fit_suites.hpp): the full optimisation ---------------------------

struct PseudoVoigtBounds {
  double x_min, x_max;
  FullOptimisationLimits limits;
};

struct PseudoVoigtShape {
  using Parameters = PseudoVoigtPeak;
  using Fixed = PseudoVoigtFlags;
  using Bounds = PseudoVoigtBounds;

  static Parameters fit(std::span<const double> x, std::span<const double> w, const Parameters& start,
                        const Fixed& fixed, const Bounds& b) {
    return pseudo_voigt_mle_full_optimization(x, w, start, fixed, b.x_min, b.x_max, b.limits);
  }
  static std::array<double, 3> values(const Parameters& p) { return {p.x0, p.gamma, p.eta}; }
  static Fixed all_fixed() { return {true, true, true}; }
  static fit_test::PeakSample smooth_peak() {
    const Spectrum data = draw_spectrum({10.0, 3.0, 0.5}, 0.0, 20.0, 100, 5000, 2);
    return {data.x, data.counts};
  }
  static Bounds bounds() { return {0.0, 20.0, {0.1, 50.0, 20, 1e-9}}; }
  static Bounds open_bounds() { return {-kInf, kInf, {-kInf, kInf, 20, 1e-9}}; }
  static fit_test::DegenerateStarts<Parameters> degenerate_starts() {
    return {{9.0, 2.0, 0.333}, {kNaN, 2.0, 0.333}, {9.0, kInf, 0.333}, {9.0, 0.0, 0.333}};
  }
  static Parameters rough_start() { return {9.0, 2.0, 0.333}; }
  static Parameters odd_start() { return {0.1 + 0.2, -0.0, kNaN}; }
  // Unordered width bounds still let eta move (PseudoVoigtFull.WidthBoundsTheMinimiserRejectsOrThatAreNaN).
  static std::optional<Bounds> reversed_width_bounds() { return std::nullopt; }
  static std::vector<std::pair<Bounds, std::string>> nan_bounds() {
    return {{{0.0, 20.0, {kNaN, 10.0, 10, 1e-9}}, "min > max, or either was NaN. min = NaN, max = 10.0"},
            {{0.0, 20.0, {0.1, kNaN, 10, 1e-9}}, "min > max, or either was NaN. min = 0.1, max = NaN"}};
  }
};

INSTANTIATE_TYPED_TEST_SUITE_P(PseudoVoigt, SinglePeakFit, PseudoVoigtShape);

}  // namespace
}  // namespace brivane
