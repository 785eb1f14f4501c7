#pragma once
// The Lorentzian (Cauchy) peak as a term of a spectrum model: expected counts
// area * f(x_i) * width_i with f(x) = h / (pi (u^2 + h^2)), h = fwhm / 2, u = x - center, and their
// exact derivatives with respect to (center, fwhm, area). fwhm must be > 0.

#include <span>

#include "model/term_columns.hpp"

namespace brivane::model {

// parameters = (center, fwhm, area).
void lorentzian_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out);

}  // namespace brivane::model
