#pragma once
// The exponential integrals E1 and E2 over groups of 32 arguments.
//
// Contract (reference: mpmath at 50 digits, tests/cpp/reference): integrals_of_array and
// group_integrals give E1 and E2 within 2 ulp for x > 0; measured worst E1 1.214 ulp and E2 1.251
// ulp with FMA, 1.530 and 1.436 ulp on the baseline, over ordered and scattered arguments
// (tests/cpp/exponential_integrals_test.cpp). The continued fraction serves 1 < x <= 709.78; the
// arguments of 1 and below, negative ones, NaN and those above the cutoff take the scalar routine
// of numerics/exponential_integrals.cpp lane by lane, with its special values (E1(0) = +inf,
// E2(0) = 1, NaN below 0, +0 beyond the underflow).
#include <cstddef>
#include <cstdint>

#include "numerics/exponential_integrals.hpp"
#include "simd/exp.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// ---- exponential integrals E1 and E2 ------------------------------------------------------------
//
// E1 and E2 of 32 arguments at a time (four vectors that advance side by side, so that the latency
// of one chain of FMAs hides behind the others), for 1 < x <= 709.78 by the continued fraction of
// numerics/exponential_integrals.cpp run across the lanes:
//   exp(x) E1 = C1 = 1 / (x + 1 - Q2),  exp(x) E2 = C2 = C1 (1 - Q2),
//   Q_j = 1 / (b_j - a_j Q_(j+1)),  b_j = x + 2j - 1,  a_j = j^2,
// from a depth J with Q_(J+1) = 0. The depth is that for the smallest argument of the 32 (the
// fraction converges faster for larger x, so every lane is at least as accurate as alone); the
// arguments of a smooth grid change slowly, so neighbours need about the same depth.
// Arguments of 1 and below (the power series), NaN, negative ones and those above the cutoff take
// the scalar routine, lane by lane.
//
// The tail from level 2 is a ratio N/D of polynomials in x (tabulated for the common depths, else
// formed by the recurrence with one FMA per level and lane; no division either way); the last
// level and the product with exp(-x) are carried as value plus rounding error, so that the result
// rounds essentially once: within 2 ulps of E1 and E2 over the whole range (checked against mpmath).

constexpr double kIntegralCutoff = 709.782712893384;
constexpr int kGroup = 4;                        // vectors sharing one depth
constexpr std::size_t kGroupLanes = kGroup * kLanes;

// p - a b exactly, p being the rounded product a b (minus its rounding error): one FMA, or
// Dekker's split without FMA.
SIMD_INLINE V product_rounding(V a, V b, V p) {
#if defined(__FMA__)
  return fnma(a, b, p);
#else
  const V ta = set(134217729.0) * a, tb = set(134217729.0) * b;
  const V a_hi = ta - (ta - a), b_hi = tb - (tb - b);
  const V a_lo = a - a_hi, b_lo = b - b_hi;
  return (((p - a_hi * b_hi) - a_hi * b_lo) - a_lo * b_hi) - a_lo * b_lo;
#endif
}

// 1 / (hi + lo) as q + q_low, |lo| at most an ulp of hi: the remainder 1 - q hi is exact (a
// double, q being the rounded quotient).
SIMD_INLINE void reciprocal(V hi, V lo, V& q, V& q_low) {
  q = set(1.0) / hi;
#if defined(__FMA__)
  const V remainder = fnma(q, hi, set(1.0));
#else
  const V p = q * hi;
  const V remainder = (set(1.0) - p) + product_rounding(q, hi, p);
#endif
  q_low = q * fnma(q, lo, remainder);
}

// Levels for the truncation of the fraction to stay below 0.006 ulp of C1 and C2 at x: the scalar
// routine's rule (the truncation decays like exp(-4 (sqrt(J x) - sqrt(3 x)))) with 9.5 in place of
// its 11, which keeps it near 1e-5 ulp, further below the roundings than it need be; checked with
// mpmath against fractions 200 levels deeper (numerics/check_fraction_depth.py): 130 levels at
// x = 1, 16 at x = 30, 8 near 709.
SIMD_INLINE int fraction_depth(double x) {
  const double root = __builtin_sqrt(3.0 * x);
  return static_cast<int>(__builtin_ceil((9.5 + root) * (9.5 + root) / x)) + 3;
}

