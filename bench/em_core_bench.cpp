// Times the Gaussian EM iteration of the numerical core alone, without Python: K = 5 peaks and a
// uniform background on n samples, started as bench_em.py starts it. Prints microseconds per
// iteration (best of several runs) for each instruction-set variant this processor supports, on one
// thread and on all of the pool's threads.
//
//   build/cpp/em_core_bench [n] [iterations] [width factor]
//
// A width factor below 1 narrows every peak (0.1: widths 0.15-0.4 on [0, 100], the proportions of
// gamma-ray lines on a wide energy grid).
//
// After each line, the time a cache line takes from one core to another and back. Last, the pool's
// own ceiling: busy work split evenly over the same chunks and run through the same fixed-order
// sums, as much of it as one iteration takes on one thread, once as a pool region per run and once
// with the helpers held between runs (as the EM loop holds them). Its speed-up is what the
// iteration could reach if its chunks cost the same and nothing ran between runs.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include "shapes/gaussian/gaussian.hpp"
#include "parallel.hpp"
#include "vector_math.hpp"

// A dependent chain of multiply-adds: `units` of them take a fixed time on a given core. The
// factor is read from memory, so that the compiler cannot work the chain out in advance.
volatile double busy_factor = 0.999999999;
double busy(std::uint64_t units, double seed) {
  const double factor = busy_factor;
  double x = seed;
  for (std::uint64_t i = 0; i < units; ++i) x = x * factor + 1e-9;
  return x;
}

void pool_ceiling(std::size_t n, double iteration_us, int threads) {
  using clock = std::chrono::steady_clock;
  auto seconds = [](auto from) { return std::chrono::duration<double>(clock::now() - from).count(); };
  // Units per microsecond on this core.
  const auto start = clock::now();
  volatile double sink = busy(20000000, 1.0);
  const double units_per_us = 2e7 / (seconds(start) * 1e6);
  static_cast<void>(sink);
  brivane::ChunkedSums sums(n, 1, 0, true);
  const auto per_chunk = static_cast<std::uint64_t>(iteration_us * units_per_us / static_cast<double>(sums.chunks()));
  double total = 0.0;
  auto region = [&] {
    sums.run([&](std::size_t begin, std::size_t, double* chunk_sums, double*) {
      chunk_sums[0] = busy(per_chunk, static_cast<double>(begin));
    }, {&total, 1});
  };
  // Runs of 2,000 regions each, as plain pool regions or with the helpers held between them.
  auto per_region = [&](bool held) {
    double best = 1e300;
    for (int repeat = 0; repeat < 5; ++repeat) {
      const auto from = clock::now();
      auto regions = [&] {
        for (int r = 0; r < 2000; ++r) region();
      };
      if (held) {
        sums.hold(regions);
      } else {
        regions();
      }
      best = std::min(best, seconds(from) / 2000.0);
    }
    return best * 1e6;
  };
  double one;
  {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 1);
    one = per_region(false);
  }
  for (const bool held : {false, true}) {
    const double all = per_region(held);
    std::printf("  the pool's ceiling, the same work in %zu equal chunks%s: %.1f us on 1 thread, %.1f us on %d (speed-up %.2f)\n",
                sums.chunks(), held ? ", helpers held" : ", one region each", one, all, threads, one / all);
  }
}

// Nanoseconds for one cache line to go from one core to another and back, over 50 ms of passing
// a counter between two threads. Every pass over the pool's chunks hands lines between cores a few
// times (its start, the claims, the partial sums), so this sets the floor of a run's overhead: some
// tens of nanoseconds within one chip, hundreds where a virtual machine's two processors sit far
// apart on its host (as they may for a while on a busy host).
double core_round_trip_ns() {
  alignas(64) std::atomic<std::uint64_t> ball{0};
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    std::uint64_t expect = 1;
    while (!stop.load(std::memory_order_relaxed)) {
      if (ball.load(std::memory_order_acquire) == expect) {
        ball.store(expect + 1, std::memory_order_release);
        expect += 2;
      }
    }
  });
  const auto begin = std::chrono::steady_clock::now();
  std::uint64_t rounds = 0;
  for (std::uint64_t value = 0;; value += 2) {
    ball.store(value + 1, std::memory_order_release);
    while (ball.load(std::memory_order_acquire) != value + 2) {
    }
    if (++rounds % 1024 == 0 && std::chrono::steady_clock::now() - begin > std::chrono::milliseconds(50)) break;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  stop.store(true);
  partner.join();
  return seconds / static_cast<double>(rounds) * 1e9;
}

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::uint64_t iterations = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20;
  const double width_factor = argc > 3 ? std::strtod(argv[3], nullptr) : 1.0;
  const double centres[] = {15.0, 30.0, 45.0, 60.0, 80.0};
  double widths[] = {2.0, 3.0, 1.5, 4.0, 2.5};
  for (double& w : widths) w *= width_factor;
  std::vector<double> x(n), intensity(n);
  std::mt19937_64 rng(1);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = 100.0 * static_cast<double>(i) / static_cast<double>(n - 1);
    double density = 0.05;
    for (int p = 0; p < 5; ++p) density += std::exp(-0.5 * std::pow((x[i] - centres[p]) / widths[p], 2)) / widths[p];
    intensity[i] = std::poisson_distribution<int>(density * 5e6 / static_cast<double>(n))(rng);
  }
  auto run = [&](std::uint64_t max_iter) {
    brivane::GaussianPeaks peaks;
    for (int p = 0; p < 5; ++p) {
      peaks.values[0].push_back(centres[p] + 1.0);
      peaks.values[1].push_back(widths[p] * 1.2);
    }
    peaks.fixed = {std::vector<bool>(5, false), std::vector<bool>(5, false)};
    std::vector<double> pi(6, 1.0 / 6.0);
    const std::vector<double> alpha(6, 1.0);
    brivane::EmProblem problem;
    problem.x = x;
    problem.intensity = intensity;
    problem.dirichlet_alpha = alpha;
    problem.max_iter = max_iter;
    problem.window.max = 100.0;
    problem.bg_type = brivane::kUniformBackground;
    const auto begin = std::chrono::steady_clock::now();
    brivane::run_em(peaks, pi, problem);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  };
  auto per_iteration = [&] {
    double best = 1e300;
    for (int repeat = 0; repeat < 5; ++repeat) best = std::min(best, run(iterations) - run(0));
    return best / static_cast<double>(iterations) * 1e6;
  };
  const int threads = tbb::this_task_arena::max_concurrency();
  for (brivane::SimdLevel level : {brivane::SimdLevel::kAvx512, brivane::SimdLevel::kAvx2, brivane::SimdLevel::kBaseline}) {
    if (!brivane::simd_level_supported(level)) continue;
    const brivane::SimdOverride variant(level);
    const double all = per_iteration();
    double one;
    {
      tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 1);
      one = per_iteration();
    }
    std::printf("n = %zu, widths x %g, %s: %.1f us per iteration on 1 thread, %.1f us on %d (speed-up %.2f)\n", n, width_factor,
                brivane::simd_level_name(level), one, all, threads, one / all);
    if (threads > 1) std::printf("  a cache line's round trip between two cores, just after: %.0f ns\n", core_round_trip_ns());
    if (level == brivane::SimdLevel::kAvx512 || !brivane::simd_level_supported(brivane::SimdLevel::kAvx512)) {
      pool_ceiling(n, one, threads);
    }
  }
}
