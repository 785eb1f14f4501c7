#pragma once
// Thermally stimulated depolarisation current (TSDC) peaks: the current of a first-order
// relaxation heated at a constant rate, its density over a temperature grid, the relation
// between the relaxation time and the peak temperature, and the two maximum-likelihood fits of
// one peak to weighted samples (counts, or counts times responsibilities inside a mixture).
//
// Units: temperatures in kelvin, activation energies in electronvolts, tau0 in the time unit of
// the heating rate beta (kelvin per that unit).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "em_shape.hpp"
#include "numerics/root_finder.hpp"

namespace brivane {

// The Boltzmann constant in eV/K, and the double that the formulas use where they multiply by
// its reciprocal (the correctly rounded 1/k).
inline constexpr double kBoltzmann = 8.61733034e-5;
inline constexpr double kInverseBoltzmann = 11604.522056653568;

// A TSDC peak's parameters by name: their positions in the mixture's arrays, and the names of the
// mixture entry's per-peak arrays, in that order.
struct TsdcParameter {
  enum : std::size_t { ea, tau0, tp };
  static constexpr std::array<std::string_view, 3> kNames{"ea", "tau0", "tp"};
  static constexpr std::array<std::string_view, 3> kMixtureArrays = kNames;
  // The fix flags are those of the bounded fit's parameters (TsdcFitParameter), in its order.
  static constexpr std::array<std::string_view, 2> kMixtureFlags{"fix_ea", "fix_tp"};
};

// The parameters the fits choose, by name: tau0 follows from them by the peak relation. Their
// positions in the bounded fit's parameter set and among the mixture's fix flags.
struct TsdcFitParameter {
  enum : std::size_t { ea, tp };
  static constexpr std::array<std::string_view, 2> kNames{"ea", "tp"};
};

// One peak. tau0 is tied to ea and tp by the peak relation (tsdc_tau0_from_peak) wherever a fit
// has fixed it, but is carried as given otherwise.
struct TsdcPeak {
  double ea;
  double tau0;
  double tp;
};

// The current at temperature T:
//   y(T) = exp(-x - T E2(x) / (beta tau0)) / (beta tau0),  x = ea / (k T),
// since the integral of the rate exp(-ea / (k T')) / tau0 over T' from 0 to T is (T / tau0) E2(x).
// Over all T in (0, inf) it integrates to 1. Evaluated as
//   exp(E2(x) ((-1/h) T) + (ea / -k) / T) / h,  h = beta tau0,  x = ea (1/k) / T,
// so a NaN or negative T gives NaN, T = 0 gives 0, and only the product beta tau0 matters.
double tsdc_raw_curve(double temperature, double ea, double tau0, double beta);

// Fills row[i] with the density of the peak at t[i]: the raw curve divided by its trapezoid
// integral over the grid plus 1e-100 (which is returned; 1e-100 alone for fewer than two
// temperatures). The grid should ascend; a descending one gives a negative integral. The
// per-sample work is vectorised (E2 within 2 ulps, vector_math.hpp) and, on long grids, shared
// among the worker pool in fixed chunks; the integral is one pass in sample order, so the result
// does not depend on the number of threads. A row shorter than the
// grid raises the index Failure before anything is written.
double tsdc_density(std::span<const double> t, double ea, double tau0, double beta, std::span<double> row);

// The density as a new vector (tsdc_predict of the module).
std::vector<double> tsdc_predict(std::span<const double> t, double ea, double tau0, double beta);

// sum_i w_i ln(p_i + 1e-200) over the first min(len t, len w) samples, in sample order, with p the
// density of tsdc_density over the whole grid: what the bounded fit maximises.
double tsdc_log_likelihood(std::span<const double> t, std::span<const double> weights, double ea, double tau0,
                           double beta);

// The tau0 that puts the maximum of the current at tp: where beta ea / (k tp^2) equals
// exp(-ea / (k tp)) / tau0, i.e. tau0 = exp(-ea / (k tp)) (tp (k tp) / (beta ea)).
double tsdc_tau0_from_peak(double ea, double tp, double beta);

// g(T) = ln(T (k T) / (beta ea)) - ea / (k T) - ln(tau0), increasing in T for ea > 0 with its one
// root at the peak temperature of (ea, tau0, beta).
double tsdc_peak_equation(double temperature, double ea, double tau0, double beta);

// The root of g on [1, 2000] kelvin by Brent's method (tolerance 1e-8), or why there is none.
RootResult tsdc_peak_temperature(double ea, double tau0, double beta);

// Why a fit failed; the message is the text that reaches the Python caller as RuntimeError. Fit
// errors are values, never thrown; what the fits throw is a Failure (an internal failure, a
// PanicException for the caller).
enum class TsdcFitError { None, RootNoBracketing, RootNoConvergency, MinimiserFailed, NotANumber };

// "" for None, "brentq failed: NoBracketing", "brentq failed: NoConvergency", "L-BFGS-B failed",
// "fitted values are not numbers" (either fit, where ea, tau0 or tp would be NaN).
std::string_view tsdc_fit_error_message(TsdcFitError error);

struct TsdcFitResult {
  // The fitted peak, or on an error the values as far as the fit got (see each fit).
  TsdcPeak peak;
  TsdcFitError error = TsdcFitError::None;
  bool ok() const { return error == TsdcFitError::None; }
};

// Fit by the likelihood equations. With fix_ea the peak comes back as given (whatever fix_tp
// says). Otherwise ea is the root on [ea_min, ea_max] (Brent, tolerance 1e-8) of the profile
// score
//   F(ea) = log10((W + 1e-10) beta) + ((log10 S2(ea) - log10((N + 1e-10) beta)) - log10 S1(ea)),
// with N the sum of all weights, W = sum w_i / (t_i k), S1 = sum E1(ea / (k t_i)) w_i / k and
// S2 = sum E2(ea (1/k) / t_i) (w_i t_i) over the first min(len t, len w) samples: W S2 = N S1 is
// where the likelihood of the raw curve is stationary in ea once tau0 takes its best value
// S2 / (N beta) for that ea. Then tau0 = S2(ea) / (N beta), and with fix_tp tau0 is replaced by
// the peak relation at the given tp; otherwise tp is the root of the peak equation on [1, 2000].
// A failed search returns its error with the values found before it: after a failed peak-
// temperature search, ea and tau0 are already fitted and tp is as given. Zero total weight makes
// F NaN everywhere (NoConvergency); nothing is guarded. A tau0 or tp that ends NaN (an ea at a
// bound near 0, a beta near 0) returns NotANumber with the values found.
TsdcFitResult tsdc_root_fit(std::span<const double> t, std::span<const double> weights, TsdcPeak peak, bool fix_ea,
                            bool fix_tp, double ea_min, double ea_max, double beta);

struct TsdcBounds {
  double ea_min;
  double ea_max;
  double t_min;  // bounds of tp
  double t_max;
};

// The objective of the bounded fit at (ea, tp), tau0 following the peak relation: the value
// -tsdc_log_likelihood and the gradient the minimiser receives (see tsdc_bounded_fit), with
// respect to ea and tp.
struct TsdcObjective {
  double value;
  std::array<double, 2> gradient;
};
TsdcObjective tsdc_bounded_objective(std::span<const double> t, std::span<const double> weights, double ea,
                                     double tp, double beta);

// Fit by bounded minimisation of -tsdc_log_likelihood over the free ones of ea (in [ea_min,
// ea_max]) and tp (in [t_min, t_max]), tau0 following the peak relation, starting from the given
// values. The minimiser receives the analytic gradient of the log-likelihood of the raw curve,
// which integrates to 1 over all temperatures; it leaves out the derivative of the grid
// normaliser that the value contains. The fit therefore ends where its line search can no longer
// lower the value along that gradient: between the gradient's zero (the point the root-finding
// fit solves for) and the maximum of the grid-normalised likelihood, two points that lie close
// together when the grid covers the peak and far apart when it cuts the peak off (the tests
// give numbers). With v = S2 / (beta tau0) and the sums as above (W here as
// sum (w_i / t_i) (1/k)):
//   d/d ea = -((1/(k tp) + 1/ea) (N - v) - W + S1 / (beta tau0)),
//   d/d tp = -(ea (1/k) / (tp tp) + 2 / tp) (v - N).
// Both flags set, no weights, or N below 1e-300 return the peak as given (tau0 not recomputed).
// A minimiser error (bounds of a free parameter out of order) returns MinimiserFailed and the
// peak as given. The solution is clamped into the bounds; a NaN bound of a free parameter, which
// the minimiser accepts, raises there the Failure
// "min > max, or either was NaN. min = <lower>, max = <upper>". Then
// tau0 = tsdc_tau0_from_peak(ea, tp, beta); an ea, tp or tau0 that is NaN then (a NaN start, or
// ea = tp = 0) returns NotANumber with those values.
// `scratch`, when it holds at least n doubles, is the working row of the objective (it is
// overwritten); otherwise the fit allocates its own. `evaluations`, when given, is increased by
// the number of objective calls (value and gradient).
TsdcFitResult tsdc_bounded_fit(std::span<const double> t, std::span<const double> weights, TsdcPeak peak,
                               bool fix_ea, bool fix_tp, const TsdcBounds& bounds, double beta,
                               std::span<double> scratch = {}, std::uint64_t* evaluations = nullptr);

// The refit of one mixture component from its weights (intensity times responsibility): a weight
// sum (in sample order) below 1e-300 keeps the peak; otherwise the root-finding fit, and only if
// that fails the bounded fit, started from the values the failed search left. If both fail the
// component keeps the values it then has; no fit error leaves this function (the clamp's Failure
// does). `scratch` serves the bounded fit as in tsdc_bounded_fit; the result is the same with or
// without it.
TsdcPeak tsdc_refit(std::span<const double> t, std::span<const double> weights, TsdcPeak peak, bool fix_ea,
                    bool fix_tp, const TsdcBounds& bounds, double beta, std::span<double> scratch = {});

// K TSDC peaks as one EM shape: values ea, tau0, tp (K is the length of ea); fixed fix_ea,
// fix_tp. beta and the bounds of ea are the same for every peak; the window bounds a free tp in
// the bounded refit, and plays no part in the density, which is normalised over the whole grid.
struct TsdcPeaks : PeakParameters<3, 2> {
  using Names = TsdcParameter;
  // One peak after another: each density and each refit shares its per-sample work among the
  // pool already, in fixed chunks.
  static constexpr bool kParallel = false;
  static constexpr bool kElementwiseDensity = false;

  double beta = 0.0;
  double ea_min = 0.0;
  double ea_max = 0.0;

  // The densities read ea and tau0 only: a short tp is first met by a refit (the refit check
  // covers it with the flags).
  void check_density_inputs() const;
  void density(std::size_t k, std::span<const double> t, const Window& window, std::span<double> row) const;
  // tsdc_refit from peak k's weights, with the density row of k (free while the refits run) as
  // its scratch row.
  Parameters refit(std::size_t k, std::span<const double> t, std::span<const double> weights,
                   const Window& window, std::span<double> scratch) const;
};

// The TSDC mixture entry, instantiated in tsdc.cpp.
extern template EmResult run_em(TsdcPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
