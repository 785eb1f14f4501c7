#include "numerics/root_finder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace brivane {
namespace {

// The functions of reference/make_brentq_table.py, by index.
double table_function(int index, double x) {
  switch (index) {
    case 0: return x * x * x - 2.0 * x - 5.0;
    case 1: return std::cos(x) - x;
    case 2: return std::exp(x) - 10.0;
    case 3: return std::tanh(x - 0.3);
    case 4: return std::log(x) + x;
    case 5: return std::sin(x);
    case 6: return x * std::exp(-x) - 0.2;
    case 7: return 1.0 - 1.0 / (x * x);
    case 8: return std::atan(20.0 * (x - 0.7));
    case 9: return x * x - 2.0;
  }
  return std::numeric_limits<double>::quiet_NaN();
}

struct ReferenceCase {
  int function;
  double first_end;
  double second_end;
  double scipy_root;
};

constexpr ReferenceCase kReference[] = {
#include "reference/brentq_table.inc"
};

TEST(RootFinder, AgreesWithScipyBrentq) {
  // Every table function has slope of order one or more at its root, so a value test at 1e-8
  // places the root within about 1e-8 of the true one; SciPy's is accurate to 1e-12.
  for (const ReferenceCase& c : kReference) {
    auto f = [&](double x) { return table_function(c.function, x); };
    const RootResult result = find_root(f, c.first_end, c.second_end, 1e-8);
    ASSERT_TRUE(result.converged()) << "function " << c.function;
    EXPECT_NEAR(result.root, c.scipy_root, 2e-8) << "function " << c.function;
    EXPECT_LT(std::fabs(f(result.root)), 1e-7) << "function " << c.function;
  }
}

TEST(RootFinder, TighterToleranceTightensTheRoot) {
  for (const ReferenceCase& c : kReference) {
    auto f = [&](double x) { return table_function(c.function, x); };
    const RootResult result = find_root(f, c.first_end, c.second_end, 1e-12);
    ASSERT_TRUE(result.converged()) << "function " << c.function;
    EXPECT_NEAR(result.root, c.scipy_root, 1e-11) << "function " << c.function;
  }
}

TEST(RootFinder, RootAtAnEndIsReturnedAtOnce) {
  int evaluations = 0;
  auto f = [&](double x) {
    ++evaluations;
    return x - 0.25;
  };
  RootResult result = find_root(f, 0.25, 3.0, 1e-8);
  EXPECT_TRUE(result.converged());
  EXPECT_EQ(result.root, 0.25);
  EXPECT_EQ(evaluations, 2);

  // Both ends are roots: the contrapoint a (the second end on a tie) is tested first.
  auto both = [](double x) { return x * (x - 1.0); };
  result = find_root(both, 0.0, 1.0, 1e-8);
  EXPECT_TRUE(result.converged());
  EXPECT_EQ(result.root, 1.0);
}

TEST(RootFinder, NarrowBracketReturnsTheContrapoint) {
  // Neither end is within the tolerance of a zero, but the ends are closer than it: c, which is
  // a (the end with the larger |f|) at the first step, comes back.
  auto steep = [](double x) { return 1e6 * (x - 0.5); };
  const double low = 0.5 - 1e-9, high = 0.5 + 2e-9;
  const RootResult result = find_root(steep, low, high, 1e-8);
  EXPECT_TRUE(result.converged());
  EXPECT_EQ(result.root, high);
}

TEST(RootFinder, SameSignEndsFailWithNoBracketing) {
  int evaluations = 0;
  auto two_roots = [&](double x) {
    ++evaluations;
    return x * x - 0.25;
  };
  const RootResult result = find_root(two_roots, -1.0, 1.0, 1e-8);
  EXPECT_EQ(result.status, RootStatus::NoBracketing);
  EXPECT_EQ(evaluations, 2);
  EXPECT_EQ(root_status_name(result.status), "NoBracketing");
}

TEST(RootFinder, SpentBudgetFailsWithNoConvergency) {
  // A jump through zero has no point with |f| below 1e-3, and a width tolerance below the spacing
  // of doubles is never met either.
  int evaluations = 0;
  auto jump = [&](double x) {
    ++evaluations;
    return x < 0.5 ? x - 0.501 : x - 0.499;
  };
  const RootResult result = find_root(jump, 0.0, 100.0, 1e-300);
  EXPECT_EQ(result.status, RootStatus::NoConvergency);
  EXPECT_EQ(evaluations, 2 + kRootFinderMaxSteps);
  EXPECT_EQ(root_status_name(result.status), "NoConvergency");
}

TEST(RootFinder, NaNValuesNeverPassATest) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // A NaN end does not count as a same-sign bracket ...
  auto always_nan = [&](double) { return nan; };
  EXPECT_EQ(find_root(always_nan, 0.0, 1.0, 1e-8).status, RootStatus::NoConvergency);
  // ... and a NaN at one end poisons the secant step, so no point ever passes a value test.
  auto nan_at_first_end = [&](double x) { return x == 0.0 ? nan : x - 0.5; };
  EXPECT_EQ(find_root(nan_at_first_end, 0.0, 1.0, 1e-8).status, RootStatus::NoConvergency);
}

TEST(RootFinder, DiscontinuousSignChangeEndsOnTheBracketWidth) {
  auto step = [](double x) { return x < 0.3 ? -1.0 : 1.0; };
  const RootResult result = find_root(step, 0.0, 1.0, 1e-8);
  ASSERT_TRUE(result.converged());
  EXPECT_NEAR(result.root, 0.3, 1e-7);
}

}  // namespace
}  // namespace brivane
