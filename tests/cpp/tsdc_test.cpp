#include "tsdc.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "failure.hpp"
#include "parallel.hpp"

namespace brivane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kBeta = 0.1;
using Vector = std::vector<double>;

Vector grid(double from, double to, double step) {
  Vector t;
  for (std::size_t i = 0; from + step * static_cast<double>(i) <= to + 1e-9; ++i) t.push_back(from + step * static_cast<double>(i));
  return t;
}

double trapezoid(const Vector& t, const Vector& y) {
  double total = 0.0;
  for (std::size_t i = 0; i + 1 < t.size(); ++i) total += (t[i + 1] - t[i]) * ((y[i] + y[i + 1]) * 0.5);
  return total;
}

TsdcPeak peak_at(double ea, double tp, double beta = kBeta) { return {ea, tsdc_tau0_from_peak(ea, tp, beta), tp}; }

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
  // integral is 1 to the rule's error; the density's integral is then 1 to rounding.
  for (const auto& [ea, tp, beta] : {std::tuple{0.8, 300.0, 0.1}, {1.1, 360.0, 5.0}, {0.3, 150.0, 0.01}}) {
    const double width = kBoltzmann * tp * tp / ea;
    const Vector t = grid(tp - 15.0 * width, tp + 8.0 * width, width / 100.0);
    const TsdcPeak peak = peak_at(ea, tp, beta);
    Vector row(t.size());
    EXPECT_NEAR(tsdc_density(t, ea, peak.tau0, beta, row), 1.0, 1e-10) << ea;
    EXPECT_NEAR(trapezoid(t, row), 1.0, 1e-14) << ea;
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
  const Vector tenfold = tsdc_predict(t, peak.ea, peak.tau0 / 10.0, kBeta * 10.0);
  for (std::size_t i = 0; i < t.size(); ++i) EXPECT_NEAR(tenfold[i], base[i], 1e-13 * base[i]);
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

}  // namespace
}  // namespace brivane
