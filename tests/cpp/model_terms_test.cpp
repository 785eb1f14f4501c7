// The model's terms: every kernel's derivatives against central differences, the peaks' unit area
// and their agreement with independent definitions (the Voigt profile of voigt.hpp, the TSDC curve
// of tsdc.hpp, pseudo-Voigt limits), the backgrounds that follow the peaks, and the tie map.

#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "model/evaluate.hpp"
#include "model/model_error.hpp"
#include "model/ties.hpp"
#include "model_test_support.hpp"
#include "shapes/voigt/model_term.hpp"
#include "shapes/tsdc/tsdc.hpp"
#include "shapes/voigt/voigt.hpp"
#include "vector_math.hpp"

namespace brivane::model {
namespace {

using test::ModelBuilder;

constexpr double kPi = 3.14159265358979323846;

// Values of one peak of area 1 over a grid, per unit area and channel.
std::vector<double> unit_peak(TermKind kind, std::initializer_list<double> shape, const std::vector<double>& x,
                              std::array<double, 2> aux = {0.0, 0.0}) {
  ModelBuilder b;
  std::vector<double> values(shape);
  values.push_back(1.0);
  b.terms.push_back({kind, 0, values.size(), aux});
  for (double v : values) {
    ParameterSpec p;
    p.value = v;
    b.parameters.push_back(p);
  }
  return test::expected_counts(b.build(x), b.values());
}

double sum(const std::vector<double>& v) {
  double s = 0.0;
  for (double e : v) s += e;
  return s;
}

TEST(ModelTerms, PeakDerivativesMatchCentralDifferences) {
  ModelBuilder b;
  b.add(GaussianTerm::kKind, {30.0, 2.5, 4000.0});
  b.add(LorentzianTerm::kKind, {42.0, 3.0, 3000.0});
  b.add(PseudoVoigtTerm::kKind, {55.0, 4.0, 0.35, 5000.0});
  b.add(VoigtTerm::kKind, {70.0, 1.7, 1.1, 6000.0});
  b.add(DoniachSunjicTerm::kKind, {85.0, 1.2, 0.18, 2500.0}, {-1.0, 0.0});
  b.add(DoniachSunjicTerm::kKind, {62.0, 0.9, 0.3, 1800.0}, {1.0, 0.0});  // its tail toward larger x
  b.add(TermKind::kConstant, {12.0});
  const Problem problem = b.build(test::grid(0.0, 0.25, 400));
  const std::vector<double> steps = {1e-3, 1e-3, 1.0, 1e-3, 1e-3, 1.0, 1e-3, 1e-3, 1e-4, 1.0,
                                     1e-3, 1e-3, 1e-3, 1.0, 1e-3, 1e-3, 1e-4, 1.0,
                                     1e-3, 1e-3, 1e-4, 1.0, 1e-3};
  test::expect_jacobian_matches(problem, b.values(), steps, 1e-8);
}

TEST(ModelTerms, VoigtDerivativesStayFiniteAndExactAsSigmaVanishes) {
  // sigma from ordinary to 1e-3 of gamma (z up to 1e3, where w' comes from its series).
  for (double sigma : {0.3, 0.02, 1e-3}) {
    ModelBuilder b;
    b.add(VoigtTerm::kKind, {10.0, sigma, 1.0, 1000.0});
    const Problem problem = b.build(test::grid(0.0, 0.05, 400));
    const std::vector<double> steps = {1e-4, sigma * 1e-2, 1e-4, 1.0};
    SCOPED_TRACE(sigma);
    test::expect_jacobian_matches(problem, b.values(), steps, 1e-7);
  }
  // Further down differences drown in the rounding of V itself; there V = L + sigma^2 L'' / 2 +
  // O(sigma^4), so d V / d sigma = sigma L''(u), L the Lorentzian: L'' = gamma (6u^2 - 2 gamma^2) /
  // (pi (u^2 + gamma^2)^3).
  for (double sigma : {1e-3, 1e-6}) {
    ModelBuilder b;
    b.add(VoigtTerm::kKind, {10.0, sigma, 1.0, 1.0});
    const std::vector<double> x = test::grid(0.0, 0.05, 400);
    const Problem problem = b.build(x);
    ModelScratch scratch(problem);
    std::vector<double> mu(400), jacobian(400 * 4);
    evaluate_model(problem, b.values(), mu, jacobian, scratch);
    for (std::size_t i = 0; i < 400; ++i) {
      const double u = x[i] - 10.0, q = u * u + 1.0;
      const double expected = sigma * (6.0 * u * u - 2.0) / (kPi * q * q * q) * 0.05;
      EXPECT_NEAR(jacobian[400 + i], expected, (50.0 * sigma * sigma + 1e-9) * (2.0 * sigma / kPi * 0.05)) << sigma << " " << u;
    }
  }
  // At sigma = 0 the Lorentzian of half width gamma, and no sigma derivative.
  ModelBuilder b;
  b.add(VoigtTerm::kKind, {10.0, 0.0, 1.0, 1000.0});
  b.add(LorentzianTerm::kKind, {10.0, 2.0, 1000.0});
  const Problem problem = b.build(test::grid(0.0, 0.05, 400));
  ModelScratch scratch(problem);
  std::vector<double> mu(400), jacobian(400 * 7), terms(2 * 400);
  evaluate_model(problem, b.values(), mu, jacobian, scratch, terms);
  for (std::size_t i = 0; i < 400; ++i) {
    EXPECT_NEAR(terms[i], terms[400 + i], 1e-13 * terms[400 + i]);
    EXPECT_EQ(jacobian[400 + i], 0.0);
  }
}

TEST(ModelTerms, FaddeevaDerivativeSeriesJoinsTheDirectFormula) {
  // Either side of |z| = 10 the two ways of forming w' and z w' + w agree.
  for (double angle : {0.0, 0.3, 0.8, 1.3, kPi / 2}) {
    const std::complex<double> inside = std::polar(9.999, angle), outside = std::polar(10.001, angle);
    const FaddeevaDerivatives a = faddeeva_derivatives(inside, faddeeva_w(inside));
    const FaddeevaDerivatives b = faddeeva_derivatives(outside, faddeeva_w(outside));
    EXPECT_NEAR(std::abs(a.derivative - b.derivative) / std::abs(b.derivative), 0.0, 1e-3);
    // Near the real axis the derivative differs from its own series only by 2 z exp(-z^2) terms.
    const std::complex<double> direct = -2.0 * outside * faddeeva_w(outside) + std::complex<double>(0.0, 2.0 / std::sqrt(kPi));
    EXPECT_NEAR(std::abs(direct - b.derivative), 0.0, 1e-13 * std::abs(b.derivative)) << angle;
  }
}

TEST(ModelTerms, VoigtFarFromItsCentreMatchesTheFaddeevaFunction) {
  // Beyond |z| = 10 the values come from the asymptotic series of w, with as many terms as |z|
  // needs: each against libcerf's w to near its own precision, |z| from 10 to 2000, near the real
  // axis (gamma << sigma) and off it.
  for (double gamma : {1e-3, 0.5, 3.0}) {
    const double sigma = 1.0, s = sigma * std::sqrt(2.0);
    std::vector<double> x;
    for (double r = 10.01; r < 2000.0; r *= 1.07) {
      const double u = std::sqrt(std::max(r * r * s * s - gamma * gamma, 0.0));
      x.push_back(-u);
      x.push_back(u);
    }
    std::sort(x.begin(), x.end());
    const std::vector<double> values = unit_peak(VoigtTerm::kKind, {0.0, sigma, gamma}, x);
    const std::vector<double> w = test::channel_widths(x);
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double reference = voigt_profile(x[i], sigma, gamma) * w[i];
      EXPECT_NEAR(values[i], reference, 1e-12 * std::abs(reference) + 1e-300) << gamma << " " << x[i];
    }
  }
  // The derivatives from the series against the direct formula just outside |z| = 10, where both
  // hold (the direct one to about 1e-13 there), and w' from the series against differences far out.
  for (double angle : {0.05, 0.7, 1.5}) {
    const std::complex<double> z = std::polar(12.0, angle);
    const FaddeevaDerivatives d = faddeeva_derivatives(z, faddeeva_w(z));
    const std::complex<double> direct = -2.0 * z * faddeeva_w(z) + std::complex<double>(0.0, 2.0 / std::sqrt(kPi));
    EXPECT_NEAR(std::abs(direct - d.derivative), 0.0, 1e-12 * std::abs(d.derivative)) << angle;
    EXPECT_NEAR(std::abs(z * direct + faddeeva_w(z) - d.scaled), 0.0, 1e-10 * std::abs(d.scaled)) << angle;
    const std::complex<double> far = std::polar(300.0, angle), h(1e-3, 0.0);
    const std::complex<double> difference = (faddeeva_w(far + h) - faddeeva_w(far - h)) / (2.0 * h);
    const FaddeevaDerivatives f = faddeeva_derivatives(far, faddeeva_w(far));
    EXPECT_NEAR(std::abs(difference - f.derivative), 0.0, 1e-8 * std::abs(f.derivative)) << angle;
  }
}

TEST(ModelTerms, TsdcDerivativesMatchCentralDifferences) {
  ModelBuilder b;
  b.add(TsdcTerm::kKind, {0.9, 330.0, 5e4}, {0.1, 0.0});
  b.add(TermKind::kLinear, {40.0, 0.05}, {350.0, 0.0});
  const Problem problem = b.build(test::grid(250.0, 0.5, 400));
  test::expect_jacobian_matches(problem, b.values(), std::vector<double>{1e-5, 1e-3, 1.0, 1e-3, 1e-5}, 1e-8);
}

TEST(ModelTerms, PeaksHaveUnitArea) {
  const std::vector<double> x = test::grid(-2000.0, 0.01, 400001);
  EXPECT_NEAR(sum(unit_peak(GaussianTerm::kKind, {3.0, 1.5}, x)), 1.0, 1e-12);
  // Heavy tails: compare with the mass inside the grid.
  const double lorentz_inside = (std::atan(1997.0 / 1.0) - std::atan(-2003.0 / 1.0)) / kPi;
  EXPECT_NEAR(sum(unit_peak(LorentzianTerm::kKind, {3.0, 2.0}, x)), lorentz_inside, 1e-9);
  EXPECT_NEAR(sum(unit_peak(PseudoVoigtTerm::kKind, {3.0, 2.0, 0.4}, x)), 0.4 + 0.6 * lorentz_inside, 1e-9);
  EXPECT_NEAR(sum(unit_peak(VoigtTerm::kKind, {3.0, 0.7, 1.0}, x)), lorentz_inside, 1e-7);
  // Doniach-Sunjic: normalised over the channels it is given, whatever alpha.
  EXPECT_NEAR(sum(unit_peak(DoniachSunjicTerm::kKind, {3.0, 1.0, 0.3}, test::grid(-20.0, 0.1, 300), {1.0, 0.0})),
              1.0, 1e-13);
  // TSDC over temperature.
  EXPECT_NEAR(sum(unit_peak(TsdcTerm::kKind, {0.8, 320.0}, test::grid(100.0, 0.01, 60001), {0.05, 0.0})), 1.0, 1e-9);
}

TEST(ModelTerms, PeaksAgreeWithIndependentDefinitions) {
  const std::vector<double> x = test::grid(1.0e5 - 20.0, 0.125, 321);  // an axis far from zero
  const double c = 1.0e5 + 0.3;
  const std::vector<double> w = test::channel_widths(x);
  // Voigt against the profile of voigt.hpp.
  const std::vector<double> voigt = unit_peak(VoigtTerm::kKind, {c, 1.3, 0.8}, x);
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_NEAR(voigt[i], voigt_profile(x[i] - c, 1.3, 0.8) * w[i], 1e-14 * voigt_profile(0.0, 1.3, 0.8));
  }
  // Pseudo-Voigt with eta = 1 and 0: the Gaussian of sigma = fwhm / 2.35482 and the Lorentzian.
  const std::vector<double> pv_g = unit_peak(PseudoVoigtTerm::kKind, {c, 3.0, 1.0}, x);
  const std::vector<double> pv_l = unit_peak(PseudoVoigtTerm::kKind, {c, 3.0, 0.0}, x);
  const std::vector<double> g = unit_peak(GaussianTerm::kKind, {c, 3.0 / 2.3548200450309493}, x);
  const std::vector<double> l = unit_peak(LorentzianTerm::kKind, {c, 3.0}, x);
  // Voigt with gamma = 0 is the Gaussian.
  const std::vector<double> voigt_g = unit_peak(VoigtTerm::kKind, {c, 3.0 / 2.3548200450309493, 0.0}, x);
  // Doniach-Sunjic with alpha = 0 is the Lorentzian of half width gamma, normalised over the grid.
  const std::vector<double> ds = unit_peak(DoniachSunjicTerm::kKind, {c, 1.5, 0.0}, x, {-1.0, 0.0});
  const double l_inside = sum(l);
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_NEAR(pv_g[i], g[i], 1e-15);
    EXPECT_NEAR(pv_l[i], l[i], 1e-15);
    EXPECT_NEAR(voigt_g[i], g[i], 1e-14);
    EXPECT_NEAR(ds[i], l[i] / l_inside, 1e-14);
    EXPECT_GT(g[i], 0.0);
  }
  // TSDC against the raw curve of tsdc.hpp with tau0 = (k tp^2 / (beta ea)) exp(-ea / (k tp)).
  const double ea = 0.75, tp = 310.0, beta = 0.08, k = 8.61733034e-5;
  const std::vector<double> t = test::grid(240.0, 0.5, 200);
  const std::vector<double> tsdc = unit_peak(TsdcTerm::kKind, {ea, tp}, t, {beta, 0.0});
  const double tau0 = k * tp * tp / (beta * ea) * std::exp(-ea / (k * tp));
  for (std::size_t i = 0; i < t.size(); ++i) {
    const double reference = tsdc_raw_curve(t[i], ea, tau0, beta) * 0.5;
    EXPECT_NEAR(tsdc[i], reference, 1e-12 * reference + 1e-300) << t[i];
  }
}

