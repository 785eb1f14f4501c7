#pragma once
// ln(1 + r) for |r| < 1e-4, by its series to r^4: the first omitted term, r^5 / 5, is below
// r^4 / 5 <= 2e-17 of the result, at most 0.18 ulp at the range's end and nothing below 1e-5. The
// shapes' shifted log-likelihoods take it for the logarithm of a density ratio 1 + r that a
// parameter step of 1e-7 leaves within 1e-4 of 1, where the library's log1p would cost a call per
// sample.
//
// The series is evaluated in one of two orders, and the order is part of each caller's results:
//   kFactored       r (1 + r (-1/2 + r (1/3 - r/4))): the bracket rounds near 1 (half an ulp of
//                   1, up to one ulp of the result) and the product rounds again: within 1.5 ulps
//                   (plus the omitted term);
//   kLinearTermLast r - r^2 (1/2 - r (1/3 - r/4)): r is added last to a correction below 5e-5 |r|,
//                   so only that addition rounds at the size of the result: within half an ulp
//                   plus the omitted term, correctly rounded for |r| below 3e-5 but for a rare tie.
// The second is the more accurate; the Lorentzian's pass keeps the first because its fits were
// recorded with it, and moving it to the second changes their last bits (by far less than any
// fit's tolerance, but the results are held bit for bit across refactoring).

namespace brivane {

enum class Log1pOrder { kFactored, kLinearTermLast };

template <Log1pOrder kOrder>
inline double log1p_small(double r) {
  if constexpr (kOrder == Log1pOrder::kFactored) {
    return r * (1.0 + r * (-0.5 + r * (1.0 / 3.0 - r * 0.25)));
  } else {
    return r - (r * r) * (0.5 - r * (1.0 / 3.0 - r * 0.25));
  }
}

}  // namespace brivane