// The fraction truncated at depth J, from level J down to level 2, is the ratio of two polynomials
// in x: Q2 = N(x) / D(x), D of degree J - 1 and N of degree J - 2, both monic with positive integer
// coefficients (from N = 0, D = 1 and N' = D, D' = (x + 2j - 1) D - j^2 N). For the depths of
// x above about 11 (J up to 28, coefficients below 2^108) they are tabulated, exactly formed and
// rounded once to double: Horner's rule then takes one FMA per degree and polynomial instead of the
// three operations of a level of the recurrence. With positive terms and x > 0 nothing cancels,
// and each polynomial is within a few ulps, which Q2 passes on to C1 divided by about x^2.
constexpr int kTabulatedDepth = 28;

struct FractionPolynomials {
  // For depth J: D's coefficients of degree 0 .. J - 1 from d_offset[J], N's of degree 0 .. J - 2
  // from n_offset[J].
  double coefficient[2 * (kTabulatedDepth + 1) * (kTabulatedDepth + 1)];
  int d_offset[kTabulatedDepth + 1];
  int n_offset[kTabulatedDepth + 1];
};

__extension__ using Int128 = __int128;

constexpr FractionPolynomials make_fraction_polynomials() {
  FractionPolynomials table{};
  int next = 0;
  for (int depth = 3; depth <= kTabulatedDepth; ++depth) {
    Int128 n[kTabulatedDepth + 1] = {};
    Int128 d[kTabulatedDepth + 1] = {};
    d[0] = 1;
    int degree = 0;  // of d; n has degree - 1
    for (int j = depth; j >= 2; --j) {
      Int128 following[kTabulatedDepth + 1] = {};
      for (int i = 0; i <= degree; ++i) {
        following[i + 1] += d[i];
        following[i] += static_cast<Int128>(2 * j - 1) * d[i] - static_cast<Int128>(j) * j * n[i];
      }
      for (int i = 0; i <= degree + 1; ++i) {
        n[i] = d[i];
        d[i] = following[i];
      }
      ++degree;
    }
    table.d_offset[depth] = next;
    for (int i = 0; i <= degree; ++i) table.coefficient[next++] = static_cast<double>(d[i]);
    table.n_offset[depth] = next;
    for (int i = 0; i < degree; ++i) table.coefficient[next++] = static_cast<double>(n[i]);
  }
  return table;
}

constexpr FractionPolynomials kFractionPolynomials = make_fraction_polynomials();

