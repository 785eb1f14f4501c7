#include "background.hpp"

#include "failure.hpp"
#include "numerics/root_finder.hpp"
#include "peak_fit_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace brivane {
namespace {

using fit_test::grid;

std::vector<double> row_for(std::uint8_t bg_type, const std::vector<double>& x, double x_min,
                            double x_max, double s_tri = 0.0) {
  RowMatrix densities(1, x.size());
  background_densities(densities, 0, bg_type, x, x_min, x_max, s_tri, nullptr);
  const auto row = densities.row(0);
  return {row.begin(), row.end()};
}

// Trapezoid integral of a row over a fine grid.
double integral(const std::vector<double>& x, const std::vector<double>& y) {
  double total = 0.0;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) total += (x[i + 1] - x[i]) * (y[i] + y[i + 1]) * 0.5;
  return total;
}

TEST(BackgroundRows, RowCountsByCode) {
  const BasisRows two_rows(2, std::vector<double>(3, 1.0));
  EXPECT_EQ(background_row_count(0, nullptr), 0u);
  EXPECT_EQ(background_row_count(4, nullptr), 0u);
  EXPECT_EQ(background_row_count(4, &two_rows), 2u);
  for (int code : {1, 2, 3, 5, 7, 255}) {
    EXPECT_EQ(background_row_count(static_cast<std::uint8_t>(code), &two_rows), 1u) << code;
  }
}

TEST(BackgroundRows, UniformIsOneOverWidthInsideTheWindowEndsIncluded) {
  const std::vector<double> x{-1.0, 2.0, 3.0, 6.0, 7.0};
  EXPECT_EQ(row_for(1, x, 2.0, 6.0), (std::vector<double>{0.0, 0.25, 0.25, 0.25, 0.0}));
  EXPECT_EQ(row_for(1, x, 3.0, 3.0), std::vector<double>(5, 0.0));
  EXPECT_EQ(row_for(1, x, 6.0, 2.0), std::vector<double>(5, 0.0));
}

TEST(BackgroundRows, SquareRootLawIsNormalisedOverTheWindow) {
  const std::vector<double> unit{0.0, 0.25, 1.0, 1.5};
  const std::vector<double> row = row_for(2, unit, 0.0, 1.0);
  EXPECT_EQ(row[0], 0.0);
  EXPECT_EQ(row[2], 1.5);  // sqrt(1) / (2/3)
  EXPECT_EQ(row[3], 0.0);
  const std::vector<double> x = grid(1.0, 9.0, 20001);
  EXPECT_NEAR(integral(x, row_for(2, x, 1.0, 9.0)), 1.0, 1e-6);
  // A negative window start makes the normaliser NaN; it falls back to 1 and negative x gives 0.
  const std::vector<double> fallback = row_for(2, {-1.0, 4.0}, -2.0, 5.0);
  EXPECT_EQ(fallback, (std::vector<double>{0.0, 2.0}));
}

TEST(BackgroundRows, LinearTiltMovesMassAcrossTheWindow) {
  EXPECT_EQ(row_for(3, {0.0, 1.0, 2.0}, 0.0, 2.0, 0.5), (std::vector<double>{0.25, 0.5, 0.75}));
  EXPECT_EQ(row_for(3, {0.0, 2.0}, 0.0, 2.0, 0.0), row_for(1, {0.0, 2.0}, 0.0, 2.0));
  const std::vector<double> x = grid(-1.0, 5.0, 60001);
  for (double s : {-1.0, -0.3, 0.0, 0.7, 1.0}) {
    EXPECT_NEAR(integral(x, row_for(3, x, 1.0, 4.0, s)), 1.0, 1e-3) << s;
  }
  // Beyond |s_tri| = 1 the line crosses zero inside the window and is clipped there.
  const std::vector<double> clipped = row_for(3, {0.0, 0.4, 0.6, 2.0}, 0.0, 2.0, 2.0);
  EXPECT_EQ(clipped[0], 0.0);
  EXPECT_EQ(clipped[1], 0.0);
  EXPECT_GT(clipped[2], 0.0);
}

