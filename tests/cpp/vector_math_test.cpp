#include "vector_math.hpp"

#include <gtest/gtest.h>
#include <quadmath.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "shapes/gaussian/vector_pass.hpp"
#include "simd/exp_scalar.hpp"
#include "vector_math_support.hpp"

namespace brivane {
namespace {

// Distance in units in the last place between a double and a more precise reference.
double ulps(double value, long double reference) {
  const double rounded = static_cast<double>(reference);
  if (value == rounded) return 0.0;
  const double spacing = std::fabs(std::nextafter(rounded, INFINITY) - rounded);
  return static_cast<double>(std::fabs(static_cast<long double>(value) - reference) / spacing);
}

// values[i] = exp(values[i]) by the active variant's kernel.
void exp_in_place(std::vector<double>& values) { vector_math_test_kernels().exp(values.data(), values.size()); }

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

// Runs `check` once per instruction-set variant this processor supports, with that variant forced.
template <class Check>
void for_each_variant(Check&& check) {
  for (SimdLevel level : {SimdLevel::kBaseline, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    if (!simd_level_supported(level)) continue;
    SCOPED_TRACE(simd_level_name(level));
    const SimdOverride variant(level);
    check(level);
  }
}

// Distance in units in the last place from a quadruple-precision reference.
double ulps_from(double value, __float128 reference) {
  const double rounded = static_cast<double>(reference);
  if (value == rounded) return 0.0;
  const double spacing = std::fabs(std::nextafter(rounded, INFINITY) - rounded);
  return static_cast<double>(fabsq(static_cast<__float128>(value) - reference) / spacing);
}

TEST(VectorMathVariants, EveryVariantIsWithinOneUlpAndTheGaussianExpOnlyDropsTinyResults) {
  const std::vector<double> arguments = sweep(-745.0, 709.7, 100001);
  std::vector<double> positives;
  for (double e = -1074.0; e <= 1023.0; e += 0.29) positives.push_back(std::exp2(e));
  for (double v : sweep(0.7, 1.5, 50001)) positives.push_back(v);
  // 2^(-y^2) from 1 down past the flushing point at y^2 near 1022, and special values.
  std::vector<double> roots = sweep(-32.2, 32.2, 100001);
  for (double v : sweep(-1.0, 1.0, 20001)) roots.push_back(v);
  for (double special : {HUGE_VAL, -HUGE_VAL, 1e300, std::nan("")}) roots.push_back(special);
  for_each_variant([&](SimdLevel level) {
    std::vector<double> e = arguments, l = positives, g = roots;
    vector_math_test_kernels().exp(e.data(), e.size());
    simd_kernels().log(l.data(), l.size());
    vector_math_test_kernels().exp2_of_minus_square(g.data(), g.size());
    double worst_exp = 0.0, worst_log = 0.0, worst_gaussian = 0.0;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      const __float128 reference = expq(static_cast<__float128>(arguments[i]));
      if (reference >= static_cast<__float128>(2.2250738585072014e-308)) worst_exp = std::fmax(worst_exp, ulps_from(e[i], reference));
    }
    for (std::size_t i = 0; i < positives.size(); ++i) {
      worst_log = std::fmax(worst_log, ulps_from(l[i], logq(static_cast<__float128>(positives[i]))));
    }
    for (std::size_t i = 0; i < roots.size(); ++i) {
      const double y = roots[i];
      if (std::isnan(y)) {
        EXPECT_TRUE(std::isnan(g[i]));
        continue;
      }
      // With FMA the kernel reduces the exact square; without, the square rounded to a double.
      const __float128 square =
          level == SimdLevel::kBaseline ? static_cast<__float128>(y * y) : static_cast<__float128>(y) * y;
      if (square > 1022.5) {
        ASSERT_EQ(g[i], 0.0) << y;
      } else if (square <= 1021.0) {
        worst_gaussian = std::fmax(worst_gaussian, ulps_from(g[i], exp2q(-square)));
      } else {
        ASSERT_TRUE(g[i] == 0.0 || ulps_from(g[i], exp2q(-square)) <= 1.0) << y;
      }
    }
    EXPECT_LE(worst_exp, 1.0);
    EXPECT_LE(worst_log, 1.0);
    std::printf("%s: worst ulp exp %.3f, log %.3f, 2^(-y^2) %.3f\n", simd_level_name(level), worst_exp, worst_log,
                worst_gaussian);
    // Without FMA the last step, factor + (factor r) Q, rounds twice.
    EXPECT_LE(worst_gaussian, level == SimdLevel::kBaseline ? 1.5 : 1.0);
  });
}

TEST(VectorMathVariants, Avx2AndAvx512GiveIdenticalValuesAndTheBaselineIsWithinAnUlp) {
  if (!simd_level_supported(SimdLevel::kAvx512)) GTEST_SKIP() << "this processor lacks AVX-512";
  const std::vector<double> arguments = sweep(-750.0, 712.0, 300007);
  const std::vector<double> roots = sweep(-33.0, 33.0, 300007);
  std::vector<double> positives;
  for (double v : sweep(-1.0, 3000.0, 300007)) positives.push_back(v * v * v);
  std::vector<double> x = sweep(-40.0, 40.0, 4001);
  auto outputs = [&](SimdLevel level) {
    const SimdOverride variant(level);
    std::vector<double> e = arguments, f = roots, l = positives, row(x.size());
    exp_in_place(e);
    vector_math_test_kernels().exp2_of_minus_square(f.data(), f.size());
    log_in_place(l);
    gaussian_kernels().row(x.data(), x.size(), 1.25, 0.3, 2.5, row.data());
    return std::array<std::vector<double>, 4>{e, f, l, row};
  };
  const auto avx512 = outputs(SimdLevel::kAvx512), avx2 = outputs(SimdLevel::kAvx2), baseline = outputs(SimdLevel::kBaseline);
  for (std::size_t j = 0; j < avx512.size(); ++j) {
    ASSERT_EQ(avx512[j].size(), avx2[j].size());
    for (std::size_t i = 0; i < avx512[j].size(); ++i) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(avx512[j][i]), std::bit_cast<std::uint64_t>(avx2[j][i])) << j << " " << i;
      const double a = avx512[j][i], b = baseline[j][i];
      if (a == b || (std::isnan(a) && std::isnan(b))) continue;
      // Each rounds within an ulp of the exact value, so they are at most two apart; but without
      // FMA the Gaussian exponential starts from y^2 rounded, which moves 2^(-y^2) by up to
      // y^2 ln 2 units of 2^-53.
      const double spread = j == 1 ? 2.0 + roots[i] * roots[i] * 0.7 : 2.0;
      ASSERT_LE(std::fabs(a - b), spread * std::fabs(std::nextafter(a, INFINITY) - a)) << j << " " << i;
    }
  }
}

}  // namespace
}  // namespace brivane

