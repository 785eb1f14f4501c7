#include "shapes/doniach_sunjic/doniach_sunjic.hpp"

#include <gtest/gtest.h>
#include <quadmath.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "background.hpp"
#include "failure.hpp"
#include "shapes/lorentzian/lorentzian.hpp"
#include "peak_fit_suites.hpp"
#include "vector_math.hpp"

namespace brivane {
namespace {

using fit_test::trapezoid;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<double> density(const std::vector<double>& x, double x0, double gamma, double alpha) {
  std::vector<double> row(x.size());
  doniach_sunjic_density(x, x0, gamma, alpha, row);
  return row;
}

TEST(DoniachSunjicDensity, UnitTrapezoidSumAndCauchyShapeAtAlphaZero) {
  std::vector<double> uneven;  // spacing growing away from 3
  for (int i = -60; i <= 60; ++i) uneven.push_back(3.0 + 0.002 * i * std::abs(i) + 0.05 * i);
  const std::vector<double> uniform = fit_test::uniform_grid(280.0, 0.05, 401);
  const double cases[][4] = {{290.0, 0.5, 0.2}, {285.3, 2.0, 0.45}, {300.0, 0.05, 0.1}, {270.0, 1.0, 0.3}};
  for (const auto& [x0, gamma, alpha, unused] : cases) {
    EXPECT_NEAR(trapezoid(uniform, density(uniform, x0, gamma, alpha)), 1.0, 1e-14) << x0;
    EXPECT_NEAR(trapezoid(uneven, density(uneven, x0 - 285.0, gamma, alpha)), 1.0, 1e-14) << x0;
  }
  // cos(atan(d / gamma)) / sqrt(d^2 + gamma^2) = gamma / (d^2 + gamma^2): the Lorentzian unit's
  // shape of full width 2 gamma, which that unit also normalises over the grid.
  for (const std::vector<double>& x : {uniform, uneven}) {
    const std::vector<double> row = density(x, x[70], 0.8, 0.0);
    std::vector<double> lorentzian(x.size());
    lorentzian_density(x, x[70], 1.6, x.front(), x.back(), lorentzian);
    for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(row[i], lorentzian[i], 1e-14 * lorentzian[i]) << i;
  }
}

TEST(DoniachSunjicDensity, TailsDecayAsPowersWithTheHeavyOneBelowTheCentre) {
  // For 0 < alpha < 1, far from the centre v ~ |x - x0|^(alpha - 1) below it and
  // (x - x0)^(alpha - 2) above it; the local exponent ln(v(2d) / v(d)) / ln 2 at d = 1e4 gamma
  // departs from them by O(gamma / (d sin(pi alpha))).
  for (double alpha : {0.1, 0.3, 0.6, 0.9}) {
    const std::vector<double> v = density({-195.0, -95.0, 105.0, 205.0}, 5.0, 0.01, alpha);
    EXPECT_NEAR(std::log2(v[0] / v[1]), alpha - 1.0, 1e-3) << alpha;
    EXPECT_NEAR(std::log2(v[3] / v[2]), alpha - 2.0, 1e-3) << alpha;
    EXPECT_GT(v[1], 10.0 * v[2]) << alpha;
  }
}

TEST(DoniachSunjicDensity, DegenerateGridsAndTheLogLikelihood) {
  EXPECT_EQ(density({2.0}, 2.0, 1.0, 0.2), std::vector<double>{0.0});                 // no spacing
  EXPECT_EQ(density({0.0, 1.0, 0.0}, 0.5, 1.0, 0.2), std::vector<double>(3, 0.0));    // spacings cancel
  for (double p : density({4.0, 3.0, 2.0, 1.0, 0.0}, 2.0, 1.0, 0.2)) EXPECT_LT(p, 0.0);  // descending
  EXPECT_TRUE(std::isnan(doniach_sunjic_log_likelihood(std::vector<double>{4.0, 3.0, 2.0}, std::vector<double>(3, 1.0), 2.0, 1.0, 0.2)));
  EXPECT_EQ(doniach_sunjic_log_likelihood(std::vector<double>{1.0}, std::vector<double>{3.0}, 1.0, 1.0, 0.2), 3.0 * std::log(1e-200));
  // The density is normalised over the whole grid; only weights with a sample count.
  const std::vector<double> x = fit_test::uniform_grid(-10.0, 0.125, 161);
  const std::vector<double> row = density(x, 0.5, 0.7, 0.2), w = fit_test::patterned_weights(200, 3, 1);
  // The log-likelihood takes its logarithms from the vectorised log of the core.
  std::vector<double> logs(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) logs[i] = row[i] + 1e-200;
  log_in_place(logs);
  for (std::size_t weighted : {std::size_t{40}, std::size_t{200}}) {
    double expected = 0.0;
    for (std::size_t i = 0; i < std::min(weighted, x.size()); ++i) {
      EXPECT_NEAR(logs[i], std::log(row[i] + 1e-200), 2e-16 * std::fabs(logs[i])) << i;
      expected += w[i] * logs[i];
    }
    // The same terms, summed in the fixed chunk order of the passes rather than one by one.
    EXPECT_NEAR(doniach_sunjic_log_likelihood(x, {w.data(), weighted}, 0.5, 0.7, 0.2), expected,
                1e-15 * std::fabs(expected)) << weighted;
  }
}

// The log-likelihood in quadruple precision, from the shape's definition.
__float128 quad_log_likelihood(const std::vector<double>& x, const std::vector<double>& w, const DoniachSunjicParameters& p) {
  const __float128 x0 = p[0], gamma = p[1], alpha = p[2], pi = acosq(-1);
  std::vector<__float128> v(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const __float128 d = x[i] - x0;
    v[i] = cosq((1 - alpha) * atanq(d / gamma) + pi * alpha / 2) / powq(d * d + gamma * gamma, (1 - alpha) / 2);
  }
  __float128 integral = 0, total = 0;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) integral += (x[i + 1] - x[i]) * (v[i] + v[i + 1]) / 2;
  for (std::size_t i = 0; i < w.size(); ++i) total += w[i] * logq(v[i] / integral);
  return total;
}

TEST(DoniachSunjicLogLikelihood, ForwardDifferencesAgreeWithAQuadruplePrecisionReference) {
  // Log-likelihoods of 1e6 to 1e7, whose subtraction in doubles leaves 7e-3 to 0.4 of error in the
  // gradient (difference / 1e-7); formed from exact differences of the shape's terms it is within
  // 1e-7. The last case has gamma < 0: the log-densities are subtracted sample by sample, with
  // errors of that size.
  struct Case {
    double low, step;
    std::size_t count;
    DoniachSunjicParameters p;
    double tolerance;
  };
  const Case cases[] = {
      {-20.0, 0.05, 801, {1.3, 0.7, 0.2}, 1e-14},      {280.0, 0.02, 1501, {291.4, 0.35, 0.05}, 1e-14},
      {-10.0, 0.1, 201, {0.0, 2.0, 0.0}, 1e-14},       {-10.0, 0.01, 2001, {3.0, 0.05, 0.45}, 1e-14},
      {-10.0, 0.01, 2001, {-9.0, 0.3, 0.3}, 1e-14},    {-10.0, 0.125, 161, {0.5, -0.7, 0.2}, 5e-9},
  };
  for (const Case& c : cases) {
    const std::vector<double> x = fit_test::uniform_grid(c.low, c.step, c.count);
    const std::vector<double> w = fit_test::patterned_weights(c.count, 2000, 3);
    const Shift shifts[] = {{0, c.p[0] + 1e-7}, {1, c.p[1] + 1e-7}, {2, c.p[2] + 1e-7}};
    double changes[3];
    const double ll = doniach_sunjic_log_likelihood_differences(x, w, c.p, shifts, changes);
    EXPECT_EQ(ll, doniach_sunjic_log_likelihood(x, w, c.p[0], c.p[1], c.p[2]));
    const __float128 base = quad_log_likelihood(x, w, c.p);
    EXPECT_NEAR(ll, static_cast<double>(base), 1e-14 * std::fabs(ll));
    for (std::size_t j = 0; j < 3; ++j) {
      DoniachSunjicParameters q = c.p;
      q[j] = shifts[j].value;
      EXPECT_NEAR(changes[j], static_cast<double>(quad_log_likelihood(x, w, q) - base), c.tolerance) << c.p[0] << " " << j;
    }
  }
}

TEST(DoniachSunjicLogLikelihood, Avx2AndAvx512PassesGiveTheSameBits) {
  // The pass's own arc tangent of two arguments, reduction and series are not reached through the
  // kernels' own tests: the density row, the log-likelihood and its differences compared bit for
  // bit, on a grid with a partial last vector and a line whose tail reaches the grid's ends.
  if (!simd_level_supported(SimdLevel::kAvx512)) GTEST_SKIP() << "this processor lacks AVX-512";
  const std::vector<double> x = fit_test::uniform_grid(-10.0, 0.01, 2003);
  const std::vector<double> w = fit_test::patterned_weights(x.size(), 2000, 3);
  const DoniachSunjicParameters p{3.0, 0.05, 0.45};
  const Shift shifts[] = {{0, p[0] + 1e-7}, {1, p[1] + 1e-7}, {2, p[2] + 1e-7}};
  auto outputs = [&](SimdLevel level) {
    const SimdOverride variant(level);
    std::vector<double> values = density(x, p[0], p[1], p[2]);
    values.resize(values.size() + 4);
    values[x.size()] = doniach_sunjic_log_likelihood_differences(x, w, p, shifts, {values.data() + x.size() + 1, 3});
    return values;
  };
  const std::vector<double> avx512 = outputs(SimdLevel::kAvx512), avx2 = outputs(SimdLevel::kAvx2);
  for (std::size_t i = 0; i < avx512.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(avx512[i]), std::bit_cast<std::uint64_t>(avx2[i])) << i;
  }
}

