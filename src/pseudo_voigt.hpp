#pragma once
// Pseudo-Voigt peaks: a Gaussian and a Lorentzian of one centre x0 and one full width at half
// maximum gamma, mixed as eta G + (1 - eta) L / Z. The Gaussian is the ordinary normal density
// over the whole line; the Lorentzian is normalised to unit mass over the analysis window
// [x_min, x_max] by its mass Z there. Here live the density, its weighted log-likelihood and the
// two single-peak fits (a one-pass conditional maximisation and an alternating full
// optimisation), which are also the per-component refits of the pseudo-Voigt mixture EM.

#include <cstddef>
#include <span>
#include <vector>

namespace brivane {

// The full width at half maximum of a normal density per unit of its standard deviation,
// 2 sqrt(2 ln 2).
inline constexpr double kFwhmPerSigma = 2.3548200450309493;

struct PseudoVoigtPeak {
  double x0 = 0.0;
  double gamma = 0.0;
  double eta = 0.0;  // the Gaussian's share
  friend bool operator==(const PseudoVoigtPeak&, const PseudoVoigtPeak&) = default;
};

struct PseudoVoigtFlags {
  bool fix_x0 = false;
  bool fix_gamma = false;
  bool fix_eta = false;
};

// The Lorentzian's mass inside [x_min, x_max], (atan((x_max - x0)/h) - atan((x_min - x0)/h)) / pi
// with h = gamma / 2, floored at 1e-300 (a NaN mass becomes 1e-300 too).
double pseudo_voigt_window_mass(double x0, double gamma, double x_min, double x_max);

// p(x_j) = eta G(x_j) + L(x_j) ((1 - eta) / Z) for every sample of the grid, inside the window or
// not. No parameter is checked: gamma = 0 gives NaN everywhere, an empty or inverted window a
// Lorentzian part scaled by 1e300. A row shorter than the grid fails with the index Failure
// before anything is written.
void pseudo_voigt_density(std::span<const double> x, const PseudoVoigtPeak& peak, double x_min, double x_max,
                          std::span<double> row);

// The density on a new array of the grid's length (empty for an empty grid).
std::vector<double> pseudo_voigt_predict(std::span<const double> x, const PseudoVoigtPeak& peak, double x_min,
                                         double x_max);

// sum_i w_i ln(p(x_i) + 1e-20) over the first min(len x, len w) samples, in sample order.
double pseudo_voigt_log_likelihood(std::span<const double> x, std::span<const double> weights,
                                   const PseudoVoigtPeak& peak, double x_min, double x_max);

}  // namespace brivane
