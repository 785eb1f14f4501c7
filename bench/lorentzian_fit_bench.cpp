// Times the Lorentzian single-peak fit of the numerical core alone (the calling thread's CPU time,
// best of several rounds) and counts its log-likelihood passes, on the spectra of
// bench_lorentzian.py: n samples of a Lorentzian of width 6 at 3 on [-50, 50], and of width 8 at 190
// on [100, 300] over a flat background of 5 counts (a window far from zero, where the raw second
// moment starts the width near 220); and on a user's spectrum of bench_single_peak.py, the same
// peak some 30 counts high on 3 counts.
//
//   build/cpp/lorentzian_fit_bench [n]

#include <fcntl.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "shapes/lorentzian/lorentzian.hpp"
#include "vector_math.hpp"

namespace {

// The calling thread's CPU time in seconds: on a machine shared with other work, the time the
// thread ran, not the time it waited for a core.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The best of `rounds` rounds of `repeats` calls of f, per call.
template <class F>
double best_per_call(int rounds, int repeats, F&& f) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    const double begin = thread_seconds();
    for (int k = 0; k < repeats; ++k) f();
    best = std::min(best, (thread_seconds() - begin) / repeats);
  }
  return best;
}

struct Spectrum {
  double from, to, centre, width, background, peak_counts;
};

void run(const Spectrum& s, std::size_t n) {
  std::vector<double> x(n), w(n);
  std::mt19937_64 rng(1);
  double total = 0.0;
  auto shape = [&](double at) { return 1.0 / (1.0 + std::pow((at - s.centre) / (0.5 * s.width), 2)); };
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = s.from + (s.to - s.from) * static_cast<double>(i) / static_cast<double>(n - 1);
    total += shape(x[i]);
  }
  for (std::size_t i = 0; i < n; ++i) {
    w[i] = std::poisson_distribution<int>(s.background + s.peak_counts * shape(x[i]) / total)(rng);
  }
  std::uint64_t passes = 0;
  double x0 = 0.0, gamma = 1.0;
  const double per_fit = best_per_call(10, 20, [&] {
    x0 = 0.0, gamma = 1.0, passes = 0;
    brivane::lorentzian_fit(x, w, x0, gamma, false, false, s.from, s.to, &passes);
  });
  double sink = 0.0;
  const double per_pass = best_per_call(10, 200, [&] {
    sink += brivane::lorentzian_log_likelihood(x, w, s.centre, s.width, s.from, s.to);
  });
  // The fit's own pass: one division and one logarithm per sample, the trapezoid normaliser
  // summed alongside; alone, and with the two shifted pairs of a forward-difference gradient.
  const brivane::Shift shifts[2] = {{0, s.centre + 1e-7}, {1, s.width + 1e-7}};
  double differences[2];
  double fused[3];
  for (std::size_t count = 0; count <= 2; count += 2) {
    fused[count] = best_per_call(10, 200, [&] {
      sink += brivane::lorentzian_log_likelihood_differences(x, w, s.centre, s.width, {shifts, count}, s.from, s.to,
                                                             differences);
    });
  }
  // The floor of a pass: its n logarithms alone, by the core's vector log.
  std::vector<double> logs(n);
  const double per_logs = best_per_call(10, 200, [&] {
    for (std::size_t i = 0; i < n; ++i) logs[i] = 1.0 + x[i] * x[i];
    brivane::log_in_place(logs);
    sink += logs[n / 2];
  });
  std::fprintf(stderr, "[%g, %g], n = %zu: fit %.1f us, %llu log-likelihood passes, one pass %.2f us "
               "(x0 %.4f, gamma %.4f%s); the fit's fused pass %.2f us, with two shifts %.2f us; n logarithms "
               "%.2f us\n", s.from, s.to, n, per_fit * 1e6, static_cast<unsigned long long>(passes), per_pass * 1e6, x0,
               gamma, sink > 0 ? "!" : "", fused[0] * 1e6, fused[2] * 1e6, per_logs * 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000;
  // The fit's "LBFGSB finished" lines go to /dev/null; the report goes to standard error.
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 1);
  run({-50.0, 50.0, 3.0, 6.0, 0.0, 50000.0}, n);
  run({100.0, 300.0, 190.0, 8.0, 5.0, 100000.0}, n);
  run({100.0, 300.0, 190.0, 8.0, 3.0, 3770.0}, n);
}
