#pragma once
// The Voigt peak as a term of a spectrum model: f = Re w(z) / (sigma sqrt(2 pi)),
// z = (u + i gamma) / (sigma sqrt 2), u = x - center, gamma the Lorentzian half width; expected
// counts area * f(x_i) * width_i and their exact derivatives with respect to
// (center, sigma, gamma, area), through w'(z) = -2 z w(z) + 2i / sqrt(pi).
//
// Far from the centre in units of sigma (|z| > 10, as when sigma -> 0) both w' and z w' + w, the
// combination d f / d sigma needs, are sums of nearly equal terms; there they come from the
// asymptotic series of w in the upper half plane instead, so the sigma -> 0 limit (the
// Lorentzian, whose sigma derivative is 0) is reached smoothly; w itself comes from the same
// series there (as many terms as |z| needs for full precision, 4 to 20), which spares the general
// Faddeeva function on most channels of a window many widths wide. On the ascending channels the
// series' length changes only a few times: the far channels go in runs of one length, each a
// vectorised loop giving the series' bits on every instruction set. The near channels take w
// from the vector Faddeeva kernel (faddeeva.hpp, within a few ulp of libcerf's w_of_z; its
// baseline variant, without FMA, may differ from the AVX2 one in the last bits). sigma = 0
// exactly gives the Lorentzian with a zero sigma derivative; gamma = 0 is the Gaussian. gamma
// must be >= 0.

#include <complex>
#include <cstddef>
#include <span>

#include "model/term_columns.hpp"

namespace brivane::model {

// w'(z) and z w'(z) + w(z), given z (Im z >= 0) and w = w(z).
struct FaddeevaDerivatives {
  std::complex<double> derivative;  // w'(z)
  std::complex<double> scaled;      // z w'(z) + w(z)
};
FaddeevaDerivatives faddeeva_derivatives(std::complex<double> z, std::complex<double> w);

// parameters = (center, sigma, gamma, area).
void voigt_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out);

// The term as the engine reaches it (model/peak_terms.hpp):
// parameters = (center, sigma, gamma, area).
struct VoigtTerm {
  static constexpr TermKind kKind{3};
  static constexpr const char* kName = "Voigt";
  static constexpr std::size_t kParameters = 4;
  static void evaluate(const Channels& channels, std::span<const double> parameters, const TermAux& /*aux*/,
                       const TermOutput& out) {
    voigt_model_term(channels, parameters, out);
  }
  static const char* aux_error(const TermAux& /*aux*/) { return nullptr; }
};

}  // namespace brivane::model
