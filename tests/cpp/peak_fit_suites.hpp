#pragma once
// Tests written once for every three-parameter shape with a single-peak fit and an EM mixture
// (Doniach-Sunjic, Voigt): agreement with SciPy's L-BFGS-B on the same objective, degenerate
// inputs, and a mixture whose results do not depend on the thread count. Each shape's test file
// instantiates them with a traits struct:
//
//   using Parameters, Bounds, Peaks;
//   static Parameters fit(x, w, start, fixed, bounds, calls);  // the single-peak fit's result
//   static double log_likelihood(x, w, p, bounds);
//   static std::span<const fit_test::ScipyFit<Bounds>> scipy_table();
//   static constexpr bool kCallsBoundedOverTheTable;  // objective calls held over the table's sums
//   static PeakSample smooth_peak();  static Bounds bounds();
//   static DegenerateStarts degenerate_starts();
//   static Parameters rough_start();  static Bounds reversed_width_bounds();
//   static std::vector<std::pair<Bounds, std::string>> nan_bounds();  // with the Failure's text
//   static PeakSample two_peaks();  static Peaks two_peak_start(bool fixed);  static Window window(x);

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "background.hpp"
#include "em_shape.hpp"
#include "failure.hpp"
#include "peak_fit_support.hpp"

namespace brivane::fit_test {

// A grid and its weights: a smooth peak's rounded counts, or a mixture's drawn counts.
struct PeakSample {
  std::vector<double> x, w;
};

// Starts for the degenerate-input sweep: a plain one, one with a NaN centre, one with an infinite
// width, and a point mass (zero width) to fit with open bounds.
template <class Parameters>
struct DegenerateStarts {
  Parameters plain, nan_centre, infinite_width, point_mass;
};

}  // namespace brivane::fit_test