TEST(BackgroundRows, BasisRowsAreCopiedAndOtherCodesAreZero) {
  const std::vector<double> x{0.0, 1.0, 2.0};
  const BasisRows basis{{1.0, 2.0, 3.0}, {-4.0, 5.0, 0.5}};
  RowMatrix densities(3, 3);
  background_densities(densities, 1, 4, x, 0.0, 2.0, 0.0, &basis);
  EXPECT_EQ(densities.row(1)[2], 3.0);
  EXPECT_EQ(densities.row(2)[0], -4.0);
  EXPECT_EQ(row_for(7, x, 0.0, 2.0), std::vector<double>(3, 0.0));

  const BasisRows short_row{{1.0, 2.0}};
  try {
    background_densities(densities, 1, 4, x, 0.0, 2.0, 0.0, &short_row);
    FAIL() << "a basis row of the wrong length must fail";
  } catch (const Failure& failure) {
    EXPECT_STREQ(failure.what(),
                 "copy_from_slice: source slice length (2) does not match destination slice "
                 "length (3)");
  }
}

// Weighted log-likelihood of the tilt, the function whose derivative the score is.
double tilt_log_likelihood(const std::vector<double>& x, const std::vector<double>& w, double x_min,
                           double x_max, double s) {
  const double width = x_max - x_min;
  const double slope = 2.0 * s / (width * width);
  const double intercept = (1.0 - s) / width - slope * x_min;
  double total = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x[i] >= x_min && x[i] <= x_max) total += w[i] * std::log(slope * x[i] + intercept + 1e-5);
  }
  return total;
}

// Histogram of draws from a linear density with the given tilt on [2, 7] (inverse-CDF sampling),
// on a grid that reaches beyond the window.
std::vector<double> tilted_counts(const std::vector<double>& x, double tilt, int draws, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<double> counts(x.size(), 0.0);
  for (int draw = 0; draw < draws; ++draw) {
    const double u = uniform(rng);
    // Solve u = ((1 - s) t + s t^2) for t in [0, 1], t the position in the window.
    const double t = (-(1.0 - tilt) + std::sqrt((1.0 - tilt) * (1.0 - tilt) + 4.0 * tilt * u)) / (2.0 * tilt);
    const double position = 2.0 + t * 5.0;
    counts[static_cast<std::size_t>(std::lround((position - 1.0) / 0.05))] += 1.0;
  }
  return counts;
}

// The estimate as it was while the search covered [0, 0.99999] only: the reference for a rising
// background, which must come out with the same bits.
double rising_only_estimate(const std::vector<double>& x, const std::vector<double>& w, double x_min, double x_max) {
  auto score = [&](double s) { return linear_background_score(x, w, x_min, x_max, s); };
  const double low = score(0.0), high = score(0.99999);
  const double better_end = ((low > 0.0 && high > 0.0) || high > low || std::isnan(low) || std::isnan(high)) ? 0.99999 : 0.0;
  if (low * high > 0.0 || std::isnan(low * high)) return better_end;
  const RootResult result = find_root(score, 0.0, 0.99999, 1e-8);
  return result.converged() ? std::clamp(result.root, 0.0, 0.99999) : better_end;
}

