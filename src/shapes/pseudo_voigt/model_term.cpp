#include "shapes/pseudo_voigt/model_term.hpp"

#include <cmath>
#include <cstddef>

namespace brivane::model {

namespace {
constexpr double kInverseSqrt2Pi = 0.39894228040143267794;
constexpr double kInversePi = 0.31830988618379067154;
constexpr double kTailSquared = 1400.0;  // the Gaussian part below 1e-304 of its peak beyond: 0
}  // namespace

void pseudo_voigt_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out) {
  const double center = parameters[0], fwhm = parameters[1], eta = parameters[2], area = parameters[3];
  const double inverse_sigma = kGaussianFwhmPerSigma / fwhm;
  const double gauss_scale = kInverseSqrt2Pi * inverse_sigma;
  const double half = 0.5 * fwhm;
  const double half_squared = half * half;
  const double inverse_fwhm = 1.0 / fwhm;
  const std::size_t n = channels.x.size();
  for (std::size_t i = 0; i < n; ++i) {
    const double u = channels.x[i] - center;
    const double t = u * inverse_sigma;
    const double gauss = t * t < kTailSquared ? std::exp(-0.5 * (t * t)) * gauss_scale : 0.0;
    const double u_squared = u * u;
    const double q = 1.0 / (u_squared + half_squared);
    const double lorentz = kInversePi * half * q;
    const double w = channels.width[i];
    const double unit = (eta * gauss + (1.0 - eta) * lorentz) * w;
    out.value[i] = area * unit;
    if (out.wants_derivatives) {
      // Both components scale as 1/fwhm at fixed u / fwhm: d/d fwhm = (shape term) / fwhm.
      const double gauss_center = gauss * t * inverse_sigma;
      const double gauss_fwhm = gauss * (t * t - 1.0) * inverse_fwhm;
      const double lorentz_center = lorentz * 2.0 * u * q;
      const double lorentz_fwhm = kInversePi * 0.5 * (u_squared - half_squared) * q * q;
      out.derivative[0][i] = area * w * (eta * gauss_center + (1.0 - eta) * lorentz_center);
      out.derivative[1][i] = area * w * (eta * gauss_fwhm + (1.0 - eta) * lorentz_fwhm);
      out.derivative[2][i] = area * w * (gauss - lorentz);
      out.derivative[3][i] = unit;
    }
  }
}

}  // namespace brivane::model
