#include "peak_fit.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "failure.hpp"

namespace brivane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Weighted samples of a normal density (centre, width): the likelihood's maximum is the weighted
// mean and the weighted spread about it, in closed form. The grid sits far from zero, as real
// axes do.
struct NormalSamples {
  std::vector<double> x{1000.5, 1001.0, 1001.5, 1002.0, 1002.5, 1003.0, 1003.5};
  std::vector<double> w{1.0, 4.0, 9.0, 12.0, 7.0, 3.0, 1.0};

  double mean() const {
    double s = 0.0, sw = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s += w[i] * x[i], sw += w[i];
    return s / sw;
  }
  double spread(double centre) const {
    double s = 0.0, sw = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s += w[i] * (x[i] - centre) * (x[i] - centre), sw += w[i];
    return std::sqrt(s / sw);
  }
};

double log_likelihood(const NormalSamples& d, std::span<const double> w, double centre, double width) {
  double sum = 0.0;
  for (std::size_t i = 0; i < w.size(); ++i) {
    const double z = (d.x[i] - centre) / width;
    sum += w[i] * (-0.5 * z * z - std::log(width));
  }
  return sum;
}

// The two kinds of fit problem over (centre, width), starting from rough values read off a plot.
struct NormalProblem {
  using Values = std::array<double, 2>;
  static constexpr std::array<std::string_view, 2> kNames{"centre", "width"};

  const NormalSamples& data;
  std::span<const double> w;
  double width_lower = 0.05, width_upper = 20.0;
  int calls = 0;

  std::span<const double> weights() const { return w; }
  FreeRange free_range(std::size_t parameter, const Values& values, double /*total*/) const {
    if (parameter == 0) return {1001.0, 1000.0, 1004.0, ReadBack::AsIs};
    return {values[1], width_lower, width_upper, ReadBack::CheckedClamp};
  }
};

struct DifferencesProblem : NormalProblem {
  double log_likelihood_differences(const Values& base, std::span<const Shift> shifts, std::span<double> differences) {
    ++calls;
    const double at_base = log_likelihood(data, w, base[0], base[1]);
    for (std::size_t j = 0; j < shifts.size(); ++j) {
      Values moved = base;
      moved[shifts[j].index] = shifts[j].value;
      differences[j] = log_likelihood(data, w, moved[0], moved[1]) - at_base;
    }
    return at_base;
  }
};

struct GradientProblem : NormalProblem {
  double value_and_gradient(const Values& base, Values& gradient) {
    ++calls;
    double d_centre = 0.0, d_width = 0.0;
    for (std::size_t i = 0; i < w.size(); ++i) {
      const double z = (data.x[i] - base[0]) / base[1];
      d_centre += w[i] * z / base[1];
      d_width += w[i] * (z * z - 1.0) / base[1];
    }
    gradient = {-d_centre, -d_width};
    return -log_likelihood(data, w, base[0], base[1]);
  }
};

// A problem whose own weight sum overrides the sequential one.
struct OwnSumProblem : DifferencesProblem {
  double own_sum = 0.0;
  double weight_sum() const { return own_sum; }
};

static_assert(PeakFitProblem<DifferencesProblem>);
static_assert(PeakFitProblem<GradientProblem>);
static_assert(!PeakFitProblem<NormalProblem>, "a problem without a log-likelihood is not one");