TEST(ModelTerms, PeakLoopsGiveOneResultOnEveryInstructionSetAndCutTheGaussianTails) {
  // A grid whose length leaves a remainder after every vector width, two narrow Gaussian parts
  // (most channels beyond their cut) and a Lorentzian between them.
  ModelBuilder b;
  b.add(GaussianTerm::kKind, {60.0, 1.2, 4000.0});
  b.add(LorentzianTerm::kKind, {120.0, 3.0, 3000.0});
  b.add(PseudoVoigtTerm::kKind, {180.0, 2.5, 0.6, 5000.0});
  b.add(TermKind::kConstant, {12.0});
  const std::vector<double> x = test::grid(0.0, 0.25, 1003);
  const Problem problem = b.build(x);
  const std::size_t n = x.size(), p = problem.parameter_count();
  auto evaluate = [&](std::vector<double>& mu, std::vector<double>& jacobian) {
    ModelScratch scratch(problem);
    mu.assign(n, -1.0);
    jacobian.assign(n * p, -1.0);
    evaluate_model(problem, b.values(), mu, jacobian, scratch);
  };
  std::vector<double> mu, jacobian;
  evaluate(mu, jacobian);
  for (SimdLevel level : {SimdLevel::kBaseline, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    if (!simd_level_supported(level)) continue;
    std::vector<double> mu_level, jacobian_level;
    {
      const SimdOverride forced(level);
      evaluate(mu_level, jacobian_level);
    }
    EXPECT_EQ(std::memcmp(mu.data(), mu_level.data(), n * sizeof(double)), 0) << simd_level_name(level);
    EXPECT_EQ(std::memcmp(jacobian.data(), jacobian_level.data(), n * p * sizeof(double)), 0) << simd_level_name(level);
  }
  // The Gaussian against its definition with the library's exp inside the cut, exact zeros with
  // their derivatives beyond it.
  const std::vector<double> w = test::channel_widths(x);
  const double sigma = 1.2, inverse_sigma = 1.0 / sigma;
  std::size_t inside = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = (x[i] - 60.0) * inverse_sigma;  // as the kernel forms it: the same cut
    const double gaussian = jacobian[2 * n + i];  // d mu / d area: the unit peak's counts
    if (t * t < 1400.0) {
      ++inside;
      const double reference = std::exp(-0.5 * t * t) / (sigma * std::sqrt(2.0 * kPi)) * w[i];
      EXPECT_NEAR(gaussian, reference, 1e-15 * reference) << x[i];
    } else {
      EXPECT_EQ(gaussian, 0.0) << x[i];
      EXPECT_EQ(jacobian[i], 0.0) << x[i];
      EXPECT_EQ(jacobian[n + i], 0.0) << x[i];
    }
  }
  EXPECT_GT(inside, 300u);
  EXPECT_LT(inside, 400u);
}

