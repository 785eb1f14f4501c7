#pragma once
// The exponential integrals E1 and E2, E_n(x) = integral from 1 to infinity of exp(-x s) s^-n ds,
// to double precision (within an ulp of the exact value over the whole double range).
//
// Special values, the same for both: NaN for a NaN or negative argument; at 0, E1 is +inf and
// E2 is 1 (= 1/(n - 1)); above 709.782712893384 (where exp(-x) leaves the normal range) both
// are 0.
//
// Below 1 the power series about 0 is used, above 1 the continued fraction of exp(x) E_n(x).
// Both are carried in double-double arithmetic where their terms cancel or round, so that only
// the final rounding to a double is felt (see exponential_integrals.cpp).

#include <cstddef>
#include <span>

namespace brivane {

// Both special values and the series/fraction switch are tested against this.
inline constexpr double kExponentialIntegralCutoff = 709.782712893384;

// The vectorised routine takes its arguments in groups of this many from the first, and every
// argument of a group shares the depth of its continued fraction (that of the group's smallest):
// callers that split a grid at multiples of the group get the same values whatever the split.
inline constexpr std::size_t kIntegralGroup = 32;

double exponential_integral_e1(double x);
double exponential_integral_e2(double x);

struct ExponentialIntegrals {
  double e1;
  double e2;
};

// E1(x) and E2(x) together, for less than the cost of the two calls.
ExponentialIntegrals exponential_integrals(double x);

// The same over an array, vectorised (simd/exponential_integrals.hpp): e1[i] = E1(x[i]), e2[i] = E2(x[i]) for the
// first x.size() entries; an empty output span is skipped. Within 2 ulps of the exact values (the
// deep part of the continued fraction in plain double), with the special values above exactly;
// groups of 32 neighbouring arguments share the depth of the fraction, that of the smallest.
void exponential_integrals(std::span<const double> x, std::span<double> e1, std::span<double> e2);

}  // namespace brivane