TEST(PeakFit, BothKindsOfObjectiveReachTheClosedFormMaximumAndFixedValuesStay) {
  const NormalSamples d;
  DifferencesProblem differences{{d, d.w}};
  GradientProblem gradient{{d, d.w}};
  std::array<double, 2> by_differences{1001.0, 2.0}, by_gradient{1001.0, 2.0};
  const PeakFitOutcome a = fit_single_peak(differences, {false, false}, by_differences);
  const PeakFitOutcome b = fit_single_peak(gradient, {false, false}, by_gradient);
  ASSERT_TRUE(a.fitted());
  ASSERT_TRUE(b.fitted());
  EXPECT_EQ(a.evaluations, static_cast<std::uint64_t>(differences.calls));
  EXPECT_EQ(b.evaluations, static_cast<std::uint64_t>(gradient.calls));
  const double mean = d.mean(), spread = d.spread(mean);
  // The projected-gradient tolerance 1e-5 over a weight sum of 37 leaves a few 1e-7.
  EXPECT_NEAR(by_differences[0], mean, 1e-6);
  EXPECT_NEAR(by_differences[1], spread, 1e-6);
  EXPECT_NEAR(by_gradient[0], mean, 1e-6);
  EXPECT_NEAR(by_gradient[1], spread, 1e-6);

  // A fixed centre is neither moved nor restarted: the width is the spread about it.
  std::array<double, 2> held{1001.7, 2.0};
  ASSERT_TRUE(fit_single_peak(differences, {true, false}, held).fitted());
  EXPECT_EQ(held[0], 1001.7);
  EXPECT_NEAR(held[1], d.spread(1001.7), 1e-6);
}

TEST(PeakFit, NothingToFitAndMinimiserErrorsLeaveTheValuesAndCallNothing) {
  const NormalSamples d;
  const std::array<double, 2> start{1001.0, 2.0};
  auto outcome = [&](std::vector<double> w, std::array<bool, 2> fixed, double width_lower = 0.05) {
    DifferencesProblem problem{{d, w}};
    problem.width_lower = width_lower;
    std::array<double, 2> values = start;
    const PeakFitOutcome result = fit_single_peak(problem, fixed, values);
    EXPECT_EQ(values, start);
    EXPECT_EQ(result.evaluations, 0u);
    if (result.status == PeakFitStatus::NothingToFit) {
      EXPECT_EQ(problem.calls, 0);
    }
    return result.status;
  };
  EXPECT_EQ(outcome(d.w, {true, true}), PeakFitStatus::NothingToFit);
  EXPECT_EQ(outcome({}, {false, false}), PeakFitStatus::NothingToFit);
  // Weights that sum below 1e-300 carry nothing, whatever their sign.
  EXPECT_EQ(outcome(std::vector<double>(7, 0.0), {false, false}), PeakFitStatus::NothingToFit);
  EXPECT_EQ(outcome({1.0, -2.0, 0.0, 0.0, 0.0, 0.0, 0.0}, {false, false}), PeakFitStatus::NothingToFit);
  EXPECT_EQ(outcome({1e-310, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}, {false, false}), PeakFitStatus::NothingToFit);
  // Bounds the minimiser rejects.
  EXPECT_EQ(outcome(d.w, {false, false}, 30.0), PeakFitStatus::MinimiserFailed);

  // A NaN sum goes on to the minimiser.
  const std::vector<double> with_nan{kNaN, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
  DifferencesProblem nan_sum{{d, with_nan}};
  std::array<double, 2> values = start;
  fit_single_peak(nan_sum, {false, false}, values);
  EXPECT_GT(nan_sum.calls, 0);

  // A problem's own weight sum decides, not the sequential one.
  OwnSumProblem own{{{d, d.w}}};
  values = start;
  EXPECT_EQ(fit_single_peak(own, {false, false}, values).status, PeakFitStatus::NothingToFit);
  own.own_sum = 37.0;
  EXPECT_TRUE(fit_single_peak(own, {false, false}, values).fitted());
}

TEST(PeakFit, AClampThatFailsLeavesTheValuesUntouched) {
  // A NaN width bound passes the minimiser and fails the read-back clamp of the free width.
  const NormalSamples d;
  DifferencesProblem problem{{d, d.w}};
  problem.width_upper = kNaN;
  std::array<double, 2> values{1001.0, 2.0};
  EXPECT_THROW(fit_single_peak(problem, {false, false}, values), Failure);
  EXPECT_EQ(values, (std::array<double, 2>{1001.0, 2.0}));
  // Fixed, the same width is never clamped.
  EXPECT_TRUE(fit_single_peak(problem, {false, true}, values).fitted());
  EXPECT_EQ(values[1], 2.0);
}

}  // namespace
}  // namespace brivane
