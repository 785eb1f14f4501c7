#include "numerics/exponential_integrals.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "vector_math.hpp"

namespace brivane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ReferenceRow {
  double x;
  double e1, e1_rest;  // exact E1 = e1 + e1_rest ulps
  double e2, e2_rest;
};

const ReferenceRow kTable[] = {
#include "reference/expint_table.inc"
};

// The ulp of the exact value nearest to `nearest` whose rest has the sign of `rest`: the spacing
// of doubles in the binade holding the exact value (below a power of two, the smaller one).
double ulp_of_exact(double nearest, double rest) {
  int exponent = 0;
  const double fraction = std::frexp(nearest, &exponent);
  if (fraction == 0.5 && rest < 0.0) --exponent;
  return std::ldexp(1.0, std::max(exponent - 53, -1074));
}

// The error of `computed` in ulps of the exact value.
double ulp_error(double computed, double nearest, double rest) {
  return std::fabs((computed - nearest) / ulp_of_exact(nearest, rest) - rest);
}

struct Worst {
  double ulps = 0.0;
  double at = 0.0;
  void note(double error, double x) {
    if (!(error <= ulps)) ulps = error, at = x;
  }
};

TEST(ExponentialIntegrals, WithinAnUlpOfMpmathFrom1e300To745) {
  // Trusted implementations hold E1 within 2 ulps and E2 within 5; this one claims an ulp for
  // both (the double-double sums leave little more than the final rounding, and the second
  // rounding onto the subnormal grid above x = 701.8).
  Worst e1, e2;
  std::size_t checked = 0, zero = 0;
  for (const ReferenceRow& row : kTable) {
    const ExponentialIntegrals both = exponential_integrals(row.x);
    // The single routines are the pair's halves, bit for bit.
    ASSERT_EQ(exponential_integral_e1(row.x), both.e1) << row.x;
    ASSERT_EQ(exponential_integral_e2(row.x), both.e2) << row.x;
    if (row.x > kExponentialIntegralCutoff) {
      // Defined as 0 above the cutoff, although the exact values are still subnormal there.
      EXPECT_EQ(both.e1, 0.0) << row.x;
      EXPECT_EQ(both.e2, 0.0) << row.x;
      ++zero;
      continue;
    }
    e1.note(ulp_error(both.e1, row.e1, row.e1_rest), row.x);
    e2.note(ulp_error(both.e2, row.e2, row.e2_rest), row.x);
    ++checked;
  }
  EXPECT_GT(checked, 10000u);
  EXPECT_GT(zero, 100u);
  EXPECT_LE(e1.ulps, 1.0) << "at x = " << e1.at;
  EXPECT_LE(e2.ulps, 1.0) << "at x = " << e2.at;
  std::printf("worst over %zu arguments: E1 %.3f ulp at x = %.17g, E2 %.3f ulp at x = %.17g\n", checked, e1.ulps,
              e1.at, e2.ulps, e2.at);
  RecordProperty("e1_worst_ulps", std::to_string(e1.ulps));
  RecordProperty("e2_worst_ulps", std::to_string(e2.ulps));
}

TEST(ExponentialIntegrals, SpecialArguments) {
  for (double x : {kNaN, -kNaN, -1.0, -1e-300, -kInf, -std::numeric_limits<double>::denorm_min()}) {
    EXPECT_TRUE(std::isnan(exponential_integral_e1(x))) << x;
    EXPECT_TRUE(std::isnan(exponential_integral_e2(x))) << x;
  }
  for (double x : {0.0, -0.0}) {
    EXPECT_EQ(exponential_integral_e1(x), kInf);
    EXPECT_EQ(exponential_integral_e2(x), 1.0);  // 1 / (n - 1)
  }
  const double above = std::nextafter(kExponentialIntegralCutoff, kInf);
  for (double x : {above, 1e10, kInf}) {
    EXPECT_EQ(exponential_integral_e1(x), 0.0) << x;
    EXPECT_EQ(exponential_integral_e2(x), 0.0) << x;
  }
  // At the cutoff itself both are still computed (subnormal; the table holds their values).
  EXPECT_GT(exponential_integral_e1(kExponentialIntegralCutoff), 0.0);
  EXPECT_GT(exponential_integral_e2(kExponentialIntegralCutoff), 0.0);
  // The smallest subnormal argument: E1 = -gamma - ln x + x, E2 = 1 - x (rounded).
  const double tiny = std::numeric_limits<double>::denorm_min();
  EXPECT_DOUBLE_EQ(exponential_integral_e1(tiny), 743.8628562564797);  // 1074 ln 2 - gamma
  EXPECT_EQ(exponential_integral_e2(tiny), 1.0);
}

