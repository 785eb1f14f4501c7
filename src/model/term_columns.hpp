#pragma once
// What a peak kernel is given and what it writes: the channels (centres and widths) and, per
// channel, the peak's expected counts and their derivatives with respect to each of its
// parameters, in the term's parameter order. The kernels live beside their shapes
// (src/shapes/<shape>/model_term.hpp); the model evaluation dispatches on the term's kind.

#include <array>
#include <cstddef>
#include <span>

#include "model/term_kinds.hpp"

namespace brivane::model {

// A term's two auxiliary values (TermSpec::aux): what a kind needs besides its parameters.
using TermAux = std::array<double, 2>;

struct Channels {
  std::span<const double> x;      // channel centres, strictly ascending
  std::span<const double> width;  // channel widths, > 0
};

// value[i] = the term's expected counts in channel i. derivative[k], when not null, receives
// d value[i] / d parameter k for every channel; a null `derivative` array (or entry) skips them.
struct TermOutput {
  double* value = nullptr;
  std::array<double*, kMaxPeakParameters> derivative{};
  bool wants_derivatives = false;
};

}  // namespace brivane::model
