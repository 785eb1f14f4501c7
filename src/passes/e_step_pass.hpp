#pragma once
// The E-step over stored density rows, for components 0..P-1:
//   m = sum_k pi_k d_k (in component order), f = c / (m + 1e-20) with c the intensity (weights)
//   or 1 (responsibilities), row_k = (pi_k d_k) f,
// and the chunk sums: [0] sum intensity ln(m + 1e-200), [1 + k] sum of row k.
// The kernel (e_step_kernels.hpp) is compiled once per instruction set and reached through
// e_step_kernels().chunk.

#include <cstddef>

#include "summation_order.hpp"
#include "vector_math.hpp"

namespace brivane {

struct EStepPass {
  const double* intensity = nullptr;
  std::size_t components = 0;           // P
  const double* pi = nullptr;           // P weights
  const double* const* densities = nullptr;  // P rows
  double* const* rows = nullptr;        // P rows written: intensity * G, or G
  bool weights = true;
  double* mixture = nullptr;            // optional: receives m
};
// Working memory of e_step_chunk, in doubles.
inline std::size_t e_step_scratch(std::size_t components) {
  return (1 + components) * kSumLanes + (components + 1) * kPassBlock;
}

// `sums` receives the chunk's sums over samples [begin, end) of one chunk of the fixed summation
// order (summation_order.hpp), `scratch` (e_step_scratch doubles) is working memory.
struct EStepKernels {
  void (*chunk)(const EStepPass& pass, std::size_t begin, std::size_t end, double* sums, double* scratch);
};
BRIVANE_VECTOR_KERNEL_TABLE(EStepKernels, kEStepKernels, e_step_kernels)

}  // namespace brivane
