#include "em_gamma_ll.hpp"

#include <algorithm>

#include "failure.hpp"
#include "parallel.hpp"
#include "vector_math.hpp"

namespace brivane {

namespace {

// Samples per block of the E-step: the block's densities, responsibilities and logarithms stay
// in the first-level cache while every component passes over them.
constexpr std::size_t kBlock = 512;

void check_weight_update_sizes(std::size_t components, std::size_t rows, std::size_t alphas) {
  // The first component that lacks either its responsibility row or its concentration fails.
  if (components <= std::min(rows, alphas)) return;
  if (rows <= alphas) fail_index(rows, rows);
  fail_index(alphas, alphas);
}

// pi holds b[k] without the prior on entry and the new weights on return.
void dirichlet_update(std::span<double> pi, std::span<const double> dirichlet_alpha) {
  double total = 0.0;
  for (std::size_t k = 0; k < pi.size(); ++k) {
    pi[k] = pi[k] + dirichlet_alpha[k] - 1.0;
    total += pi[k];
  }
  double clamped_total = 0.0;
  for (double& weight : pi) {
    const double share = weight / total;
    weight = share > 0.0 ? share : 0.0;
    clamped_total += weight;
  }
  for (double& weight : pi) weight = weight / clamped_total;
}

// What one E-step reads and writes; `terms` receives intensity[i] ln(m[i] + 1e-200).
struct EStep {
  std::span<const double> intensity;
  const RowMatrix& densities;
  std::span<const double> pi;
  std::span<double> mixture;
  RowMatrix& rows;
  std::span<double> terms;
  bool weights;  // rows receive intensity * G instead of G
};

// The E-step over samples [begin, end), block by block: each block's densities, rows and
// logarithms stay in the first-level cache while every component passes over them.
__attribute__((target_clones("avx2", "default")))
void e_step_samples(const EStep& step, std::size_t begin, std::size_t end) {
  const std::size_t components = step.pi.size();
  for (std::size_t start = begin; start < end; start += kBlock) {
    const std::size_t len = std::min(kBlock, end - start);
    double* __restrict m = step.mixture.data() + start;
    const double* __restrict counts = step.intensity.data() + start;
    // Each m[i] sums its terms in component order, starting from 0.
    std::fill(m, m + len, 0.0);
    for (std::size_t k = 0; k < components; ++k) {
      const double weight = step.pi[k];
      const double* __restrict d = step.densities.row(k).data() + start;
      for (std::size_t i = 0; i < len; ++i) m[i] += weight * d[i];
    }
    // The floored denominator is the same for every component: formed once per sample.
    double denominator[kBlock];
    for (std::size_t i = 0; i < len; ++i) denominator[i] = m[i] + 1e-20;
    for (std::size_t k = 0; k < components; ++k) {
      const double weight = step.pi[k];
      const double* __restrict d = step.densities.row(k).data() + start;
      double* __restrict g = step.rows.row(k).data() + start;
      if (step.weights) {
        for (std::size_t i = 0; i < len; ++i) g[i] = counts[i] * ((d[i] * weight) / denominator[i]);
      } else {
        for (std::size_t i = 0; i < len; ++i) g[i] = (d[i] * weight) / denominator[i];
      }
    }
    double* __restrict t = step.terms.data() + start;
    for (std::size_t i = 0; i < len; ++i) t[i] = m[i] + 1e-200;
    log_in_place({t, len});
    for (std::size_t i = 0; i < len; ++i) t[i] = counts[i] * t[i];
  }
}

// Sums of whole rows, each in sample order. Up to four sums advance together in one pass so that
// their additions overlap instead of each waiting on the one before.
void sum_rows_in_order(std::span<const double* const> rows, std::size_t n, std::span<double> sums) {
  constexpr std::size_t kGroup = 4;
  for (std::size_t first = 0; first < rows.size(); first += kGroup) {
    const std::size_t group = std::min(kGroup, rows.size() - first);
    double sum[kGroup] = {};
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < group; ++j) sum[j] += rows[first + j][i];
    }
    for (std::size_t j = 0; j < group; ++j) sums[first + j] = sum[j];
  }
}

// Samples per task when the E-step runs on the pool.
constexpr std::size_t kTaskSamples = 1024;

