// Times the Voigt core alone, on the spectrum of bench/bench_voigt.py (n = 2,000 samples on
// [480, 560], Voigt peaks over a flat background of 50 counts per sample):
//
// - one log-likelihood pass against the n + 200 bare w_of_z calls it cannot do without (the n
//   samples and the 200 quadrature nodes of the window mass, at the same arguments), and the
//   objective call of the fit, which forms the log-likelihood with its three forward differences
//   in one pass and so stands for four log-likelihoods;
// - the Voigt EM iteration for K = 3 and K = 4 peaks on one worker and on every worker of the pool
//   (the two-core speed-up), from rough starts, with a fixed number of iterations.
//
// The pass is timed by this thread's CPU time, the EM iterations by the wall clock.
//
//   build/cpp/voigt_em_bench [repeats]

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "background.hpp"
#include "bench_clock.hpp"
#include "em_engine.hpp"
#include "numerics/gauss_legendre_100.hpp"
#include "parallel.hpp"
#include "shapes/voigt/voigt.hpp"

namespace {

using brivane::VoigtParameters;

constexpr double kLow = 480.0, kHigh = 560.0;
constexpr std::size_t kSamples = 2000;

struct Peak {
  double centre, sigma, gamma, share;
};
const Peak kPeaks[] = {{500.0, 0.8, 0.5, 0.35}, {512.0, 1.2, 0.15, 0.3}, {535.0, 0.4, 1.2, 0.15}, {548.0, 0.6, 0.6, 0.2}};

struct Spectrum {
  std::vector<double> x, counts;
};

Spectrum spectrum(std::size_t peaks) {
  Spectrum s;
  s.x.resize(kSamples);
  s.counts.resize(kSamples);
  std::mt19937_64 rng(7);
  const double step = (kHigh - kLow) / static_cast<double>(kSamples - 1);
  for (std::size_t i = 0; i < kSamples; ++i) {
    s.x[i] = kLow + step * static_cast<double>(i);
    double mean = 50.0;
    for (std::size_t k = 0; k < peaks; ++k) {
      const Peak& p = kPeaks[k];
      mean += 500000.0 * p.share * step * brivane::voigt_profile(s.x[i] - p.centre, p.sigma, p.gamma);
    }
    s.counts[i] = std::poisson_distribution<long>(mean)(rng);
  }
  return s;
}

void pass_against_w_calls(int repeats) {
  const Spectrum s = spectrum(3);
  const VoigtParameters p{500.2, 0.9, 0.45};
  // The arguments of the pass's own w calls: every sample, and the 100 nodes of each window edge,
  // offset from it by multiples of the tail's scale (the widths plus the edge's distance from the
  // centre, rounded down to a power of two).
  std::vector<std::complex<double>> z;
  for (double x : s.x) z.emplace_back((x - p[0]) / p[1] * 0.7071067811865476, p[2] / p[1] * 0.7071067811865476);
  for (double edge : {kHigh, kLow}) {
    const double offset = edge - p[0];
    int exponent = 0;
    std::frexp((p[1] + p[2]) + std::fabs(offset), &exponent);
    const double step = std::copysign(std::ldexp(1.0, exponent - 1), offset);
    for (double node : brivane::gauss_legendre_100::kTailOffset) {
      const double u = offset + step * node;
      z.emplace_back(u / p[1] * 0.7071067811865476, p[2] / p[1] * 0.7071067811865476);
    }
  }
  const int calls = 200;
  const double w_calls = best_seconds(repeats, calls, [&] {
    double total = 0.0;
    for (const std::complex<double>& at : z) total += brivane::faddeeva_w(at).real();
    sink = sink + total;
  }, thread_clock);
  const double pass = best_seconds(repeats, calls, [&] {
    sink = sink + brivane::voigt_log_likelihood(s.x, s.counts, p, kLow, kHigh);
  }, thread_clock);
  const brivane::Shift shifts[3] = {{0, p[0] + 1e-7}, {1, p[1] + 1e-7}, {2, p[2] + 1e-7}};
  double differences[3];
  const double objective = best_seconds(repeats, calls, [&] {
    sink = sink + brivane::voigt_log_likelihood_differences(s.x, s.counts, p, shifts, kLow, kHigh, differences);
  }, thread_clock);
  std::printf("n = %zu: %zu bare w_of_z calls %.1f us; one log-likelihood pass %.1f us = %.2f times its w calls\n",
              kSamples, z.size(), w_calls * 1e6, pass * 1e6, pass / w_calls);
  std::printf("  objective call of the fit (log-likelihood and 3 forward differences in one pass) %.1f us = %.2f "
              "times one pass's w calls, %.2f per log-likelihood it stands for\n",
              objective * 1e6, objective / w_calls, objective / w_calls / 4.0);
}

void em_speed_up(std::size_t peaks, int repeats) {
  const Spectrum s = spectrum(peaks);
  const std::vector<double> alpha(peaks + 1, 1.0);
  const std::uint64_t iterations = 10;
  auto fit = [&] {
    brivane::VoigtPeaks shape;
    for (std::size_t k = 0; k < peaks; ++k) {
      // Rough starts: each centre a width or so off, every width 1.
      shape.values[0].push_back(kPeaks[k].centre + (k % 2 == 0 ? 1.5 : -1.5));
      shape.values[1].push_back(1.0);
      shape.values[2].push_back(1.0);
    }
    for (auto& flags : shape.fixed) flags.assign(peaks, false);
    shape.sigma_min = shape.gamma_min = 0.01;
    shape.sigma_max = shape.gamma_max = 10.0;
    std::vector<double> pi(peaks + 1, 1.0 / static_cast<double>(peaks + 1));
    brivane::EmProblem problem;
    problem.x = s.x;
    problem.intensity = s.counts;
    problem.dirichlet_alpha = alpha;
    problem.max_iter = iterations;
    problem.window = {kLow, kHigh};
    problem.bg_type = brivane::kUniformBackground;
    sink = sink + brivane::run_em(shape, pi, problem).log_likelihood.back();
  };
  // One worker and all workers in turn, so that a change in what else the machine runs affects
  // both alike; the best of each.
  double alone = 1e300, pooled = 1e300;
  for (int r = 0; r < repeats; ++r) {
    {
      brivane::ThreadLimit one_worker(1);
      alone = std::fmin(alone, best_seconds(1, 1, fit));
    }
    pooled = std::fmin(pooled, best_seconds(1, 1, fit));
  }
  std::printf("EM, K = %zu, n = %zu, %llu iterations: one worker %.1f ms/iter, %u workers %.1f ms/iter, "
              "speed-up %.2f\n", peaks, kSamples, static_cast<unsigned long long>(iterations),
              alone / iterations * 1e3, std::thread::hardware_concurrency(), pooled / iterations * 1e3,
              alone / pooled);
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 5;
  {
    // A long pass is summed in chunks on the pool: on one worker its CPU time is all on this thread.
    brivane::ThreadLimit one_worker(1);
    pass_against_w_calls(repeats);
  }
  em_speed_up(3, repeats);
  em_speed_up(4, repeats);
}
