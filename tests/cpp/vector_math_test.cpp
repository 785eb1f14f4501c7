#include "vector_math.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace brivane {
namespace {

// Distance in units in the last place between a double and a more precise reference.
double ulps(double value, long double reference) {
  const double rounded = static_cast<double>(reference);
  if (value == rounded) return 0.0;
  const double spacing = std::fabs(std::nextafter(rounded, INFINITY) - rounded);
  return static_cast<double>(std::fabs(static_cast<long double>(value) - reference) / spacing);
}

std::vector<double> sweep(double from, double to, std::size_t n) {
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = from + (to - from) * static_cast<double>(i) / static_cast<double>(n - 1);
  return v;
}

TEST(VectorMath, ExpIsWithinOneUlpOverItsRange) {
  // The densities take exp of -z^2, but the kernel serves any argument.
  std::vector<double> x = sweep(-745.0, 709.0, 200001);
  std::vector<double> y = x;
  exp_in_place(y);
  double worst = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const long double reference = std::exp(static_cast<long double>(x[i]));
    if (reference < 2.2250738585072014e-308L) continue;  // subnormal results checked below
    worst = std::fmax(worst, ulps(y[i], reference));
  }
  EXPECT_LE(worst, 1.0);
}

TEST(VectorMath, ExpSpecialValues) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> v{0.0, -0.0, -inf, inf, 710.0, -746.0, -740.0, 1.0, std::nan("")};
  exp_in_place(v);
  EXPECT_EQ(v[0], 1.0);
  EXPECT_EQ(v[1], 1.0);
  EXPECT_EQ(v[2], 0.0);
  EXPECT_EQ(v[3], inf);
  EXPECT_EQ(v[4], inf);
  EXPECT_EQ(v[5], 0.0);
  EXPECT_NEAR(v[6], 4.1995579896506e-322, 1e-323);  // subnormal
  EXPECT_LE(ulps(v[7], std::exp(1.0L)), 1.0);
  EXPECT_TRUE(std::isnan(v[8]));
}

TEST(VectorMath, LogIsWithinOneUlpOverItsRange) {
  std::vector<double> x;
  for (double e = -1022.0; e <= 1023.0; e += 0.37) x.push_back(std::exp2(e));
  for (double v : sweep(0.5, 2.0, 100001)) x.push_back(v);
  std::vector<double> y = x;
  log_in_place(y);
  double worst = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    worst = std::fmax(worst, ulps(y[i], std::log(static_cast<long double>(x[i]))));
  }
  EXPECT_LE(worst, 1.0);
}

TEST(VectorMath, LogSpecialValues) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> v{1.0, 0.0, -0.0, -1.0, inf, std::nan(""), 1e-310, 1e-200};
  log_in_place(v);
  EXPECT_EQ(v[0], 0.0);
  EXPECT_EQ(v[1], -inf);
  EXPECT_EQ(v[2], -inf);
  EXPECT_TRUE(std::isnan(v[3]));
  EXPECT_EQ(v[4], inf);
  EXPECT_TRUE(std::isnan(v[5]));
  EXPECT_NEAR(v[6], std::log(1e-310), 1e-12);
  EXPECT_NEAR(v[7], -460.51701859880916, 1e-12);
}

}  // namespace
}  // namespace brivane