// An XPS-like asymmetric line of 30000 counts, deterministic.
struct PeakData {
  std::vector<double> x, w;
};
PeakData smooth_peak() {
  PeakData d{fit_test::uniform_grid(275.0, 0.03125, 641), {}};
  d.w = density(d.x, 284.8, 0.4, 0.15);
  for (double& v : d.w) v = std::round(1500.0 * v);
  return d;
}

const DoniachSunjicBounds kBounds{275.0, 295.0, 0.01, 5.0, 0.0, 0.6};

TEST(DoniachSunjicFit, TheMleEntryKeepsItsStartBelowTheWeightFloorAndTheValuesOnAFailure) {
  // (What every single-peak fit keeps: SinglePeakFit.FitsWithNothingToDo... .)
  const PeakData d = smooth_peak();
  const DoniachSunjicParameters start{284.0, 1.0, 0.3};
  auto mle = [&](std::span<const double> w, bool fix_all = false) {
    const DoniachSunjicBounds& b = kBounds;
    return doniach_sunjic_mle(d.x, w, start[0], start[1], start[2], b.x_min, b.x_max, b.gamma_min, b.gamma_max,
                              b.alpha_min, b.alpha_max, fix_all, fix_all, fix_all);
  };
  EXPECT_EQ(mle(d.w, true), start);
  EXPECT_EQ(mle(std::vector<double>(d.x.size(), 1e-305)), start);  // sum below 1e-300
  EXPECT_NE(mle(d.w), start);
  // A NaN bound fails the clamp after the minimisation; the values are not touched.
  DoniachSunjicBounds bounds = kBounds;
  bounds.alpha_max = kNaN;
  DoniachSunjicParameters values = start;
  EXPECT_THROW(fit_doniach_sunjic_peak(d.x, d.w, values, {}, bounds), Failure);
  EXPECT_EQ(values, start);
}

