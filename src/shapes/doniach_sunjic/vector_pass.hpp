#pragma once
// The Doniach-Sunjic line's pass over the grid: what doniach_sunjic.cpp hands to the vector kernel
// (vector_kernels.hpp, reached through doniach_sunjic_kernels().chunk).

#include <cstddef>
#include <cstdint>

#include "summation_order.hpp"
#include "vector_math.hpp"

namespace brivane {

// One pass of the Doniach-Sunjic line over a chunk of the grid, for gamma > 0: per sample, with
// d = x - x0, psi = atan2(gamma, d) in (0, pi) and q = d^2 + gamma^2, the shape value
//   v = sin((1 - alpha) psi) q^(-(1 - alpha)/2)
// (the same as cos((1 - alpha) atan(d / gamma) + pi alpha / 2) / q^((1 - alpha)/2), without the
// cancellation of that cosine near pi/2 in the steep tail), stored in `shape`, and for each shift
// the change of ln v formed from exact differences of the terms (doniach_sunjic.cpp explains them).
// Chunk sums, in the order of ChunkedSums:
//   [0] sum c_i v_i over the grid, c_i = (x_{i+1} - x_{i-1}) / 2 (one-sided at the ends): the
//       trapezoid integral D;
//   [1] sum w_i over the samples i < used;
//   [2] samples where the kernel cannot form v (angle beyond the reduction, q not positive normal
//       and finite): the caller then takes the scalar formula;
//   [3] samples where a shift's change is not formed this way (a sine not above 0, an argument
//       beyond the small-argument series);
//   [4 + 2j] sum c_i v_i expm1(change_ij), the change of D for shift j; [5 + 2j] sum w_i change_ij;
//   [10] sum w_i ln v_i over the samples i < used (ln v from ln sin and the exponent the power
//       is formed from: one logarithm more per sample), for the log-likelihood sum w ln v - S ln D.
struct DoniachSunjicPass {
  const double* x = nullptr;
  std::size_t n = 0;                 // grid length
  const double* weights = nullptr;
  std::size_t used = 0;              // samples [0, used) carry weights
  double x0 = 0.0, gamma = 1.0;
  double one_minus_alpha = 1.0;      // 1 - alpha
  double half_exponent = 0.5;        // (1 - alpha) / 2
  std::size_t shifts = 0;            // at most 3
  std::uint8_t moved[3] = {0, 0, 0};    // parameter moved: 0 x0, 1 gamma, 2 alpha
  double step[3] = {0.0, 0.0, 0.0};     // the shift's change of that parameter
  double shifted_gamma[3] = {0.0, 0.0, 0.0};
  double* shape = nullptr;           // receives v_i, n entries
  double* chunk_minimum = nullptr;   // optional: per chunk, the least v_i of its used samples
};
inline constexpr std::size_t kDoniachSunjicPassSums = 11;

// The kernels of vector_kernels.hpp, one variant per instruction set, filled by name there.
struct DoniachSunjicKernels {
  // Samples [begin, end): `sums` receives kDoniachSunjicPassSums chunk totals.
  void (*chunk)(const DoniachSunjicPass& pass, std::size_t begin, std::size_t end, double* sums);
  // *sum = sum of weights[i] ln(values[i] / divisor + 1e-200) over [begin, end), one accumulator
  // per lane (the order of ChunkedSums).
  void (*weighted_log_density_chunk)(const double* values, const double* weights, double divisor, std::size_t begin,
                                     std::size_t end, double* sum);
};
BRIVANE_VECTOR_KERNEL_TABLE(DoniachSunjicKernels, kDoniachSunjicKernels, doniach_sunjic_kernels)

}  // namespace brivane
