#include "shapes/gaussian/gaussian.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace brivane {
namespace {

std::vector<double> density(const std::vector<double>& x, double mu, double sigma) {
  std::vector<double> row(x.size());
  gaussian_density(x, mu, sigma, row);
  return row;
}

TEST(GaussianDensity, MatchesTheNormalDensityEverywhereIncludingItsExactZeros) {
  // A narrow peak on a long grid: most blocks lie where exp(-z^2) underflows to exactly 0.
  std::vector<double> x(20000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = -100.0 + 0.01 * static_cast<double>(i);
  for (double sigma : {0.05, 0.7, 8.0}) {
    const std::vector<double> row = density(x, 3.21, sigma);
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double z = (x[i] - 3.21) * (1.0 / (sigma * 1.4142135623730951));
      const double expected = std::exp(-(z * z)) / std::sqrt(sigma * (sigma * 6.283185307179586));
      if (expected == 0.0) {
        ASSERT_EQ(row[i], 0.0) << sigma << " " << x[i];
      } else {
        // Two ulps (the exponential and the division each round), or one unit of the subnormal
        // spacing where exp(-z^2) is that small.
        ASSERT_NEAR(row[i], expected, std::max(4.5e-16 * expected, 1e-323)) << sigma << " " << x[i];
      }
    }
    double mass = 0.0;
    for (double v : row) mass += v * 0.01;
    EXPECT_NEAR(mass, 1.0, 1e-9) << sigma;
  }
}

TEST(GaussianDensity, NegativeWidthIsItsMagnitudeAndZeroWidthIsNotANumberAtTheCentre) {
  const std::vector<double> x{-3.0, 0.5, 1.0, 2.0, 400.0};
  EXPECT_EQ(density(x, 1.0, -0.8), density(x, 1.0, 0.8));
  const std::vector<double> degenerate = density(x, 1.0, 0.0);
  EXPECT_TRUE(std::isnan(degenerate[2]));  // 0 * inf in z
  EXPECT_TRUE(std::isnan(degenerate[4]));  // exp(-inf) / 0
}

}  // namespace
}  // namespace brivane
