#pragma once
// Dense Cholesky factorisation of the small symmetric systems of the solver (a few dozen unknowns
// at most), on row-major m x m storage. No pivoting: the solver hands it matrices scaled to a unit
// diagonal, where a pivot far below 1 means (near) singularity.

#include <cstddef>

namespace brivane::model {

// Overwrites the lower triangle of `a` with L, a = L L^T. Returns false, leaving `a` partly
// overwritten, when a pivot is not above `pivot_floor` (relative to a unit diagonal) or not finite.
bool cholesky_factor(double* a, std::size_t m, double pivot_floor);

// Solves L L^T x = b in place of b.
void cholesky_solve(const double* l, std::size_t m, double* b);

// The inverse of L L^T (both triangles) into `inverse`; `column` holds m scratch values.
void cholesky_inverse(const double* l, std::size_t m, double* inverse, double* column);

}  // namespace brivane::model