// Runs one E-step and returns the log-likelihood. The samples are split among tasks, but every
// sum (the log-likelihood and, for weights, each row's expected count) still adds its terms in
// sample order, so the result does not depend on how the work was split.
double run_e_step(const EStep& step, std::span<double> expected_counts, bool parallel) {
  const std::size_t n = step.mixture.size();
  if (n == 0) return 0.0;
  const std::size_t components = step.pi.size();
  require_length(step.densities.rows(), components);
  require_length(step.rows.rows(), components);
  require_length(step.intensity.size(), n);
  require_length(step.terms.size(), n);

  const std::size_t tasks = parallel ? (n + kTaskSamples - 1) / kTaskSamples : 1;
  const std::size_t per_task = (n + tasks - 1) / tasks;
  run_tasks(tasks, [&](std::size_t t) {
    e_step_samples(step, t * per_task, std::min(n, (t + 1) * per_task));
  });

  // The ordered sums: the log-likelihood terms, then each weight row whose count is wanted.
  // Sum j reads row j - 1 (sum 0 reads the terms); they go in tasks of four.
  const std::size_t sums = 1 + expected_counts.size();
  constexpr std::size_t kSumsPerTask = 4;
  double log_likelihood = 0.0;
  auto sum_task = [&](std::size_t t) {
    const double* rows[kSumsPerTask];
    double totals[kSumsPerTask];
    const std::size_t first = t * kSumsPerTask;
    const std::size_t count = std::min(kSumsPerTask, sums - first);
    for (std::size_t j = 0; j < count; ++j) {
      rows[j] = first + j == 0 ? step.terms.data() : step.rows.row(first + j - 1).data();
    }
    sum_rows_in_order({rows, count}, n, {totals, count});
    for (std::size_t j = 0; j < count; ++j) {
      if (first + j == 0) {
        log_likelihood = totals[j];
      } else {
        expected_counts[first + j - 1] = totals[j];
      }
    }
  };
  const std::size_t sum_tasks = (sums + kSumsPerTask - 1) / kSumsPerTask;
  if (parallel) {
    run_tasks(sum_tasks, sum_task);
  } else {
    run_tasks_sequentially(sum_tasks, sum_task);
  }
  return log_likelihood;
}

}  // namespace

double gamma_and_log_likelihood(std::span<const double> intensity, const RowMatrix& densities,
                                std::span<const double> pi, std::span<double> mixture,
                                RowMatrix& responsibilities, std::span<double> scratch) {
  return run_e_step({intensity, densities, pi, mixture, responsibilities, scratch, false}, {}, false);
}

double weights_and_log_likelihood(std::span<const double> intensity, const RowMatrix& densities,
                                  std::span<const double> pi, std::span<double> mixture,
                                  RowMatrix& weights, std::span<double> expected_counts,
                                  std::span<double> scratch, bool parallel) {
  require_length(expected_counts.size(), pi.size());
  return run_e_step({intensity, densities, pi, mixture, weights, scratch, true},
                    expected_counts.first(pi.size()), parallel);
}

void update_mixing_weights(std::span<double> pi, std::span<const double> intensity,
                           const RowMatrix& responsibilities,
                           std::span<const double> dirichlet_alpha) {
  const std::size_t components = pi.size();
  check_weight_update_sizes(components, responsibilities.rows(), dirichlet_alpha.size());
  const std::size_t n = std::min(intensity.size(), responsibilities.cols());
  // pi's old values are not needed: the expected counts are built in its place.
  for (std::size_t k = 0; k < components; ++k) {
    const double* g = responsibilities.row(k).data();
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += intensity[i] * g[i];
    pi[k] = sum;
  }
  dirichlet_update(pi, dirichlet_alpha);
}

void update_mixing_weights_from_counts(std::span<double> pi, std::span<const double> expected_counts,
                                       std::size_t rows, std::span<const double> dirichlet_alpha) {
  check_weight_update_sizes(pi.size(), rows, dirichlet_alpha.size());
  std::copy_n(expected_counts.begin(), pi.size(), pi.begin());
  dirichlet_update(pi, dirichlet_alpha);
}

}  // namespace brivane
