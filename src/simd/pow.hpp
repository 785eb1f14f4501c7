#pragma once
// Powers of positive numbers, as exp(e ln x) with ln x in two parts.
//
// Contract (reference: quadruple precision, libquadmath): pow_positive(x, e) for positive normal
// finite x: at most 0.889 ulp, measured on every instruction set for x from 2^-60 to 2^60 and the
// exponents -1, -0.5, -0.45, -0.3, -0.05 and 0.35 (tests/cpp/vector_math_test.cpp); larger |e ln x|
// is not measured. Other lanes carry no meaning: positive_normal() marks the lanes it serves, and
// the callers take the scalar library for the rest.
#include "simd/exp.hpp"
#include "simd/log.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// x^e for positive normal finite x, as exp(e ln x) with ln x carried in two parts and the product's
// rounding error passed to the exponential: within about one ulp wherever the result is normal.
SIMD_INLINE V pow_positive(V x, V e) {
  V head, tail;
  log_extended(x, head, tail);
  const V y = e * head;
  return exp_with_tail(y, fma(e, tail, product_error(e, head, y)));
}

// Positive normal finite lanes.
SIMD_INLINE M positive_normal(V x) { return (x >= set(2.2250738585072014e-308)) & (x < set(__builtin_inf())); }

}  // namespace
}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