TEST(DoniachSunjicFit, TheMleEntryGivesTheSameBitsOnOneTwoOrEightThreads) {
  // 641 samples: the passes share three chunks among the pool's threads, and must sum them in the
  // same order whoever takes a chunk. A failure thrown from inside the fit must reach the caller
  // and leave the pool serving the next fit.
  const PeakData d = smooth_peak();
  const DoniachSunjicParameters start{284.0, 1.0, 0.3};
  auto mle = [&](const DoniachSunjicBounds& b) {
    return doniach_sunjic_mle(d.x, d.w, start[0], start[1], start[2], b.x_min, b.x_max, b.gamma_min, b.gamma_max,
                              b.alpha_min, b.alpha_max);
  };
  const DoniachSunjicParameters one = fit_test::on_threads(1, [&] { return mle(kBounds); });
  ASSERT_NE(one, start);
  for (int threads : {2, 8}) {
    EXPECT_EQ(fit_test::on_threads(threads, [&] { return mle(kBounds); }), one) << threads << " threads";
  }
  DoniachSunjicBounds unordered = kBounds;
  unordered.alpha_max = kNaN;
  EXPECT_THROW(fit_test::on_threads(2, [&] { return mle(unordered); }), Failure);
  EXPECT_EQ(fit_test::on_threads(2, [&] { return mle(kBounds); }), one);
}

TEST(DoniachSunjicFit, RecoversSyntheticPeaks) {
  // 1e5 counts drawn with fixed seeds from v_i c_i / D, c_i the trapezoid cells (D = sum v_i c_i):
  // exactly the multinomial likelihood the fit maximises.
  struct Case {
    double low, step;
    std::size_t count;
    DoniachSunjicParameters truth, start;
    std::uint64_t seed;
  };
  const Case cases[] = {{275.0, 0.02, 1001, {284.8, 0.4, 0.15}, {284.0, 1.0, 0.05}, 11},
                        {-15.0, 0.01, 3001, {0.3, 0.1, 0.4}, {0.0, 0.5, 0.2}, 12}};
  for (const Case& c : cases) {
    const std::vector<double> x = fit_test::uniform_grid(c.low, c.step, c.count);
    const std::vector<double> counts = fit_test::draw_counts(x, density(x, c.truth[0], c.truth[1], c.truth[2]), 100000, c.seed);
    DoniachSunjicParameters fitted = c.start;
    ASSERT_TRUE(fit_doniach_sunjic_peak(x, counts, fitted, {}, {x.front(), x.back(), 0.01, 5.0, 0.0, 0.9}));
    fit_test::expect_recovered([&](const DoniachSunjicParameters& p) { return doniach_sunjic_log_likelihood(x, counts, p[0], p[1], p[2]); },
                               fitted, c.truth, {c.truth[1], c.truth[1], c.truth[2]});
  }
}

