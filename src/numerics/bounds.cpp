#include "numerics/bounds.hpp"

#include <algorithm>
#include <limits>

namespace brivane::lbfgsb {

Box classify_bounds(std::span<const double> lower, std::span<const double> upper) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  Box box{lower, upper, std::vector<BoundKind>(lower.size()), std::vector<bool>(lower.size())};
  for (std::size_t i = 0; i < lower.size(); ++i) {
    const bool no_lower = lower[i] == -inf;
    const bool no_upper = upper[i] == inf;
    box.kind[i] = no_lower ? (no_upper ? BoundKind::Unbounded : BoundKind::UpperOnly)
                           : (no_upper ? BoundKind::LowerOnly : BoundKind::Both);
    box.fixed[i] = box.kind[i] == BoundKind::Both && upper[i] - lower[i] <= 0.0;
  }
  return box;
}

double projected_gradient_norm(const Box& box, std::span<const double> x, std::span<const double> g) {
  double norm = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    double component = g[i];
    if (component < 0.0) {
      if (box.has_upper(i)) component = std::max(x[i] - box.upper[i], component);
    } else if (component >= 0.0 && box.has_lower(i)) {
      component = std::min(x[i] - box.lower[i], component);
    }
    if (!std::isnan(component)) norm = std::max(norm, std::fabs(component));
  }
  return norm;
}

}  // namespace brivane::lbfgsb
