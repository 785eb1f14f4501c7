#include "model/geodesic_acceleration.hpp"

#include <algorithm>
#include <cstring>

namespace brivane::model {

namespace {

// sum_i a_i b_i in eight interleaved partial sums (four vectors of two lanes): one running sum
// would wait an addition's latency per channel.
using Lanes = double __attribute__((vector_size(16)));

double dot(const double* a, const double* b, std::size_t n) {
  Lanes s[4] = {{0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (std::size_t k = 0; k < 4; ++k) {
      Lanes x, y;
      std::memcpy(&x, a + i + 2 * k, sizeof x);
      std::memcpy(&y, b + i + 2 * k, sizeof y);
      s[k] += x * y;
    }
  }
  const Lanes t = (s[0] + s[1]) + (s[2] + s[3]);
  double sum = t[0] + t[1];
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

}  // namespace

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
    right[a] = -scale[a] * dot(jacobian.data() + active[a] * n, curvature.data(), n);
  }
}

}  // namespace brivane::model
