#include "shapes/tsdc/tsdc.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "failure.hpp"
#include "parallel.hpp"
#include "peak_fit_suites.hpp"
#include "peak_fit_support.hpp"
#include "vector_math.hpp"

namespace brivane {
namespace {

using fit_test::trapezoid;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kBeta = 0.1;
using Vector = std::vector<double>;

Vector grid(double from, double to, double step) {
  Vector t;
  for (std::size_t i = 0; from + step * static_cast<double>(i) <= to + 1e-9; ++i) t.push_back(from + step * static_cast<double>(i));
  return t;
}

TsdcPeak peak_at(double ea, double tp, double beta = kBeta) { return {ea, tsdc_tau0_from_peak(ea, tp, beta), tp}; }

// Expected counts (not drawn): `total` times the density of `peak` on the grid.
Vector expected_counts(const Vector& t, const TsdcPeak& peak, double total) {
  Vector w = tsdc_predict(t, peak.ea, peak.tau0, kBeta);
  for (double& v : w) v *= total;
  return w;
}

std::string failure_text(auto&& call) {
  try {
    call();
  } catch (const Failure& failure) {
    return failure.what();
  }
  return "no failure";
}

struct CurveRow {
  double ea, tau0, beta, t, y;
};

const CurveRow kCurve[] = {
#include "reference/tsdc_curve_table.inc"
};

TEST(TsdcCurve, MatchesTheRateIntegralDoneByQuadrature) {
  // The reference integrates the rate numerically instead of using E2. The exponent is at most
  // about 150 in size, so rounding of order 1e-14 relative is expected; a wrong constant or term
  // would be off by far more.
  for (const CurveRow& row : kCurve) {
    EXPECT_NEAR(tsdc_raw_curve(row.t, row.ea, row.tau0, row.beta), row.y, 1e-12 * row.y)
        << "ea " << row.ea << " T " << row.t;
  }
}

TEST(TsdcDensity, IntegratesToOneOnAGridCoveringThePeak) {
  // The raw curve has unit mass over all temperatures, so on a grid from 15 natural widths
  // (k tp^2 / ea) below the peak to 8 above, where it is below 1e-12 of its maximum, its trapezoid
  // integral is 1 to the rule's error; the density's integral is then 1 to rounding. Steps of
  // 1/100 and 1/40 of the width give 2,300 and 920 samples: grids long enough for the pool (the
  // integral a pass of its own) and short ones (taken along with the curve on one thread).
  for (const auto& [ea, tp, beta] : {std::tuple{0.8, 300.0, 0.1}, {1.1, 360.0, 5.0}, {0.3, 150.0, 0.01}}) {
    for (double per_width : {100.0, 40.0}) {
      const double width = kBoltzmann * tp * tp / ea;
      const Vector t = grid(tp - 15.0 * width, tp + 8.0 * width, width / per_width);
      const TsdcPeak peak = peak_at(ea, tp, beta);
      Vector row(t.size());
      EXPECT_NEAR(tsdc_density(t, ea, peak.tau0, beta, row), 1.0, 1e-10) << ea << " " << t.size();
      EXPECT_NEAR(trapezoid(t, row), 1.0, 1e-14) << ea << " " << t.size();
    }
  }
}

TEST(TsdcDensity, DegenerateGridsFollowTheNormaliserRule) {
  const TsdcPeak peak = peak_at(0.8, 300.0);
  EXPECT_TRUE(tsdc_predict({}, peak.ea, peak.tau0, kBeta).empty());
  // One temperature: its raw value over the bare 1e-100.
  const Vector one = tsdc_predict(Vector{295.0}, peak.ea, peak.tau0, kBeta);
  EXPECT_DOUBLE_EQ(one[0], tsdc_raw_curve(295.0, peak.ea, peak.tau0, kBeta) / 1e-100);
  // A descending grid integrates to minus the mass: negative densities of the same size.
  const Vector up = grid(250.0, 350.0, 0.5);
  const Vector down(up.rbegin(), up.rend());
  const Vector rising = tsdc_predict(up, peak.ea, peak.tau0, kBeta);
  const Vector falling = tsdc_predict(down, peak.ea, peak.tau0, kBeta);
  for (std::size_t i = 0; i < up.size(); ++i) EXPECT_NEAR(falling[up.size() - 1 - i], -rising[i], 1e-12 * rising[i]);
  // A zero temperature carries no current; a negative one poisons the normaliser.
  EXPECT_EQ(tsdc_raw_curve(0.0, peak.ea, peak.tau0, kBeta), 0.0);
  const Vector poisoned = tsdc_predict(Vector{-1.0, 300.0}, peak.ea, peak.tau0, kBeta);
  EXPECT_TRUE(std::isnan(poisoned[0]) && std::isnan(poisoned[1]));
  Vector short_row(2);
  EXPECT_EQ(failure_text([&] { tsdc_density(up, peak.ea, peak.tau0, kBeta, short_row); }),
            "index out of bounds: the len is 2 but the index is 2");
}

TEST(TsdcDensity, OnlyTheProductOfBetaAndTau0Matters) {
  const TsdcPeak peak = peak_at(1.1, 360.0);
  const Vector t = grid(300.0, 400.0, 0.25);
  const Vector base = tsdc_predict(t, peak.ea, peak.tau0, kBeta);
  // Doubling and halving are exact, so the product and every value are the same doubles.
  EXPECT_EQ(tsdc_predict(t, peak.ea, peak.tau0 / 2.0, kBeta * 2.0), base);
}

TEST(TsdcPeakRelation, PutsTheMaximumOfTheCurrentAtTp) {
  for (const auto& [ea, tp, beta] : {std::tuple{0.8, 300.0, 0.1}, {2.0, 520.0, 0.01}, {0.05, 40.0, 3.0}}) {
    const TsdcPeak peak = peak_at(ea, tp, beta);
    const double width = kBoltzmann * tp * tp / ea;
    double best = 0.0, at = 0.0;
    for (int j = -500; j <= 500; ++j) {
      const double temperature = tp + width * 1e-3 * j;
      const double y = tsdc_raw_curve(temperature, ea, peak.tau0, beta);
      if (y > best) best = y, at = temperature;
    }
    EXPECT_NEAR(at, tp, 1.01e-3 * width) << ea;
  }
}

TEST(TsdcPeakRelation, PeakTemperatureComesBackFromTau0AcrossTheBracket) {
  int checked = 0;
  for (double ea : {0.02, 0.5, 1.0, 2.0}) {
    for (double tp : {1.5, 10.0, 77.0, 300.0, 650.0, 1200.0, 1999.0}) {
      const double tau0 = tsdc_tau0_from_peak(ea, tp, kBeta);
      if (!(tau0 > 0.0)) continue;  // exp(-ea / (k tp)) underflows: no such peak in doubles
      const RootResult found = tsdc_peak_temperature(ea, tau0, kBeta);
      ASSERT_TRUE(found.converged()) << ea << " " << tp;
      // Brent stops once |g| < 1e-8 (or the bracket is narrower than 1e-8), and g rises with
      // slope 2/T + ea/(k T^2) near the root.
      const double slope = 2.0 / tp + ea / (kBoltzmann * tp * tp);
      EXPECT_NEAR(found.root, tp, std::max(1.01e-8 / slope, 1e-8) + 1e-13 * tp) << ea << " " << tp;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 23);  // five pairs have ea / (k tp) beyond 700
  for (double tp : {0.5, 2500.0}) {
    EXPECT_EQ(tsdc_peak_temperature(0.5, tsdc_tau0_from_peak(0.5, tp, kBeta), kBeta).status, RootStatus::NoBracketing);
  }
}

TEST(TsdcFits, RecoverANoiseFreePeakOnACoveringGrid) {
  // Expected counts satisfy the likelihood equations of the raw curve at the true values up to
  // the grid sum's error, negligible here. What remains is the stopping rules: Brent stops at
  // |F| < 1e-8 and F changes by only about 0.02 per eV, so ea may be 5e-7 eV off; tp follows ea
  // by a few K per eV and tau0 by 1/(k tp), about 40 per eV.
  const Vector t = grid(150.0, 450.0, 0.5);
  const TsdcBounds bounds{0.3, 2.5, 150.0, 450.0};
  for (const TsdcPeak truth : {peak_at(0.8, 300.0), peak_at(1.1, 360.0)}) {
    const Vector w = expected_counts(t, truth, 1e5);
    const TsdcFitResult root = tsdc_root_fit(t, w, {1.0, 1.0, 250.0}, false, false, 0.3, 2.5, kBeta);
    const TsdcFitResult bounded = tsdc_bounded_fit(t, w, {1.0, 1.0, 320.0}, false, false, bounds, kBeta);
    for (const TsdcFitResult& fit : {root, bounded}) {
      ASSERT_TRUE(fit.ok());
      EXPECT_NEAR(fit.peak.ea, truth.ea, 1e-6);
      EXPECT_NEAR(fit.peak.tp, truth.tp, 1e-5);
      EXPECT_NEAR(fit.peak.tau0, truth.tau0, 5e-5 * truth.tau0);
    }
  }
}

TEST(TsdcRootFit, FixFlags) {
  const Vector t = grid(200.0, 420.0, 1.0);
  const Vector w = expected_counts(t, peak_at(0.8, 300.0), 1e4);
  // Fixed ea: nothing is computed, whatever fix_tp says (a poisoned grid would show otherwise).
  const Vector poisoned(t.size(), kNaN);
  for (bool fix_tp : {false, true}) {
    const TsdcFitResult fit = tsdc_root_fit(poisoned, w, {0.7, 42.0, 280.0}, true, fix_tp, 0.3, 2.5, kBeta);
    EXPECT_TRUE(fit.ok());
    EXPECT_EQ(fit.peak.ea, 0.7);
    EXPECT_EQ(fit.peak.tau0, 42.0);
    EXPECT_EQ(fit.peak.tp, 280.0);
  }
  // Fixed tp: the same ea as the free fit, tp as given, tau0 from the peak relation there.
  const TsdcFitResult free = tsdc_root_fit(t, w, {1.0, 1.0, 250.0}, false, false, 0.3, 2.5, kBeta);
  const TsdcFitResult held = tsdc_root_fit(t, w, {1.0, 1.0, 305.0}, false, true, 0.3, 2.5, kBeta);
  ASSERT_TRUE(free.ok() && held.ok());
  EXPECT_EQ(held.peak.ea, free.peak.ea);
  EXPECT_EQ(held.peak.tp, 305.0);
  EXPECT_EQ(held.peak.tau0, tsdc_tau0_from_peak(free.peak.ea, 305.0, kBeta));
}

TEST(TsdcRootFit, FailuresCarryTheirTextAndTheValuesFoundBeforeThem) {
  const Vector t = grid(200.0, 420.0, 1.0);
  const Vector w = expected_counts(t, peak_at(0.8, 300.0), 1e4);
  const TsdcPeak start{1.0, 5.0, 250.0};
  // An activation-energy bracket that misses the root.
  TsdcFitResult fit = tsdc_root_fit(t, w, start, false, false, 1.5, 2.5, kBeta);
  EXPECT_EQ(tsdc_fit_error_message(fit.error), "brentq failed: NoBracketing");
  EXPECT_EQ(fit.peak.ea, start.ea);
  // No weight at all: F is NaN everywhere.
  fit = tsdc_root_fit(t, Vector(t.size(), 0.0), start, false, false, 0.3, 2.5, kBeta);
  EXPECT_EQ(tsdc_fit_error_message(fit.error), "brentq failed: NoConvergency");
  // A peak at 2400 K (on a grid that covers it): ea and tau0 are fitted, then the peak
  // temperature lies outside [1, 2000] and tp stays as given.
  const Vector hot = grid(900.0, 3200.0, 5.0);
  const TsdcPeak truth = peak_at(2.0, 2400.0);
  fit = tsdc_root_fit(hot, expected_counts(hot, truth, 1e4), {1.5, 1.0, 1800.0}, false, false, 0.5, 3.0, kBeta);
  EXPECT_EQ(tsdc_fit_error_message(fit.error), "brentq failed: NoBracketing");
  EXPECT_NEAR(fit.peak.ea, truth.ea, 1e-4);
  EXPECT_NEAR(fit.peak.tau0, truth.tau0, 1e-3 * truth.tau0);
  EXPECT_EQ(fit.peak.tp, 1800.0);
}

struct BoundedCase {
  std::size_t samples;
  bool fix_ea, fix_tp;
  double ea, tp, ea_min, ea_max, t_min, t_max;
  double scipy_ea, scipy_tp, mle_ea, mle_tp, stationary_ea, stationary_tp;
};

#include "reference/tsdc_lbfgsb_table.inc"

TEST(TsdcBoundedFit, AgreesWithScipyGivenTheSameValueAndGradient) {
  // The gradient handed to the minimiser is not the value's (it leaves out the normaliser's
  // derivative), so a minimiser stops where its line search can no longer lower the value along
  // it: between the stationary point of that gradient and the maximum-likelihood point, or near
  // that segment, depending on its path. Within the segment's extent (per coordinate, plus that
  // much again on either side) and within that extent of SciPy's stop is all the agreement the
  // problem defines.
  // The root-finding fit solves for the same stationary point (in ea and tau0 rather than ea and
  // tp). F changes by only 0.022 (full grid) and 0.013 (cut grid) per eV there, so Brent's stop
  // at |F| < 1e-8 places ea within 8e-7 eV of it, and tp follows by about 3 K per eV.
  const Vector all_t = grid(250.0, 400.0, 1.0);
  for (const BoundedCase& c : kCases) {
    const std::ptrdiff_t index = &c - kCases;
    const Vector t(all_t.begin(), all_t.begin() + c.samples);
    const Vector w(kCounts, kCounts + c.samples);
    const TsdcFitResult fit = tsdc_bounded_fit(t, w, {c.ea, 1.0, c.tp}, c.fix_ea, c.fix_tp,
                                               {c.ea_min, c.ea_max, c.t_min, c.t_max}, kBeta);
    ASSERT_TRUE(fit.ok());
    EXPECT_EQ(fit.peak.tau0, tsdc_tau0_from_peak(fit.peak.ea, fit.peak.tp, kBeta));
    const double got[2] = {fit.peak.ea, fit.peak.tp};
    const double scipy[2] = {c.scipy_ea, c.scipy_tp};
    const double ends[2][2] = {{c.mle_ea, c.stationary_ea}, {c.mle_tp, c.stationary_tp}};
    for (int j = 0; j < 2; ++j) {
      const double low = std::min(ends[j][0], ends[j][1]), high = std::max(ends[j][0], ends[j][1]);
      const double extent = high - low + 1e-9;
      EXPECT_GE(got[j], low - extent) << "case " << index << " parameter " << j;
      EXPECT_LE(got[j], high + extent) << "case " << index << " parameter " << j;
      EXPECT_NEAR(got[j], scipy[j], extent) << "case " << index << " parameter " << j;
    }
    if (index == 0) {
      // The full grid misses only the peak's far rise below 250 K: the fit's optimum is within a
      // fifth of the statistical scatter of these 20,000 counts (standard deviations 0.0052 eV
      // and 0.070 K over Poisson redraws) of the maximum-likelihood point. On the grid cut off
      // 5 K after the maximum (cases 5 and 6) it is not.
      EXPECT_NEAR(fit.peak.ea, c.mle_ea, 1e-3);
      EXPECT_NEAR(fit.peak.tp, c.mle_tp, 0.014);
    }
    if (c.fix_ea || c.fix_tp) continue;
    const TsdcFitResult root = tsdc_root_fit(t, w, {c.ea, 1.0, c.tp}, false, false, c.ea_min, c.ea_max, kBeta);
    ASSERT_TRUE(root.ok());
    EXPECT_NEAR(root.peak.ea, c.stationary_ea, 1e-6) << "case " << index;
    EXPECT_NEAR(root.peak.tp, c.stationary_tp, 1e-5) << "case " << index;
    std::printf("case %td, grid %g-%g K: fit - MLE = %.3g eV, %.3g K (stationary point: %.3g eV, %.3g K)\n", index,
                t.front(), t.back(), fit.peak.ea - c.mle_ea, fit.peak.tp - c.mle_tp, c.stationary_ea - c.mle_ea,
                c.stationary_tp - c.mle_tp);
  }
}

TEST(TsdcBoundedFit, GradientIsThatOfTheRawCurvesLikelihood) {
  // Central differences of -sum w ln y, y the raw curve at tau0(ea, tp), formed here from the
  // curve alone. Steps of 1e-5 eV and 1e-3 K leave a truncation error near 1e-8 of the gradient
  // and rounding noise of 1e-16 * 7e4 / step, 1e-6 and 1e-8 in absolute terms.
  const Vector all_t = grid(250.0, 400.0, 1.0);
  const Vector w(kCounts, kCounts + all_t.size());
  auto raw_value = [&](double ea, double tp) {
    const double tau0 = tsdc_tau0_from_peak(ea, tp, kBeta);
    double total = 0.0;
    for (std::size_t i = 0; i < all_t.size(); ++i) {
      if (w[i] != 0.0) total -= w[i] * std::log(tsdc_raw_curve(all_t[i], ea, tau0, kBeta));
    }
    return total;
  };
  for (const auto& [ea, tp] : {std::pair{0.85, 315.0}, {0.95, 325.0}, {0.9, 319.9}}) {
    const TsdcObjective objective = tsdc_bounded_objective(all_t, w, ea, tp, kBeta);
    EXPECT_EQ(objective.value, -tsdc_log_likelihood(all_t, w, ea, tsdc_tau0_from_peak(ea, tp, kBeta), kBeta));
    const double h_ea = 1e-5, h_tp = 1e-3;
    const double d_ea = (raw_value(ea + h_ea, tp) - raw_value(ea - h_ea, tp)) / (2.0 * h_ea);
    const double d_tp = (raw_value(ea, tp + h_tp) - raw_value(ea, tp - h_tp)) / (2.0 * h_tp);
    EXPECT_NEAR(objective.gradient[0], d_ea, 1e-6 * std::fabs(d_ea) + 1e-4) << ea << " " << tp;
    EXPECT_NEAR(objective.gradient[1], d_tp, 1e-6 * std::fabs(d_tp) + 1e-5) << ea << " " << tp;
  }
}

TEST(TsdcBoundedFit, FixFlagsAndDegenerateWeights) {
  const Vector t = grid(200.0, 420.0, 1.0);
  const Vector w = expected_counts(t, peak_at(0.8, 300.0), 1e4);
  const TsdcBounds bounds{0.3, 2.5, 250.0, 350.0};
  const TsdcPeak start{1.0, 42.0, 320.0};
  auto unchanged = [&](const TsdcFitResult& fit) {
    return fit.ok() && fit.peak.ea == start.ea && fit.peak.tau0 == start.tau0 && fit.peak.tp == start.tp;
  };
  EXPECT_TRUE(unchanged(tsdc_bounded_fit(t, w, start, true, true, bounds, kBeta)));
  EXPECT_TRUE(unchanged(tsdc_bounded_fit(t, {}, start, false, false, bounds, kBeta)));
  EXPECT_TRUE(unchanged(tsdc_bounded_fit(t, Vector(t.size(), 1e-305), start, false, false, bounds, kBeta)));

  TsdcFitResult fit = tsdc_bounded_fit(t, w, start, true, false, bounds, kBeta);
  ASSERT_TRUE(fit.ok());
  EXPECT_EQ(fit.peak.ea, 1.0);
  EXPECT_NE(fit.peak.tp, start.tp);
  EXPECT_EQ(fit.peak.tau0, tsdc_tau0_from_peak(1.0, fit.peak.tp, kBeta));
  fit = tsdc_bounded_fit(t, w, start, false, true, bounds, kBeta);
  ASSERT_TRUE(fit.ok());
  EXPECT_EQ(fit.peak.tp, 320.0);
  EXPECT_NE(fit.peak.ea, start.ea);
  // A start outside the box is moved into it, and the answer stays inside: here the best tp
  // for the tight box lies on its upper end.
  fit = tsdc_bounded_fit(t, w, {5.0, 1.0, 100.0}, false, false, {0.3, 0.9, 250.0, 290.0}, kBeta);
  ASSERT_TRUE(fit.ok());
  EXPECT_GE(fit.peak.ea, 0.3);
  EXPECT_LE(fit.peak.ea, 0.9);
  EXPECT_EQ(fit.peak.tp, 290.0);
}

TEST(TsdcBoundedFit, BoundsOfAFreeParameterOutOfOrderOrNaN) {
  const Vector t = grid(200.0, 420.0, 1.0);
  const Vector w = expected_counts(t, peak_at(0.8, 300.0), 1e4);
  const TsdcPeak start{1.0, 42.0, 320.0};
  const TsdcFitResult refused = tsdc_bounded_fit(t, w, start, false, false, {2.5, 0.3, 250.0, 350.0}, kBeta);
  EXPECT_EQ(tsdc_fit_error_message(refused.error), "L-BFGS-B failed");  // the start kept: TsdcShape below
  // Bounds of a fixed parameter are not looked at.
  EXPECT_TRUE(tsdc_bounded_fit(t, w, start, false, true, {0.3, 2.5, 350.0, 250.0}, kBeta).ok());
  // A NaN bound passes the minimiser's check and fails the final clamp (both free: TsdcShape below).
  EXPECT_EQ(failure_text([&] { tsdc_bounded_fit(t, w, start, true, false, {0.3, 2.5, 250.0, kNaN}, kBeta); }),
            "min > max, or either was NaN. min = 250.0, max = NaN");
}

TEST(TsdcFits, ResultsDoNotDependOnTheNumberOfThreads) {
  // A grid of several chunks, so that two threads share the sums.
  const Vector t = grid(200.0, 450.0, 0.1);
  Vector w = expected_counts(t, peak_at(0.9, 320.0), 1e5);
  for (std::size_t i = 0; i < w.size(); ++i) w[i] *= 1.0 + 0.05 * std::sin(0.37 * static_cast<double>(i));
  const TsdcBounds bounds{0.3, 2.5, 200.0, 450.0};
  auto run = [&] {
    const TsdcFitResult root = tsdc_root_fit(t, w, {1.0, 1.0, 250.0}, false, false, 0.3, 2.5, kBeta);
    const TsdcFitResult bounded = tsdc_bounded_fit(t, w, {1.0, 1.0, 330.0}, false, false, bounds, kBeta);
    Vector out = tsdc_predict(t, root.peak.ea, root.peak.tau0, kBeta);
    out.insert(out.end(), {root.peak.ea, root.peak.tau0, root.peak.tp, bounded.peak.ea, bounded.peak.tp,
                           tsdc_log_likelihood(t, w, 0.9, 1e-12, kBeta)});
    return out;
  };
  EXPECT_EQ(fit_test::with_thread_limit(1, run), fit_test::with_thread_limit(2, run));
}

TEST(TsdcFits, ResultsAreTheSameOnAvx2AndAvx512) {
  // Both instruction sets run the same operations in the same order: the curve, the sums of the
  // fits and everything fitted from them agree to the bit, on a short grid (one thread, the
  // integral taken along) and a long one (the pool).
  if (!simd_level_supported(SimdLevel::kAvx512)) GTEST_SKIP() << "this processor lacks AVX-512";
  for (double step : {0.5, 0.1}) {
    const Vector t = grid(200.0, 450.0, step);
    Vector w = expected_counts(t, peak_at(0.9, 320.0), 1e5);
    for (std::size_t i = 0; i < w.size(); ++i) w[i] *= 1.0 + 0.05 * std::sin(0.37 * static_cast<double>(i));
    auto run_on = [&](SimdLevel level) {
      const SimdOverride variant(level);
      const TsdcFitResult root = tsdc_root_fit(t, w, {1.0, 1.0, 250.0}, false, false, 0.3, 2.5, kBeta);
      const TsdcObjective objective = tsdc_bounded_objective(t, w, 0.95, 330.0, kBeta);
      Vector out = tsdc_predict(t, root.peak.ea, root.peak.tau0, kBeta);
      out.insert(out.end(), {root.peak.ea, root.peak.tau0, root.peak.tp, objective.value, objective.gradient[0],
                             objective.gradient[1]});
      return out;
    };
    EXPECT_EQ(run_on(SimdLevel::kAvx2), run_on(SimdLevel::kAvx512)) << t.size();
  }
}

TEST(TsdcRefit, KeepsOrFallsBackAsTheMixtureNeeds) {
  const TsdcBounds bounds{0.5, 3.0, 1000.0, 3000.0};
  const Vector hot = grid(900.0, 3200.0, 5.0);
  const Vector w = expected_counts(hot, peak_at(2.0, 2400.0), 1e4);
  const TsdcPeak start{1.5, 1.0, 1800.0};
  auto same = [](const TsdcPeak& a, const TsdcPeak& b) { return a.ea == b.ea && a.tau0 == b.tau0 && a.tp == b.tp; };
  // Weights summing below 1e-300, and a fixed ea, keep the peak.
  EXPECT_TRUE(same(tsdc_refit(hot, Vector(hot.size(), 1e-305), start, false, false, bounds, kBeta), start));
  EXPECT_TRUE(same(tsdc_refit(hot, w, start, true, false, bounds, kBeta), start));
  // The peak temperature is out of the root finder's bracket: the bounded fit takes over from
  // the fitted ea and tau0 (its path, and so its last digits, depend on where it starts).
  const TsdcFitResult partial = tsdc_root_fit(hot, w, start, false, false, bounds.ea_min, bounds.ea_max, kBeta);
  ASSERT_EQ(partial.error, TsdcFitError::RootNoBracketing);
  const TsdcPeak refit = tsdc_refit(hot, w, start, false, false, bounds, kBeta);
  EXPECT_TRUE(same(refit, tsdc_bounded_fit(hot, w, partial.peak, false, false, bounds, kBeta).peak));
  EXPECT_FALSE(same(refit, tsdc_bounded_fit(hot, w, start, false, false, bounds, kBeta).peak));
  EXPECT_NEAR(refit.ea, 2.0, 1e-4);
  EXPECT_NEAR(refit.tp, 2400.0, 0.1);
  // Both fits failing (a bracket that misses the root, bounds out of order) is no error.
  EXPECT_TRUE(same(tsdc_refit(hot, w, start, false, false, {3.0, 2.5, 1000.0, 3000.0}, kBeta), start));
  // The fallback's clamp failure is not a fit error: it leaves the refit.
  EXPECT_EQ(failure_text([&] { tsdc_refit(hot, w, start, false, false, {0.5, 3.0, kNaN, 3000.0}, kBeta); }),
            "min > max, or either was NaN. min = NaN, max = 3000.0");
}

TEST(TsdcPeaks, RefitsThroughTheCoreWithTheFreeDensityRowAsScratch) {
  // The fallback case above: the bounded fit does the work, on the scratch row when it is long
  // enough (its contents are then overwritten) and on a row of its own otherwise, with the same
  // result to the last bit either way.
  const TsdcBounds bounds{0.5, 3.0, 1000.0, 3000.0};
  const Vector hot = grid(900.0, 3200.0, 5.0);
  const Vector w = expected_counts(hot, peak_at(2.0, 2400.0), 1e4);
  const TsdcPeak start{1.5, 1.0, 1800.0};
  const TsdcPeak alone = tsdc_refit(hot, w, start, false, false, bounds, kBeta);
  Vector longer(hot.size() + 3, kNaN), shorter(hot.size() - 1, kNaN);
  for (Vector* scratch : {&longer, &shorter}) {
    const TsdcPeak with = tsdc_refit(hot, w, start, false, false, bounds, kBeta, *scratch);
    EXPECT_EQ(with.ea, alone.ea);
    EXPECT_EQ(with.tau0, alone.tau0);
    EXPECT_EQ(with.tp, alone.tp);
  }
  EXPECT_FALSE(std::isnan(longer[0]));
  EXPECT_TRUE(std::isnan(longer.back()));  // past the grid: not touched
  EXPECT_TRUE(std::all_of(shorter.begin(), shorter.end(), [](double v) { return std::isnan(v); }));

  // The shape hands each peak's values, flags and bounds (the window bounds tp) to the refit.
  TsdcPeaks peaks;
  peaks.values = {Vector{start.ea, 1.2}, Vector{start.tau0, 3.0}, Vector{start.tp, 2500.0}};
  peaks.fixed = {std::vector<bool>{false, true}, std::vector<bool>{false, false}};
  peaks.beta = kBeta;
  peaks.ea_min = bounds.ea_min;
  peaks.ea_max = bounds.ea_max;
  const Window window{bounds.t_min, bounds.t_max};
  const TsdcPeaks::Parameters first = peaks.refit(0, hot, w, window, longer);
  EXPECT_EQ(first, (TsdcPeaks::Parameters{alone.ea, alone.tau0, alone.tp}));
  EXPECT_EQ(peaks.refit(1, hot, w, window, longer), (TsdcPeaks::Parameters{1.2, 3.0, 2500.0}));
  Vector row(hot.size());
  peaks.density(1, hot, window, row);
  EXPECT_EQ(row, tsdc_predict(hot, 1.2, 3.0, kBeta));
}

TEST(TsdcPeaks, ShortArraysFailWhereTheyAreFirstRead) {
  // The densities read ea and tau0; tp and the flags are first read by the refits.
  TsdcPeaks peaks;
  peaks.values = {Vector{0.8, 1.1}, Vector{1e-12, 1e-14}, Vector{300.0}};
  peaks.fixed = {std::vector<bool>{false, false}, std::vector<bool>{false, false}};
  EXPECT_EQ(failure_text([&] { peaks.check_density_inputs(); }), "no failure");
  EXPECT_EQ(failure_text([&] { peaks.check_refit_inputs(); }), "index out of bounds: the len is 1 but the index is 1");
  peaks.values[2].push_back(360.0);
  peaks.fixed[1].pop_back();
  EXPECT_EQ(failure_text([&] { peaks.check_refit_inputs(); }), "index out of bounds: the len is 1 but the index is 1");
  peaks.values[1].pop_back();
  EXPECT_EQ(failure_text([&] { peaks.check_density_inputs(); }), "index out of bounds: the len is 1 but the index is 1");
}

// Poisson counts from a fixed stream: the generator's output is fixed by the standard, and the
// draws below use nothing else (the library's distributions differ between implementations).
class PoissonCounts {
 public:
  explicit PoissonCounts(std::uint64_t seed) : engine_(seed) {}
  double draw(double mean) {
    // Knuth's product of uniforms on pieces of mean at most 30, whose sum is Poisson(mean).
    const int pieces = static_cast<int>(std::ceil(mean / 30.0));
    double total = 0.0;
    for (int p = 0; p < pieces; ++p) {
      const double limit = std::exp(-mean / pieces);
      double product = uniform();
      while (product > limit) product *= uniform(), total += 1.0;
    }
    return total;
  }

 private:
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1p-53; }
  std::mt19937_64 engine_;
};

TEST(TsdcRefit, RecoversTwoOverlappingPeaksFromPoissonCounts) {
  // 50,000 counts expected, 40% in a 0.8 eV peak at 300 K and 60% in a 1.1 eV peak at 360 K, on
  // a 0.5 K grid; a plain EM loop around the density and refit routines. Over 200 seeds the
  // fitted ea scatter with a standard deviation of 0.0052 eV, tp with 0.07 K and the first weight
  // with 0.0021 (worst cases of ea and tp 2.6 and 3.3 deviations); the bounds are four.
  const Vector t = grid(200.0, 450.0, 0.5);
  const TsdcPeak truth[2] = {peak_at(0.8, 300.0), peak_at(1.1, 360.0)};
  const double share[2] = {0.4, 0.6};
  const Vector d0 = tsdc_predict(t, truth[0].ea, truth[0].tau0, kBeta);
  const Vector d1 = tsdc_predict(t, truth[1].ea, truth[1].tau0, kBeta);
  PoissonCounts poisson(1);
  Vector counts(t.size());
  double total = 0.0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    counts[i] = poisson.draw(50000.0 * 0.5 * (share[0] * d0[i] + share[1] * d1[i]));
    total += counts[i];
  }
  TsdcPeak peak[2] = {peak_at(0.7, 290.0), peak_at(1.2, 370.0)};
  double pi[2] = {0.5, 0.5};
  Vector rows[2] = {Vector(t.size()), Vector(t.size())}, weights[2] = {Vector(t.size()), Vector(t.size())};
  int iterations = 0;
  for (double previous = 0.0; iterations < 200; ++iterations) {
    for (int k = 0; k < 2; ++k) tsdc_density(t, peak[k].ea, peak[k].tau0, kBeta, rows[k]);
    double log_likelihood = 0.0;
    for (std::size_t i = 0; i < t.size(); ++i) {
      const double mixture = pi[0] * rows[0][i] + pi[1] * rows[1][i];
      log_likelihood += counts[i] * std::log(mixture + 1e-200);
      for (int k = 0; k < 2; ++k) weights[k][i] = counts[i] * (pi[k] * rows[k][i] / (mixture + 1e-20));
    }
    if (iterations > 0 && std::fabs((log_likelihood - previous) / log_likelihood) < 1e-12) break;
    previous = log_likelihood;
    for (int k = 0; k < 2; ++k) {
      double expected = 0.0;
      for (double v : weights[k]) expected += v;
      pi[k] = expected / total;
      peak[k] = tsdc_refit(t, weights[k], peak[k], false, false, {0.3, 2.5, 200.0, 450.0}, kBeta);
    }
  }
  EXPECT_LT(iterations, 200);
  for (int k = 0; k < 2; ++k) {
    EXPECT_NEAR(peak[k].ea, truth[k].ea, 4.0 * 0.0052) << k;
    EXPECT_NEAR(peak[k].tp, truth[k].tp, 4.0 * 0.07) << k;
  }
  EXPECT_NEAR(pi[0], 0.4, 4.0 * 0.0021);
}

TEST(TsdcFits, DegenerateInputsReturnOrRaiseOnlyTheDocumentedFailure) {
  // Grids and weights that make no sense must neither crash nor raise anything but the clamp's
  // Failure (for a NaN bound), which none of these has.
  const Vector good_t = grid(250.0, 350.0, 1.0);
  const Vector good_w = expected_counts(good_t, peak_at(0.8, 300.0), 1e3);
  const Vector grids[] = {{}, {300.0}, Vector(5, kNaN), {-5.0, 0.0, 5.0}, Vector(good_t.rbegin(), good_t.rend()), good_t};
  const Vector weight_sets[] = {{}, {1.0}, Vector(200, 3.0), Vector(101, kNaN), Vector(101, -1.0), good_w};
  const TsdcBounds bounds{0.3, 2.5, 250.0, 350.0};
  for (const Vector& t : grids) {
    for (const Vector& w : weight_sets) {
      for (double beta : {kBeta, 0.0, -1.0}) {
        EXPECT_NO_THROW({
          tsdc_root_fit(t, w, {1.0, 1.0, 300.0}, false, false, 0.3, 2.5, beta);
          tsdc_bounded_fit(t, w, {1.0, 1.0, 300.0}, false, false, bounds, beta);
          tsdc_refit(t, w, {1.0, 1.0, 300.0}, false, false, bounds, beta);
          tsdc_log_likelihood(t, w, 0.8, 1e-12, beta);
          tsdc_predict(t, 0.8, 1e-12, beta);
        }) << "grid of " << t.size() << ", " << w.size() << " weights, beta " << beta;
      }
    }
  }
}

// ---- The single-peak suite (peak_fit_suites.hpp): the bounded fit --------------------------------

struct TsdcShape {
  using Parameters = TsdcPeak;
  using Fixed = std::array<bool, 2>;  // ea, tp
  using Bounds = TsdcBounds;

