#pragma once
// Bounds on the free parameters by projection with an active set. A parameter that sits on a bound
// while the score pushes it outward is held there for the step (it leaves the linear system);
// every other one takes part, and the step's result is projected back into the box. A parameter
// whose bounds coincide is always held.

#include <cstddef>
#include <span>

namespace brivane::model {

// held[k] = phi_k on its lower bound with score_k < 0 (the likelihood rises outward), on its upper
// bound with score_k > 0, or lower_k == upper_k. Returns the number not held; their indices in
// order go to `active`.
// `only`, when not empty, holds every parameter k with only[k] == 0 as well.
std::size_t choose_active(std::span<const double> phi, std::span<const double> lower, std::span<const double> upper,
                          std::span<const double> score, std::span<unsigned char> held,
                          std::span<std::size_t> active, std::span<const unsigned char> only = {});

// min(max(value, lower), upper).
inline double project(double value, double lower, double upper) {
  return value < lower ? lower : (value > upper ? upper : value);
}

// Whether phi_k lies on one of its bounds.
inline bool on_bound(double value, double lower, double upper) { return value <= lower || value >= upper; }

}  // namespace brivane::model
