// Times the pseudo-Voigt full optimisation and its pieces on the single-peak spectra of
// bench/bench_pseudo_voigt.py (n = 2,000 Poisson counts; the same truths, starts and limits, drawn
// with a C++ generator, so the counts differ from the Python script's):
//
// - one log-likelihood pass, one objective call of the bounded step (the log-likelihood with its
//   two forward differences), one mixing search of 100 candidates, by this thread's CPU time on
//   one worker;
// - the whole fit on one worker (CPU time) and on every worker (wall clock), with the number of
//   log-likelihoods its bounded steps evaluated;
// - the pseudo-Voigt mixture EM with the full-optimisation refit, K = 3 plus a uniform
//   background, on one worker and on every worker.
//
//   build/cpp/pv_fit_bench [repeats]

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "background.hpp"
#include "bench_clock.hpp"
#include "em_engine.hpp"
#include "parallel.hpp"
#include "shapes/pseudo_voigt/pseudo_voigt.hpp"

namespace {

using brivane::PseudoVoigtPeak;

struct Spectrum {
  std::vector<double> x, counts;
};

Spectrum spectrum(double from, double to, const std::vector<PseudoVoigtPeak>& peaks, const std::vector<double>& areas,
                  double background, std::uint64_t seed) {
  constexpr std::size_t kSamples = 2000;
  Spectrum s;
  s.x.resize(kSamples);
  s.counts.resize(kSamples);
  std::mt19937_64 rng(seed);
  const double step = (to - from) / static_cast<double>(kSamples - 1);
  for (std::size_t i = 0; i < kSamples; ++i) s.x[i] = from + step * static_cast<double>(i);
  std::vector<double> mean(kSamples, background), row(kSamples);
  for (std::size_t k = 0; k < peaks.size(); ++k) {
    // The window mass is that of the whole line: an infinite window.
    brivane::pseudo_voigt_density(s.x, peaks[k], -INFINITY, INFINITY, row);
    for (std::size_t i = 0; i < kSamples; ++i) mean[i] += areas[k] * row[i] * step;
  }
  for (std::size_t i = 0; i < kSamples; ++i) {
    s.counts[i] = static_cast<double>(std::poisson_distribution<long>(mean[i])(rng));
  }
  return s;
}

struct SingleCase {
  const char* label;
  double from, to;
  PseudoVoigtPeak truth;
  double area, background;
};

void single_peak(const SingleCase& c, int repeats) {
  const Spectrum s = spectrum(c.from, c.to, {c.truth}, {c.area}, c.background, 1);
  std::size_t highest = 0;
  for (std::size_t i = 0; i < s.counts.size(); ++i) highest = s.counts[i] > s.counts[highest] ? i : highest;
  const PseudoVoigtPeak start{s.x[highest], c.truth.gamma * 1.8, 0.5};
  const brivane::FullOptimisationLimits limits{0.01, c.to - c.from, 200, 1e-10};
  std::printf("%s\n", c.label);
  {
    brivane::ThreadLimit one_worker(1);
    const double pass = best_seconds(repeats, 200, [&] {
      sink = sink + brivane::pseudo_voigt_log_likelihood(s.x, s.counts, start, c.from, c.to);
    }, thread_clock);
    const brivane::Shift shifts[2] = {{0, start.x0 + 1e-7}, {1, start.gamma + 1e-7}};
    double differences[2];
    const double objective = best_seconds(repeats, 200, [&] {
      sink = sink + brivane::pseudo_voigt_log_likelihood_differences(s.x, s.counts, start, shifts, c.from, c.to,
                                                                     differences);
    }, thread_clock);
    const double search = best_seconds(repeats, 20, [&] {
      sink = sink + brivane::full_mixing_search(s.x, s.counts, start.x0, start.gamma, 0.5, c.from, c.to);
    }, thread_clock);
    std::printf("  one worker: log-likelihood pass %.1f us, objective call %.1f us (%.2f passes), mixing search "
                "%.1f us (%.1f passes)\n", pass * 1e6, objective * 1e6, objective / pass, search * 1e6, search / pass);
    std::uint64_t passes = 0;
    PseudoVoigtPeak fitted{};
    const double fit = best_seconds(repeats, 5, [&] {
      passes = 0;
      fitted = brivane::pseudo_voigt_mle_full_optimization(s.x, s.counts, start, {}, c.from, c.to, limits, &passes);
    }, thread_clock);
    std::printf("  one worker: full optimisation %.3f ms CPU, %llu passes in its bounded steps -> (%.6g, %.6g, %.2f)\n",
                fit * 1e3, static_cast<unsigned long long>(passes), fitted.x0, fitted.gamma, fitted.eta);
  }
  const double fit = best_seconds(repeats, 5, [&] {
    sink = sink + brivane::pseudo_voigt_mle_full_optimization(s.x, s.counts, start, {}, c.from, c.to, limits).x0;
  });
  std::printf("  %u workers: full optimisation %.3f ms wall\n", std::thread::hardware_concurrency(), fit * 1e3);
}

void mixture(int repeats) {
  const std::vector<PseudoVoigtPeak> truth{{25.0, 4.0, 0.3}, {50.0, 6.0, 0.7}, {72.0, 3.0, 0.5}};
  const std::vector<PseudoVoigtPeak> starts{{22.0, 6.0, 0.5}, {53.0, 4.0, 0.5}, {70.0, 5.0, 0.5}};
  const Spectrum s = spectrum(0.0, 100.0, truth, {30000.0, 50000.0, 20000.0}, 10.0, 3);
  const std::vector<double> alpha(4, 1.0);
  std::size_t iterations = 0;
  auto fit = [&] {
    brivane::PseudoVoigtPeaks shape;
    for (const PseudoVoigtPeak& p : starts) {
      shape.values[0].push_back(p.x0);
      shape.values[1].push_back(p.gamma);
      shape.values[2].push_back(p.eta);
    }
    for (auto& flags : shape.fixed) flags.assign(starts.size(), false);
    shape.use_full_opt = true;
    shape.limits = {0.1, 50.0, 500, 1e-8};
    std::vector<double> pi(4, 0.25);
    brivane::EmProblem problem;
    problem.x = s.x;
    problem.intensity = s.counts;
    problem.dirichlet_alpha = alpha;
    problem.max_iter = 500;
    problem.r_eps = 1e-8;
    problem.window = {0.0, 100.0};
    problem.bg_type = brivane::kUniformBackground;
    const brivane::EmResult result = brivane::run_em(shape, pi, problem);
    iterations = result.iterations;
    sink = sink + result.log_likelihood.back();
  };
  double alone;
  {
    brivane::ThreadLimit one_worker(1);
    alone = best_seconds(repeats, 1, fit);
  }
  const double pooled = best_seconds(repeats, 1, fit);
  std::printf("EM with full-optimisation refits, K = 3 + uniform background, n = 2000, %zu iterations: one worker "
              "%.2f ms/iter, %u workers %.2f ms/iter\n", iterations, alone / static_cast<double>(iterations) * 1e3,
              std::thread::hardware_concurrency(), pooled / static_cast<double>(iterations) * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 5;
  const bool em = argc > 2 ? std::atoi(argv[2]) != 0 : true;
  single_peak({"Raman axis, peak at 521.3 of width 4.2, eta 0.35, on [450, 600]", 450.0, 600.0, {521.3, 4.2, 0.35},
               2e5, 20.0}, repeats);
  single_peak({"peak at 40 of width 8, eta 0.9 on [0, 100]", 0.0, 100.0, {40.0, 8.0, 0.9}, 5e4, 2.0}, repeats);
  if (em) mixture(repeats);
}
