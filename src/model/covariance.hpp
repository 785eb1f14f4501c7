#pragma once
// The covariance of the fitted parameters: the inverse Fisher information over the free
// parameters that are not on a bound (those on a bound are held there: they have no error in this
// approximation and do not inflate the others'), mapped to the full vector by the tie Jacobian
// (the delta method: cov(theta_j, theta_l) = slope_j slope_l cov(phi_root(j), phi_root(l))). Fixed
// parameters, parameters on a bound and parameters tied to either have rows and columns of zeros.

#include <cstddef>
#include <span>

#include "model/problem.hpp"

namespace brivane::model {

// Fills `covariance` (P x P, row-major). `information` is the F x F Fisher information,
// `included[k]` says whether free parameter k takes part. `matrix` holds F^2 and `column` F
// scratch values. Returns false, with every entry NaN, when the information over the included
// parameters is singular (a pivot of its unit-diagonal scaling below 1e-13, a condition number
// beyond about 1e13) or not finite.
bool full_covariance(const Problem& problem, std::span<const double> information,
                     std::span<const unsigned char> included, std::span<const double> slope,
                     std::span<double> covariance, std::span<double> matrix, std::span<double> column);

}  // namespace brivane::model
