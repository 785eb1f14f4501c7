#include "shapes/lorentzian/lorentzian.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <quadmath.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "peak_fit_suites.hpp"
#include "peak_fit_support.hpp"
#include "vector_math.hpp"

namespace brivane {
namespace {

using fit_test::grid;
using fit_test::trapezoid;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Points descriptor 1 at /dev/null while it lives.
class SilencedStdout {
 public:
  SilencedStdout() : saved_(::dup(1)) {
    std::fflush(stdout);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::close(null);
  }
  ~SilencedStdout() {
    ::dup2(saved_, 1);
    ::close(saved_);
  }

 private:
  int saved_;
};

TEST(LorentzianDensity, IntegratesToOneOverTheGridAndPeaksAtTheCentre) {
  const std::vector<double> x = grid(-10.0, 30.0, 801);
  for (double width : {0.3, 2.0, 50.0}) {
    std::vector<double> row(x.size());
    lorentzian_density(x, 4.0, width, -5.0, 20.0, row);
    EXPECT_NEAR(trapezoid(x, row), 1.0, 1e-12) << width;
    EXPECT_EQ(std::max_element(row.begin(), row.end()) - row.begin(), 280) << width;  // x = 4
    // Half maximum at x0 +- gamma / 2, up to the grid's normalisation of the same factor.
    std::vector<double> probe{4.0, 4.0 + 0.5 * width};
    std::vector<double> values(2);
    lorentzian_density(probe, 4.0, width, -5.0, 20.0, values);
    EXPECT_NEAR(values[1] / values[0], 0.5, 1e-14) << width;
  }
}

TEST(LorentzianDensity, ScalingTheAxisScalesTheDensity) {
  // x -> c x with the centre, width and window scaled alike divides the density by c.
  const std::vector<double> x = grid(-3.0, 7.0, 201);
  std::vector<double> scaled_x(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) scaled_x[i] = 8.0 * x[i];
  std::vector<double> row(x.size()), scaled(x.size());
  const double t = lorentzian_density(x, 1.5, 0.7, -1.0, 5.0, row);
  const double scaled_t = lorentzian_density(scaled_x, 12.0, 5.6, -8.0, 40.0, scaled);
  EXPECT_NEAR(scaled_t, t, 1e-12 * t);
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(scaled[i] * 8.0, row[i], 1e-12 * row[i]);
}

TEST(LorentzianDensity, DegenerateGridsAndWindowsStayFinite) {
  std::vector<double> one{2.0}, row(1);
  EXPECT_EQ(lorentzian_density(one, 2.0, 1.0, 0.0, 4.0, row), 1e-300);
  EXPECT_GT(row[0], 1e299);
  // A window that holds none of the peak's mass: the mass floor applies and normalisation
  // over the grid restores a unit integral.
  const std::vector<double> x = grid(0.0, 10.0, 101);
  std::vector<double> far(x.size());
  lorentzian_density(x, 5.0, 1.0, 5.0, 5.0, far);
  EXPECT_NEAR(trapezoid(x, far), 1.0, 1e-12);
}

TEST(LorentzianLogLikelihood, MatchesTheWeightedLogDensity) {
  const std::vector<double> x = grid(-20.0, 20.0, 1601);
  std::vector<double> w(x.size()), row(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) w[i] = 100.0 / (1.0 + x[i] * x[i]) + (i % 7);
  lorentzian_density(x, 0.3, 2.2, -15.0, 15.0, row);
  double expected = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) expected += w[i] * std::log(row[i] + 1e-200);
  // The log-likelihood recomputes the same densities; only the logarithm's kernel differs from
  // the C library's, by less than an ulp per term.
  EXPECT_NEAR(lorentzian_log_likelihood(x, w, 0.3, 2.2, -15.0, 15.0), expected, 1e-12 * std::fabs(expected));
  // Fewer weights than samples: only the weighted ones count.
  const std::vector<double> first(w.begin(), w.begin() + 10);
  double partial = 0.0;
  for (std::size_t i = 0; i < 10; ++i) partial += first[i] * std::log(row[i] + 1e-200);
  EXPECT_NEAR(lorentzian_log_likelihood(x, first, 0.3, 2.2, -15.0, 15.0), partial, 1e-12 * std::fabs(partial));
}

// The Lorentzian log-likelihood in quadruple precision, written from the density's definition.
__float128 quad_log_likelihood(const std::vector<double>& x, const std::vector<double>& w, double centre,
                               double width, std::size_t weighted) {
  const __float128 x0 = centre, gamma = width, e = gamma / 2;
  std::vector<__float128> d(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) d[i] = gamma / ((x[i] - x0) * (x[i] - x0) + e * e);
  __float128 integral = 0;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) integral += (x[i + 1] - x[i]) * (d[i] + d[i + 1]) / 2;
  __float128 total = 0;
  for (std::size_t i = 0; i < weighted; ++i) total += w[i] * logq(d[i] / integral);
  return total;
}

