#pragma once
// Helpers shared by the fit tests: grids, synthetic counts drawn with a fixed seed,
// standard errors of a maximum-likelihood fit from the curvature of its log-likelihood, and the
// comparison with SciPy's L-BFGS-B fits of the reference tables.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include "parallel.hpp"

namespace brivane::fit_test {

// n points from `from` to `to`, both included: from + (to - from) i / (n - 1).
inline std::vector<double> grid(double from, double to, std::size_t n) {
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = from + (to - from) * static_cast<double>(i) / static_cast<double>(n - 1);
  return x;
}

// The trapezoid integral of y over the grid x, in sample order.
inline double trapezoid(const std::vector<double>& x, const std::vector<double>& y) {
  double total = 0.0;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) total += (x[i + 1] - x[i]) * ((y[i] + y[i + 1]) * 0.5);
  return total;
}

// low + i step for i < count; with a dyadic step every node is exact and equals the reference
// scripts' nodes.
inline std::vector<double> uniform_grid(double low, double step, std::size_t count) {
  std::vector<double> x(count);
  for (std::size_t i = 0; i < count; ++i) x[i] = low + static_cast<double>(i) * step;
  return x;
}

// The reference scripts' integer weights: base + ((i 7919) mod 1000) spread.
inline std::vector<double> patterned_weights(std::size_t count, int base, int spread) {
  std::vector<double> w(count);
  for (std::size_t i = 0; i < count; ++i) w[i] = base + static_cast<double>((i * 7919) % 1000) * spread;
  return w;
}

// `events` draws from the discrete distribution that puts mass density_i c_i on sample i, c_i the
// sample's trapezoid cell ((x_{i+1} - x_{i-1}) / 2, half cells at the ends), returned as counts
// per sample. mt19937_64 and the conversion of its bits are fully specified: the draws depend on
// the seed and the densities only, not on the standard library.
inline std::vector<double> draw_counts(const std::vector<double>& x, const std::vector<double>& density,
                                       std::uint64_t events, std::uint64_t seed) {
  const std::size_t n = x.size();
  std::vector<double> cumulative(n);
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double cell = 0.5 * ((i + 1 < n ? x[i + 1] : x[i]) - (i > 0 ? x[i - 1] : x[i]));
    total += density[i] * cell;
    cumulative[i] = total;
  }
  std::mt19937_64 engine(seed);
  std::vector<double> counts(n, 0.0);
  for (std::uint64_t e = 0; e < events; ++e) {
    const double u = static_cast<double>(engine() >> 11) * 0x1.0p-53 * total;
    const auto at = std::upper_bound(cumulative.begin(), cumulative.end(), u) - cumulative.begin();
    counts[static_cast<std::size_t>(std::min<std::ptrdiff_t>(at, static_cast<std::ptrdiff_t>(n - 1)))] += 1.0;
  }
  return counts;
}

// Runs f on an arena of `threads` threads, the pool allowed as many: a fixed-order sum must give
// the same bits on 1, 2 and 8 whatever the schedule.
template <class F>
auto on_threads(int threads, F&& f) {
  const tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
  tbb::task_arena arena(threads);
  return arena.execute(f);
}

// Runs f with the pool limited to `threads` workers (1: everything on the calling thread).
template <class F>
auto with_thread_limit(std::size_t threads, F&& f) {
  const ThreadLimit limit(threads);
  return f();
}

// Runs the same EM fit twice, on one worker and on the whole pool (`fit` returns its EmResult and
// leaves the peaks and weights in the objects it was given), and expects identical results: the
// density rows, their pieces and the refits are placed by index, so the schedule cannot matter.
template <class Peaks, class Fit>
void expect_thread_count_changes_nothing(const Peaks& start, const std::vector<double>& pi, Fit fit) {
  Peaks alone = start, pooled = start;
  std::vector<double> pi_alone = pi, pi_pooled = pi;
  const std::vector<double> ll_alone = with_thread_limit(1, [&] { return fit(alone, pi_alone).log_likelihood; });
  EXPECT_EQ(fit(pooled, pi_pooled).log_likelihood, ll_alone);
  EXPECT_EQ(pooled.values, alone.values);
  EXPECT_EQ(pi_pooled, pi_alone);
}

