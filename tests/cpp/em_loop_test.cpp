// The EM loop's own rules, seen through a stand-in shape that records what every refit saw. Every
// mixture entry runs through the same run_em template, so these rules hold for all of them.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "em_engine.hpp"
#include "failure.hpp"
#include "interrupt.hpp"
#include "peak_fit_support.hpp"

namespace brivane {
namespace {

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

double bump(double x, double centre, double width) {
  const double z = (x - centre) / width;
  return 1.0 / (1.0 + z * z);
}

// Peak k is the bump 1 / (1 + ((x - c) / w)^2), c = values[0][k], w = values[1][k]; fixed[0] fixes
// the centre. A refit returns the weighted mean as the centre and the width grown by a tenth,
// records what it saw and what it returned, and scribbles over its scratch row. With
// kInParallel the densities and refits run as tasks of the pool and the densities in pieces.
template <bool kInParallel>
struct StubPeaks : PeakParameters<2, 1> {
  static constexpr bool kParallel = kInParallel;
  static constexpr bool kElementwiseDensity = kInParallel;

  struct Seen {
    std::vector<double> weights;
    std::array<std::vector<double>, 2> values;  // every peak's values when the refit ran
    Window window;
    Parameters result;
  };
  // One list per peak, one entry per iteration: each refit task appends to its own peak's list.
  std::vector<std::vector<Seen>>* seen = nullptr;
  std::size_t fail_iteration = kNever;
  std::size_t fail_peak = 0;
  std::size_t nan_iteration = kNever;        // peak 0's refit returns a NaN centre then
  std::size_t interrupt_iteration = kNever;  // peak 0's refit asks for an interrupt then

  void density(std::size_t k, std::span<const double> x, const Window& /*window*/,
               std::span<double> row) const {
    for (std::size_t i = 0; i < x.size(); ++i) row[i] = bump(x[i], values[0][k], values[1][k]);
  }

  Parameters refit(std::size_t k, std::span<const double> x, std::span<const double> weights,
                   const Window& window, std::span<double> scratch) const {
    std::vector<Seen>& mine = (*seen)[k];
    if (k == fail_peak && mine.size() == fail_iteration) throw Failure("stub refit failed");
    if (k == 0 && mine.size() == interrupt_iteration) request_interrupt();
    Seen s{{weights.begin(), weights.end()}, values, window, current(k)};
    if (!fixed[0][k]) {
      double total = 0.0, moment = 0.0;
      for (std::size_t i = 0; i < x.size(); ++i) {
        total += weights[i];
        moment += weights[i] * x[i];
      }
      s.result[0] = moment / total;
    }
    s.result[1] *= 1.1;
    if (k == 0 && mine.size() == nan_iteration) s.result[0] = std::numeric_limits<double>::quiet_NaN();
    for (double& v : scratch) v = std::numeric_limits<double>::quiet_NaN();
    mine.push_back(s);
    return s.result;
  }
};

// Three bumps on a floor, n samples on [0, 100]; K = 3 peaks starting off their marks.
struct StubData {
  std::vector<double> x;
  std::vector<double> intensity;
  std::vector<double> alpha = std::vector<double>(5, 1.0);
  EmProblem problem;

