#pragma once
// The generalised Cauchy point: the first local minimiser of the quadratic model along the
// projected steepest-descent path x(t) = P(x - t g), found by walking the path's breakpoints in
// order (Byrd, Lu, Nocedal and Zhu 1995, Algorithm CP).

#include <span>
#include <vector>

#include "numerics/bounds.hpp"
#include "numerics/lbfgs_memory.hpp"

namespace brivane::lbfgsb {

struct CauchyPoint {
  std::vector<double> x;  // the Cauchy point
  std::vector<double> c;  // W^T (x_cp - x), used by the subspace minimisation
  // Working storage, kept from one iteration to the next so that the search allocates nothing
  // once it has reached its largest sizes: the breakpoints, the path direction, W^T d, M W^T d,
  // a row of W and M times it, and the breakpoints' order.
  std::vector<double> t, d, p, mp, wb, mwb;
  std::vector<std::size_t> order;
};

// Returns false when the point cannot be computed (the compact matrix is singular or the model's
// curvature along the path is not a finite number).
bool generalised_cauchy_point(const Box& box, std::span<const double> x, std::span<const double> g,
                              const LimitedMemory& memory, CauchyPoint& point);

}  // namespace brivane::lbfgsb