// Asymptotic standard errors sqrt(diag(H^-1)) of a three-parameter maximum-likelihood estimate,
// H the Hessian of -LL at p by central differences with steps h.
inline std::array<double, 3> standard_errors(const std::function<double(const std::array<double, 3>&)>& log_likelihood,
                                             const std::array<double, 3>& p, const std::array<double, 3>& h) {
  double hessian[3][3];
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      auto at = [&](double sa, double sb) {
        std::array<double, 3> q = p;
        q[a] += sa * h[a];
        q[b] += sb * h[b];
        return log_likelihood(q);
      };
      hessian[a][b] = -(at(1, 1) - at(1, -1) - at(-1, 1) + at(-1, -1)) / (4.0 * h[a] * h[b]);
    }
  }
  // Diagonal of the inverse from the cofactors.
  const double (&m)[3][3] = hessian;
  const double c00 = m[1][1] * m[2][2] - m[1][2] * m[2][1];
  const double c11 = m[0][0] * m[2][2] - m[0][2] * m[2][0];
  const double c22 = m[0][0] * m[1][1] - m[0][1] * m[1][0];
  const double det = m[0][0] * c00 - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  return {std::sqrt(c00 / det), std::sqrt(c11 / det), std::sqrt(c22 / det)};
}

using Triple = std::array<double, 3>;
using LogLikelihood = std::function<double(const Triple&)>;

// The fitted parameters lie within 5 standard errors of the truth (exceeded with probability 6e-7
// per parameter), and those errors are below 2% of `scale` (so that the check is a sharp one).
inline void expect_recovered(const LogLikelihood& log_likelihood, const Triple& fitted, const Triple& truth,
                             const Triple& scale) {
  const Triple errors = standard_errors(log_likelihood, fitted, {1e-4, 1e-4, 1e-4});
  for (int j = 0; j < 3; ++j) {
    EXPECT_LT(errors[j], 0.02 * scale[j]) << "parameter " << j;
    EXPECT_NEAR(fitted[j], truth[j], 5.0 * errors[j]) << "parameter " << j;
  }
}

// One row of make_voigt_fit_table.py or make_doniach_sunjic_fit_table.py.
template <class Bounds>
struct ScipyFit {
  double low, step;
  std::size_t count;
  const double* counts;
  Triple start;
  std::array<bool, 3> fixed;
  Bounds bounds;
  Triple scipy;
  std::uint64_t scipy_calls;
  double start_log_likelihood, scipy_log_likelihood;
};

// The log-likelihood equals the Python copy's at the start and at SciPy's solution, so the
// objectives are the same. Both solutions are stationary to within the gradient tolerance 1e-5,
// which places them within 1e-4 standard errors of each other and their log-likelihoods within
// the log-likelihood's own rounding. With its noise-free differences this fit needs about as many
// objective calls as SciPy; where the optimum lies at the rounding of the value, the module's run
// ends only through exhausted line searches while SciPy's also stops at the first step that
// lowers nothing, so a quarter more calls and 5 are allowed. Where that first step comes is a
// matter of the last bits of the objective, so a table may instead pass `totals` (calls of the
// module, then SciPy's) and hold the sums over its cases to that bound.
// `fit(x, counts, calls)` returns the fitted parameters, adding its objective calls to `calls`.
template <class Bounds, class Fit, class MakeLogLikelihood>
void expect_agrees_with_scipy(const ScipyFit<Bounds>& r, Fit fit, MakeLogLikelihood make_log_likelihood,
                              std::array<std::uint64_t, 2>* totals = nullptr) {
  const std::vector<double> x = uniform_grid(r.low, r.step, r.count);
  const std::vector<double> w(r.counts, r.counts + r.count);
  const LogLikelihood log_likelihood = make_log_likelihood(x, w);
  EXPECT_NEAR(log_likelihood(r.start), r.start_log_likelihood, 1e-13 * std::fabs(r.start_log_likelihood));
  const double scipy_value = log_likelihood(r.scipy);
  EXPECT_NEAR(scipy_value, r.scipy_log_likelihood, 1e-13 * std::fabs(r.scipy_log_likelihood));
  std::uint64_t calls = 0;
  const Triple fitted = fit(x, w, calls);
  const Triple errors = standard_errors(log_likelihood, fitted, {1e-4, 1e-4, 1e-4});
  for (int j = 0; j < 3; ++j) {
    EXPECT_NEAR(fitted[j], r.scipy[j], r.fixed[j] ? 0.0 : 1e-4 * errors[j]) << "case at " << r.low << ", parameter " << j;
  }
  EXPECT_NEAR(log_likelihood(fitted), scipy_value, 1e-14 * std::fabs(scipy_value)) << r.low;
  if (totals) {
    (*totals)[0] += calls;
    (*totals)[1] += r.scipy_calls;
  } else {
    EXPECT_LE(calls, r.scipy_calls + r.scipy_calls / 4 + 5) << r.low;
  }
}

}  // namespace brivane::fit_test