TEST(ModelTerms, VoigtFarChannelsRunAsTheSeriesOnEveryInstructionSet) {
  // The far channels (|z| > 10) go in runs of one series length through vectorised loops: each
  // channel's derivatives are those of the series (faddeeva_derivatives) to the bit, and the
  // same on every instruction set. The near ones take the vector Faddeeva kernel, whose baseline
  // variant (no FMA) may differ in the last bits: they are left out of the comparison.
  ModelBuilder b;
  const double centre = 130.0, sigma = 0.8, gamma = 0.5;
  b.add(VoigtTerm::kKind, {centre, sigma, gamma, 4000.0});
  const std::vector<double> x = test::grid(0.0, 0.25, 1003);
  const Problem problem = b.build(x);
  const std::size_t n = x.size(), p = problem.parameter_count();
  auto evaluate = [&](std::vector<double>& jacobian) {
    ModelScratch scratch(problem);
    std::vector<double> mu(n);
    jacobian.assign(n * p, -1.0);
    evaluate_model(problem, b.values(), mu, jacobian, scratch);
  };
  std::vector<double> jacobian, jacobian_baseline;
  evaluate(jacobian);
  {
    const SimdOverride baseline(SimdLevel::kBaseline);
    evaluate(jacobian_baseline);
  }
  const double inverse_s = 1.0 / (sigma * 1.41421356237309504880);
  const double norm = inverse_s * 0.56418958354775628695;  // the kernel's products, in its order
  const std::vector<double> w = test::channel_widths(x);
  std::size_t far = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::complex<double> z((x[i] - centre) * inverse_s, gamma * inverse_s);
    if (std::abs(z) <= 10.5) continue;
    ++far;
    const FaddeevaDerivatives d = faddeeva_derivatives(z, {0.0, 0.0});  // the series ignores w
    const double scale = 4000.0 * norm * w[i];
    EXPECT_EQ(jacobian[i], -scale * d.derivative.real() * inverse_s) << x[i];
    for (std::size_t j = 0; j < p; ++j) {
      EXPECT_EQ(jacobian[j * n + i], jacobian_baseline[j * n + i]) << x[i] << " column " << j;
    }
  }
  EXPECT_GT(far, 900u);
}

