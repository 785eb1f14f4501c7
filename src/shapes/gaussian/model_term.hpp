#pragma once
// The Gaussian peak as a term of a spectrum model: expected counts area * f(x_i) * width_i with
// f(x) = exp(-u^2 / (2 sigma^2)) / (sigma sqrt(2 pi)), u = x - center, and their exact derivatives
// with respect to (center, sigma, area). sigma must be > 0 (the solver's bounds keep it so); the
// far tails underflow to 0 with their derivatives.

#include <span>

#include "model/term_columns.hpp"

namespace brivane::model {

// parameters = (center, sigma, area).
void gaussian_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out);

}  // namespace brivane::model
