#pragma once
// Tests written once over the shapes' single-peak fits, as typed suites that each shape's test file
// instantiates with a traits struct.
//
// SinglePeakFit, for every single-peak fit (Doniach-Sunjic, Voigt, the pseudo-Voigt's full
// optimisation, TSDC's bounded fit, the Lorentzian): degenerate inputs, and fits with nothing to do.
//
//   using Parameters, Fixed (the fix flags), Bounds;
//   static Parameters fit(x, w, start, fixed, bounds);  // the single-peak fit's result
//   static std::array<double, N> values(const Parameters&);  // every parameter, for bit comparisons
//   static Fixed all_fixed();
//   static PeakSample smooth_peak();  static Bounds bounds();  static Bounds open_bounds();
//   static DegenerateStarts degenerate_starts();
//   static Parameters rough_start();
//   static Parameters odd_start();  // values a pass through arithmetic would change: 0.1 + 0.2, -0, NaN
//   static std::optional<Bounds> reversed_width_bounds();  // min > max, if the fit keeps its start there
//   static std::vector<std::pair<Bounds, std::string>> nan_bounds();  // with the Failure's text
//
// ThreeParameterShape, for the shapes with a SciPy reference table and an EM mixture of three
// parameters per peak (Doniach-Sunjic, Voigt): agreement with SciPy's L-BFGS-B on the same
// objective, and a mixture whose results do not depend on the thread count. Besides the above:
//
//   static Parameters fit(x, w, start, fixed, bounds, calls);
//   static double log_likelihood(x, w, p, bounds);
//   static std::span<const fit_test::ScipyFit<Bounds>> scipy_table();
//   static constexpr bool kCallsBoundedOverTheTable;  // objective calls held over the table's sums
//   static PeakSample two_peaks();  static Peaks two_peak_start(bool fixed);  static Window window(x);

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <tuple>
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
class SinglePeakFit : public ::testing::Test {};
TYPED_TEST_SUITE_P(SinglePeakFit);

// Mismatched lengths, one sample, no samples, NaN and infinite starts and bounds, a point mass:
// every call returns (and, under the sanitizers, reads only what it owns).
TYPED_TEST_P(SinglePeakFit, DegenerateInputsReturnWithoutFailing) {
  using Shape = TypeParam;
  const fit_test::PeakSample d = Shape::smooth_peak();
  const std::span<const double> x = d.x, w = d.w;
  const typename Shape::Bounds bounds = Shape::bounds();
  const typename Shape::Bounds open = Shape::open_bounds();
  const auto starts = Shape::degenerate_starts();
  auto fit = [](std::span<const double> xs, std::span<const double> ws, const typename Shape::Parameters& p,
                const typename Shape::Bounds& b) { Shape::fit(xs, ws, p, typename Shape::Fixed{}, b); };
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
// absent, width bounds the minimiser rejects (min > max: nothing raised) where the fit keeps its
// start there. A NaN bound of a free parameter passes the minimiser and fails the clamp after it,
// printing both bounds.
TYPED_TEST_P(SinglePeakFit, FitsWithNothingToDoKeepTheStartAndNaNBoundsFail) {
  using Shape = TypeParam;
  using Parameters = typename Shape::Parameters;
  using Fixed = typename Shape::Fixed;
  const fit_test::PeakSample d = Shape::smooth_peak();
  const Parameters odd = Shape::odd_start(), start = Shape::rough_start();
  auto same_bits = [](const Parameters& a, const Parameters& b) {
    const auto va = Shape::values(a), vb = Shape::values(b);
    constexpr std::size_t n = std::tuple_size_v<decltype(va)>;
    return std::bit_cast<std::array<std::uint64_t, n>>(va) == std::bit_cast<std::array<std::uint64_t, n>>(vb);
  };
  EXPECT_TRUE(same_bits(Shape::fit(d.x, d.w, odd, Shape::all_fixed(), Shape::bounds()), odd));
  EXPECT_TRUE(same_bits(Shape::fit(d.x, std::vector<double>(d.x.size(), 0.0), start, Fixed{}, Shape::bounds()), start));
  EXPECT_TRUE(same_bits(Shape::fit(d.x, {}, start, Fixed{}, Shape::bounds()), start));
  if (const std::optional<typename Shape::Bounds> reversed = Shape::reversed_width_bounds()) {
    EXPECT_TRUE(same_bits(Shape::fit(d.x, d.w, start, Fixed{}, *reversed), start));
  }
  for (const auto& [bounds, message] : Shape::nan_bounds()) {
    std::string got = "no failure";
    try {
      Shape::fit(d.x, d.w, start, Fixed{}, bounds);
    } catch (const Failure& failure) {
      got = failure.what();
    }
    EXPECT_EQ(got, message);
  }
}

REGISTER_TYPED_TEST_SUITE_P(SinglePeakFit, DegenerateInputsReturnWithoutFailing,
                            FitsWithNothingToDoKeepTheStartAndNaNBoundsFail);

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
                            MixtureThreadCountChangesNothingAndFixedPeaksKeepTheirBits);

}  // namespace brivane