TEST(ModelTerms, DoniachSunjicTailSidesAreMirrorImages) {
  // The line with its tail toward larger x at x is the line with its tail toward smaller x at the
  // point mirrored about its centre, value and derivatives (the centre's column changing sign);
  // on a symmetric grid the normalising sums are the same. The tail lies where the side says.
  const double c = 250.0;
  const std::vector<double> x = test::grid(c - 30.0, 0.2, 301);  // symmetric about c
  const std::size_t n = x.size();
  std::vector<std::vector<double>> values(2), columns(2);
  for (int side = 0; side < 2; ++side) {
    ModelBuilder b;
    b.add(DoniachSunjicTerm::kKind, {c, 1.3, 0.35, 4000.0}, {side == 0 ? 1.0 : -1.0, 0.0});
    const Problem problem = b.build(x);
    ModelScratch scratch(problem);
    values[side].resize(n);
    columns[side].resize(4 * n);
    evaluate_model(problem, b.values(), values[side], columns[side], scratch);
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t m = n - 1 - i;
    EXPECT_NEAR(values[0][i], values[1][m], 1e-12 * values[1][m]);
    EXPECT_NEAR(columns[0][i], -columns[1][m], 1e-12 * std::abs(columns[1][m]) + 1e-15);
    for (std::size_t k = 1; k < 4; ++k) {
      EXPECT_NEAR(columns[0][k * n + i], columns[1][k * n + m], 1e-12 * std::abs(columns[1][k * n + m]) + 1e-15);
    }
  }
  EXPECT_GT(values[0][n - 1], 10.0 * values[0][0]);  // +1: the heavy tail at larger x
  EXPECT_GT(values[1][0], 10.0 * values[1][n - 1]);
  // Any other side is refused.
  ModelBuilder b;
  b.add(DoniachSunjicTerm::kKind, {c, 1.3, 0.35, 4000.0}, {0.0, 0.0});
  EXPECT_THROW(b.build(x), ModelError);
}