TEST(LorentzianLogLikelihood, ForwardDifferencesCarryNoRoundingNoiseOfTheLogLikelihood) {
  // A window far from zero with large counts: the log-likelihood is about -1e6, so two of them
  // subtracted in doubles lose about 1e-10 of a difference of about 1e-4 (1e-6 relative). Formed
  // sample by sample, the difference agrees with a quadruple-precision reference to 1e-11.
  const std::vector<double> x = grid(480.0, 560.0, 1500);
  std::vector<double> w(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) w[i] = 3.0 + 2000.0 / (1.0 + std::pow((x[i] - 521.3) / 2.4, 2)) + (i % 5);
  for (std::size_t weighted : {x.size(), std::size_t{900}}) {
    const std::vector<double> ws(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(weighted));
    for (double x0 : {521.0, 505.5}) {
      for (double gamma : {0.3, 4.9, 150.0}) {
        // The shifted values are rounded to doubles, as the fit forms them.
        const double centre = x0 + 1e-7, width = gamma + 1e-7;
        const Shift shifts[] = {{0, centre}, {1, width}};
        double differences[2];
        const double ll = lorentzian_log_likelihood_differences(x, ws, x0, gamma, shifts, 450.0, 600.0, differences);
        EXPECT_NEAR(ll, lorentzian_log_likelihood(x, ws, x0, gamma, 450.0, 600.0), 1e-13 * std::fabs(ll));
        const __float128 base = quad_log_likelihood(x, ws, x0, gamma, weighted);
        const double moved_centre = static_cast<double>(quad_log_likelihood(x, ws, centre, gamma, weighted) - base);
        const double moved_width = static_cast<double>(quad_log_likelihood(x, ws, x0, width, weighted) - base);
        EXPECT_NEAR(differences[0], moved_centre, 1e-11 * std::fabs(moved_centre)) << weighted << " " << x0 << " " << gamma;
        EXPECT_NEAR(differences[1], moved_width, 1e-11 * std::fabs(moved_width)) << weighted << " " << x0 << " " << gamma;
      }
    }
  }
}

TEST(LorentzianLogLikelihood, GridsAndWeightsEndingInAPartialGroupOfFourCountEverySampleOnce) {
  // The fused pass takes samples four at a time in blocks of 256; a last group of one to three
  // samples, at the grid's end or the weights' end, must add each of its samples once and nothing
  // for the lanes it lacks. Checked against the quadruple-precision reference for lengths on
  // both sides of a group and of a block boundary.
  for (std::size_t n : {2, 3, 5, 6, 7, 9, 255, 257, 258, 259, 513, 515}) {
    const std::vector<double> x = grid(100.0, 100.0 + 0.25 * static_cast<double>(n - 1), n);
    std::vector<double> w(n);
    for (std::size_t i = 0; i < n; ++i) w[i] = 2.0 + static_cast<double>(i % 5) + 40.0 / (1.0 + std::pow(x[i] - 101.1, 2));
    for (std::size_t weighted : {n, n - 1, n / 2}) {
      const std::vector<double> ws(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(weighted));
      const double x0 = 101.1, gamma = 1.7, centre = x0 + 1e-7, width = gamma + 1e-7;
      const Shift shifts[] = {{0, centre}, {1, width}};
      double differences[2];
      const double ll = lorentzian_log_likelihood_differences(x, ws, x0, gamma, shifts, 90.0, 300.0, differences);
      const __float128 base = quad_log_likelihood(x, ws, x0, gamma, weighted);
      const double moved_centre = static_cast<double>(quad_log_likelihood(x, ws, centre, gamma, weighted) - base);
      const double moved_width = static_cast<double>(quad_log_likelihood(x, ws, x0, width, weighted) - base);
      const double scale = 1.0 + std::fabs(static_cast<double>(base));
      EXPECT_NEAR(ll, static_cast<double>(base), 1e-13 * scale) << n << " " << weighted;
      EXPECT_NEAR(differences[0], moved_centre, 1e-11 * std::fabs(moved_centre) + 1e-16 * scale) << n << " " << weighted;
      EXPECT_NEAR(differences[1], moved_width, 1e-11 * std::fabs(moved_width) + 1e-16 * scale) << n << " " << weighted;
    }
  }
}