// E1 (when kE1) and E2 of a group whose lanes all lie in (1, cutoff].
template <bool kE1>
SIMD_INLINE void fraction_integrals(const V (&x)[kGroup], V (&e1)[kGroup], V (&e2)[kGroup]) {
  V smallest = x[0];
  for (int g = 1; g < kGroup; ++g) smallest = min_or_second(x[g], smallest);
  alignas(64) double lanes[kLanes];
  store(lanes, smallest);
  double lowest = lanes[0];
  for (int j = 1; j < kLanes; ++j) lowest = lanes[j] < lowest ? lanes[j] : lowest;
  const int depth = fraction_depth(lowest);
  // (N, D) = (N2, D2), the tail from level 2 as a ratio.
  V n[kGroup], d[kGroup];
  if (depth <= kTabulatedDepth) {
    const double* dc = kFractionPolynomials.coefficient + kFractionPolynomials.d_offset[depth];
    const double* nc = kFractionPolynomials.coefficient + kFractionPolynomials.n_offset[depth];
    // Both monic; D's second coefficient first, then both side by side (four chains of FMAs).
    for (int g = 0; g < kGroup; ++g) n[g] = set(1.0), d[g] = x[g] + set(dc[depth - 2]);
    for (int i = depth - 3; i >= 0; --i) {
      const V dci = set(dc[i]), nci = set(nc[i]);
      for (int g = 0; g < kGroup; ++g) {
        d[g] = fma(d[g], x[g], dci);
        n[g] = fma(n[g], x[g], nci);
      }
    }
  } else {
    // The recurrence, level by level. D grows by at most b_j < 709.79 + 2 depth per level: up to
    // 64 levels by less than 2^(64 * 9.71), which leaves room below the overflow. Deeper fractions
    // (x below about 3.6) scale N and D by 2^-600 (exactly: they are far above the subnormals)
    // every fourth level once D passes 2^600, before 2^44 more could overflow it. Exact scaling
    // leaves every quotient, and so the result, unchanged.
    const bool rescale = depth > 64;
    for (int g = 0; g < kGroup; ++g) n[g] = set(0.0), d[g] = set(1.0);
    for (int j = depth; j >= 2; --j) {
      const V minus_a = set(-static_cast<double>(j) * j), odd = set(2.0 * j - 1.0);
      for (int g = 0; g < kGroup; ++g) {
        // -a N does not depend on the previous level's D: the chain per level is the FMA alone.
        const V next = fma(x[g] + odd, d[g], minus_a * n[g]);
        n[g] = d[g];
        d[g] = next;
      }
      if (rescale && (j & 3) == 0) {
        for (int g = 0; g < kGroup; ++g) {
          const V s = select(d[g] > set(0x1p600), set(0x1p-600), set(1.0));
          n[g] = n[g] * s;
          d[g] = d[g] * s;
        }
      }
    }
  }
  // The last level in double-double: with D1 = (x + 1) D2 - N2 = x D2 + (D2 - N2),
  //   C1 = 1 / (x + 1 - Q2) = D2 / D1,   C2 = C1 (1 - Q2) = (D2 - N2) / D1,
  // one reciprocal for both. D1 is formed as value + error (x D2 exactly by FMA, D2 - N2 by
  // Fast2Sum as N2 < D2, their sum likewise as x D2 > D2 - N2), so that only the ratio Q2 carries
  // the roundings of the deep tail: a relative error of Q2 reaches C1 multiplied by
  // Q2 / (x + 1 - Q2), at most 0.2 (at x = 1) and about 1 / x^2 beyond, and C2 by at most 0.5.
  for (int g = 0; g < kGroup; ++g) {
    const V p = x[g] * d[g];
    const V p_rounding = product_rounding(x[g], d[g], p);
    const V r = d[g] - n[g];
    const V r_err = (d[g] - r) - n[g];
    const V d1 = p + r;
    const V d1_low = ((p - d1) + r) + (r_err - p_rounding);
    V inverse, inverse_low;
    reciprocal(d1, d1_low, inverse, inverse_low);
    // exp(-x) = 2^k (1 + u): C (1 + u) = C + (u C + C_low (1 + u)), rounded once at the end
    // (1 + u itself is never rounded), then scaled by 2^k.
    V shifted;
    const V u = exp_mantissa_minus_one(-x[g], shifted);
    const I k = exponent_of(shifted);
    V m1 = set(0.0);
    if constexpr (kE1) {
      const V c1 = d[g] * inverse;
      const V c1_low = d[g] * inverse_low - product_rounding(d[g], inverse, c1);
      m1 = c1 + fma(u, c1, fma(u, c1_low, c1_low));
    }
    const V c2 = r * inverse;
    const V c2_low = fma(r, inverse_low, r_err * inverse) - product_rounding(r, inverse, c2);
    const V m2 = c2 + fma(u, c2, fma(u, c2_low, c2_low));
    if (all(x[g] <= set(700.0))) {
      // Normal results: one exact scaling.
      const V scale = from_bits(shl<52>(add_int(k, set_int(1023))));
      if constexpr (kE1) e1[g] = m1 * scale;
      e2[g] = m2 * scale;
    } else {
      // 2^k in two halves keeps both factors normal, so that only the last product rounds where
      // the result is subnormal (x above about 701.8).
      const I h = sub_int(shr<1>(add_int(k, set_int(2048))), set_int(1024));
      const V low = from_bits(shl<52>(add_int(h, set_int(1023))));
      const V high = from_bits(shl<52>(add_int(sub_int(k, h), set_int(1023))));
      if constexpr (kE1) e1[g] = (m1 * low) * high;
      e2[g] = (m2 * low) * high;
    }
  }
}

