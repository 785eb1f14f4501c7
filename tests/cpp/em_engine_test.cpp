#include "em_engine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include <tbb/parallel_for.h>

#include "failure.hpp"
#include "gaussian.hpp"

namespace brivane {
namespace {

// A histogram of draws from three Gaussians and a flat floor, on [0, 100].
struct Spectrum {
  std::vector<double> x;
  std::vector<double> counts;
};

Spectrum three_peaks(std::size_t bins, std::uint64_t seed) {
  Spectrum s;
  s.x.resize(bins);
  s.counts.assign(bins, 0.0);
  for (std::size_t i = 0; i < bins; ++i) s.x[i] = 100.0 * (static_cast<double>(i) + 0.5) / static_cast<double>(bins);
  std::mt19937_64 rng(seed);
  const double centres[] = {25.0, 50.0, 70.0}, widths[] = {3.0, 5.0, 2.0};
  const int draws[] = {20000, 30000, 10000};
  for (int p = 0; p < 3; ++p) {
    std::normal_distribution<double> peak(centres[p], widths[p]);
    for (int d = 0; d < draws[p]; ++d) {
      const double v = peak(rng);
      if (v >= 0.0 && v < 100.0) s.counts[static_cast<std::size_t>(v / 100.0 * static_cast<double>(bins))] += 1.0;
    }
  }
  std::uniform_real_distribution<double> floor(0.0, 100.0);
  for (int d = 0; d < 5000; ++d) s.counts[static_cast<std::size_t>(floor(rng) / 100.0 * static_cast<double>(bins))] += 1.0;
  return s;
}

struct Fit {
  GaussianPeaks peaks;
  std::vector<double> pi;
  EmResult result;
};

Fit fit(const Spectrum& s, std::uint8_t bg_type, std::uint64_t max_iter) {
  Fit f;
  f.peaks.values = {{{20.0, 45.0, 75.0}, {4.0, 4.0, 4.0}}};
  f.peaks.fixed = {std::vector<bool>(3, false), std::vector<bool>(3, false)};
  f.pi = {0.3, 0.3, 0.3, 0.1};
  const std::vector<double> alpha(4, 1.0);
  EmProblem problem;
  problem.x = s.x;
  problem.intensity = s.counts;
  problem.dirichlet_alpha = alpha;
  problem.max_iter = max_iter;
  problem.r_eps = 1e-12;
  problem.window = {0.0, 100.0};
  problem.bg_type = bg_type;
  f.result = run_em(f.peaks, f.pi, problem);
  return f;
}

TEST(EmEngine, ResultsDoNotDependOnTheThreadCount) {
  const Spectrum s = three_peaks(4000, 11);
  Fit single;
  {
    ThreadLimit one_thread(1);
    single = fit(s, kLinearBackground, 60);
  }
  const Fit many = fit(s, kLinearBackground, 60);
  EXPECT_EQ(single.result.log_likelihood, many.result.log_likelihood);
  EXPECT_EQ(single.result.relative_change, many.result.relative_change);
  EXPECT_EQ(single.result.s_tri, many.result.s_tri);
  EXPECT_EQ(single.peaks.values[0], many.peaks.values[0]);
  EXPECT_EQ(single.peaks.values[1], many.peaks.values[1]);
  EXPECT_EQ(single.pi, many.pi);
}

TEST(EmEngine, NestedAndConcurrentFitsAgreeWithASequentialOne) {
  // Fits running as tasks of the pool, each spawning its own per-peak tasks, and fits from plain
  // threads at the same time: no deadlock, and every one equals the lone fit.
  const Spectrum s = three_peaks(2000, 5);
  const Fit reference = fit(s, kUniformBackground, 40);
  std::vector<Fit> nested(8);
  std::vector<Fit> threaded(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < threaded.size(); ++t) {
    threads.emplace_back([&, t] { threaded[t] = fit(s, kUniformBackground, 40); });
  }
  tbb::parallel_for(std::size_t{0}, nested.size(), [&](std::size_t i) { nested[i] = fit(s, kUniformBackground, 40); });
  for (std::thread& t : threads) t.join();
  for (const std::vector<Fit>* fits : {&nested, &threaded}) {
    for (const Fit& f : *fits) {
      EXPECT_EQ(f.result.log_likelihood, reference.result.log_likelihood);
      EXPECT_EQ(f.peaks.values[0], reference.peaks.values[0]);
      EXPECT_EQ(f.pi, reference.pi);
    }
  }
}

TEST(EmEngine, LikelihoodNeverDecreasesAndPeaksAreFound) {
  // EM with a flat prior is monotone in the likelihood; the three peaks come back in order.
  const Spectrum s = three_peaks(1000, 3);
  const Fit f = fit(s, kUniformBackground, 500);
  const std::vector<double>& ll = f.result.log_likelihood;
  for (std::size_t i = 1; i < ll.size(); ++i) EXPECT_GE(ll[i], ll[i - 1] - 1e-9 * std::fabs(ll[i - 1])) << i;
  const std::vector<double>& mu = f.peaks.values[0];
  EXPECT_NEAR(mu[0], 25.0, 0.2);
  EXPECT_NEAR(mu[1], 50.0, 0.2);
  EXPECT_NEAR(mu[2], 70.0, 0.2);
  EXPECT_LT(f.result.iterations, 500u);
  EXPECT_LT(std::fabs(f.result.relative_change.back()), 1e-12);
}

TEST(EmEngine, ShortPerPeakArraysFailBeforeTheFirstReadPastTheEnd) {
  const Spectrum s = three_peaks(200, 1);
  const std::vector<double> alpha(4, 1.0);
  EmProblem problem;
  problem.x = s.x;
  problem.intensity = s.counts;
  problem.dirichlet_alpha = alpha;
  problem.max_iter = 5;
  problem.bg_type = kUniformBackground;
  problem.window.max = 100.0;

  GaussianPeaks peaks;
  peaks.values = {{{20.0, 50.0, 70.0}, {3.0, 3.0}}};
  peaks.fixed = {std::vector<bool>(3, false), std::vector<bool>(3, false)};
  std::vector<double> pi{0.3, 0.3, 0.3, 0.1};
  EXPECT_THROW(
      {
        try {
          run_em(peaks, pi, problem);
        } catch (const Failure& f) {
          EXPECT_STREQ(f.what(), "index out of bounds: the len is 2 but the index is 2");
          throw;
        }
      },
      Failure);

  peaks.values[1] = {3.0, 3.0, 3.0};
  peaks.fixed[1].assign(1, false);
  EXPECT_THROW(run_em(peaks, pi, problem), Failure);
  // Without iterations no refit reads the flags.
  problem.max_iter = 0;
  EXPECT_NO_THROW(run_em(peaks, pi, problem));
}

}  // namespace
}  // namespace brivane

namespace brivane {
namespace {

TEST(WorkerPool, AFailureInATaskReachesTheCallingThread) {
  std::vector<int> done(16, 0);
  try {
    run_tasks(done.size(), [&](std::size_t k) {
      if (k == 11) fail_index(3, 11);
      done[k] = 1;
    });
    FAIL() << "the task's failure must be rethrown";
  } catch (const Failure& failure) {
    EXPECT_STREQ(failure.what(), "index out of bounds: the len is 3 but the index is 11");
  }
}

}  // namespace
}  // namespace brivane
