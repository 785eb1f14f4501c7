#include "shapes/doniach_sunjic/model_term.hpp"

#include <cmath>
#include <cstddef>

namespace brivane::model {

void doniach_sunjic_model_term(const Channels& channels, std::span<const double> parameters, double tail,
                               const TermOutput& out) {
  const double center = parameters[0], gamma = parameters[1], alpha = parameters[2], area = parameters[3];
  // The line of the mirrored offset u = mirror (x - center): d u / d center = -mirror, so the
  // centre's column is mirror times the unmirrored line's; gamma's and alpha's do not change.
  const double mirror = tail > 0.0 ? -1.0 : 1.0;
  const double power = 1.0 - alpha;
  const std::size_t n = channels.x.size();
  // First pass: g_i w_i into value and (d g_i / d theta_k) w_i into the derivative columns, with
  // their sums over the window.
  double sum = 0.0;
  double sum_derivative[3] = {0.0, 0.0, 0.0};
  for (std::size_t i = 0; i < n; ++i) {
    const double u = mirror * (channels.x[i] - center);
    const double q = gamma * gamma + u * u;
    // cos(pi alpha / 2 + (1 - alpha) atan(u / gamma)) = sin((1 - alpha) psi), psi = atan2(gamma, u)
    // in (0, pi): the cosine's argument nears pi/2 in the steep tail, where it would cancel.
    const double psi = std::atan2(gamma, u);
    const double log_q = std::log(q);
    const double envelope = std::exp(-0.5 * power * log_q);  // q^(-(1 - alpha)/2)
    const double s = std::sin(power * psi), c = std::cos(power * psi);
    const double w = channels.width[i];
    const double g = s * envelope * w;
    out.value[i] = g;
    sum += g;
    if (out.wants_derivatives) {
      const double common = envelope * power / q * w;
      const double d_center = mirror * common * (gamma * c + u * s);
      const double d_gamma = common * (u * c - gamma * s);
      const double d_alpha = envelope * w * (0.5 * s * log_q - c * psi);
      out.derivative[0][i] = d_center;
      out.derivative[1][i] = d_gamma;
      out.derivative[2][i] = d_alpha;
      sum_derivative[0] += d_center;
      sum_derivative[1] += d_gamma;
      sum_derivative[2] += d_alpha;
    }
  }
  // Second pass: value = area g w / S; d/d theta = area (g' w / S - g w S' / S^2).
  const double inverse_sum = 1.0 / sum;
  const double ratio[3] = {sum_derivative[0] * inverse_sum, sum_derivative[1] * inverse_sum,
                           sum_derivative[2] * inverse_sum};
  for (std::size_t i = 0; i < n; ++i) {
    const double unit = out.value[i] * inverse_sum;
    out.value[i] = area * unit;
    if (out.wants_derivatives) {
      for (std::size_t k = 0; k < 3; ++k) {
        out.derivative[k][i] = area * (out.derivative[k][i] * inverse_sum - unit * ratio[k]);
      }
      out.derivative[3][i] = unit;
    }
  }
}

}  // namespace brivane::model
