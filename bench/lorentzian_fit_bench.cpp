// Times the Lorentzian single-peak fit of the numerical core alone and counts its log-likelihood
// passes: n samples of a Lorentzian (centre 3, width 6) on [-50, 50], as bench_lorentzian.py uses.
//
//   build/cpp/lorentzian_fit_bench [n]

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "lorentzian.hpp"

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000;
  std::vector<double> x(n), w(n);
  std::mt19937_64 rng(1);
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = -50.0 + 100.0 * static_cast<double>(i) / static_cast<double>(n - 1);
    total += 1.0 / (1.0 + std::pow((x[i] - 3.0) / 3.0, 2));
  }
  for (std::size_t i = 0; i < n; ++i) {
    w[i] = std::poisson_distribution<int>(50000.0 / (1.0 + std::pow((x[i] - 3.0) / 3.0, 2)) / total)(rng);
  }
  std::uint64_t passes = 0;
  double x0 = 0.0, gamma = 1.0;
  // The fit's "LBFGSB finished" lines go to /dev/null; the report goes to standard error.
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 1);
  const auto begin = std::chrono::steady_clock::now();
  const int fits = 200;
  for (int f = 0; f < fits; ++f) {
    x0 = 0.0, gamma = 1.0, passes = 0;
    brivane::lorentzian_fit(x, w, x0, gamma, false, false, -50.0, 50.0, &passes);
  }
  const double per_fit = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() / fits;
  const auto pass_begin = std::chrono::steady_clock::now();
  double sink = 0.0;
  for (int r = 0; r < 2000; ++r) sink += brivane::lorentzian_log_likelihood(x, w, 3.0, 6.0, -50.0, 50.0);
  const double per_pass = std::chrono::duration<double>(std::chrono::steady_clock::now() - pass_begin).count() / 2000;
  std::fprintf(stderr, "n = %zu: fit %.1f us, %llu log-likelihood passes of %.2f us (x0 %.4f, gamma %.4f, %g)\n", n,
               per_fit * 1e6, static_cast<unsigned long long>(passes), per_pass * 1e6, x0, gamma, sink > 0 ? 0.0 : 1.0);
}
