#include "shapes/gaussian/model_term.hpp"

#include <cmath>
#include <cstddef>

namespace brivane::model {

namespace {
constexpr double kInverseSqrt2Pi = 0.39894228040143267794;
// Beyond |t| = sqrt(1400) the density is below 1e-304 of its peak: taken as 0 without calling exp,
// whose underflow path (errno and all) would cost more than the whole near part of the peak.
constexpr double kTailSquared = 1400.0;
}

void gaussian_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out) {
  const double center = parameters[0], sigma = parameters[1], area = parameters[2];
  const double inverse_sigma = 1.0 / sigma;
  const double scale = kInverseSqrt2Pi * inverse_sigma;
  const std::size_t n = channels.x.size();
  for (std::size_t i = 0; i < n; ++i) {
    const double t = (channels.x[i] - center) * inverse_sigma;
    const double t_squared = t * t;
    const double unit = t_squared < kTailSquared ? std::exp(-0.5 * t_squared) * scale * channels.width[i] : 0.0;
    const double counts = area * unit;
    out.value[i] = counts;
    if (out.wants_derivatives) {
      out.derivative[0][i] = counts * t * inverse_sigma;
      out.derivative[1][i] = counts * (t_squared - 1.0) * inverse_sigma;
      out.derivative[2][i] = unit;
    }
  }
}

}  // namespace brivane::model
