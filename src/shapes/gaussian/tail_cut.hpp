#pragma once
// Where a Gaussian's density is taken as exactly 0, for the fitting layer's Gaussian term and the
// Gaussian part of its pseudo-Voigt term.

#include <cstddef>
#include <span>
#include <utility>

namespace brivane::model {

// Beyond |t| = sqrt(1400) the density is below 1e-304 of its peak: taken as exactly 0, which also
// lets the information's sums skip the channels beyond a narrow peak's tails.
inline constexpr double kGaussianTailSquared = 1400.0;

// The first and one past the last channel within the cut, t = (x - center) * inverse_sigma, found
// from both ends: on a sorted axis a narrow peak's exponentials are then spent only where it is
// not exactly 0. The test is the channels' loops' own, operation for operation.
inline std::pair<std::size_t, std::size_t> channels_within_gaussian_cut(std::span<const double> x, double center,
                                                                        double inverse_sigma) {
  auto near = [&](std::size_t i) {
    const double t = (x[i] - center) * inverse_sigma;
    return t * t < kGaussianTailSquared;
  };
  std::size_t begin = 0, end = x.size();
  while (begin < end && !near(begin)) ++begin;
  while (end > begin && !near(end - 1)) --end;
  return {begin, end};
}

}  // namespace brivane::model
