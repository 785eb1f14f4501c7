#include "numerics/gauss_legendre_100.hpp"

#include <gtest/gtest.h>
#include <quadmath.h>


namespace brivane {
namespace {

namespace rule = gauss_legendre_100;

TEST(GaussLegendre100, IntegratesEveryPolynomialUpToDegree199OverTheUnitInterval) {
  // sum_i w_i t_i^k = 1 / (k + 1) for k <= 2 * 100 - 1. The sums are formed in quadruple precision
  // from the table's doubles, so what remains is the table's own rounding: w_i and t_i each within
  // half an ulp of the exact rule put sum_i w_i t_i^k within (k + 1) / 2 ulps of the exact value.
  // A weight with only 16 correct digits (w_0 = 0.0003673172452560375 instead of
  // 0.00036731724525283587, 8.7e-12 relative) already misses the k = 0 sum by 3e-15.
  for (int k = 0; k < 200; ++k) {
    __float128 sum = 0;
    for (std::size_t i = 0; i < rule::kPoints; ++i) sum += rule::kWeight[i] * powq(rule::kNode[i], k);
    const __float128 exact = 1 / static_cast<__float128>(k + 1);
    const double relative = static_cast<double>(fabsq(sum - exact) / exact);
    EXPECT_LE(relative, (k + 1) * 0x1.0p-53) << "degree " << k;
  }
}

}  // namespace
}  // namespace brivane
