#include "numerics/free_parameters.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "failure.hpp"

namespace brivane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(FreeParameters, OnlyTheFreeOnesAreVariablesAndComeBackByTheirRules) {
  // Three parameters, the middle one fixed: the minimiser sees a vector of two.
  FreeParameters<3> free({1.0, 2.0, 3.0});
  free.add(0, 10.0, -5.0, 50.0, ReadBack::AsIs);
  free.add(2, 0.5, 0.1, 0.9, ReadBack::CheckedClamp);
  ASSERT_EQ(free.count(), 2u);
  EXPECT_EQ(free.start(), (std::vector<double>{10.0, 0.5}));
  EXPECT_EQ(free.expand(std::vector<double>{7.0, 0.25}), (std::array<double, 3>{7.0, 2.0, 0.25}));

  std::array<double, 3> values{1.0, 2.0, 3.0};
  free.read_back(std::vector<double>{60.0, 1.5}, values);
  EXPECT_EQ(values, (std::array<double, 3>{60.0, 2.0, 0.9}));  // as is; clamped
  free.read_back(std::vector<double>{1.0, kNaN}, values);
  EXPECT_TRUE(std::isnan(values[2]));  // a checked clamp keeps NaN

  FreeParameters<2> width({0.0, 5.0});
  width.add(1, 5.0, 0.1, 2000.0, ReadBack::ClampNanToLower);
  std::array<double, 2> fitted{0.0, 5.0};
  width.read_back(std::vector<double>{kNaN}, fitted);
  EXPECT_EQ(fitted[1], 0.1);
  width.read_back(std::vector<double>{1e9}, fitted);
  EXPECT_EQ(fitted[1], 2000.0);
}

TEST(FreeParameters, UnorderedOrNaNBoundsFailTheCheckedClampWithBothBoundsPrinted) {
  auto message = [](double lower, double upper) {
    try {
      checked_clamp(1.0, lower, upper);
    } catch (const Failure& failure) {
      return std::string(failure.what());
    }
    return std::string("no failure");
  };
  EXPECT_EQ(message(2.0, 1.0), "min > max, or either was NaN. min = 2.0, max = 1.0");
  EXPECT_EQ(message(kNaN, 1.0), "min > max, or either was NaN. min = NaN, max = 1.0");
  EXPECT_EQ(message(0.1, kNaN), "min > max, or either was NaN. min = 0.1, max = NaN");
  EXPECT_EQ(message(1.0, 1.0), "no failure");
}

