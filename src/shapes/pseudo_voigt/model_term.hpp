#pragma once
// The pseudo-Voigt peak as a term of a spectrum model: f = eta G + (1 - eta) L, with G the Gaussian
// of sigma = fwhm / (2 sqrt(2 ln 2)) and L the Lorentzian of the same fwhm (eta is the Gaussian
// fraction, in [0, 1]); expected counts area * f(x_i) * width_i and their exact derivatives with
// respect to (center, fwhm, eta, area).

#include <cstddef>
#include <span>

#include "model/term_columns.hpp"

namespace brivane::model {

// fwhm / sigma of a Gaussian: 2 sqrt(2 ln 2).
inline constexpr double kGaussianFwhmPerSigma = 2.3548200450309493;

// parameters = (center, fwhm, eta, area).
void pseudo_voigt_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out);

// The term as the engine reaches it (model/peak_terms.hpp):
// parameters = (center, fwhm, eta, area).
struct PseudoVoigtTerm {
  static constexpr TermKind kKind{2};
  static constexpr const char* kName = "PseudoVoigt";
  static constexpr std::size_t kParameters = 4;
  static void evaluate(const Channels& channels, std::span<const double> parameters, const TermAux& /*aux*/,
                       const TermOutput& out) {
    pseudo_voigt_model_term(channels, parameters, out);
  }
  static const char* aux_error(const TermAux& /*aux*/) { return nullptr; }
};

}  // namespace brivane::model