namespace brivane {
namespace {

// The Doniach-Sunjic kernels against quadruple precision over their whole argument ranges: atan
// over every magnitude (and the reductions' seams), sin and cos over the vector reduction's range
// (near multiples of pi/2 too) and past it, where the scalar library takes over, pow over bases
// from 2^-60 to 2^60 with the exponents a shape produces. Each variant within one ulp; AVX2 and
// AVX-512 bit-identical.
TEST(VectorMathVariants, DoniachSunjicKernelsAreWithinAnUlpAndAvx2MatchesAvx512) {
  std::vector<double> tangents;
  for (double e = -40.0; e <= 40.0; e += 0.003) tangents.push_back((tangents.size() % 2 == 0 ? 1.0 : -1.0) * std::exp2(e));
  for (double v : sweep(-3.0, 3.0, 30001)) tangents.push_back(v);
  for (double seam : {0.4375, 0.6875, 1.1875, 2.4375}) {
    for (int k = -4; k <= 4; ++k) tangents.push_back(seam + k * std::ldexp(seam, -52));
  }
  for (double special : {0.0, -0.0, 1e300, -1e300, 5e-324, HUGE_VAL, -HUGE_VAL}) tangents.push_back(special);
  std::vector<double> angles = sweep(-8.0, 8.0, 50001);
  for (double v : sweep(-1.6e6, 1.6e6, 20001)) angles.push_back(v);
  for (int k = -1000; k <= 1000; ++k) {
    const double near = k * 1.5707963267948966;
    angles.push_back(std::nextafter(near, HUGE_VAL));
    angles.push_back(std::nextafter(near, -HUGE_VAL));
  }
  for (double beyond : {2e6, -3.5e7, 1e300, HUGE_VAL, std::nan("")}) angles.push_back(beyond);
  std::vector<double> bases;
  for (double e = -60.0; e <= 60.0; e += 0.006) bases.push_back(std::exp2(e));
  const double exponents[] = {-0.5, -0.45, -0.05, -1.0, -0.2999999999999998, 0.35};
  const auto outputs = [&](SimdLevel level) {
    const SimdOverride variant(level);
    std::vector<double> a = tangents, s(angles.size()), c(angles.size());
    vector_math_test_kernels().atan(a.data(), a.size());
    vector_math_test_kernels().sin_cos(angles.data(), angles.size(), s.data(), c.data());
    std::vector<std::vector<double>> p;
    for (double e : exponents) {
      p.push_back(bases);
      vector_math_test_kernels().pow(p.back().data(), p.back().size(), e);
    }
    return std::make_tuple(a, s, c, p);
  };
  for_each_variant([&](SimdLevel level) {
    const auto [a, s, c, p] = outputs(level);
    double worst_atan = 0.0, worst_sin = 0.0, worst_cos = 0.0, worst_pow = 0.0;
    for (std::size_t i = 0; i < tangents.size(); ++i) {
      worst_atan = std::fmax(worst_atan, ulps_from(a[i], atanq(static_cast<__float128>(tangents[i]))));
    }
    EXPECT_EQ(std::signbit(a[tangents.size() - 6]), true);  // atan(-0) = -0
    for (std::size_t i = 0; i < angles.size(); ++i) {
      if (!std::isfinite(angles[i])) {
        EXPECT_TRUE(std::isnan(s[i]) && std::isnan(c[i])) << angles[i];
        continue;
      }
      worst_sin = std::fmax(worst_sin, ulps_from(s[i], sinq(static_cast<__float128>(angles[i]))));
      worst_cos = std::fmax(worst_cos, ulps_from(c[i], cosq(static_cast<__float128>(angles[i]))));
    }
    for (std::size_t e = 0; e < std::size(exponents); ++e) {
      for (std::size_t i = 0; i < bases.size(); ++i) {
        worst_pow = std::fmax(worst_pow, ulps_from(p[e][i], powq(static_cast<__float128>(bases[i]), exponents[e])));
      }
    }
    EXPECT_LE(worst_atan, 1.0);
    EXPECT_LE(worst_sin, 1.0);
    EXPECT_LE(worst_cos, 1.0);
    EXPECT_LE(worst_pow, 1.0);
    std::printf("%s: worst ulp atan %.3f, sin %.3f, cos %.3f, pow %.3f\n", simd_level_name(level), worst_atan, worst_sin,
                worst_cos, worst_pow);
  });
  if (!simd_level_supported(SimdLevel::kAvx512)) return;
  const auto avx512 = outputs(SimdLevel::kAvx512), avx2 = outputs(SimdLevel::kAvx2);
  const auto same_bits = [](const std::vector<double>& u, const std::vector<double>& v) {
    return u.size() == v.size() && std::memcmp(u.data(), v.data(), u.size() * sizeof(double)) == 0;
  };
  EXPECT_TRUE(same_bits(std::get<0>(avx512), std::get<0>(avx2)));
  EXPECT_TRUE(same_bits(std::get<1>(avx512), std::get<1>(avx2)));
  EXPECT_TRUE(same_bits(std::get<2>(avx512), std::get<2>(avx2)));
  for (std::size_t e = 0; e < std::size(exponents); ++e) EXPECT_TRUE(same_bits(std::get<3>(avx512)[e], std::get<3>(avx2)[e]));
}

}  // namespace
}  // namespace brivane