TEST(FreeParameters, BoundsPrintAsTheShortestDecimalThatReadsBack) {
  const std::pair<double, const char*> cases[] = {
      {2.0, "2.0"},          {0.0, "0.0"},         {-0.0, "-0.0"},       {0.1, "0.1"},
      {1e-4, "0.0001"},      {9.9e-5, "9.9e-5"},   {1e-5, "1e-5"},       {2.5e-300, "2.5e-300"},
      {1e15, "1000000000000000.0"},                {1e16, "1e16"},       {-1.5e16, "-1.5e16"},
      {123.456, "123.456"},  {1.0 / 3.0, "0.3333333333333333"},        {5e-324, "5e-324"},
      {std::numeric_limits<double>::infinity(), "inf"},                {-std::numeric_limits<double>::infinity(), "-inf"},
      {kNaN, "NaN"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_bound(value), text) << text;
}

TEST(FreeParameters, GradientIsTheForwardDifferenceOfTheEvaluatedDifferences) {
  // -LL = (a - 3)^2 + (c + 1)^2 with b fixed: the evaluation sees the whole parameter set and one
  // shift per free entry, and the minimiser ends at a = 3, c = -1 with b untouched.
  FreeParameters<3> free({0.0, 7.0, 0.0});
  free.add(0, 0.0, -10.0, 10.0, ReadBack::AsIs);
  free.add(2, 0.0, -10.0, 10.0, ReadBack::AsIs);
  int calls = 0;
  auto log_likelihood = [](const std::array<double, 3>& p) {
    return -((p[0] - 3.0) * (p[0] - 3.0) + (p[2] + 1.0) * (p[2] + 1.0));
  };
  auto evaluate = [&](const std::array<double, 3>& base, std::span<const Shift> shifts, std::span<double> differences) {
    ++calls;
    EXPECT_EQ(base[1], 7.0);
    EXPECT_EQ(shifts.size(), 2u);
    for (std::size_t j = 0; j < shifts.size(); ++j) {
      std::array<double, 3> moved = base;
      moved[shifts[j].index] = shifts[j].value;
      EXPECT_EQ(shifts[j].value, base[shifts[j].index] + kDifferenceStep);
      differences[j] = log_likelihood(moved) - log_likelihood(base);
    }
    return log_likelihood(base);
  };
  std::array<double, 3> values{0.0, 7.0, 0.0};
  const MinimiseOutcome outcome = minimise_free_parameters(free, evaluate, values);
  ASSERT_TRUE(std::holds_alternative<MinimiserResult>(outcome));
  EXPECT_EQ(std::get<MinimiserResult>(outcome).evaluations, static_cast<std::uint64_t>(calls));
  // The forward difference is biased by h / 2 = 5e-8 against the true gradient's zero.
  EXPECT_NEAR(values[0], 3.0, 1e-6);
  EXPECT_EQ(values[1], 7.0);
  EXPECT_NEAR(values[2], -1.0, 1e-6);

  // A minimiser error leaves the values untouched.
  FreeParameters<1> unordered({4.0});
  unordered.add(0, 4.0, 2.0, 1.0, ReadBack::AsIs);
  std::array<double, 1> kept{4.0};
  auto constant = [](const std::array<double, 1>&, std::span<const Shift>, std::span<double> d) {
    d[0] = 0.0;
    return 0.0;
  };
  EXPECT_EQ(std::get<std::string>(minimise_free_parameters(unordered, constant, kept)), "lower > upper for some index");
  EXPECT_EQ(kept[0], 4.0);
}

TEST(FreeParameters, AnalyticGradientReachesTheMinimiserForTheFreeEntriesOnly) {
  // f = (a - 3)^2 + 10 (c + 1)^2 + b a with b fixed at 2: the minimum is a = 2, c = -1. The
  // objective also reports a derivative for b, which must not reach the minimiser: a gradient
  // vector of the wrong length fails the run, a wrong entry moves the solution.
  FreeParameters<3> free({0.0, 2.0, 0.0});
  free.add(0, 0.0, -10.0, 10.0, ReadBack::CheckedClamp);
  free.add(2, 5.0, -0.5, 10.0, ReadBack::CheckedClamp);
  auto objective = [](const std::array<double, 3>& p, std::array<double, 3>& gradient) {
    EXPECT_EQ(p[1], 2.0);
    gradient = {2.0 * (p[0] - 3.0) + p[1], 1e9, 20.0 * (p[2] + 1.0)};
    return (p[0] - 3.0) * (p[0] - 3.0) + 10.0 * (p[2] + 1.0) * (p[2] + 1.0) + p[1] * p[0];
  };
  std::array<double, 3> values{0.0, 2.0, 0.0};
  const MinimiseOutcome outcome = minimise_free_parameters_with_gradient(free, objective, values);
  ASSERT_TRUE(std::holds_alternative<MinimiserResult>(outcome));
  EXPECT_EQ(std::get<MinimiserResult>(outcome).reason, StopReason::Converged);
  // A projected gradient below 1e-5 places a within 5e-6 of 2; c sits on its lower bound.
  EXPECT_NEAR(values[0], 2.0, 5e-6);
  EXPECT_EQ(values[1], 2.0);
  EXPECT_EQ(values[2], -0.5);
}

}  // namespace
}  // namespace brivane