TEST(ModelTerms, BackgroundsAndPeakFollowersDerivatives) {
  // Shirley and Tougaard in both directions follow both peaks; a polynomial, an exponential and
  // user rows beside them.
  for (double direction : {1.0, -1.0}) {
    ModelBuilder b;
    b.add(GaussianTerm::kKind, {80.0, 1.5, 3000.0});
    b.add(VoigtTerm::kKind, {86.0, 0.9, 0.7, 2000.0});
    b.add(TermKind::kShirley, {0.02}, {direction, 0.0});
    b.add(TermKind::kTougaard, {3.0, 40.0}, {direction, 0.0});
    b.add(TermKind::kPolynomial, {10.0, -2.0, 0.5}, {85.0, 10.0});
    b.add(TermKind::kExponential, {5.0, 0.02}, {70.0, 0.0});
    b.add(TermKind::kUserRows, {2.0, 3.0});
    const std::vector<double> x = test::grid(70.0, 0.1, 250);
    b.rows = {std::vector<double>(250), std::vector<double>(250)};
    for (std::size_t i = 0; i < 250; ++i) {
      b.rows[0][i] = std::sin(0.05 * i);
      b.rows[1][i] = 1.0 + 0.001 * i;
    }
    const Problem problem = b.build(x);
    const std::vector<double> steps = {1e-3, 1e-3, 1.0, 1e-3, 1e-3, 1e-3, 1.0, 1e-5, 1e-3, 1e-2,
                                       1e-3, 1e-3, 1e-3, 1e-3, 1e-5, 1e-3, 1e-3};
    SCOPED_TRACE(direction);
    test::expect_jacobian_matches(problem, b.values(), steps, 1e-8);
  }
}

