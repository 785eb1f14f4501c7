#pragma once
// The score and the Fisher information of the Poisson log-likelihood over the free parameters:
// g = J^T (y / mu - 1) and F = J^T diag(1 / mu) J, J the Jacobian d mu / d phi (n x F,
// column-major). F is the expected information (Fisher scoring): it needs no second derivatives of
// the model and stays positive semi-definite away from the optimum. Channels with mu_i = 0 (hence
// y_i = 0) contribute nothing.

#include <cstddef>
#include <span>

#include "model/problem.hpp"

namespace brivane::model {

// J over the free vector from J over the full vector by the chain rule: column k is the sum of the
// full columns j whose root is k, each times slope[j].
void free_jacobian(const Problem& problem, std::span<const double> full_jacobian, std::span<const double> slope,
                   std::span<double> jacobian);

// g (F values) and F (F x F, row-major, both triangles). `weighted` and `residual` hold n scratch
// values each, `support` 2 F.
void score_and_information(std::span<const double> jacobian, std::size_t free_count, std::span<const double> counts,
                           std::span<const double> mu, std::span<double> score, std::span<double> information,
                           std::span<double> weighted, std::span<double> residual, std::span<std::size_t> support);

}  // namespace brivane::model