// E1 (when kE1; otherwise e1 is left undefined) and E2 of a group of arguments; lanes at and
// beyond `count` are padding (their results are not used). Lanes outside (1, cutoff] take the
// scalar routine.
template <bool kE1>
SIMD_INLINE void group_integrals(const V (&x)[kGroup], std::size_t count, V (&e1)[kGroup], V (&e2)[kGroup]) {
  M inside[kGroup];
  bool all_inside = true;
  for (int g = 0; g < kGroup; ++g) {
    inside[g] = (x[g] > set(1.0)) & (x[g] <= set(kIntegralCutoff));
    all_inside = all_inside && all(inside[g]);
  }
  if (all_inside) {
    fraction_integrals<kE1>(x, e1, e2);
    return;
  }
  // The fraction for the lanes inside (the others in its place at the cutoff, where it is
  // shortest), then the scalar routine for the rest.
  V safe[kGroup];
  for (int g = 0; g < kGroup; ++g) safe[g] = select(inside[g], x[g], set(kIntegralCutoff));
  fraction_integrals<kE1>(safe, e1, e2);
  alignas(64) double xs[kGroupLanes], first[kGroupLanes], second[kGroupLanes];
  for (int g = 0; g < kGroup; ++g) {
    store(xs + g * kLanes, x[g]);
    if constexpr (kE1) store(first + g * kLanes, e1[g]);
    store(second + g * kLanes, e2[g]);
  }
  for (std::size_t j = 0; j < count; ++j) {
    if (!(xs[j] > 1.0 && xs[j] <= kIntegralCutoff)) {
      const ExponentialIntegrals scalar = exponential_integrals(xs[j]);
      first[j] = scalar.e1;
      second[j] = scalar.e2;
    }
  }
  for (int g = 0; g < kGroup; ++g) {
    if constexpr (kE1) e1[g] = load(first + g * kLanes);
    e2[g] = load(second + g * kLanes);
  }
}

// Loads up to 32 values of a group, the lanes from `count` on filled with `fill`.
SIMD_INLINE void load_group(const double* p, std::size_t count, double fill, V (&v)[kGroup]) {
  for (int g = 0; g < kGroup; ++g) {
    const std::size_t offset = static_cast<std::size_t>(g) * kLanes;
    const std::size_t here = count > offset ? count - offset : 0;
    v[g] = load_lanes(p + offset, here, fill);
  }
}

SIMD_INLINE void store_group(double* p, std::size_t count, const V (&v)[kGroup]) {
  for (int g = 0; g < kGroup; ++g) {
    const std::size_t offset = static_cast<std::size_t>(g) * kLanes;
    const std::size_t here = count > offset ? count - offset : 0;
    if (here > 0) store_lanes(p + offset, here, v[g]);
  }
}

template <bool kE1>
SIMD_INLINE void integrals_of_array(const double* x, std::size_t n, double* e1, double* e2) {
  for (std::size_t i = 0; i < n; i += kGroupLanes) {
    const std::size_t count = n - i < kGroupLanes ? n - i : kGroupLanes;
    V xs[kGroup], first[kGroup], second[kGroup];
    // Padding repeats the last argument, which leaves the depth as it is.
    load_group(x + i, count, x[i + count - 1], xs);
    group_integrals<kE1>(xs, count, first, second);
    if constexpr (kE1) store_group(e1 + i, count, first);
    if (e2 != nullptr) store_group(e2 + i, count, second);
  }
}

static_assert(kGroupLanes == kIntegralGroup, "the group size is part of the interface");

}  // namespace
}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