using DoniachSunjicFitReference = fit_test::ScipyFit<DoniachSunjicBounds>;
#include "reference/doniach_sunjic_fit_table.inc"

struct DoniachSunjicShape {
  using Parameters = DoniachSunjicParameters;
  using Bounds = DoniachSunjicBounds;
  using Peaks = DoniachSunjicPeaks;
  using Fixed = std::array<bool, 3>;

  static Parameters fit(std::span<const double> x, std::span<const double> w, Parameters p,
                        const Fixed& fixed, const Bounds& bounds, std::uint64_t* calls = nullptr) {
    fit_doniach_sunjic_peak(x, w, p, fixed, bounds, calls);
    return p;
  }
  static double log_likelihood(std::span<const double> x, std::span<const double> w, const Parameters& p,
                               const Bounds& /*bounds*/) {
    return doniach_sunjic_log_likelihood(x, w, p[0], p[1], p[2]);
  }
  // An XPS-like line, a narrow strongly asymmetric one, alpha fixed at 0, alpha held at its bound.
  static std::span<const DoniachSunjicFitReference> scipy_table() { return kDoniachSunjicFitTable; }
  static constexpr bool kCallsBoundedOverTheTable = false;

  static fit_test::PeakSample smooth_peak() {
    const PeakData d = brivane::smooth_peak();
    return {d.x, d.w};
  }
  static Bounds bounds() { return kBounds; }
  static Bounds open_bounds() { return {-kInf, kInf, -kInf, kInf, -kInf, kInf}; }
  static std::array<double, 3> values(const Parameters& p) { return p; }
  static Fixed all_fixed() { return {true, true, true}; }
  static Parameters odd_start() { return {0.1 + 0.2, -0.0, kNaN}; }
  static fit_test::DegenerateStarts<Parameters> degenerate_starts() {
    return {{284.0, 1.0, 0.2}, {kNaN, 1.0, 0.2}, {284.0, kInf, 0.2}, {284.0, 0.0, 1.0}};
  }
  static Parameters rough_start() { return {284.0, 1.0, 0.3}; }
  static std::optional<Bounds> reversed_width_bounds() {
    Bounds b = kBounds;
    b.gamma_min = 6.0;
    return b;
  }
  static std::vector<std::pair<Bounds, std::string>> nan_bounds() {
    Bounds alpha = kBounds, gamma = kBounds;
    alpha.alpha_max = kNaN;
    gamma.gamma_min = kNaN;
    return {{alpha, "min > max, or either was NaN. min = 0.0, max = NaN"},
            {gamma, "min > max, or either was NaN. min = NaN, max = 5.0"}};
  }

  // The Au 4f doublet's shape on a kinetic-energy axis: two asymmetric lines 3.67 apart on a flat
  // floor.
  static fit_test::PeakSample two_peaks() {
    const std::vector<double> x = fit_test::uniform_grid(80.0, 0.005859375, 2561);
    const std::vector<double> first = density(x, 88.0, 0.3, 0.12), second = density(x, 91.67, 0.3, 0.12);
    std::vector<double> mixture(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) mixture[i] = 0.35 * first[i] + 0.45 * second[i] + 0.2 / 15.0;
    return {x, fit_test::draw_counts(x, mixture, 100000, 8)};
  }
  static Peaks two_peak_start(bool fixed) {
    Peaks peaks;
    peaks.values = {{{87.5, 92.0}, {0.6, 0.6}, {0.05, 0.05}}};
    peaks.fixed = {std::vector<bool>(2, fixed), std::vector<bool>(2, fixed), std::vector<bool>(2, fixed)};
    peaks.gamma_min = 0.01;
    peaks.gamma_max = 5.0;
    peaks.alpha_min = 0.0;
    peaks.alpha_max = 0.5;
    return peaks;
  }
  static Window window(const std::vector<double>& x) { return {x.front(), x.back()}; }
};

INSTANTIATE_TYPED_TEST_SUITE_P(DoniachSunjic, SinglePeakFit, DoniachSunjicShape);
INSTANTIATE_TYPED_TEST_SUITE_P(DoniachSunjic, ThreeParameterShape, DoniachSunjicShape);

}  // namespace
}  // namespace brivane
