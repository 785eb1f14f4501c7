#include "model/geodesic_acceleration.hpp"

#include <algorithm>

namespace brivane::model {

void geodesic_right_side(std::span<const double> jacobian, std::size_t channel_count,
                         std::span<const std::size_t> active, std::span<const double> scale,
                         std::span<const double> velocity, std::span<const double> mu,
                         std::span<const double> mu_probe, std::span<double> curvature, std::span<double> right) {
  const std::size_t n = channel_count, m = active.size();
  const double h = kGeodesicProbe;
  // J v, then mu''_v / mu in place.
  std::fill(curvature.begin(), curvature.begin() + n, 0.0);
  for (std::size_t a = 0; a < m; ++a) {
    const double* column = jacobian.data() + active[a] * n;
    const double v = velocity[a];
    for (std::size_t i = 0; i < n; ++i) curvature[i] += column[i] * v;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double second = (2.0 / h) * ((mu_probe[i] - mu[i]) / h - curvature[i]);
    curvature[i] = mu[i] > 0.0 ? second / mu[i] : 0.0;
  }
  for (std::size_t a = 0; a < m; ++a) {
    const double* column = jacobian.data() + active[a] * n;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += column[i] * curvature[i];
    right[a] = -scale[a] * sum;
  }
}

}  // namespace brivane::model
