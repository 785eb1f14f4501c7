#pragma once
// Helpers shared by the spectrum-model tests: channel grids with the layer's channel widths, a
// small builder of problems, Poisson spectra drawn with a fixed seed, and the Jacobian by central
// differences with Richardson extrapolation (error of order h^4).

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <span>
#include <vector>

#include "model/evaluate.hpp"
#include "model/problem.hpp"
#include "shapes/doniach_sunjic/model_term.hpp"
#include "shapes/gaussian/model_term.hpp"
#include "shapes/lorentzian/model_term.hpp"
#include "shapes/pseudo_voigt/model_term.hpp"
#include "shapes/tsdc/model_term.hpp"
#include "shapes/voigt/model_term.hpp"

namespace brivane::model::test {

// low + i step for i < count.
inline std::vector<double> grid(double low, double step, std::size_t count) {
  std::vector<double> x(count);
  for (std::size_t i = 0; i < count; ++i) x[i] = low + static_cast<double>(i) * step;
  return x;
}

// The channel widths the layer passes: neighbours' half distance inside, one-sided at the ends.
inline std::vector<double> channel_widths(const std::vector<double>& x) {
  const std::size_t n = x.size();
  std::vector<double> w(n, 1.0);
  if (n < 2) return w;
  w[0] = x[1] - x[0];
  w[n - 1] = x[n - 1] - x[n - 2];
  for (std::size_t i = 1; i + 1 < n; ++i) w[i] = 0.5 * (x[i + 1] - x[i - 1]);
  return w;
}

struct ModelBuilder {
  std::vector<TermSpec> terms;
  std::vector<ParameterSpec> parameters;
  std::vector<std::vector<double>> rows;

  // Appends a term whose parameters are all free and unbounded; returns the index of its first.
  std::size_t add(TermKind kind, std::initializer_list<double> values, std::array<double, 2> aux = {0.0, 0.0}) {
    const std::size_t first = parameters.size();
    terms.push_back({kind, first, values.size(), aux});
    for (double v : values) {
      ParameterSpec p;
      p.value = v;
      parameters.push_back(p);
    }
    return first;
  }
  void bound(std::size_t j, double lower, double upper) {
    parameters[j].lower = lower;
    parameters[j].upper = upper;
  }
  void fix(std::size_t j) { parameters[j].role = Role::kFixed; }
  void tie(std::size_t j, std::size_t source, double scale, double offset) {
    parameters[j].role = Role::kLinearTie;
    parameters[j].source = source;
    parameters[j].scale = scale;
    parameters[j].offset = offset;
  }
  void bragg(std::size_t j, std::size_t source, double ratio) {
    parameters[j].role = Role::kBraggTie;
    parameters[j].source = source;
    parameters[j].scale = ratio;
  }
  std::vector<double> values() const {
    std::vector<double> v;
    for (const ParameterSpec& p : parameters) v.push_back(p.value);
    return v;
  }
  Problem build(const std::vector<double>& x) const {
    return Problem(x, channel_widths(x), terms, parameters, rows);
  }
};

// mu at theta.
inline std::vector<double> expected_counts(const Problem& problem, std::span<const double> theta) {
  ModelScratch scratch(problem);
  std::vector<double> mu(problem.channel_count());
  evaluate_model(problem, theta, mu, {}, scratch);
  return mu;
}

inline std::vector<double> poisson_counts(std::span<const double> mu, std::mt19937_64& engine) {
  std::vector<double> counts(mu.size());
  for (std::size_t i = 0; i < mu.size(); ++i) {
    std::poisson_distribution<std::int64_t> draw(mu[i]);
    counts[i] = static_cast<double>(draw(engine));
  }
  return counts;
}

// Column j of d mu / d theta by central differences of step steps[j], extrapolated.
inline std::vector<double> numeric_jacobian(const Problem& problem, std::vector<double> theta,
                                            std::span<const double> steps) {
  const std::size_t n = problem.channel_count(), p = problem.parameter_count();
  std::vector<double> jacobian(n * p);
  auto difference = [&](std::size_t j, double h) {
    const double keep = theta[j];
    theta[j] = keep + h;
    const std::vector<double> plus = expected_counts(problem, theta);
    theta[j] = keep - h;
    const std::vector<double> minus = expected_counts(problem, theta);
    theta[j] = keep;
    std::vector<double> d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = (plus[i] - minus[i]) / (2.0 * h);
    return d;
  };
  for (std::size_t j = 0; j < p; ++j) {
    const std::vector<double> coarse = difference(j, steps[j]);
    const std::vector<double> fine = difference(j, 0.5 * steps[j]);
    for (std::size_t i = 0; i < n; ++i) jacobian[j * n + i] = (4.0 * fine[i] - coarse[i]) / 3.0;
  }
  return jacobian;
}

// Every column of the analytic Jacobian within `relative` of the numeric one, relative to the
// column's largest entry.
inline void expect_jacobian_matches(const Problem& problem, const std::vector<double>& theta,
                                    std::span<const double> steps, double relative) {
  const std::size_t n = problem.channel_count(), p = problem.parameter_count();
  ModelScratch scratch(problem);
  std::vector<double> mu(n), jacobian(n * p);
  evaluate_model(problem, theta, mu, jacobian, scratch);
  const std::vector<double> numeric = numeric_jacobian(problem, theta, steps);
  for (std::size_t j = 0; j < p; ++j) {
    double largest = 0.0, worst = 0.0;
    std::size_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
      largest = std::max(largest, std::abs(numeric[j * n + i]));
      const double error = std::abs(jacobian[j * n + i] - numeric[j * n + i]);
      if (error > worst) {
        worst = error;
        at = i;
      }
    }
    EXPECT_GT(largest, 0.0) << "parameter " << j << " has no influence";
    EXPECT_LE(worst, relative * largest) << "parameter " << j << ", channel " << at << ": analytic "
                                         << jacobian[j * n + at] << ", numeric " << numeric[j * n + at];
  }
}

}  // namespace brivane::model::test
