// Values per second of the vector Faddeeva function against libcerf's w_of_z on one core, for
// each instruction set the processor offers (forced through SimdOverride), on four sets of
// arguments: a Voigt profile's (z = (u + i gamma) / (sigma sqrt 2) over a window of +-12 sigma,
// gamma / sigma from 0.02 to 3), the series region, the continued fraction's, and a logarithmic
// grid over all four quadrants from 1e-10 to 1e10. Times are this thread's CPU time, the best of
// several rounds.
//
//   build/cpp/faddeeva_bench

#include <cmath>
#include <fstream>
#include <string>
#include <complex>
#include <cstdio>
#include <random>
#include <vector>

#include "bench_clock.hpp"
#include "faddeeva.hpp"
#include "vector_math.hpp"
#include "shapes/voigt/voigt.hpp"

namespace {

struct Arguments {
  const char* name;
  std::vector<double> re, im;
};

std::vector<Arguments> argument_sets() {
  std::mt19937_64 random(20261208);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<Arguments> sets;
  Arguments voigt{"Voigt profile", {}, {}};
  for (const double ratio : {0.02, 0.1, 0.5, 1.0, 3.0}) {
    for (int i = 0; i < 2000; ++i) {
      voigt.re.push_back((-12.0 + 24.0 * i / 1999.0) * 0.7071067811865476);
      voigt.im.push_back(ratio * 0.7071067811865476);
    }
  }
  sets.push_back(voigt);
  Arguments series{"series region (|x| < 6, y < 7)", {}, {}};
  Arguments fraction{"fraction region (|z| > 8)", {}, {}};
  for (int i = 0; i < 10000; ++i) {
    series.re.push_back(12.0 * unit(random) - 6.0);
    series.im.push_back(7.0 * unit(random));
    const double angle = 3.141592653589793 * unit(random), radius = 8.0 * std::pow(1e3, unit(random));
    fraction.re.push_back(radius * std::cos(angle));
    fraction.im.push_back(radius * std::sin(angle));
  }
  sets.push_back(series);
  sets.push_back(fraction);
  Arguments grid{"log grid, four quadrants", {}, {}};
  for (int i = 0; i < 100; ++i) {
    for (int j = 0; j < 100; ++j) {
      const double a = std::pow(10.0, -10.0 + 20.0 * i / 99.0), b = std::pow(10.0, -10.0 + 20.0 * j / 99.0);
      for (int q = 0; q < 4; ++q) {
        grid.re.push_back(q & 1 ? -a : a);
        grid.im.push_back(q & 2 ? -b : b);
      }
    }
  }
  sets.push_back(grid);
  return sets;
}

// The processor's name, from /proc/cpuinfo where there is one.
std::string processor_name() {
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

}  // namespace

int main() {
  using namespace brivane;
  const std::vector<Arguments> sets = argument_sets();
  std::printf("processor: %s\n", processor_name().c_str());
  for (const SimdLevel level : {SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    std::printf("  %s: %s\n", simd_level_name(level), simd_level_supported(level) ? "measured" : "not offered by this processor");
  }
  for (const Arguments& set : sets) {
    const std::size_t n = set.re.size();
    std::vector<double> w_re(n), w_im(n);
    const double libcerf = best_seconds(
        5, 1,
        [&] {
          double total = 0.0;
          for (std::size_t i = 0; i < n; ++i) total += faddeeva_w({set.re[i], set.im[i]}).real();
          sink = total;
        },
        thread_clock);
    std::printf("%s, %zu arguments: libcerf %.1f M values/s\n", set.name, n, n / libcerf * 1e-6);
    for (const SimdLevel level : {SimdLevel::kAvx2, SimdLevel::kAvx512}) {
      if (!simd_level_supported(level)) continue;
      const SimdOverride forced(level);
      const double vector = best_seconds(
          5, 1,
          [&] {
            faddeeva_w_array(set.re, set.im, w_re, w_im);
            sink = w_re[n / 2];
          },
          thread_clock);
      std::printf("  %-9s %.1f M values/s, %.2f times libcerf\n", simd_level_name(level), n / vector * 1e-6,
                  libcerf / vector);
    }
  }
  return 0;
}
