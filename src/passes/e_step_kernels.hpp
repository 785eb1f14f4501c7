#pragma once
// The E-step over stored density rows (e_step_pass.hpp).
// Compiled once per instruction set (CMakeLists.txt, brivane_vector_kernels), each unit filling its
// variant of EStepKernels; the helpers stay inside this instruction set's namespace.

#include <cstddef>

#include "passes/blocks.hpp"
#include "passes/e_step_pass.hpp"
#include "simd/lanes.hpp"
#include "simd/log.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// Mixture, the per-sample factor and the log-likelihood of a block whose component densities are in
// `densities` (row k at k * kPassBlock): m = sum_k pi_k d_k in component order, factor =
// numerator / (m + 1e-20) (numerator: the intensity for weights, 1 for responsibilities),
// log-likelihood += intensity ln(m + 1e-200).
SIMD_INLINE void mixture_and_factor(const double* pi, std::size_t components, const double* intensity,
                                    const Block& b, const double* densities, bool weights,
                                    double* mixture_out, double* factor, V& log_likelihood) {
  for (std::size_t v = 0; v < b.vectors; ++v) {
    V m = set(0.0);
    for (std::size_t k = 0; k < components; ++k) m = fma(set(pi[k]), load(densities + k * kPassBlock + v * kLanes), m);
    const V counts = load_block(intensity, b, v, 0.0);
    // One division per sample serves every component.
    store(factor + v * kLanes, (weights ? counts : set(1.0)) / (m + set(1e-20)));
    log_likelihood = log_likelihood + real_lanes(b, v, counts * log_any(m + set(1e-200)));
    if (mixture_out != nullptr) store_block(mixture_out, b, v, m);
  }
}

}  // namespace

void e_step_chunk(const EStepPass& pass, std::size_t begin, std::size_t end, double* sums, double* scratch) {
  const std::size_t components = pass.components;
  double* accumulators = scratch;                                   // (1 + P) x 8
  double* densities = accumulators + (1 + components) * kLanes;     // P x kPassBlock
  double* factor = densities + components * kPassBlock;             // kPassBlock
  for (std::size_t j = 0; j < (1 + components) * kLanes; ++j) accumulators[j] = 0.0;
  for (std::size_t start = begin; start < end; start += kPassBlock) {
    const Block b = block_at(start, end);
    for (std::size_t k = 0; k < components; ++k) {
      for (std::size_t v = 0; v < b.vectors; ++v) {
        store(densities + k * kPassBlock + v * kLanes, load_block(pass.densities[k], b, v, 0.0));
      }
    }
    V log_likelihood = load(accumulators);
    mixture_and_factor(pass.pi, components, pass.intensity, b, densities, pass.weights, pass.mixture, factor,
                       log_likelihood);
    store(accumulators, log_likelihood);
    for (std::size_t k = 0; k < components; ++k) {
      const V weight = set(pass.pi[k]);
      V count = load(accumulators + (1 + k) * kLanes);
      for (std::size_t v = 0; v < b.vectors; ++v) {
        // (pi_k d_k) times the sample's factor: intensity G_k, or G_k.
        const V w = (weight * load(densities + k * kPassBlock + v * kLanes)) * load(factor + v * kLanes);
        store_block(pass.rows[k], b, v, w);
        count = count + real_lanes(b, v, w);
      }
      store(accumulators + (1 + k) * kLanes, count);
    }
  }
  for (std::size_t j = 0; j < 1 + components; ++j) sums[j] = lane_total(load(accumulators + j * kLanes));
}

const EStepKernels kEStepKernels = {.chunk = e_step_chunk};

}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
