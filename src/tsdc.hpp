#pragma once
// Thermally stimulated depolarisation current (TSDC) peaks: the current of a first-order
// relaxation heated at a constant rate, its density over a temperature grid, and the relation
// between the relaxation time and the peak temperature.
//
// Units: temperatures in kelvin, activation energies in electronvolts, tau0 in the time unit of
// the heating rate beta (kelvin per that unit).

#include <cstddef>
#include <span>
#include <vector>

#include "numerics/root_finder.hpp"

namespace brivane {

// The Boltzmann constant in eV/K, and the double that the formulas use where they multiply by
// its reciprocal (the correctly rounded 1/k).
inline constexpr double kBoltzmann = 8.61733034e-5;
inline constexpr double kInverseBoltzmann = 11604.522056653568;

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
// per-sample work is shared among the worker pool in fixed chunks, the integral is one pass in
// sample order, so the result does not depend on the number of threads. A row shorter than the
// grid raises the index Failure before anything is written.
double tsdc_density(std::span<const double> t, double ea, double tau0, double beta, std::span<double> row);

// The density as a new vector (tsdc_predict of the module).
std::vector<double> tsdc_predict(std::span<const double> t, double ea, double tau0, double beta);

// The tau0 that puts the maximum of the current at tp: where beta ea / (k tp^2) equals
// exp(-ea / (k tp)) / tau0, i.e. tau0 = exp(-ea / (k tp)) (tp (k tp) / (beta ea)).
double tsdc_tau0_from_peak(double ea, double tp, double beta);

// g(T) = ln(T (k T) / (beta ea)) - ea / (k T) - ln(tau0), increasing in T for ea > 0 with its one
// root at the peak temperature of (ea, tau0, beta).
double tsdc_peak_equation(double temperature, double ea, double tau0, double beta);

// The root of g on [1, 2000] kelvin by Brent's method (tolerance 1e-8), or why there is none.
RootResult tsdc_peak_temperature(double ea, double tau0, double beta);

}  // namespace brivane
