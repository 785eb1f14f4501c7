// The two rounding orders of log1p_small and of the Lorentzian's window mass, against
// quadruple-precision references: each order must hold the accuracy its header states, since the
// shapes' fits keep one order each and rely on it.
#include <gtest/gtest.h>
#include <quadmath.h>

#include <cmath>
#include <random>

#include "numerics/log1p_small.hpp"
#include "shapes/lorentzian/window_mass.hpp"

namespace brivane {
namespace {

// |value - reference| in units of the last place of the double nearest the reference.
double ulps(double value, __float128 reference) {
  const double nearest = static_cast<double>(reference);
  const double spacing = std::nextafter(std::fabs(nearest), HUGE_VAL) - std::fabs(nearest);
  return static_cast<double>(fabsq(static_cast<__float128>(value) - reference) / spacing);
}

TEST(Log1pSmall, EachOrderHoldsItsStatedAccuracyOverItsRange) {
  // r log-spaced over 1e-300 .. 1e-4 on both sides, plus uniform draws near the range's end, where
  // the omitted r^5 / 5 and the correction's rounding are largest.
  std::mt19937_64 engine(19);
  std::uniform_real_distribution<double> exponent(-300.0, -4.0), near_end(-1e-4, 1e-4);
  // What each order may lose beyond its rounding: the omitted r^5 / 5, r^4 / 5 of the result,
  // taken in ulps at their narrowest (2^-53 of the value).
  double worst_factored = 0.0, worst_last = 0.0;
  for (int k = 0; k < 200000; ++k) {
    double r = k % 2 == 0 ? std::pow(10.0, exponent(engine)) : near_end(engine);
    if (k % 4 == 0) r = -r;
    if (!(std::fabs(r) < 1e-4) || r == 0.0) continue;
    const __float128 reference = log1pq(static_cast<__float128>(r));
    const double omitted = std::pow(r, 4) / 5.0 * 0x1p53;
    worst_factored = std::max(worst_factored, ulps(log1p_small<Log1pOrder::kFactored>(r), reference) - omitted);
    worst_last = std::max(worst_last, ulps(log1p_small<Log1pOrder::kLinearTermLast>(r), reference) - omitted);
  }
  // Two roundings, the first at half an ulp of 1; one rounding and the correction's, 5e-5 of an ulp.
  EXPECT_LE(worst_factored, 1.5 + 1e-4);
  EXPECT_LE(worst_last, 0.5 + 1e-4);
  // Below 3e-5 the omitted term is under 1e-3 ulp: the second order is correctly rounded there.
  double worst_small = 0.0;
  std::uniform_real_distribution<double> small(-3e-5, 3e-5);
  for (int k = 0; k < 100000; ++k) {
    const double r = small(engine);
    worst_small = std::max(worst_small, ulps(log1p_small<Log1pOrder::kLinearTermLast>(r),
                                             log1pq(static_cast<__float128>(r))));
  }
  EXPECT_LE(worst_small, 0.5 + 2e-3);
}

TEST(LorentzianWindowMass, BothOrdersAgreeWithTheMassToRoundingOnAxesFarFromZero) {
  // Centres on an energy axis near 1e4 and near zero, half widths from 1e-3 to 1e3, windows that
  // hold the peak, cut it, or lie wholly in one tail (where the ends' angles cancel).
  std::mt19937_64 engine(4);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double one_ulp = std::nextafter(1.0, 2.0) - 1.0;
  for (double origin : {0.0, 1.25e4}) {
    for (double h : {1e-3, 0.4, 7.0, 1e3}) {
      for (int k = 0; k < 2000; ++k) {
        const double x0 = origin + (unit(engine) - 0.5) * 40.0;
        const double a = origin + (unit(engine) - 0.5) * 100.0, b = origin + (unit(engine) - 0.5) * 100.0;
        const double x_min = std::fmin(a, b), x_max = std::fmax(a, b);
        // The reference takes the same scaled ends the double code forms, then is exact.
        const __float128 u_max = (x_max - x0) / h, u_min = (x_min - x0) / h;
        const __float128 mass = (atanq(u_max) - atanq(u_min)) / acosq(static_cast<__float128>(-1.0));
        const double each = lorentzian_window_mass<MassOrder::kScaleEachEnd>(x0, h, x_min, x_max);
        const double difference = lorentzian_window_mass<MassOrder::kScaleDifference>(x0, h, x_min, x_max);
        // Each end's angle rounds at the scale of 1/2 (its share of the mass): the error is a few
        // ulps of 1 whatever the cancellation; with the centre inside, also a few ulps of the mass.
        EXPECT_LE(std::fabs(static_cast<double>(each - mass)), 2.0 * one_ulp) << x0 << " " << h << " " << x_min;
        EXPECT_LE(std::fabs(static_cast<double>(difference - mass)), 2.0 * one_ulp) << x0 << " " << h;
        if (x_min < x0 && x0 < x_max) {
          EXPECT_LE(ulps(each, mass), 4.0) << x0 << " " << h << " " << x_min << " " << x_max;
          EXPECT_LE(ulps(difference, mass), 4.0) << x0 << " " << h << " " << x_min << " " << x_max;
        }
      }
    }
  }
}

}  // namespace
}  // namespace brivane