TEST(ModelTerms, ShirleyStepIsTheCumulativePeakCounts) {
  // Far below the peak no step, far above it k times the peak's counts, at its centre (the grid
  // symmetric about it) half of them.
  ModelBuilder b;
  b.add(GaussianTerm::kKind, {50.0, 2.0, 1000.0});
  b.add(TermKind::kShirley, {0.1}, {1.0, 0.0});
  const Problem problem = b.build(test::grid(0.0, 1.0, 101));
  ModelScratch scratch(problem);
  std::vector<double> mu(101), terms(2 * 101);
  evaluate_model(problem, b.values(), mu, {}, scratch, terms);
  double total = 0.0;
  for (std::size_t i = 0; i < 101; ++i) total += terms[i];
  EXPECT_NEAR(total, 1000.0, 1e-9);
  EXPECT_LT(terms[101 + 30], 1e-20);
  EXPECT_NEAR(terms[101 + 50], 0.05 * total, 1e-12);
  EXPECT_NEAR(terms[101 + 70], 0.1 * total, 1e-9);
  EXPECT_NEAR(terms[101 + 100], 0.1 * total, 1e-12);
}

TEST(ModelTerms, TiesMapTheFreeVectorByTheChainRule) {
  // p1.center = p0.center + 3.67, p1.area = 0.5 p0.area, p2.center from p1.center by Bragg's law
  // (a chain), p2.sigma fixed.
  ModelBuilder b;
  b.add(GaussianTerm::kKind, {38.0, 0.1, 1000.0});
  b.add(GaussianTerm::kKind, {0.0, 0.1, 0.0});
  b.add(GaussianTerm::kKind, {0.0, 0.2, 300.0});
  b.tie(3, 0, 1.0, 3.67);
  b.tie(5, 2, 0.5, 0.0);
  b.tie(4, 1, 1.0, 0.0);
  b.bragg(6, 3, 1.544390 / 1.540562);
  b.fix(7);
  const Problem problem = b.build(test::grid(35.0, 0.01, 1000));
  ASSERT_EQ(problem.free_count(), 4u);
  std::vector<double> theta(9), slope(9);
  const std::vector<double> phi = {38.688, 0.05, 1200.0, 250.0};
  expand_free_vector(problem, phi, theta, slope);
  EXPECT_DOUBLE_EQ(theta[3], 38.688 + 3.67);
  EXPECT_DOUBLE_EQ(theta[5], 600.0);
  EXPECT_DOUBLE_EQ(theta[4], 0.05);
  // Bragg: sin(theta2 / 2) = (lambda2 / lambda1) sin(theta1 / 2).
  const double half = kPi / 360.0;
  EXPECT_NEAR(std::sin(theta[6] * half), 1.544390 / 1.540562 * std::sin(theta[3] * half), 1e-15);
  EXPECT_GT(theta[6], theta[3]);
  EXPECT_EQ(theta[7], 0.2);
  EXPECT_EQ(slope[7], 0.0);
  const double h = 1e-6;
  EXPECT_NEAR(slope[6], (bragg_angle(theta[3] + h, 1.544390 / 1.540562) - bragg_angle(theta[3] - h, 1.544390 / 1.540562)) / (2 * h), 1e-8);
  EXPECT_EQ(problem.root()[6], 0u);
  EXPECT_EQ(problem.root()[5], 2u);
}

