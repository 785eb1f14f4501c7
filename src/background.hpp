#pragma once
// Background components of the EM mixture: their density rows and the tilt estimate of the linear
// background. Background rows follow the K peak rows and enter the E-step and weight update exactly
// like peaks.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "matrix.hpp"
#include "background_row.hpp"

namespace brivane {

using BasisRows = std::vector<std::vector<double>>;

enum BackgroundCode : std::uint8_t {
  kNoBackground = 0,
  kUniformBackground = 1,
  kSquareRootBackground = 2,
  kLinearBackground = 3,
  kBasisBackground = 4,
};

// Number of background rows B for a code: 0 for code 0, the number of basis rows for code 4 (0
// without any), 1 for every other code (5 to 255 add one all-zero row).
std::size_t background_row_count(std::uint8_t bg_type, const BasisRows* spline_basis_preds);

// Writes rows K .. K+B-1 of `densities` over the whole grid: uniform 1/w, square-root law
// sqrt(x)/N and the tilted linear density max(a x + c, 0) inside [x_min, x_max] (both ends
// included) and 0 outside; code 4 copies the caller's basis rows unchanged (a row whose length is
// not the grid's raises the copy-length Failure); codes 5..255 write zeros. Degenerate windows do
// not fail: the uniform row becomes 0, the square-root normaliser falls back to 1.
void background_densities(RowMatrix& densities, std::size_t peak_count, std::uint8_t bg_type,
                          std::span<const double> x, double x_min, double x_max, double s_tri,
                          const BasisRows* spline_basis_preds);

// How a pass over the grid forms the first background row from x alone, with the same values as
// background_densities: the uniform row and the all-zero row of codes 5..255 as a constant inside
// the window, the linear row as max(slope x + intercept, 0) inside it. The square-root and basis
// rows are stored (form kStored): the pass reads them from rows computed once.
BackgroundRow background_row_form(std::uint8_t bg_type, double x_min, double x_max, double s_tri);

// Score of the linear background's weighted log-likelihood with respect to its tilt s, over the
// first min(n, len w) samples inside the window; the derivative of the density does not depend on
// s, and 1e-5 keeps the denominator away from zero.
double linear_background_score(std::span<const double> x, std::span<const double> weights,
                               double x_min, double x_max, double s);

// Maximum-likelihood tilt of the linear background for sample weights w (intensity times the
// background responsibility), in [-0.99999, 0.99999]: a falling background has a negative tilt.
// The root of the score is found by Brent's method (tolerance 1e-8) in [0, 0.99999] when the score
// changes sign there, else in [-0.99999, 0]. Without a sign change the end toward which the
// likelihood rises is taken: 0.99999 when the score is positive at 0 and 0.99999, -0.99999 when it
// is negative at -0.99999, 0 and 0.99999. When a search runs out of steps, the end of its interval
// with the larger score. A NaN score at any of the three points gives 0.99999. Always returns a
// number.
double estimate_s_tri(std::span<const double> x, std::span<const double> weights, double x_min,
                      double x_max);

}  // namespace brivane
