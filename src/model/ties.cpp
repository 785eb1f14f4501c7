#include "model/ties.hpp"

#include <cmath>
#include <cstddef>

namespace brivane::model {

namespace {
constexpr double kRadiansPerHalfDegree = 3.14159265358979323846 / 360.0;  // 2-theta degrees to theta radians
}

double bragg_angle(double source_degrees, double ratio) {
  return std::asin(ratio * std::sin(source_degrees * kRadiansPerHalfDegree)) / kRadiansPerHalfDegree;
}

double bragg_angle_slope(double source_degrees, double ratio) {
  const double a = source_degrees * kRadiansPerHalfDegree;
  const double s = ratio * std::sin(a);
  return ratio * std::cos(a) / std::sqrt(1.0 - s * s);
}

void expand_free_vector(const Problem& problem, std::span<const double> phi, std::span<double> theta,
                        std::span<double> slope) {
  const auto parameters = problem.parameters();
  for (std::size_t j = 0; j < parameters.size(); ++j) {
    theta[j] = parameters[j].value;
    slope[j] = 0.0;
  }
  const auto free_index = problem.free_index();
  for (std::size_t k = 0; k < free_index.size(); ++k) {
    theta[free_index[k]] = phi[k];
    slope[free_index[k]] = 1.0;
  }
  for (std::size_t j : problem.tie_order()) {
    const ParameterSpec& p = parameters[j];
    const double source = theta[p.source];
    if (p.role == Role::kLinearTie) {
      theta[j] = p.scale * source + p.offset;
      slope[j] = p.scale * slope[p.source];
    } else {
      theta[j] = bragg_angle(source, p.scale);
      slope[j] = bragg_angle_slope(source, p.scale) * slope[p.source];
    }
  }
}

}  // namespace brivane::model