TEST(LorentzianLogLikelihood, DifferencesWhereAFloorActsAreFormedBySubtraction) {
  // Where the 1e-300 floor of the trapezoid integral or the 1e-200 inside the logarithm acts, or
  // the grid has one sample, the log-likelihood is the literal one and the differences are
  // formed by subtraction.
  struct Case {
    std::vector<double> x;
    double x0, gamma;
  };
  const Case cases[] = {
      {grid(0.0, 10.0, 101), 1e160, 1.0},  // (x - x0)^2 overflows: the integral is 0, floored
      {grid(0.0, 1e95, 101), 0.0, 0.1},    // the far samples' densities fall below 1e-200
      {{2.0}, 2.0, 1.0},                   // one sample: the integral is floored
  };
  for (const Case& c : cases) {
    const std::vector<double> w(c.x.size(), 2.0);
    const Shift shifts[] = {{1, c.gamma + 1e-7}};
    double difference;
    const double ll = lorentzian_log_likelihood_differences(c.x, w, c.x0, c.gamma, shifts, 0.0, 10.0, {&difference, 1});
    const double literal = lorentzian_log_likelihood(c.x, w, c.x0, c.gamma, 0.0, 10.0);
    EXPECT_EQ(ll, literal) << c.x0;
    EXPECT_EQ(difference, lorentzian_log_likelihood(c.x, w, c.x0, c.gamma + 1e-7, 0.0, 10.0) - literal) << c.x0;
  }
}

TEST(LorentzianPasses, EveryInstructionSetAgrees) {
  // The density row, the log-likelihood with its forward differences (the fused pass and, where a
  // floor acts, the sets of log-likelihoods) and a whole fit, under each variant the processor
  // offers. The plain loops have a baseline copy and an AVX2 one: AVX2 and AVX-512 share the
  // latter and their logarithms, and agree to the last bit; the baseline logarithm lacks FMA, so
  // the baseline agrees to rounding.
  const std::vector<double> x = grid(480.0, 560.0, 1003);
  std::vector<double> w(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) w[i] = 3.0 + 2000.0 / (1.0 + std::pow((x[i] - 521.3) / 2.4, 2)) + (i % 7);
  auto outputs = [&](SimdLevel level) {
    const SimdOverride variant(level);
    std::vector<double> out(x.size());
    out.push_back(lorentzian_density(x, 521.0, 4.9, 450.0, 600.0, out));
    for (double gamma : {4.9, 1e-290}) {  // the second puts the density's floors to work
      const Shift shifts[] = {{0, 521.0 + 1e-7}, {1, gamma + 1e-7}};
      double differences[2];
      out.push_back(lorentzian_log_likelihood_differences(x, w, 521.0, gamma, shifts, 450.0, 600.0, differences));
      out.insert(out.end(), differences, differences + 2);
    }
    double x0 = 519.0, gamma = 9.0;
    const SilencedStdout quiet;
    EXPECT_TRUE(lorentzian_fit(x, w, x0, gamma, false, false, 450.0, 600.0));
    out.push_back(x0);
    out.push_back(gamma);
    return out;
  };
  const std::vector<double> baseline = outputs(SimdLevel::kBaseline);
  std::vector<double> avx2;
  for (SimdLevel level : {SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    if (!simd_level_supported(level)) continue;
    const std::vector<double> other = outputs(level);
    ASSERT_EQ(other.size(), baseline.size());
    for (std::size_t i = 0; i < other.size(); ++i) {
      EXPECT_NEAR(other[i], baseline[i], 1e-12 * std::fabs(baseline[i])) << simd_level_name(level) << " " << i;
      // Compared as bits: a NaN would fail too.
      if (!avx2.empty()) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(other[i]), std::bit_cast<std::uint64_t>(avx2[i])) << i;
      }
    }
    if (avx2.empty()) avx2 = other;
  }
}

