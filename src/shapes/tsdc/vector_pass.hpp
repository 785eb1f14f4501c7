#pragma once
// The TSDC curve's pass over a temperature grid: what tsdc.cpp hands to the vector kernel
// (vector_kernels.hpp, reached through tsdc_kernels().chunk).

#include <cstddef>

#include "numerics/exponential_integrals.hpp"
#include "summation_order.hpp"
#include "vector_math.hpp"

namespace brivane {

// The TSDC pass over samples [begin, end) of a temperature grid t, for one (ea, h = beta tau0):
// x = reduced_factor / t (reduced_factor = ea (1/k)), E1(x) and E2(x), then
//   row[i] = exp(E2 ((-1/h) t) + (ea / -k) / t) / h          (when row is not null),
// and, over the samples below `used` (when weights is not null), the chunk sums
//   [0] sum E1(ea / (k t)) w / k,   [1] sum E2(x) (w t),
// each taken by kSumLanes accumulators as the module's other sums. E1 at ea / (k t), an ulp or two
// from x, follows from E1 and E2 at x by one step of the derivative. Groups of kIntegralGroup
// samples from `begin` share the depth of their continued fraction: chunks that start at multiples
// of kIntegralGroup give every sample the same values whatever the split.
struct TsdcPass {
  const double* t = nullptr;
  const double* weights = nullptr;
  std::size_t used = 0;
  double ea = 0.0;
  double boltzmann = 0.0;       // k
  double reduced_factor = 0.0;  // ea (1/k)
  double minus_inverse_h = 0.0;
  double energy = 0.0;          // ea / -k
  double h = 0.0;
  double* row = nullptr;
  // When not null (with row), the chunk adds to it the trapezoid terms
  //   (t[j] - t[j - 1]) ((row[j - 1] + row[j]) 0.5)
  // of the pairs that end in it, in sample order: with the chunks run in order on one thread, the
  // grid's integral in one pass from the first pair to the last.
  double* integral = nullptr;
};

// The kernels of vector_kernels.hpp, one variant per instruction set, filled by name there.
struct TsdcKernels {
  // Samples [begin, end): `sums` (2 doubles) may be null, `scratch` is not used.
  void (*chunk)(const TsdcPass& pass, std::size_t begin, std::size_t end, double* sums, double* scratch);
};
BRIVANE_VECTOR_KERNEL_TABLE(TsdcKernels, kTsdcKernels, tsdc_kernels)

}  // namespace brivane
