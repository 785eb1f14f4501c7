// Fits the single-peak cases of tests/python/fit_comparison.py with the numerical core and counts
// the objective calls of each fit, which the Python module does not expose. The case file is the
// one fit_comparison.write_cases writes (its docstring defines the format); bench/fit_comparison.py
// writes it, runs this program and compares the counts with SciPy's.
//
//   build/cpp/fit_comparison_calls <shape> <cases file>
//
// Prints one line per case, in file order: the objective calls, then the fitted parameters with
// 17 significant digits.

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "shapes/doniach_sunjic/doniach_sunjic.hpp"
#include "shapes/lorentzian/lorentzian.hpp"
#include "shapes/pseudo_voigt/pseudo_voigt.hpp"
#include "shapes/tsdc/tsdc.hpp"

namespace {

static_assert(std::endian::native == std::endian::little, "the case file is little-endian");

struct Case {
  std::vector<double> x, weights;
  std::vector<double> params;
  std::vector<bool> fixed;
  std::vector<double> settings;
  double x_min = 0.0, x_max = 0.0;
};

class Reader {
 public:
  explicit Reader(const char* path) : in_(path, std::ios::binary) {}
  bool ok() const { return static_cast<bool>(in_); }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    in_.read(reinterpret_cast<char*>(&v), sizeof v);
    return v;
  }
  double f64() {
    double v = 0.0;
    in_.read(reinterpret_cast<char*>(&v), sizeof v);
    return v;
  }
  std::vector<double> f64s(std::uint64_t count) {
    std::vector<double> v(count);
    in_.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(count * sizeof(double)));
    return v;
  }

 private:
  std::ifstream in_;
};

bool read_case(Reader& in, Case& c) {
  const std::uint64_t n = in.u64();
  const std::uint64_t k = in.u64();
  const std::uint64_t s = in.u64();
  if (!in.ok() || k > 16 || s > 16 || n > (std::uint64_t{1} << 32)) return false;
  c.x_min = in.f64();
  c.x_max = in.f64();
  c.params = in.f64s(k);
  c.fixed.assign(k, false);
  for (std::uint64_t j = 0; j < k; ++j) c.fixed[j] = in.u64() != 0;
  c.settings = in.f64s(s);
  c.x = in.f64s(n);
  c.weights = in.f64s(n);
  return in.ok();
}

std::size_t free_count(const Case& c) {
  std::size_t free = 0;
  for (bool f : c.fixed) free += f ? 0 : 1;
  return free;
}

// Fits one case; returns the objective calls (each evaluates the log-likelihood once at the point
// and once per free parameter for the forward differences) and leaves the fit in c.params.
using Fit = std::uint64_t (*)(Case& c);

std::uint64_t fit_lorentzian(Case& c) {
  if (c.params.size() != 2) return 0;
  std::uint64_t passes = 0;
  brivane::lorentzian_fit(c.x, c.weights, c.params[0], c.params[1], c.fixed[0], c.fixed[1], c.x_min,
                          c.x_max, &passes);
  return passes / (free_count(c) + 1);
}

// The bounded step of the pseudo-Voigt full optimisation: eta held, one alternation step, the
// width bounds from the window as pseudo_voigt_width_bounds in fit_comparison.py sets them.
std::uint64_t fit_pseudo_voigt_full(Case& c) {
  if (c.params.size() != 3) return 0;
  const double span = c.x_max - c.x_min;
  std::uint64_t passes = 0;
  const brivane::PseudoVoigtPeak fitted = brivane::pseudo_voigt_mle_full_optimization(
      c.x, c.weights, {c.params[0], c.params[1], c.params[2]}, {c.fixed[0], c.fixed[1], c.fixed[2]}, c.x_min, c.x_max,
      {1e-3 * span, span, 1, 0.0}, &passes);
  c.params = {fitted.x0, fitted.gamma, fitted.eta};
  return passes / (free_count(c) + 1);
}

// The Doniach-Sunjic fit: parameters (x0, gamma, alpha), settings (gamma_min, gamma_max, alpha_min,
// alpha_max).
std::uint64_t fit_doniach_sunjic(Case& c) {
  if (c.params.size() != 3 || c.settings.size() != 4) return 0;
  brivane::DoniachSunjicParameters p{c.params[0], c.params[1], c.params[2]};
  std::uint64_t calls = 0;
  brivane::fit_doniach_sunjic_peak(c.x, c.weights, p, {c.fixed[0], c.fixed[1], c.fixed[2]},
                                   {c.x_min, c.x_max, c.settings[0], c.settings[1], c.settings[2], c.settings[3]},
                                   &calls);
  c.params.assign(p.begin(), p.end());
  return calls;
}

// The bounded TSDC fit: parameters (ea, tp), settings (ea_min, ea_max, beta); one objective call
// is one value with its analytic gradient.
std::uint64_t fit_tsdc(Case& c) {
  if (c.params.size() != 2 || c.settings.size() != 3) return 0;
  const double ea = c.params[0], tp = c.params[1], beta = c.settings[2];
  std::uint64_t calls = 0;
  const brivane::TsdcFitResult fit = brivane::tsdc_bounded_fit(
      c.x, c.weights, {ea, brivane::tsdc_tau0_from_peak(ea, tp, beta), tp}, c.fixed[0], c.fixed[1],
      {c.settings[0], c.settings[1], c.x_min, c.x_max}, beta, {}, &calls);
  c.params = {fit.peak.ea, fit.peak.tp};
  return calls;
}

struct Entry {
  const char* shape;
  Fit fit;
};
constexpr Entry kShapes[] = {
    {"lorentzian", fit_lorentzian}, {"pseudo_voigt_full", fit_pseudo_voigt_full},
    {"doniach_sunjic", fit_doniach_sunjic}, {"tsdc", fit_tsdc}};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <shape> <cases file>\n", argv[0]);
    return 2;
  }
  Fit fit = nullptr;
  for (const Entry& e : kShapes) {
    if (std::strcmp(e.shape, argv[1]) == 0) fit = e.fit;
  }
  if (!fit) {
    std::fprintf(stderr, "unknown shape '%s'\n", argv[1]);
    return 2;
  }
  Reader in(argv[2]);
  const std::uint64_t count = in.u64();
  if (!in.ok()) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  // The fits write "LBFGSB finished" to descriptor 1; the report goes to a copy of it.
  std::fflush(stdout);
  FILE* report = ::fdopen(::dup(1), "w");
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 1);
  ::close(null);
  for (std::uint64_t i = 0; i < count; ++i) {
    Case c;
    if (!read_case(in, c)) {
      std::fprintf(stderr, "case %llu of %s is cut short\n", static_cast<unsigned long long>(i), argv[2]);
      return 1;
    }
    const std::uint64_t calls = fit(c);
    std::fprintf(report, "%llu", static_cast<unsigned long long>(calls));
    for (double p : c.params) std::fprintf(report, " %.17g", p);
    std::fputc('\n', report);
  }
  return std::fclose(report) == 0 ? 0 : 1;
}