  explicit StubData(std::size_t n, std::uint8_t bg_type, std::uint64_t max_iter) {
    for (std::size_t i = 0; i < n; ++i) {
      x.push_back(100.0 * static_cast<double>(i) / static_cast<double>(n - 1));
      intensity.push_back(5.0 + 200.0 * bump(x[i], 20.0, 4.0) + 300.0 * bump(x[i], 55.0, 6.0) +
                          100.0 * bump(x[i], 80.0, 3.0) + 0.05 * x[i]);
    }
    problem.x = x;
    problem.intensity = intensity;
    problem.dirichlet_alpha = alpha;
    problem.max_iter = max_iter;
    problem.r_eps = 0.0;  // a change is never below 0: every run goes to max_iter
    problem.window = {10.0, 90.0};
    problem.bg_type = bg_type;
    problem.s_tri = 0.25;
  }
};

template <bool kInParallel>
StubPeaks<kInParallel> stub_peaks(std::vector<std::vector<typename StubPeaks<kInParallel>::Seen>>& seen) {
  StubPeaks<kInParallel> peaks;
  peaks.values = {{{25.0, 50.0, 75.0}, {5.0, 5.0, 5.0}}};
  peaks.fixed = {std::vector<bool>{false, true, false}};
  seen.assign(3, {});
  peaks.seen = &seen;
  return peaks;
}

template <bool kInParallel>
void every_refit_of_an_iteration_sees_one_e_step_and_the_values_stored_before_it() {
  constexpr std::uint64_t kIterations = 6;
  StubData data(2048, kNoBackground, kIterations);  // 3 x 2048 entries: enough for the pool
  std::vector<std::vector<typename StubPeaks<kInParallel>::Seen>> seen;
  StubPeaks<kInParallel> peaks = stub_peaks<kInParallel>(seen);
  const auto start = peaks.values;
  std::vector<double> pi{0.3, 0.4, 0.3};
  const EmResult result = run_em(peaks, pi, data.problem);

  ASSERT_EQ(result.iterations, kIterations);
  for (std::size_t k = 0; k < 3; ++k) ASSERT_EQ(seen[k].size(), kIterations) << "peak " << k;
  for (std::size_t t = 0; t < kIterations; ++t) {
    SCOPED_TRACE("iteration " + std::to_string(t));
    // The values every refit of iteration t saw: the starting values, then exactly the results of
    // the previous iteration's refits, none of the current one's.
    const auto& snapshot = seen[0][t].values;
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_EQ(seen[k][t].values, snapshot) << "peak " << k;
      EXPECT_EQ(seen[k][t].window.min, 10.0);
      EXPECT_EQ(seen[k][t].window.max, 90.0);
      for (std::size_t j = 0; j < 2; ++j) {
        EXPECT_EQ(snapshot[j][k], t == 0 ? start[j][k] : seen[k][t - 1].result[j]);
      }
    }
    // One E-step made all the rows: without background they share out each sample's counts, and
    // row k over row j is pi_k d_k / (pi_j d_j) with the densities of that snapshot, so
    // w_k d_j / (w_j d_k) is the same number at every sample.
    for (std::size_t i = 0; i < data.x.size(); ++i) {
      double total = 0.0;
      for (std::size_t k = 0; k < 3; ++k) total += seen[k][t].weights[i];
      ASSERT_NEAR(total, data.intensity[i], 1e-12 * data.intensity[i]) << "sample " << i;
    }
    for (std::size_t k = 1; k < 3; ++k) {
      auto ratio = [&](std::size_t i) {
        const double xi = data.x[i];
        return seen[k][t].weights[i] * bump(xi, snapshot[0][0], snapshot[1][0]) /
               (seen[0][t].weights[i] * bump(xi, snapshot[0][k], snapshot[1][k]));
      };
      const double first = ratio(0);
      for (std::size_t i = 1; i < data.x.size(); i += 97) {
        ASSERT_NEAR(ratio(i), first, 1e-9 * first) << "peak " << k << ", sample " << i;
      }
    }
  }
  // The last iteration's results were stored, and the fixed centre never moved.
  for (std::size_t k = 0; k < 3; ++k) {
    for (std::size_t j = 0; j < 2; ++j) EXPECT_EQ(peaks.values[j][k], seen[k].back().result[j]);
  }
  EXPECT_EQ(peaks.values[0][1], 50.0);
  // The NaN scratch rows did not leak into the next densities.
  for (double ll : result.log_likelihood) EXPECT_TRUE(std::isfinite(ll));
}

TEST(EmLoop, EveryRefitOfAnIterationSeesOneEStepAndTheValuesStoredBeforeIt) {
  every_refit_of_an_iteration_sees_one_e_step_and_the_values_stored_before_it<false>();
}

TEST(EmLoop, ParallelRefitsSeeOneEStepAndTheValuesStoredBeforeIt) {
  every_refit_of_an_iteration_sees_one_e_step_and_the_values_stored_before_it<true>();
}

TEST(EmLoop, TheTiltIsReEstimatedOnlyForTheLinearBackground) {
  const BasisRows basis(1, std::vector<double>(400, 0.01));
  for (const std::uint8_t bg_type : {0, 1, 2, 3, 4, 5, 255}) {
    SCOPED_TRACE("bg_type " + std::to_string(bg_type));
    StubData data(400, bg_type, 3);
    data.problem.spline_basis_preds = &basis;
    std::vector<std::vector<StubPeaks<false>::Seen>> seen;
    StubPeaks<false> peaks = stub_peaks<false>(seen);
    std::vector<double> pi = bg_type == kNoBackground ? std::vector<double>{0.3, 0.4, 0.3}
                                                      : std::vector<double>{0.3, 0.3, 0.3, 0.1};
    const EmResult result = run_em(peaks, pi, data.problem);
    ASSERT_EQ(result.iterations, 3u);
    if (bg_type == kLinearBackground) {
      EXPECT_NE(result.s_tri, 0.25);
      EXPECT_GE(result.s_tri, -0.99999);
      EXPECT_LE(result.s_tri, 0.99999);
    } else {
      EXPECT_EQ(result.s_tri, 0.25);
    }
  }
  // Without iterations the argument comes back for code 3 too.
  StubData data(400, kLinearBackground, 0);
  std::vector<std::vector<StubPeaks<false>::Seen>> seen;
  StubPeaks<false> peaks = stub_peaks<false>(seen);
  std::vector<double> pi{0.3, 0.3, 0.3, 0.1};
  EXPECT_EQ(run_em(peaks, pi, data.problem).s_tri, 0.25);
}

template <bool kInParallel>
void a_failed_refit_aborts_before_anything_of_its_iteration_is_stored() {
  StubData data(2048, kUniformBackground, 10);
  std::vector<std::vector<typename StubPeaks<kInParallel>::Seen>> seen;
  StubPeaks<kInParallel> peaks = stub_peaks<kInParallel>(seen);
  peaks.fail_iteration = 2;
  peaks.fail_peak = 1;
  std::vector<double> pi{0.3, 0.3, 0.3, 0.1};
  try {
    run_em(peaks, pi, data.problem);
    FAIL() << "the refit's failure must reach the caller";
  } catch (const Failure& failure) {
    EXPECT_STREQ(failure.what(), "stub refit failed");
  }
  // The values are those stored after iteration 1, whatever the other refits of iteration 2 did.
  for (std::size_t k = 0; k < 3; ++k) {
    ASSERT_GE(seen[k].size(), 2u);
    for (std::size_t j = 0; j < 2; ++j) EXPECT_EQ(peaks.values[j][k], seen[k][1].result[j]);
  }
}

TEST(EmLoop, AFailedRefitAbortsBeforeAnythingOfItsIterationIsStored) {
  a_failed_refit_aborts_before_anything_of_its_iteration_is_stored<false>();
}

TEST(EmLoop, AFailedParallelRefitReachesTheCallerBeforeAnythingIsStored) {
  a_failed_refit_aborts_before_anything_of_its_iteration_is_stored<true>();
}

TEST(EmLoop, ShapesWithStoredRowsGiveIdenticalResultsOnOneTwoAndEightThreads) {
  // The E-step of shapes that keep their rows (here the elementwise stub, its densities formed in
  // the pass's chunks) sums in the same fixed order as the fused pass, whatever the thread count.
  auto run = [] {
    StubData data(9001, kLinearBackground, 8);
    std::vector<std::vector<StubPeaks<true>::Seen>> seen;
    StubPeaks<true> peaks = stub_peaks<true>(seen);
    std::vector<double> pi{0.3, 0.3, 0.3, 0.1};
    const EmResult result = run_em(peaks, pi, data.problem);
    return std::make_tuple(result.log_likelihood, result.s_tri, peaks.values, pi, seen[2].back().weights);
  };
  const auto one = fit_test::on_threads(1, run);
  EXPECT_EQ(fit_test::on_threads(2, run), one);
  EXPECT_EQ(fit_test::on_threads(8, run), one);
  EXPECT_EQ(std::get<0>(one).size(), 9u);
}

template <bool kInParallel>
void an_iteration_without_log_likelihood_is_undone() {
  constexpr std::size_t kNanIteration = 3;
  StubData data(2048, kLinearBackground, 1000000000);
  std::vector<std::vector<typename StubPeaks<kInParallel>::Seen>> seen;
  StubPeaks<kInParallel> peaks = stub_peaks<kInParallel>(seen);
  peaks.nan_iteration = kNanIteration;
  std::vector<double> pi{0.3, 0.3, 0.3, 0.1};
  const EmResult result = run_em(peaks, pi, data.problem);

  // The NaN centre's iteration is the last one, its entry ends the histories, and the values
  // are those its refits started from; the loop did not go on to max_iter.
  ASSERT_EQ(result.iterations, kNanIteration + 1);
  ASSERT_EQ(result.log_likelihood.size(), kNanIteration + 2);
  EXPECT_TRUE(std::isnan(result.log_likelihood.back()));
  EXPECT_TRUE(std::isnan(result.relative_change.back()));
  for (std::size_t t = 0; t <= kNanIteration; ++t) EXPECT_TRUE(std::isfinite(result.log_likelihood[t]));
  EXPECT_EQ(peaks.values, seen[0][kNanIteration].values);

  // A run limited to those good iterations gives the same values, weights and tilt.
  StubData limited(2048, kLinearBackground, kNanIteration);
  std::vector<std::vector<typename StubPeaks<kInParallel>::Seen>> seen_limited;
  StubPeaks<kInParallel> reference = stub_peaks<kInParallel>(seen_limited);
  std::vector<double> reference_pi{0.3, 0.3, 0.3, 0.1};
  const EmResult good = run_em(reference, reference_pi, limited.problem);
  EXPECT_EQ(peaks.values, reference.values);
  EXPECT_EQ(pi, reference_pi);
  EXPECT_EQ(result.s_tri, good.s_tri);
}

TEST(EmLoop, AnIterationWithoutLogLikelihoodIsUndone) { an_iteration_without_log_likelihood_is_undone<false>(); }

TEST(EmLoop, AParallelIterationWithoutLogLikelihoodIsUndone) {
  an_iteration_without_log_likelihood_is_undone<true>();
}

TEST(EmLoop, NoWeightReturnsTheStartAfterNoIteration) {
  StubData data(2048, kUniformBackground, 1000000000);
  std::fill(data.intensity.begin(), data.intensity.end(), 0.0);
  std::vector<std::vector<StubPeaks<true>::Seen>> seen;
  StubPeaks<true> peaks = stub_peaks<true>(seen);
  const auto start = peaks.values;
  std::vector<double> pi{0.3, 0.3, 0.3, 0.1};
  const EmResult result = run_em(peaks, pi, data.problem);
  EXPECT_EQ(result.iterations, 0u);
  EXPECT_EQ(result.log_likelihood, std::vector<double>{0.0});
  EXPECT_EQ(peaks.values, start);
  EXPECT_EQ(pi, (std::vector<double>{0.3, 0.3, 0.3, 0.1}));
  EXPECT_TRUE(seen[0].empty());
}

TEST(EmLoop, AnInterruptEndsTheLoopAndTheNextRunIsUnaffected) {
  auto run = [](std::size_t interrupt_iteration) {
    StubData data(9001, kLinearBackground, 6);
    std::vector<std::vector<StubPeaks<true>::Seen>> seen;
    StubPeaks<true> peaks = stub_peaks<true>(seen);
    peaks.interrupt_iteration = interrupt_iteration;
    std::vector<double> pi{0.3, 0.3, 0.3, 0.1};
    const EmResult result = run_em(peaks, pi, data.problem);
    return std::make_tuple(result.log_likelihood, peaks.values, pi);
  };
  const auto before = run(kNever);
  EXPECT_THROW(run(2), Interrupted);
  // The request stays until its maker withdraws it: everything stops at once meanwhile.
  EXPECT_THROW(run(kNever), Interrupted);
  clear_interrupt();
  EXPECT_EQ(run(kNever), before);
}

}  // namespace
}  // namespace brivane