namespace brivane {
namespace {

// atan2 of a positive ordinate (the Doniach-Sunjic line's angle) against quadruple precision, on
// every side of the diagonals where the kernel switches between atan(y / x), pi + atan(y / x) and
// pi/2 - atan(x / y): ordinates over 2^-30 to 2^30, abscissae of either sign over the same range
// and at the diagonals' neighbours, and 0.
TEST(VectorMathVariants, Atan2OfAPositiveOrdinateIsWithinOneAndAHalfUlps) {
  std::vector<double> y, x;
  for (double ey = -30.0; ey <= 30.0; ey += 0.37) {
    const double yv = std::exp2(ey);
    for (double ex = -31.0; ex <= 31.0; ex += 0.23) {
      for (double sign : {1.0, -1.0}) y.push_back(yv), x.push_back(sign * std::exp2(ex));
    }
    for (double at : {yv, -yv, 0.0, -0.0}) {
      for (double nudge : {-2.0, -1.0, 0.0, 1.0, 2.0}) y.push_back(yv), x.push_back(at + nudge * std::ldexp(yv, -52));
    }
  }
  for_each_variant([&](SimdLevel level) {
    std::vector<double> angle(y.size());
    vector_math_test_kernels().atan2_of_positive(y.data(), x.data(), y.size(), angle.data());
    double worst = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
      ASSERT_GT(angle[i], 0.0) << y[i] << " " << x[i];
      worst = std::fmax(worst, ulps_from(angle[i], atan2q(static_cast<__float128>(y[i]), static_cast<__float128>(x[i]))));
    }
    // The base angle (pi/2 or pi) and the reduced angle are added with a rounding each: measured
    // 1.456 ulp on every instruction set.
    EXPECT_LE(worst, 1.5);
    std::printf("%s: worst ulp atan2 of a positive ordinate %.3f over %zu points\n", simd_level_name(level), worst,
                y.size());
  });
}

// The scalar exp that plain loops use (simd/exp_scalar.hpp) holds the same bound as the vector one.
TEST(VectorMath, ScalarExpIsWithinOneUlp) {
  double worst = 0.0;
  for (double v : sweep(-708.0, 709.7, 200001)) worst = std::fmax(worst, ulps_from(exp_kernel(v), expq(static_cast<__float128>(v))));
  EXPECT_LE(worst, 1.0);
  EXPECT_EQ(exp_kernel(710.0), HUGE_VAL);
  EXPECT_EQ(exp_kernel(-746.0), 0.0);
  EXPECT_TRUE(std::isnan(exp_kernel(std::nan(""))));
  std::printf("worst ulp of the scalar exp %.3f\n", worst);
}

}  // namespace
}  // namespace brivane
