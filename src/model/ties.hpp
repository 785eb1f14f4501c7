#pragma once
// The map from the free vector phi to the full vector theta, and its derivative. Each parameter
// depends on one free parameter at most (its root, at the end of its chain of ties), so the
// derivative d theta / d phi has one entry per row: slope[j] = d theta_j / d phi_root(j), by the
// chain rule along the ties (0 when the root is fixed).

#include <span>

#include "model/problem.hpp"

namespace brivane::model {

// The K-alpha2 angle (degrees 2-theta) from the K-alpha1 angle by Bragg's law,
// 2 asin(ratio sin(theta1 / 2)), ratio = lambda2 / lambda1; NaN where the sine would exceed 1.
double bragg_angle(double source_degrees, double ratio);
// Its derivative with respect to the source angle: ratio cos(a) / sqrt(1 - ratio^2 sin^2 a),
// a = theta1 / 2 in radians.
double bragg_angle_slope(double source_degrees, double ratio);

// theta from phi (free parameters from phi, fixed ones from their values, ties in chain order)
// and the slopes above. theta and slope have the problem's parameter count.
void expand_free_vector(const Problem& problem, std::span<const double> phi, std::span<double> theta,
                        std::span<double> slope);

}  // namespace brivane::model
