#pragma once
// One damped Fisher-scoring step inside the bounds. The step solves
// (F~ + lambda I) d~ = g~ over the active parameters (F~ = S F S, g~ = S g, S their Marquardt
// scales, d = S d~). Where the step would carry a parameter across a bound, that parameter is
// pinned on the bound and the others are solved again with its move fixed,
// (F~_RR + lambda I) d~_R = g~_R - F~_RP d~_P, until no free one crosses: the remaining parameters
// answer the pinned ones' actual move instead of the move they were denied, which a plain
// projection of the first solution would ignore. At most one round per active parameter.

#include <cstddef>
#include <span>

namespace brivane::model {

struct BoundedStepScratch {
  std::span<double> system;         // m^2
  std::span<double> right;          // m
  std::span<double> scaled_step;    // m
  std::span<unsigned char> pinned;  // m
  std::span<std::size_t> reduced;   // m
};

// Writes phi_trial[k] for the active parameters k = active[a] (the others are the caller's):
// inside [lower_k, upper_k], pinned ones exactly on their bound. `information` is F x F,
// row-major; `score`, `phi`, `lower`, `upper` and `phi_trial` are indexed by free parameter;
// `scale` by active position. Returns false when a damped system is not positive definite.
bool bounded_damped_step(std::span<const double> information, std::size_t free_count, std::span<const double> score,
                         std::span<const std::size_t> active, std::span<const double> scale,
                         std::span<const double> phi, std::span<const double> lower, std::span<const double> upper,
                         double damping, const BoundedStepScratch& scratch, std::span<double> phi_trial);

}  // namespace brivane::model
