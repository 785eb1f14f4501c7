// Fits of many spectra at once: each spectrum's result the same bits as its fit alone, for one
// thread and for many; the neighbour order (first row left to right, then each row from the row
// above, a failed neighbour passing on nothing); bad spectra reported in their own entry while the
// others are fitted.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "interrupt.hpp"
#include "model/batch.hpp"
#include "model/model_error.hpp"
#include "model/solver.hpp"
#include "model_test_support.hpp"

namespace brivane::model {
namespace {

using test::ModelBuilder;

// Two Lorentzians on a linear background over 300 channels, drawn with centres that drift from
// spectrum to spectrum (a map with a shift field).
struct Map {
  ModelBuilder builder;
  std::vector<double> x;
  std::vector<double> counts;
  std::size_t spectra = 0, n = 0;
};

Map make_map(std::size_t spectra, std::uint64_t seed = 7) {
  Map m;
  m.x = test::grid(1200.0, 1.0, 300);
  m.n = m.x.size();
  m.spectra = spectra;
  m.builder.add(LorentzianTerm::kKind, {1320.0, 9.0, 2.0e4});
  m.builder.add(LorentzianTerm::kKind, {1390.0, 14.0, 1.0e4});
  m.builder.add(TermKind::kLinear, {30.0, 0.02}, {1200.0, 0.0});
  m.builder.bound(0, 1200.0, 1499.0);
  m.builder.bound(3, 1200.0, 1499.0);
  for (std::size_t j : {1u, 4u}) m.builder.bound(j, 0.5, 600.0);
  for (std::size_t j : {2u, 5u}) m.builder.bound(j, 0.0, HUGE_VAL);
  const Problem truth_problem = m.builder.build(m.x);
  std::mt19937_64 engine(seed);
  for (std::size_t s = 0; s < spectra; ++s) {
    std::vector<double> truth = m.builder.values();
    truth[0] += 0.05 * static_cast<double>(s % 17);
    truth[3] -= 0.03 * static_cast<double>(s % 11);
    const std::vector<double> mu = test::expected_counts(truth_problem, truth);
    const std::vector<double> y = test::poisson_counts(mu, engine);
    m.counts.insert(m.counts.end(), y.begin(), y.end());
  }
  return m;
}

// Starts 10% off the truth's shape, the same for every spectrum.
std::vector<double> rough_start(const ModelBuilder& builder) {
  std::vector<double> start = builder.values();
  start[0] += 3.0;
  start[1] *= 1.1;
  start[2] *= 0.9;
  start[3] -= 4.0;
  start[4] *= 0.9;
  start[5] *= 1.1;
  return start;
}

struct Outputs {
  Outputs(std::size_t s, std::size_t p, std::size_t n)
      : theta(s * p), covariance(s * p * p), at_bound(s * p), log_likelihood(s), deviance(s), chi_square(s),
        iterations(s), status(s), expected(s * n) {}
  BatchOutput view() {
    return {theta, covariance, at_bound, log_likelihood, deviance, chi_square, iterations, status, expected};
  }
  std::vector<double> theta, covariance;
  std::vector<unsigned char> at_bound;
  std::vector<double> log_likelihood, deviance, chi_square, iterations;
  std::vector<std::int32_t> status;
  std::vector<double> expected;
};

Outputs run_batch(const Problem& problem, const Map& m, const std::vector<double>& starts, std::size_t threads,
                  std::size_t columns = 0) {
  Outputs out(m.spectra, problem.parameter_count(), m.n);
  BatchOptions options;
  options.threads = threads;
  options.neighbour_columns = columns;
  fit_many(problem, m.counts, starts, options, out.view());
  return out;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Spectrum k's batch result against fit() of that spectrum alone from `start`.
void expect_same_as_alone(const Problem& problem, const Map& m, const Outputs& out, std::size_t k,
                          const std::vector<double>& start) {
  const std::size_t p = problem.parameter_count();
  Workspace workspace(problem);
  const FitResult alone =
      fit(problem, std::span<const double>(m.counts).subspan(k * m.n, m.n), start, workspace, FitOptions{});
  ASSERT_EQ(out.status[k], static_cast<std::int32_t>(alone.status)) << "spectrum " << k;
  EXPECT_EQ(out.iterations[k], static_cast<double>(alone.iterations)) << "spectrum " << k;
  EXPECT_TRUE(same_bits(out.deviance[k], alone.deviance)) << "spectrum " << k;
  EXPECT_TRUE(same_bits(out.log_likelihood[k], alone.log_likelihood)) << "spectrum " << k;
  EXPECT_TRUE(same_bits(out.chi_square[k], alone.chi_square)) << "spectrum " << k;
  for (std::size_t j = 0; j < p; ++j) {
    EXPECT_TRUE(same_bits(out.theta[k * p + j], alone.theta[j])) << "spectrum " << k << " parameter " << j;
    EXPECT_EQ(out.at_bound[k * p + j], alone.at_bound[j]);
  }
  for (std::size_t j = 0; j < p * p; ++j) {
    EXPECT_TRUE(same_bits(out.covariance[k * p * p + j], alone.covariance[j])) << "spectrum " << k;
  }
  // The kept expected counts: the per-term values summed in term order.
  ModelScratch scratch(problem);
  std::vector<double> mu(m.n), per_term(problem.terms().size() * m.n);
  evaluate_model(problem, alone.theta, mu, {}, scratch, per_term);
  for (std::size_t i = 0; i < m.n; ++i) {
    double sum = per_term[i];
    for (std::size_t t = 1; t < problem.terms().size(); ++t) sum += per_term[t * m.n + i];
    ASSERT_TRUE(same_bits(out.expected[k * m.n + i], sum)) << "spectrum " << k << " channel " << i;
  }
}

TEST(ModelBatch, EverySpectrumAsAloneForOneTwoAndEightThreads) {
  const Map m = make_map(24);
  const Problem problem = m.builder.build(m.x);
  const std::size_t p = problem.parameter_count();
  std::vector<double> starts;
  for (std::size_t s = 0; s < m.spectra; ++s) {
    std::vector<double> start = rough_start(m.builder);
    start[0] += 0.1 * static_cast<double>(s % 5);  // starts that differ per spectrum
    starts.insert(starts.end(), start.begin(), start.end());
  }
  const Outputs one = run_batch(problem, m, starts, 1);
  for (std::size_t k = 0; k < m.spectra; ++k) {
    expect_same_as_alone(problem, m, one, k, std::vector<double>(starts.begin() + k * p, starts.begin() + (k + 1) * p));
    EXPECT_EQ(one.status[k], 0) << "spectrum " << k;
  }
  for (std::size_t threads : {2u, 8u, 0u}) {
    const Outputs many = run_batch(problem, m, starts, threads);
    EXPECT_EQ(std::memcmp(many.theta.data(), one.theta.data(), one.theta.size() * sizeof(double)), 0) << threads;
    EXPECT_EQ(std::memcmp(many.covariance.data(), one.covariance.data(), one.covariance.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(many.expected.data(), one.expected.data(), one.expected.size() * sizeof(double)), 0);
    EXPECT_EQ(many.iterations, one.iterations);
  }
}

TEST(ModelBatch, CtrlCStopsEveryTaskAndThePoolFitsAgainAfterwards) {
  // The request is not one spectrum's failure: it ends the whole call on every thread, and a
  // batch after it gives the bits of one before it.
  const Map m = make_map(12);
  const Problem problem = m.builder.build(m.x);
  std::vector<double> starts;
  for (std::size_t s = 0; s < m.spectra; ++s) {
    const std::vector<double> start = rough_start(m.builder);
    starts.insert(starts.end(), start.begin(), start.end());
  }
  const Outputs before = run_batch(problem, m, starts, 2);
  request_interrupt();
  EXPECT_THROW(run_batch(problem, m, starts, 2), Interrupted);
  clear_interrupt();
  const Outputs after = run_batch(problem, m, starts, 2);
  EXPECT_EQ(std::memcmp(after.theta.data(), before.theta.data(), before.theta.size() * sizeof(double)), 0);
  EXPECT_EQ(after.status, before.status);
}

TEST(ModelBatch, NeighbourStartsFollowTheRowOrderWhateverTheThreads) {
  const std::size_t rows = 4, columns = 5;
  Map m = make_map(rows * columns, 11);
  // One spectrum with a negative count: it is not fitted, and the spectrum below it starts from
  // its own start instead.
  m.counts[7 * m.n + 100] = -1.0;
  const Problem problem = m.builder.build(m.x);
  const std::size_t p = problem.parameter_count();
  const std::vector<double> start = rough_start(m.builder);
  std::vector<double> starts;
  for (std::size_t s = 0; s < m.spectra; ++s) starts.insert(starts.end(), start.begin(), start.end());
  const Outputs one = run_batch(problem, m, starts, 1, columns);
  EXPECT_EQ(one.status[7], kBatchBadCounts);
  EXPECT_TRUE(std::isnan(one.theta[7 * p]));
  auto result = [&](std::size_t k) { return std::vector<double>(one.theta.begin() + k * p, one.theta.begin() + (k + 1) * p); };
  expect_same_as_alone(problem, m, one, 0, start);
  for (std::size_t c = 1; c < columns; ++c) expect_same_as_alone(problem, m, one, c, result(c - 1));
  for (std::size_t k = columns; k < m.spectra; ++k) {
    if (k == 7) continue;
    expect_same_as_alone(problem, m, one, k, k - columns == 7 ? start : result(k - columns));
  }
  // A start from the converged neighbour needs fewer evaluations than the rough one.
  EXPECT_LT(one.iterations[columns + 1], run_batch(problem, m, starts, 1).iterations[columns + 1]);
  for (std::size_t threads : {2u, 8u}) {
    const Outputs many = run_batch(problem, m, starts, threads, columns);
    for (std::size_t j = 0; j < one.theta.size(); ++j) {
      ASSERT_TRUE(same_bits(many.theta[j], one.theta[j]) || (std::isnan(many.theta[j]) && std::isnan(one.theta[j])))
          << threads << " threads, entry " << j;
    }
  }
}

TEST(ModelBatch, BadSpectraAreReportedAndTheOthersFitted) {
  Map m = make_map(6, 3);
  m.counts[1 * m.n + 5] = std::nan("");
  m.counts[4 * m.n + 9] = HUGE_VAL;
  const Problem problem = m.builder.build(m.x);
  const std::size_t p = problem.parameter_count();
  std::vector<double> starts;
  for (std::size_t s = 0; s < m.spectra; ++s) {
    std::vector<double> start = rough_start(m.builder);
    if (s == 2) start[1] = 1000.0;  // outside the width's bounds
    if (s == 3) start[0] = std::nan("");
    starts.insert(starts.end(), start.begin(), start.end());
  }
  const Outputs out = run_batch(problem, m, starts, 2);
  EXPECT_EQ(out.status[1], kBatchBadCounts);
  EXPECT_EQ(out.status[4], kBatchBadCounts);
  EXPECT_EQ(out.status[2], kBatchBadStart);
  EXPECT_EQ(out.status[3], kBatchBadStart);
  for (std::size_t k : {1u, 2u, 3u, 4u}) {
    EXPECT_TRUE(std::isnan(out.deviance[k]));
    EXPECT_TRUE(std::isnan(out.chi_square[k]));
    EXPECT_TRUE(std::isnan(out.expected[k * m.n]));
    EXPECT_EQ(out.iterations[k], 0.0);
  }
  for (std::size_t k : {0u, 5u}) {
    EXPECT_EQ(out.status[k], 0);
    expect_same_as_alone(problem, m, out, k, std::vector<double>(starts.begin() + k * p, starts.begin() + (k + 1) * p));
  }
}

TEST(ModelBatch, SizesThatDoNotAgreeAreRefused) {
  const Map m = make_map(4);
  const Problem problem = m.builder.build(m.x);
  const std::size_t p = problem.parameter_count();
  Outputs out(4, p, m.n);
  std::vector<double> starts(4 * p, 0.0);
  std::vector<double> short_counts(m.counts.begin(), m.counts.end() - 1);
  EXPECT_THROW(fit_many(problem, short_counts, starts, {}, out.view()), ModelError);
  EXPECT_THROW(fit_many(problem, m.counts, std::vector<double>(3 * p), {}, out.view()), ModelError);
  BatchOptions neighbours;
  neighbours.neighbour_columns = 3;  // 4 spectra are not rows of 3
  EXPECT_THROW(fit_many(problem, m.counts, starts, neighbours, out.view()), ModelError);
}

}  // namespace
}  // namespace brivane::model