TEST(TiltEstimate, RecoversRisingAndFallingTiltsWithinTheirStatisticalErrors) {
  const double x_min = 2.0, x_max = 7.0;
  const std::vector<double> x = grid(1.0, 8.0, 141);
  std::uint64_t seed = 7;
  for (const double tilt : {0.4, 0.05, -0.05, -0.4, -0.9}) {
    const std::vector<double> counts = tilted_counts(x, tilt, 200000, seed++);
    const double estimate = estimate_s_tri(x, counts, x_min, x_max);
    // The standard error from the observed information, minus the score's derivative
    // sum w g^2 / (f + 1e-5)^2 at the estimate.
    const double width = x_max - x_min, slope = 2.0 * estimate / (width * width);
    const double intercept = (1.0 - estimate) / width - slope * x_min;
    double information = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (x[i] < x_min || x[i] > x_max) continue;
      const double g = 2.0 * (x[i] - x_min) / (width * width) - 1.0 / width;
      const double f = slope * x[i] + intercept + 1e-5;
      information += counts[i] * g * g / (f * f);
    }
    const double error = 1.0 / std::sqrt(information);
    EXPECT_LT(error, 0.01) << tilt;
    EXPECT_NEAR(estimate, tilt, 3.5 * error) << tilt;

    // The root of the score is the maximum of the likelihood over the whole range: no grid point
    // beats it, on either side of 0.
    const double best = tilt_log_likelihood(x, counts, x_min, x_max, estimate);
    for (double s = -0.99999; s <= 0.99999; s += 0.001) {
      EXPECT_LE(tilt_log_likelihood(x, counts, x_min, x_max, s), best + 1e-6) << tilt << " " << s;
    }

    // Mirrored about the window's middle, the same counts have the opposite tilt.
    std::vector<double> mirrored(counts.rbegin(), counts.rend());  // the grid is symmetric about 4.5
    EXPECT_NEAR(estimate_s_tri(x, mirrored, x_min, x_max), -estimate, 1e-6) << tilt;

    // A rising background is found by the very steps it always was.
    if (estimate >= 0.0) {
      EXPECT_EQ(estimate, rising_only_estimate(x, counts, x_min, x_max)) << tilt;
    }
  }
}

TEST(TiltEstimate, FallsBackToTheEndTheLikelihoodRisesTowardWithoutARoot) {
  const std::vector<double> x{0.0, 1.0, 2.0, 3.0};
  // No weight inside the window: the scores are 0, and the upper end comes back.
  EXPECT_EQ(estimate_s_tri(x, std::vector<double>{5.0, 0.0, 0.0, 0.0}, 1.0, 3.0), 0.99999);
  EXPECT_EQ(estimate_s_tri(x, std::vector<double>{}, 1.0, 3.0), 0.99999);
  // All weight at the upper end: the score stays positive and grows, the upper end wins.
  EXPECT_EQ(estimate_s_tri(x, std::vector<double>{0.0, 0.0, 0.0, 9.0}, 1.0, 3.0), 0.99999);
  // All weight at the lower end: the score stays negative over the whole range, the likelihood
  // rises toward the lowest tilt (while the search stopped at 0 this gave a flat line).
  EXPECT_EQ(estimate_s_tri(x, std::vector<double>{0.0, 9.0, 0.0, 0.0}, 1.0, 3.0), -0.99999);
  EXPECT_GT(tilt_log_likelihood(x, {0.0, 9.0, 0.0, 0.0}, 1.0, 3.0, -0.99999),
            tilt_log_likelihood(x, {0.0, 9.0, 0.0, 0.0}, 1.0, 3.0, -0.99));
  // One sample just below the middle: negative throughout [0, 0.99999], a root below 0.
  const double below_middle =
      estimate_s_tri(std::vector<double>{1.0, 1.9, 3.0}, std::vector<double>{0.0, 1.0, 0.0}, 1.0, 3.0);
  EXPECT_LT(below_middle, -0.99);
  // A NaN score picks the upper end.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(estimate_s_tri(x, std::vector<double>{0.0, nan, 1.0, 1.0}, 1.0, 3.0), 0.99999);
}

TEST(TiltEstimate, PositiveScoresThroughoutPickTheUpperEnd) {
  // One sample just above the middle of the window: the score is positive at both ends and falls
  // (it always falls for non-negative weights), yet the likelihood rises all the way to 0.99999.
  const std::vector<double> x{1.0, 2.1, 3.0};
  const std::vector<double> w{0.0, 1.0, 0.0};
  const double low = linear_background_score(x, w, 1.0, 3.0, 0.0);
  const double high = linear_background_score(x, w, 1.0, 3.0, 0.99999);
  ASSERT_GT(high, 0.0);
  ASSERT_LT(high, low);
  EXPECT_EQ(estimate_s_tri(x, w, 1.0, 3.0), 0.99999);
  EXPECT_GT(tilt_log_likelihood(x, w, 1.0, 3.0, 0.99999), tilt_log_likelihood(x, w, 1.0, 3.0, 0.0));
}

}  // namespace
}  // namespace brivane
