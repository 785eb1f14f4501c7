#pragma once
// The Gaussian peak as a term of a spectrum model: expected counts area * f(x_i) * width_i with
// f(x) = exp(-u^2 / (2 sigma^2)) / (sigma sqrt(2 pi)), u = x - center, and their exact derivatives
// with respect to (center, sigma, area). sigma must be > 0 (the solver's bounds keep it so); the
// far tails underflow to 0 with their derivatives.

#include <cstddef>
#include <span>

#include "model/term_columns.hpp"

namespace brivane::model {

// parameters = (center, sigma, area).
void gaussian_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out);

// The term as the engine reaches it (model/peak_terms.hpp): parameters = (center, sigma, area).
struct GaussianTerm {
  static constexpr TermKind kKind{0};
  static constexpr const char* kName = "Gaussian";
  static constexpr std::size_t kParameters = 3;
  static void evaluate(const Channels& channels, std::span<const double> parameters, const TermAux& /*aux*/,
                       const TermOutput& out) {
    gaussian_model_term(channels, parameters, out);
  }
  static const char* aux_error(const TermAux& /*aux*/) { return nullptr; }
};

}  // namespace brivane::model