TEST(ModelTerms, BadDescriptionsAreRefusedByName) {
  const std::vector<double> x = test::grid(0.0, 1.0, 10);
  auto message = [&](const ModelBuilder& b, std::vector<double> xs) -> std::string {
    try {
      b.build(xs);
    } catch (const ModelError& e) {
      return e.what();
    }
    return "";
  };
  ModelBuilder cycle;
  cycle.add(GaussianTerm::kKind, {5.0, 1.0, 10.0});
  cycle.add(GaussianTerm::kKind, {5.0, 1.0, 10.0});
  cycle.tie(0, 3, 1.0, 0.0);
  cycle.tie(3, 0, 1.0, 0.0);
  EXPECT_NE(message(cycle, x).find("cycle"), std::string::npos);
  ModelBuilder unknown;
  unknown.add(GaussianTerm::kKind, {5.0, 1.0, 10.0});
  unknown.tie(1, 7, 1.0, 0.0);
  EXPECT_NE(message(unknown, x).find("source[1]"), std::string::npos);
  ModelBuilder nothing_free;
  nothing_free.add(TermKind::kConstant, {1.0});
  nothing_free.fix(0);
  EXPECT_NE(message(nothing_free, x).find("nothing free"), std::string::npos);
  ModelBuilder fine;
  fine.add(TermKind::kConstant, {1.0});
  std::vector<double> descending = x;
  descending[4] = descending[3];
  EXPECT_NE(message(fine, descending).find("x[4]"), std::string::npos);
  ModelBuilder wrong_count;
  wrong_count.add(GaussianTerm::kKind, {5.0, 1.0});
  EXPECT_NE(message(wrong_count, x).find("count[0]"), std::string::npos);
  ModelBuilder bounds;
  bounds.add(TermKind::kConstant, {1.0});
  bounds.bound(0, 2.0, 1.0);
  EXPECT_NE(message(bounds, x).find("lower[0]"), std::string::npos);
}

}  // namespace
}  // namespace brivane::model