TEST(ExponentialIntegrals, VectorisedWithinTwoUlpsOnEveryInstructionSet) {
  // The table in its own order (neighbours of similar size share the fraction's depth) and
  // scattered by a stride coprime to its length, so that every group of 16 mixes arguments from
  // the whole range: the lanes that need the fewest levels then run the most, and series lanes
  // and special values sit beside fraction lanes.
  const std::size_t rows = std::size(kTable);
  std::vector<double> ordered(rows), scattered(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    ordered[i] = kTable[i].x;
    scattered[i] = kTable[(i * 7919) % rows].x;
  }
  std::vector<std::vector<double>> results;  // E1 and E2 of the ordered table, per instruction set
  for (SimdLevel level : {SimdLevel::kBaseline, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    if (!simd_level_supported(level)) continue;
    const SimdOverride variant(level);
    for (const std::vector<double>* x : {&ordered, &scattered}) {
      std::vector<double> e1(rows), e2(rows), only_e2(rows);
      exponential_integrals(*x, e1, e2);
      exponential_integrals(*x, {}, only_e2);
      EXPECT_EQ(only_e2, e2);
      Worst worst1, worst2;
      for (std::size_t i = 0; i < rows; ++i) {
        const ReferenceRow& row = x == &ordered ? kTable[i] : kTable[(i * 7919) % rows];
        const double at = (*x)[i];
        if (!(at > 1.0 && at <= kExponentialIntegralCutoff)) {
          // The series and the values beyond the cutoff come from the scalar routine.
          const ExponentialIntegrals scalar = exponential_integrals(at);
          ASSERT_EQ(e1[i], scalar.e1) << at;
          ASSERT_EQ(e2[i], scalar.e2) << at;
          continue;
        }
        worst1.note(ulp_error(e1[i], row.e1, row.e1_rest), at);
        worst2.note(ulp_error(e2[i], row.e2, row.e2_rest), at);
      }
      EXPECT_LE(worst1.ulps, 2.0) << simd_level_name(level) << " at x = " << worst1.at;
      EXPECT_LE(worst2.ulps, 2.0) << simd_level_name(level) << " at x = " << worst2.at;
      std::printf("%s, %s: E1 %.3f ulp at x = %.17g, E2 %.3f ulp at x = %.17g\n", simd_level_name(level),
                  x == &ordered ? "ordered" : "scattered", worst1.ulps, worst1.at, worst2.ulps, worst2.at);
      if (x == &ordered) {
        results.push_back(e1);
        results.push_back(e2);
      }
    }
  }
  // AVX2 and AVX-512 run the same operations in the same order.
  if (results.size() == 6) {
    EXPECT_EQ(results[2], results[4]);
    EXPECT_EQ(results[3], results[5]);
  }
}

TEST(ExponentialIntegrals, VectorisedSpecialArgumentsAmongOrdinaryOnes) {
  const double tiny = std::numeric_limits<double>::denorm_min();
  const double above = std::nextafter(kExponentialIntegralCutoff, kInf);
  // A group of 32 arguments and a partial one, each mixing special and ordinary lanes.
  std::vector<double> x = {30.0, kNaN, 31.0, -1.0, 0.0, 32.0,  -0.0, tiny, 0.5,  1.0,
                           above, kInf, 2.0,  kExponentialIntegralCutoff, 33.0, -kInf};
  for (int i = 0; i < 16; ++i) x.push_back(20.0 + i);
  x.insert(x.end(), {40.0, kNaN, 0.25, 41.0, 0.0});
  for (SimdLevel level : {SimdLevel::kBaseline, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    if (!simd_level_supported(level)) continue;
    const SimdOverride variant(level);
    std::vector<double> e1(x.size()), e2(x.size());
    exponential_integrals(x, e1, e2);
    for (std::size_t i = 0; i < x.size(); ++i) {
      const ExponentialIntegrals scalar = exponential_integrals(x[i]);
      if (std::isnan(scalar.e1)) {
        EXPECT_TRUE(std::isnan(e1[i]) && std::isnan(e2[i])) << x[i];
      } else if (x[i] > 1.0 && x[i] <= kExponentialIntegralCutoff) {
        EXPECT_NEAR(e1[i], scalar.e1, 4e-16 * scalar.e1) << x[i];
        EXPECT_NEAR(e2[i], scalar.e2, 4e-16 * scalar.e2) << x[i];
      } else {
        EXPECT_EQ(e1[i], scalar.e1) << x[i];
        EXPECT_EQ(e2[i], scalar.e2) << x[i];
      }
    }
    EXPECT_EQ(e1[4], kInf);
    EXPECT_EQ(e2[4], 1.0);
    EXPECT_EQ(e1[10], 0.0);
    EXPECT_EQ(e2[11], 0.0);
    EXPECT_GT(e2[13], 0.0);  // at the cutoff itself, still computed (subnormal)
  }
}

}  // namespace
}  // namespace brivane
