#pragma once
// Geodesic acceleration of a damped step (Transtrum and Sethna, "Improvements to the
// Levenberg-Marquardt algorithm for nonlinear least-squares minimization", 2012), for the Poisson
// likelihood. With v the damped step and mu''_v the model's second directional derivative along
// it, by a finite difference of step h along v,
//   mu''_v ~ (2 / h) ((mu(phi + h v) - mu(phi)) / h - J v),
// the acceleration a solves the same damped system with right-hand side -J^T diag(1/mu) mu''_v;
// the step v + a / 2 follows the valley's curve instead of its tangent. Where the acceleration is
// large against the velocity (2 |a| / |v| > 0.75 in the scaled norm) the step is not trusted.

#include <cstddef>
#include <span>

namespace brivane::model {

inline constexpr double kGeodesicProbe = 0.1;       // h, as a fraction of the step
inline constexpr double kGeodesicTrustRatio = 0.75;

// The acceleration's right-hand side over the active parameters, scaled:
//   right[a] = -scale[a] sum_i J[i, active[a]] mu''_i / mu_i,
// with mu''_i from mu, mu_probe = mu(phi + h v) and the velocity v over the active parameters
// (`velocity[a]`, parameter units). J is n x F column-major. `curvature` holds n scratch values.
void geodesic_right_side(std::span<const double> jacobian, std::size_t channel_count,
                         std::span<const std::size_t> active, std::span<const double> scale,
                         std::span<const double> velocity, std::span<const double> mu,
                         std::span<const double> mu_probe, std::span<double> curvature, std::span<double> right);

}  // namespace brivane::model
