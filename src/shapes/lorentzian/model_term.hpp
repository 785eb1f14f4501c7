#pragma once
// The Lorentzian (Cauchy) peak as a term of a spectrum model: expected counts
// area * f(x_i) * width_i with f(x) = h / (pi (u^2 + h^2)), h = fwhm / 2, u = x - center, and their
// exact derivatives with respect to (center, fwhm, area). fwhm must be > 0.

#include <cstddef>
#include <span>

#include "model/term_columns.hpp"

namespace brivane::model {

// parameters = (center, fwhm, area).
void lorentzian_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out);

// The term as the engine reaches it (model/peak_terms.hpp): parameters = (center, fwhm, area).
struct LorentzianTerm {
  static constexpr TermKind kKind{1};
  static constexpr const char* kName = "Lorentzian";
  static constexpr std::size_t kParameters = 3;
  static void evaluate(const Channels& channels, std::span<const double> parameters, const TermAux& /*aux*/,
                       const TermOutput& out) {
    lorentzian_model_term(channels, parameters, out);
  }
  static const char* aux_error(const TermAux& /*aux*/) { return nullptr; }
};

}  // namespace brivane::model
