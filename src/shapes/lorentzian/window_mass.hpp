#pragma once
// The Lorentzian's mass inside the window [x_min, x_max], for centre x0 and half width h:
//   (atan((x_max - x0) / h) - atan((x_min - x0) / h)) / pi,
// unfloored (an empty or inverted window gives 0 or less, h = 0 gives NaN; callers floor it).
//
// Two rounding orders are in use, and the order is part of each caller's results:
//   kScaleEachEnd     atan(u_max) / pi - atan(u_min) / pi, the cumulative distribution's two
//                     values (less the common 1/2) subtracted;
//   kScaleDifference  (atan(u_max) - atan(u_min)) / pi, one scaling of the angle between the ends.
// Both are within a few ulps of the mass (the subtraction is exact or nearly so whenever the ends
// cancel), and they differ only in which way the last bits round. The Lorentzian's fit uses the
// first, the pseudo-Voigt's Lorentzian part the second, each as its fits were recorded; unifying
// the order would move every fit of one of the two shapes by a last bit.

#include <cmath>
#include <numbers>

namespace brivane {

enum class MassOrder { kScaleEachEnd, kScaleDifference };

template <MassOrder kOrder>
inline double lorentzian_window_mass(double x0, double h, double x_min, double x_max) {
  const double upper = std::atan((x_max - x0) / h);
  const double lower = std::atan((x_min - x0) / h);
  if constexpr (kOrder == MassOrder::kScaleEachEnd) {
    return upper * std::numbers::inv_pi - lower * std::numbers::inv_pi;
  } else {
    return (upper - lower) * std::numbers::inv_pi;
  }
}

}  // namespace brivane