// In brivane itself, so that the shapes' test files (in brivane's anonymous namespace) find the
// suite's names unqualified when they instantiate it.
namespace brivane {

template <class Shape>
class ThreeParameterShape : public ::testing::Test {};
TYPED_TEST_SUITE_P(ThreeParameterShape);

// The log-likelihood equals SciPy's at the start and at its solution, and the fit lands on that
// solution (see expect_agrees_with_scipy); a table whose call counts move with the last bits of
// its objective holds the sum of the calls over its cases, the others each case's.
TYPED_TEST_P(ThreeParameterShape, AgreesWithScipyLbfgsbOnTheSameObjective) {
  using Shape = TypeParam;
  std::array<std::uint64_t, 2> totals{};
  for (const auto& r : Shape::scipy_table()) {
    fit_test::expect_agrees_with_scipy(
        r,
        [&](const auto& x, const auto& w, std::uint64_t& calls) {
          return Shape::fit(x, w, r.start, r.fixed, r.bounds, &calls);
        },
        [&](const auto& x, const auto& w) {
          return [&](const typename Shape::Parameters& p) { return Shape::log_likelihood(x, w, p, r.bounds); };
        },
        Shape::kCallsBoundedOverTheTable ? &totals : nullptr);
  }
  if (Shape::kCallsBoundedOverTheTable) {
    EXPECT_LE(totals[0], totals[1] + totals[1] / 4 + 5);
  }
}

// Mismatched lengths, one sample, no samples, NaN and infinite starts and bounds, a point mass:
// every call returns (and, under the sanitizers, reads only what it owns).
TYPED_TEST_P(ThreeParameterShape, DegenerateInputsReturnWithoutFailing) {
  using Shape = TypeParam;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const fit_test::PeakSample d = Shape::smooth_peak();
  const std::span<const double> x = d.x, w = d.w;
  const typename Shape::Bounds bounds = Shape::bounds();
  const typename Shape::Bounds open{-kInf, kInf, -kInf, kInf, -kInf, kInf};
  const auto starts = Shape::degenerate_starts();
  auto fit = [](std::span<const double> xs, std::span<const double> ws, const typename Shape::Parameters& p,
                const typename Shape::Bounds& b) { Shape::fit(xs, ws, p, {}, b, nullptr); };
  EXPECT_NO_THROW(fit(x.first(10), w, starts.plain, bounds));
  EXPECT_NO_THROW(fit(x, w.first(10), starts.plain, bounds));
  EXPECT_NO_THROW(fit(x.first(1), w.first(1), starts.plain, bounds));
  EXPECT_NO_THROW(fit({}, w, starts.plain, bounds));
  EXPECT_NO_THROW(fit(x, w, starts.nan_centre, bounds));
  EXPECT_NO_THROW(fit(x, w, starts.infinite_width, bounds));
  EXPECT_NO_THROW(fit(x, w, starts.plain, open));
  EXPECT_NO_THROW(fit(x, w, starts.point_mass, open));
}

// A fit with nothing to do returns its start to the bit: every parameter fixed (values a pass
// through arithmetic would change: 0.1 + 0.2, -0 and NaN), weights that sum to 0 or that are
// absent, width bounds the minimiser rejects (min > max: nothing raised). A NaN bound of a free
// parameter passes the minimiser and fails the clamp after it, printing both bounds.
TYPED_TEST_P(ThreeParameterShape, FitsWithNothingToDoKeepTheStartAndNaNBoundsFail) {
  using Shape = TypeParam;
  using Parameters = typename Shape::Parameters;
  const fit_test::PeakSample d = Shape::smooth_peak();
  const Parameters odd{0.1 + 0.2, -0.0, std::numeric_limits<double>::quiet_NaN()}, start = Shape::rough_start();
  const std::array<bool, 3> free{};
  auto same_bits = [](const Parameters& a, const Parameters& b) {
    return std::bit_cast<std::array<std::uint64_t, 3>>(a) == std::bit_cast<std::array<std::uint64_t, 3>>(b);
  };
  EXPECT_TRUE(same_bits(Shape::fit(d.x, d.w, odd, {true, true, true}, Shape::bounds(), nullptr), odd));
  EXPECT_TRUE(same_bits(Shape::fit(d.x, std::vector<double>(d.x.size(), 0.0), start, free, Shape::bounds(), nullptr), start));
  EXPECT_TRUE(same_bits(Shape::fit(d.x, {}, start, free, Shape::bounds(), nullptr), start));
  EXPECT_TRUE(same_bits(Shape::fit(d.x, d.w, start, free, Shape::reversed_width_bounds(), nullptr), start));
  for (const auto& [bounds, message] : Shape::nan_bounds()) {
    std::string got = "no failure";
    try {
      Shape::fit(d.x, d.w, start, free, bounds, nullptr);
    } catch (const Failure& failure) {
      got = failure.what();
    }
    EXPECT_EQ(got, message);
  }
}

// Two peaks and a flat floor, 1e5 counts on 2561 samples (enough peak-samples for the pool): the
// same fit on one worker and on the pool gives the same bits, and peaks whose parameters are all
// fixed keep their bits while the mixing weights still move.
TYPED_TEST_P(ThreeParameterShape, MixtureThreadCountChangesNothingAndFixedPeaksKeepTheirBits) {
  using Shape = TypeParam;
  const fit_test::PeakSample d = Shape::two_peaks();
  const std::vector<double> alpha(3, 1.0);
  auto fit = [&](typename Shape::Peaks& peaks, std::vector<double>& pi) {
    EmProblem problem;
    problem.x = d.x;
    problem.intensity = d.w;
    problem.dirichlet_alpha = alpha;
    problem.max_iter = 6;
    problem.window = Shape::window(d.x);
    problem.bg_type = kUniformBackground;
    return run_em(peaks, pi, problem);
  };
  const std::vector<double> pi{0.4, 0.4, 0.2};
  fit_test::expect_thread_count_changes_nothing(Shape::two_peak_start(false), pi, fit);

  typename Shape::Peaks held = Shape::two_peak_start(true);
  std::vector<double> held_pi = pi;
  fit(held, held_pi);
  EXPECT_EQ(held.values, Shape::two_peak_start(true).values);
  EXPECT_NE(held_pi, pi);
}

REGISTER_TYPED_TEST_SUITE_P(ThreeParameterShape, AgreesWithScipyLbfgsbOnTheSameObjective,
                            DegenerateInputsReturnWithoutFailing, FitsWithNothingToDoKeepTheStartAndNaNBoundsFail,
                            MixtureThreadCountChangesNothingAndFixedPeaksKeepTheirBits);

}  // namespace brivane