  static Parameters fit(std::span<const double> t, std::span<const double> w, const Parameters& start,
                        const Fixed& fixed, const Bounds& bounds) {
    return tsdc_bounded_fit(t, w, start, fixed[0], fixed[1], bounds, kBeta).peak;
  }
  static std::array<double, 3> values(const Parameters& p) { return {p.ea, p.tau0, p.tp}; }
  static Fixed all_fixed() { return {true, true}; }
  static fit_test::PeakSample smooth_peak() {
    const Vector t = grid(200.0, 420.0, 1.0);
    return {t, expected_counts(t, peak_at(0.8, 300.0), 1e4)};
  }
  static Bounds bounds() { return {0.3, 2.5, 250.0, 350.0}; }
  static Bounds open_bounds() { return {-kInf, kInf, -kInf, kInf}; }
  // The "centre" is tp, the "width" ea (a larger ea gives a narrower peak; 0 is the flat limit).
  static fit_test::DegenerateStarts<Parameters> degenerate_starts() {
    return {{1.0, 42.0, 320.0}, {1.0, 42.0, kNaN}, {kInf, 42.0, 320.0}, {0.0, 42.0, 320.0}};
  }
  static Parameters rough_start() { return {1.0, 42.0, 320.0}; }
  static Parameters odd_start() { return {0.1 + 0.2, -0.0, kNaN}; }
  static std::optional<Bounds> reversed_width_bounds() { return Bounds{2.5, 0.3, 250.0, 350.0}; }
  static std::vector<std::pair<Bounds, std::string>> nan_bounds() {
    return {{{kNaN, 2.5, 250.0, 350.0}, "min > max, or either was NaN. min = NaN, max = 2.5"}};
  }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Tsdc, SinglePeakFit, TsdcShape);

}  // namespace
}  // namespace brivane
