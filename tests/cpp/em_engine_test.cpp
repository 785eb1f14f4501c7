#include "em_engine.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "failure.hpp"
#include "peak_fit_support.hpp"
#include "shapes/gaussian/gaussian.hpp"
#include "vector_math.hpp"

namespace brivane {
namespace {

// A histogram of draws from three Gaussians and a flat floor, on [0, 100].
struct Spectrum {
  std::vector<double> x;
  std::vector<double> counts;
};

Spectrum three_peaks(std::size_t bins, std::uint64_t seed, const std::array<double, 3>& widths = {3.0, 5.0, 2.0}) {
  Spectrum s;
  s.x.resize(bins);
  s.counts.assign(bins, 0.0);
  for (std::size_t i = 0; i < bins; ++i) s.x[i] = 100.0 * (static_cast<double>(i) + 0.5) / static_cast<double>(bins);
  std::mt19937_64 rng(seed);
  const double centres[] = {25.0, 50.0, 70.0};
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

Fit fit(const Spectrum& s, std::uint8_t bg_type, std::uint64_t max_iter, double r_eps = 1e-12) {
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
  problem.r_eps = r_eps;
  problem.window = {0.0, 100.0};
  problem.bg_type = bg_type;
  f.result = run_em(f.peaks, f.pi, problem);
  return f;
}

void expect_identical(const Fit& a, const Fit& b) {
  EXPECT_EQ(a.result.iterations, b.result.iterations);
  EXPECT_EQ(a.result.log_likelihood, b.result.log_likelihood);
  EXPECT_EQ(a.result.relative_change, b.result.relative_change);
  EXPECT_EQ(a.result.s_tri, b.result.s_tri);
  EXPECT_EQ(a.peaks.values[0], b.peaks.values[0]);
  EXPECT_EQ(a.peaks.values[1], b.peaks.values[1]);
  EXPECT_EQ(a.pi, b.pi);
}

TEST(EmEngine, ResultsDoNotDependOnTheThreadCount) {
  const Spectrum s = three_peaks(4000, 11);
  const Fit single = fit_test::with_thread_limit(1, [&] { return fit(s, kLinearBackground, 60); });
  expect_identical(single, fit(s, kLinearBackground, 60));
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
  run_tasks(nested.size(), [&](std::size_t i) { nested[i] = fit(s, kUniformBackground, 40); });
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

using fit_test::on_threads;

TEST(EmEngine, ResultsAreIdenticalOnOneTwoAndEightThreads) {
  // 70,001 samples: 69 chunks, shared differently by every thread count; a linear background
  // (its weight row feeds the tilt estimate) and stored basis rows.
  const Spectrum s = three_peaks(70001, 17);
  const BasisRows basis{std::vector<double>(70001, 0.004), std::vector<double>(s.x.begin(), s.x.end())};
  for (const std::uint8_t bg_type : {kLinearBackground, kBasisBackground}) {
    SCOPED_TRACE(static_cast<int>(bg_type));
    auto run = [&] {
      Fit f;
      f.peaks.values = {{{20.0, 45.0, 75.0}, {4.0, 4.0, 4.0}}};
      f.peaks.fixed = {std::vector<bool>(3, false), std::vector<bool>(3, false)};
      f.pi = bg_type == kBasisBackground ? std::vector<double>{0.3, 0.3, 0.3, 0.05, 0.05} : std::vector<double>{0.3, 0.3, 0.3, 0.1};
      const std::vector<double> alpha(5, 1.0);
      EmProblem problem;
      problem.x = s.x;
      problem.intensity = s.counts;
      problem.dirichlet_alpha = alpha;
      problem.max_iter = 25;
      problem.window = {0.0, 100.0};
      problem.bg_type = bg_type;
      problem.s_tri = 0.1;
      problem.spline_basis_preds = &basis;
      f.result = run_em(f.peaks, f.pi, problem);
      return f;
    };
    const Fit one = on_threads(1, run), two = on_threads(2, run), eight = on_threads(8, run);
    ASSERT_EQ(one.result.iterations, 25u);
    expect_identical(one, two);
    expect_identical(one, eight);
  }
}

TEST(EmEngine, Avx2AndAvx512FitsAreIdenticalAndTheBaselineAgreesToRounding) {
  if (!simd_level_supported(SimdLevel::kAvx512)) GTEST_SKIP() << "this processor lacks AVX-512";
  const Spectrum s = three_peaks(5003, 23);
  auto run = [&](SimdLevel level) {
    const SimdOverride variant(level);
    return fit(s, kLinearBackground, 40);
  };
  const Fit avx512 = run(SimdLevel::kAvx512), avx2 = run(SimdLevel::kAvx2), baseline = run(SimdLevel::kBaseline);
  expect_identical(avx512, avx2);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_NEAR(baseline.peaks.values[0][k], avx512.peaks.values[0][k], 1e-11 * avx512.peaks.values[0][k]);
    EXPECT_NEAR(baseline.peaks.values[1][k], avx512.peaks.values[1][k], 1e-11 * avx512.peaks.values[1][k]);
  }
  EXPECT_NEAR(baseline.result.log_likelihood.back(), avx512.result.log_likelihood.back(),
              1e-13 * std::fabs(avx512.result.log_likelihood.back()));
}

// The Gaussian iteration written plainly from its formulas, in long double: densities
// exp(-z^2) / q, responsibilities D pi / (m + 1e-20), sums in sample order, the weighted mean and
// the spread about it in a second pass. A uniform background on the window.
struct PlainFit {
  std::vector<double> mu, sigma, pi, log_likelihood;
};

PlainFit plain_gaussian_em(const Spectrum& s, std::vector<double> mu, std::vector<double> sigma, std::vector<double> pi,
                           Window window, int iterations) {
  using Real = long double;
  const std::size_t n = s.x.size(), peaks = mu.size(), components = pi.size();
  std::vector<std::vector<Real>> g(components, std::vector<Real>(n));
  PlainFit out;
  auto e_step = [&] {
    Real ll = 0.0L;
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<Real> d(components);
      for (std::size_t k = 0; k < peaks; ++k) {
        const Real z = (s.x[i] - static_cast<Real>(mu[k])) / (static_cast<Real>(sigma[k]) * std::sqrt(2.0L));
        d[k] = std::exp(-z * z) / std::sqrt(2.0L * 3.14159265358979323846264338L * sigma[k] * sigma[k]);
      }
      if (components > peaks) {
        d[peaks] = (s.x[i] >= window.min && s.x[i] <= window.max) ? 1.0L / (window.max - window.min) : 0.0L;
      }
      Real m = 0.0L;
      for (std::size_t k = 0; k < components; ++k) m += pi[k] * d[k];
      for (std::size_t k = 0; k < components; ++k) g[k][i] = d[k] * pi[k] / (m + 1e-20L);
      ll += s.counts[i] * std::log(m + 1e-200L);
    }
    out.log_likelihood.push_back(static_cast<double>(ll));
  };
  e_step();
  for (int t = 0; t < iterations; ++t) {
    std::vector<Real> counts(components);
    for (std::size_t k = 0; k < components; ++k) {
      for (std::size_t i = 0; i < n; ++i) counts[k] += s.counts[i] * g[k][i];
    }
    Real total = 0.0L;
    for (Real c : counts) total += c;
    for (std::size_t k = 0; k < peaks; ++k) {
      Real first = 0.0L, second = 0.0L;
      for (std::size_t i = 0; i < n; ++i) first += s.x[i] * s.counts[i] * g[k][i];
      const Real centre = first / (counts[k] + 1e-100L);
      for (std::size_t i = 0; i < n; ++i) second += s.counts[i] * g[k][i] * (s.x[i] - centre) * (s.x[i] - centre);
      mu[k] = static_cast<double>(centre);
      sigma[k] = static_cast<double>(std::sqrt(second / (counts[k] + 1e-100L)));
    }
    for (std::size_t k = 0; k < components; ++k) pi[k] = static_cast<double>(counts[k] / total);
    e_step();
  }
  out.mu = mu;
  out.sigma = sigma;
  out.pi = pi;
  return out;
}

// Runs the Gaussian EM from the given start on every instruction set and compares it with the
// plain iteration: the log-likelihood of every iteration within 1e-13, the final centres within
// 1e-12 and the widths and, with `weights_too`, the weights within `tolerance`, all relative.
void expect_plain_results(const Spectrum& s, const std::vector<double>& mu, const std::vector<double>& sigma,
                          const std::vector<double>& start_pi, std::uint8_t bg_type, int iterations,
                          double tolerance = 1e-11, bool weights_too = true) {
  const PlainFit plain = plain_gaussian_em(s, mu, sigma, start_pi, {0.0, 100.0}, iterations);
  for (SimdLevel level : {SimdLevel::kBaseline, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    if (!simd_level_supported(level)) continue;
    SCOPED_TRACE(simd_level_name(level));
    const SimdOverride variant(level);
    GaussianPeaks peaks;
    peaks.values = {mu, sigma};
    peaks.fixed = {std::vector<bool>(mu.size(), false), std::vector<bool>(mu.size(), false)};
    std::vector<double> pi = start_pi;
    const std::vector<double> alpha(pi.size(), 1.0);
    EmProblem problem;
    problem.x = s.x;
    problem.intensity = s.counts;
    problem.dirichlet_alpha = alpha;
    problem.max_iter = static_cast<std::uint64_t>(iterations);
    problem.r_eps = 0.0;
    problem.window = {0.0, 100.0};
    problem.bg_type = bg_type;
    const EmResult result = run_em(peaks, pi, problem);
    ASSERT_EQ(result.log_likelihood.size(), plain.log_likelihood.size());
    for (std::size_t t = 0; t < plain.log_likelihood.size(); ++t) {
      EXPECT_NEAR(result.log_likelihood[t], plain.log_likelihood[t], 1e-13 * std::fabs(plain.log_likelihood[t])) << t;
    }
    for (std::size_t k = 0; k < mu.size(); ++k) {
      EXPECT_NEAR(peaks.values[0][k], plain.mu[k], 1e-12 * plain.mu[k]) << k;
      EXPECT_NEAR(peaks.values[1][k], plain.sigma[k], tolerance * plain.sigma[k]) << k;
    }
    if (!weights_too) continue;
    for (std::size_t k = 0; k < pi.size(); ++k) EXPECT_NEAR(pi[k], plain.pi[k], tolerance * plain.pi[k]) << k;
  }
}

TEST(EmEngine, TheFusedIterationAgreesWithThePlainFormulas) {
  // 30 iterations from a start off the peaks: every quantity within about 1e-12 of the plain
  // iteration in extended precision, whatever the variant.
  expect_plain_results(three_peaks(3000, 29), {20.0, 45.0, 75.0}, {4.0, 4.0, 4.0}, {0.3, 0.3, 0.3, 0.1},
                       kUniformBackground, 30, 1e-12);
}

TEST(EmEngine, NarrowPeaksOnAWideGridAgreeWithThePlainFormulas) {
  // Widths of 0.2-0.5 on [0, 100]: each peak's terms vanish on most blocks of the pass, which
  // writes those zeros without evaluating them; the blocks around each peak must still be
  // evaluated, every variant alike.
  expect_plain_results(three_peaks(6000, 31, {0.3, 0.5, 0.2}), {25.4, 49.7, 70.2}, {0.4, 0.4, 0.4},
                       {0.3, 0.3, 0.3, 0.1}, kUniformBackground, 20);
}

TEST(EmEngine, FarTailsLeftOutOfThePassChangeNothingThatMatters) {
  // Without a background, samples between the peaks have a mixture made of tails alone, which
  // the pass must then evaluate (otherwise their log-likelihood falls to the floor's).
  const Spectrum narrow = three_peaks(6000, 31, {0.3, 0.5, 0.2});
  expect_plain_results(narrow, {25.4, 49.7, 70.2}, {0.4, 0.4, 0.4}, {0.3, 0.3, 0.4}, kNoBackground, 8);
  // A peak started in an empty stretch of the spectrum (no counts above 85) draws its sums from
  // its far tails alone: they must be evaluated too, here where the background makes them
  // negligible in the mixture. After one iteration it sits on the edge of the data; its weight,
  // an expected count of about 1e-50, is lost to the Dirichlet update's rounding (count + 1 - 1),
  // which the plain formulas do not have.
  Spectrum empty_end = three_peaks(3000, 37);
  for (std::size_t i = 0; i < empty_end.x.size(); ++i) {
    if (empty_end.x[i] > 85.0) empty_end.counts[i] = 0.0;
  }
  expect_plain_results(empty_end, {25.0, 50.0, 70.0, 89.0}, {3.0, 5.0, 2.0, 0.25}, {0.3, 0.3, 0.2, 0.1, 0.1},
                       kUniformBackground, 1, 1e-11, false);
}

TEST(EmEngine, AFarFirstMoveKeepsTheWidthAccurate) {
  // One peak starts 2,000 away from data of width 1 and 1,000 wide: its sums about the old
  // centre nearly cancel (by a factor of 1e7), so the refit takes them again about the new centre.
  Spectrum s;
  for (int i = 0; i <= 4000; ++i) {
    s.x.push_back(20000.0 + 0.005 * (i - 2000));
    s.counts.push_back(std::round(1000.0 * std::exp(-0.5 * std::pow(s.x.back() - 20000.3, 2) / 0.81)));
  }
  GaussianPeaks peaks;
  peaks.values = {{{18000.0}, {1000.0}}};
  peaks.fixed = {std::vector<bool>{false}, std::vector<bool>{false}};
  std::vector<double> pi{1.0};
  const std::vector<double> alpha{1.0};
  EmProblem problem;
  problem.x = s.x;
  problem.intensity = s.counts;
  problem.dirichlet_alpha = alpha;
  problem.max_iter = 1;
  run_em(peaks, pi, problem);
  const PlainFit plain = plain_gaussian_em(s, {18000.0}, {1000.0}, {1.0}, {0.0, 0.0}, 1);
  EXPECT_NEAR(peaks.values[0][0], plain.mu[0], 1e-13 * plain.mu[0]);
  EXPECT_NEAR(peaks.values[1][0], plain.sigma[0], 1e-12 * plain.sigma[0]);
  EXPECT_NEAR(peaks.values[1][0], 0.9, 0.01);
}

}  // namespace
}  // namespace brivane

namespace brivane {
namespace {

// Runs of held helpers give the same bits as plain runs, on every thread count, whatever the body
// does between runs: a failing chunk, a parallel loop of its own (while it waits, the pool may hand
// the caller a waiting helper), or a failure that leaves the body.
TEST(WorkerPool, HeldHelpersGiveThePlainSumsAndAlwaysLetGo) {
  constexpr std::size_t n = 70001;  // 274 chunks, the last one short
  auto chunk_for = [](double shift) {
    return [shift](std::size_t begin, std::size_t end, double* sums, double* scratch) {
      scratch[0] = 0.0;
      sums[0] = sums[1] = 0.0;
      for (std::size_t i = begin; i < end; ++i) {
        const double v = std::sin(static_cast<double>(i) * 1e-3 + shift);
        sums[0] += v;
        sums[1] += v * v * shift;
        scratch[0] += v;
      }
      if (scratch[0] != sums[0]) fail_index(0, 1);  // another task wrote this scratch
    };
  };
  constexpr int kRuns = 300;
  std::vector<std::array<double, 2>> plain(kRuns);
  {
    ChunkedSums sums(n, 2, 1, true);
    for (int r = 0; r < kRuns; ++r) sums.run(chunk_for(0.01 * r), plain[r]);
  }
  auto check = [&] {
    ChunkedSums sums(n, 2, 1, true);
    std::array<double, 2> totals{};
    sums.hold([&] {
      for (int r = 0; r < kRuns; ++r) {
        if (r % 50 == 7) {
          // A chunk that fails on whichever thread claims it reaches the caller; the next run is
          // whole again.
          EXPECT_THROW(sums.run([](std::size_t begin, std::size_t, double*, double*) {
            if (begin == 100 * kSumChunk) fail_index(3, 11);
          }, totals), Failure);
        }
        if (r % 50 == 20) {
          std::vector<double> squares(1000);
          run_tasks(squares.size(), [&](std::size_t i) { squares[i] = double(i) * double(i); });
          EXPECT_EQ(squares[999], 998001.0);
        }
        sums.run(chunk_for(0.01 * r), totals);
        EXPECT_EQ(totals, plain[r]) << r;
      }
    });
    EXPECT_THROW(sums.hold([&] {
      sums.run(chunk_for(0.5), totals);
      fail_index(2, 5);
    }), Failure);
    sums.run(chunk_for(0.01), totals);
    EXPECT_EQ(totals, plain[1]);
    return 0;
  };
  for (int threads : {1, 2, 8}) {
    SCOPED_TRACE(threads);
    on_threads(threads, check);
  }
  // The whole arena's helpers asked for, and no worker to run them: they wait among the caller's
  // own tasks, which the body's parallel loop may hand back to the caller.
  {
    const ThreadLimit one_thread(1);
    check();
  }
  // Grids of no chunk and of one: nothing to share.
  for (const std::size_t samples : {std::size_t{0}, std::size_t{100}}) {
    ChunkedSums sums(samples, 2, 1, true);
    std::array<double, 2> held{1.0, 1.0}, plain_totals{};
    sums.hold([&] { sums.run(chunk_for(0.3), held); });
    sums.run(chunk_for(0.3), plain_totals);
    EXPECT_EQ(held, plain_totals);
  }
}

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
