#pragma once
// Minimisation of the quadratic model over the variables that the Cauchy point leaves free, by
// the direct primal method (Byrd, Lu, Nocedal and Zhu 1995, section 5.1), the result projected
// back into the box (Morales and Nocedal 2011).

#include <span>
#include <vector>

#include "numerics/bounds.hpp"
#include "numerics/cauchy_point.hpp"
#include "numerics/lbfgs_memory.hpp"

namespace brivane::lbfgsb {

// Working storage of the subspace minimisation, kept from one iteration to the next: the free
// variables, M c, the reduced gradient and step, W_Z^T r, and the reduced system's right-hand
// side, W_Z^T W_Z and matrix.
struct SubspaceStorage {
  std::vector<std::size_t> free;
  std::vector<double> mc, r, d, wr;
  Dense v, wtw, system;
};

// Writes the projected subspace minimiser into `minimiser`; returns false when the reduced
// system is singular.
bool subspace_minimiser(const Box& box, std::span<const double> x, std::span<const double> g,
                        const LimitedMemory& memory, const CauchyPoint& cauchy,
                        std::vector<double>& minimiser, SubspaceStorage& storage);

}  // namespace brivane::lbfgsb
