#include "tsdc.hpp"

#include <algorithm>
#include <cmath>

#include "failure.hpp"
#include "numerics/exponential_integrals.hpp"
#include "parallel.hpp"

namespace brivane {

namespace {

constexpr double kRootTolerance = 1e-8;
constexpr double kPeakBracketLow = 1.0;
constexpr double kPeakBracketHigh = 2000.0;

// Samples per task. An exponential integral costs a few hundred nanoseconds, so a chunk is tens of
// microseconds of work: enough to outweigh handing it to the pool, small enough to share a grid
// of a few thousand temperatures between the cores.
constexpr std::size_t kChunk = 512;

std::size_t chunk_count(std::size_t n) { return (n + kChunk - 1) / kChunk; }

// Runs work(begin, end) over [0, n) in chunks of kChunk samples on the pool.
template <class Work>
void for_each_chunk(std::size_t n, Work&& work) {
  run_tasks(chunk_count(n), [&](std::size_t c) { work(c * kChunk, std::min(n, (c + 1) * kChunk)); });
}

// The raw curve with h = beta tau0, -1/h and ea / -k formed once per grid, e2 = E2(ea (1/k) / T).
struct CurveTerms {
  double ea;
  double h;
  double minus_inverse_h;
  double energy;  // ea / -k
};

CurveTerms curve_terms(double ea, double tau0, double beta) {
  const double h = beta * tau0;
  return {ea, h, -1.0 / h, ea / -kBoltzmann};
}

inline double reduced_energy(double ea, double temperature) { return ea * kInverseBoltzmann / temperature; }

inline double raw_curve(const CurveTerms& c, double temperature, double e2) {
  return std::exp(e2 * (c.minus_inverse_h * temperature) + c.energy / temperature) / c.h;
}

// The trapezoid integral of y over the grid, in one pass from the first pair to the last, plus
// 1e-100.
double trapezoid_normaliser(std::span<const double> t, const double* y) {
  double integral = 0.0;
  for (std::size_t i = 0; i + 1 < t.size(); ++i) integral += (t[i + 1] - t[i]) * ((y[i] + y[i + 1]) * 0.5);
  return integral + 1e-100;
}

}  // namespace

double tsdc_raw_curve(double temperature, double ea, double tau0, double beta) {
  return raw_curve(curve_terms(ea, tau0, beta), temperature,
                   exponential_integral_e2(reduced_energy(ea, temperature)));
}

double tsdc_density(std::span<const double> t, double ea, double tau0, double beta, std::span<double> row) {
  const std::size_t n = t.size();
  require_length(row.size(), n);
  const CurveTerms c = curve_terms(ea, tau0, beta);
  for_each_chunk(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) row[i] = raw_curve(c, t[i], exponential_integral_e2(reduced_energy(ea, t[i])));
  });
  const double normaliser = trapezoid_normaliser(t, row.data());
  for_each_chunk(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) row[i] = row[i] / normaliser;
  });
  return normaliser;
}

std::vector<double> tsdc_predict(std::span<const double> t, double ea, double tau0, double beta) {
  std::vector<double> density(t.size());
  tsdc_density(t, ea, tau0, beta, density);
  return density;
}

double tsdc_tau0_from_peak(double ea, double tp, double beta) {
  return std::exp(-ea / (kBoltzmann * tp)) * (tp * (kBoltzmann * tp) / (beta * ea));
}

double tsdc_peak_equation(double temperature, double ea, double tau0, double beta) {
  return std::log(temperature * (kBoltzmann * temperature) / (beta * ea)) - ea / (kBoltzmann * temperature) -
         std::log(tau0);
}

RootResult tsdc_peak_temperature(double ea, double tau0, double beta) {
  return find_root([&](double temperature) { return tsdc_peak_equation(temperature, ea, tau0, beta); },
                   kPeakBracketLow, kPeakBracketHigh, kRootTolerance);
}

}  // namespace brivane
