#pragma once
// Box bounds of the bounded minimiser and the operations on them that every part shares.

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace brivane::lbfgsb {

enum class BoundKind { Unbounded, LowerOnly, UpperOnly, Both };

struct Box {
  std::span<const double> lower;
  std::span<const double> upper;
  std::vector<BoundKind> kind;
  std::vector<bool> fixed;  // both bounds and upper - lower <= 0

  bool has_lower(std::size_t i) const { return kind[i] == BoundKind::LowerOnly || kind[i] == BoundKind::Both; }
  bool has_upper(std::size_t i) const { return kind[i] == BoundKind::UpperOnly || kind[i] == BoundKind::Both; }
  double clamp(std::size_t i, double value) const {
    if (has_lower(i) && value < lower[i]) value = lower[i];
    if (has_upper(i) && value > upper[i]) value = upper[i];
    return value;
  }
};

// Classifies the bounds (the infinities are tested exactly) and marks the fixed variables.
Box classify_bounds(std::span<const double> lower, std::span<const double> upper);

// Infinity norm of the projected gradient; NaN components are passed over.
double projected_gradient_norm(const Box& box, std::span<const double> x, std::span<const double> g);

inline double dot(std::span<const double> a, std::span<const double> b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

}  // namespace brivane::lbfgsb