TEST(LorentzianFit, FitIsTheMaximumOfTheLikelihood) {
  const std::vector<double> x = grid(-20.0, 20.0, 801);
  std::vector<double> w(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) w[i] = 500.0 / (1.0 + std::pow((x[i] - 1.0) / 1.5, 2));
  double x0 = 0.0, gamma = 1.0;
  std::uint64_t passes = 0;
  {
    SilencedStdout silenced;  // the fit's "LBFGSB finished" line
    ASSERT_TRUE(lorentzian_fit(x, w, x0, gamma, false, false, -20.0, 20.0, &passes));
  }
  EXPECT_GT(passes, 3u);
  const double best = lorentzian_log_likelihood(x, w, x0, gamma, -20.0, 20.0);
  for (double dx : {-1e-3, 1e-3}) {
    EXPECT_LE(lorentzian_log_likelihood(x, w, x0 + dx, gamma, -20.0, 20.0), best + 1e-6);
    EXPECT_LE(lorentzian_log_likelihood(x, w, x0, gamma + dx, -20.0, 20.0), best + 1e-6);
  }
  EXPECT_NEAR(x0, 1.0, 1e-3);
  EXPECT_NEAR(gamma, 3.0, 0.05);
}

TEST(LorentzianFit, WindowFarFromZeroStartsFarFromTheAnswerAndStillConverges) {
  // A Raman-like window: the raw second moment about zero starts the width near 290, where the
  // likelihood is shallow. The line search must bracket the optimum and keep shrinking instead of
  // returning the start; every fix flag is tried.
  const std::vector<double> x = grid(230.0, 270.0, 2500);
  std::vector<double> w(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) w[i] = 1.0 + 1000.0 / (1.0 + std::pow((x[i] - 244.5) / 1.5, 2));
  for (int flags = 0; flags < 3; ++flags) {
    const bool fix_x0 = flags == 1, fix_gamma = flags == 2;
    double x0 = 244.4, gamma = 3.0;
    {
      SilencedStdout silenced;
      ASSERT_TRUE(lorentzian_fit(x, w, x0, gamma, fix_x0, fix_gamma, 230.0, 270.0));
    }
    // The fitted values beat their neighbours: a free parameter is at its optimum, and a fixed
    // one must not have moved (it was not in the minimisation).
    const double best = lorentzian_log_likelihood(x, w, x0, gamma, 230.0, 270.0);
    for (double step : {-1e-3, -1e-4, 1e-4, 1e-3}) {
      if (!fix_x0) {
        EXPECT_LE(lorentzian_log_likelihood(x, w, x0 + step, gamma, 230.0, 270.0), best + 1e-6) << flags;
      }
      if (!fix_gamma) {
        EXPECT_LE(lorentzian_log_likelihood(x, w, x0, gamma + step, 230.0, 270.0), best + 1e-6) << flags;
      }
    }
    EXPECT_NEAR(x0, fix_x0 ? 244.4 : 244.5, 2e-3) << flags;
    EXPECT_NEAR(gamma, fix_gamma ? 3.0 : 3.2, 0.3) << flags;
  }
}

// ---- The single-peak suite (peak_fit_suites.hpp) --------------------------------------------------

// The Lorentzian's window [x_min, x_max] is its only bound: the width has none to refuse.
struct LorentzianWindow {
  double x_min, x_max;
};

struct LorentzianShape {
  using Parameters = std::array<double, 2>;  // x0, gamma
  using Fixed = std::array<bool, 2>;
  using Bounds = LorentzianWindow;

  static Parameters fit(std::span<const double> x, std::span<const double> w, Parameters p, const Fixed& fixed,
                        const Bounds& window) {
    SilencedStdout silenced;  // the fit's "LBFGSB finished" line
    lorentzian_fit(x, w, p[0], p[1], fixed[0], fixed[1], window.x_min, window.x_max);
    return p;
  }
  static Parameters values(const Parameters& p) { return p; }
  static Fixed all_fixed() { return {true, true}; }
  static fit_test::PeakSample smooth_peak() {
    fit_test::PeakSample d{grid(-20.0, 20.0, 801), {}};
    for (double x : d.x) d.w.push_back(std::round(500.0 / (1.0 + std::pow((x - 1.0) / 1.5, 2))));
    return d;
  }
  static Bounds bounds() { return {-20.0, 20.0}; }
  static Bounds open_bounds() { return {-kInf, kInf}; }
  static fit_test::DegenerateStarts<Parameters> degenerate_starts() {
    return {{0.0, 1.0}, {kNaN, 1.0}, {0.0, kInf}, {0.0, 0.0}};
  }
  static Parameters rough_start() { return {0.0, 1.0}; }
  static Parameters odd_start() { return {0.1 + 0.2, -0.0}; }
  static std::optional<Bounds> reversed_width_bounds() { return std::nullopt; }
  static std::vector<std::pair<Bounds, std::string>> nan_bounds() { return {}; }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Lorentzian, SinglePeakFit, LorentzianShape);

}  // namespace
}  // namespace brivane
