#include "shapes/lorentzian/model_term.hpp"

#include <cstddef>

namespace brivane::model {

namespace {
constexpr double kInversePi = 0.31830988618379067154;
}

void lorentzian_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out) {
  const double center = parameters[0], half = 0.5 * parameters[1], area = parameters[2];
  const double half_squared = half * half;
  const std::size_t n = channels.x.size();
  for (std::size_t i = 0; i < n; ++i) {
    const double u = channels.x[i] - center;
    const double u_squared = u * u;
    const double q = 1.0 / (u_squared + half_squared);
    const double unit = kInversePi * half * q * channels.width[i];
    const double counts = area * unit;
    out.value[i] = counts;
    if (out.wants_derivatives) {
      // d f / d center = 2 u h / (pi q^2) = f 2u q; d f / d h = f (u^2 - h^2) q / h, and d h / d fwhm = 1/2.
      out.derivative[0][i] = counts * 2.0 * u * q;
      out.derivative[1][i] = area * kInversePi * 0.5 * (u_squared - half_squared) * q * q * channels.width[i];
      out.derivative[2][i] = unit;
    }
  }
}

}  // namespace brivane::model
