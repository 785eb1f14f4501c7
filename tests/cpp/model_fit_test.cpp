// Fits of whole spectrum models with known truth: Poisson spectra drawn with a fixed seed from
// chosen parameters, fitted from rough starts (10-20% off, as read off a plot), for every shape
// with a background, tied doublets, a parameter driven onto its bound, axes far from zero and
// counts from ~1 to 1e9 per channel; the covariance's errors checked over many spectra; one test
// per status.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "interrupt.hpp"
#include "model/model_error.hpp"
#include "model/solver.hpp"
#include "model/ties.hpp"
#include "model_test_support.hpp"

namespace brivane::model {
namespace {

using test::ModelBuilder;

double stderr_of(const FitResult& r, std::size_t j) {
  return std::sqrt(r.covariance[j * r.theta.size() + j]);
}

FitResult run(const Problem& problem, const std::vector<double>& counts, const std::vector<double>& start,
              std::size_t max_iterations = 200) {
  Workspace workspace(problem);
  FitOptions options;
  options.max_iterations = max_iterations;
  return fit(problem, counts, start, workspace, options);
}

// Every free parameter not on a bound within `limit` standard errors of the truth.
void expect_recovers(const Problem& problem, const FitResult& r, const std::vector<double>& truth, double limit = 4.0) {
  ASSERT_EQ(r.status, FitStatus::kConverged) << fit_status_message(r.status);
  for (std::size_t j : problem.free_index()) {
    if (r.at_bound[j]) continue;
    const double se = stderr_of(r, j);
    EXPECT_TRUE(se > 0.0 && std::isfinite(se)) << "parameter " << j;
    EXPECT_LE(std::abs(r.theta[j] - truth[j]), limit * se)
        << "parameter " << j << ": fitted " << r.theta[j] << ", truth " << truth[j] << ", stderr " << se;
  }
}

struct ShapeCase {
  const char* name;
  TermKind kind;
  std::vector<double> truth;   // the peak's parameters, area last
  std::vector<double> start;
  std::vector<std::pair<double, double>> bounds;  // per peak parameter
  std::array<double, 2> aux;
  double low, step;
};

// One peak of each shape on a constant background of 20 counts per channel, 400 channels, with a
// start 10-20% off.
const std::vector<ShapeCase>& shape_cases() {
  constexpr double kInf = HUGE_VAL;
  static const std::vector<ShapeCase> cases = {
      {"Gaussian", GaussianTerm::kKind, {500.0, 3.0, 2e4}, {500.7, 3.6, 1.7e4},
       {{-kInf, kInf}, {1e-6, kInf}, {0.0, kInf}}, {0.0, 0.0}, 450.0, 0.25},
      {"Lorentzian", LorentzianTerm::kKind, {500.0, 6.0, 2e4}, {501.2, 7.2, 1.7e4},
       {{-kInf, kInf}, {1e-6, kInf}, {0.0, kInf}}, {0.0, 0.0}, 450.0, 0.25},
      {"PseudoVoigt", PseudoVoigtTerm::kKind, {500.0, 6.0, 0.5, 2e4}, {501.2, 7.2, 0.6, 1.7e4},
       {{-kInf, kInf}, {1e-6, kInf}, {0.0, 1.0}, {0.0, kInf}}, {0.0, 0.0}, 450.0, 0.25},
      {"Voigt", VoigtTerm::kKind, {500.0, 2.0, 1.5, 2e4}, {500.8, 2.4, 1.2, 1.7e4},
       {{-kInf, kInf}, {1e-3, kInf}, {0.0, kInf}, {0.0, kInf}}, {0.0, 0.0}, 450.0, 0.25},
      {"DoniachSunjic", DoniachSunjicTerm::kKind, {500.0, 1.5, 0.15, 2e4}, {500.5, 1.7, 0.2, 1.7e4},
       {{-kInf, kInf}, {1e-3, kInf}, {0.0, 0.9}, {0.0, kInf}}, {1.0, 0.0}, 480.0, 0.1},
      {"TSDC", TsdcTerm::kKind, {0.9, 330.0, 2e5}, {1.0, 334.0, 1.7e5},
       {{1e-3, kInf}, {1.0, kInf}, {0.0, kInf}}, {0.1, 0.0}, 250.0, 0.5},
  };
  return cases;
}

// The case's model, started from its rough start (the background 15% high).
ModelBuilder shape_model(const ShapeCase& c) {
  ModelBuilder b;
  b.terms.push_back({c.kind, 0, c.truth.size(), c.aux});
  for (std::size_t k = 0; k < c.truth.size(); ++k) {
    ParameterSpec p;
    p.value = c.start[k];
    p.lower = c.bounds[k].first;
    p.upper = c.bounds[k].second;
    b.parameters.push_back(p);
  }
  b.add(TermKind::kConstant, {23.0});
  return b;
}

std::vector<double> shape_truth(const ShapeCase& c) {
  std::vector<double> theta = c.truth;
  theta.push_back(20.0);
  return theta;
}

TEST(ModelFit, EveryShapeWithABackgroundFromARoughStart) {
  std::mt19937_64 engine(20261208);
  for (const ShapeCase& c : shape_cases()) {
    SCOPED_TRACE(c.name);
    const ModelBuilder b = shape_model(c);
    const Problem problem = b.build(test::grid(c.low, c.step, 400));
    const std::vector<double> theta = shape_truth(c);
    const std::vector<double> counts = test::poisson_counts(test::expected_counts(problem, theta), engine);
    const FitResult r = run(problem, counts, b.values());
    expect_recovers(problem, r, theta);
    EXPECT_LT(r.iterations, 40u);
  }
}

TEST(ModelFit, PullsOfManySpectraAreStandardNormalForEveryShape) {
  // 300 spectra per shape, each fitted from the rough start: (fitted - true) / stderr has mean ~0
  // and standard deviation ~1 for every parameter when the covariance means what it says.
  constexpr int kSpectra = 300;
  std::mt19937_64 engine(7);
  for (const ShapeCase& c : shape_cases()) {
    SCOPED_TRACE(c.name);
    const ModelBuilder b = shape_model(c);
    const Problem problem = b.build(test::grid(c.low, c.step, 400));
    const std::vector<double> truth = shape_truth(c);
    const std::vector<double> mu = test::expected_counts(problem, truth);
    Workspace workspace(problem);
    const std::size_t p = truth.size();
    std::vector<double> sum(p, 0.0), sum_squares(p, 0.0);
    for (int s = 0; s < kSpectra; ++s) {
      const std::vector<double> counts = test::poisson_counts(mu, engine);
      const FitResult r = fit(problem, counts, b.values(), workspace, FitOptions{});
      ASSERT_EQ(r.status, FitStatus::kConverged) << "spectrum " << s;
      for (std::size_t j = 0; j < p; ++j) {
        const double pull = (r.theta[j] - truth[j]) / stderr_of(r, j);
        sum[j] += pull;
        sum_squares[j] += pull * pull;
      }
    }
    for (std::size_t j = 0; j < p; ++j) {
      const double mean = sum[j] / kSpectra;
      const double sd = std::sqrt(sum_squares[j] / kSpectra - mean * mean);
      EXPECT_NEAR(mean, 0.0, 0.15) << "parameter " << j;
      EXPECT_NEAR(sd, 1.0, 0.15) << "parameter " << j;
    }
  }
}

TEST(ModelFit, DoubletWithSplittingAndAreaRatio) {
  // p1 = p0 shifted by 3.67 with half the area and the same width: three free peak parameters.
  ModelBuilder b;
  b.add(GaussianTerm::kKind, {84.3, 0.55, 2.6e4});
  b.add(GaussianTerm::kKind, {0.0, 0.0, 0.0});
  b.tie(3, 0, 1.0, 3.67);
  b.tie(4, 1, 1.0, 0.0);
  b.tie(5, 2, 0.5, 0.0);
  b.bound(1, 1e-6, HUGE_VAL);
  b.add(TermKind::kLinear, {110.0, 0.0}, {86.0, 0.0});
  const Problem problem = b.build(test::grid(80.0, 0.05, 240));
  const std::vector<double> truth = {84.0, 0.5, 3e4, 87.67, 0.5, 1.5e4, 100.0, -2.0};
  std::mt19937_64 engine(11);
  const FitResult r = run(problem, test::poisson_counts(test::expected_counts(problem, truth), engine), b.values());
  expect_recovers(problem, r, truth);
  EXPECT_DOUBLE_EQ(r.theta[3] - r.theta[0], 3.67);
  EXPECT_DOUBLE_EQ(r.theta[5], 0.5 * r.theta[2]);
  // The tied parameters' errors by the delta method.
  const std::size_t p = r.theta.size();
  EXPECT_DOUBLE_EQ(r.covariance[5 * p + 5], 0.25 * r.covariance[2 * p + 2]);
  EXPECT_DOUBLE_EQ(r.covariance[3 * p + 0], r.covariance[0 * p + 0]);
}

TEST(ModelFit, TougaardBackgroundFromTheUniversalStart) {
  // A doublet on a Tougaard loss tail whose (b, c) lie far from the universal cross-section's
  // c = 1643 eV^2 the fit starts from: a long curved valley in (b, c), followed to the truth.
  ModelBuilder b;
  b.add(VoigtTerm::kKind, {84.05, 0.25, 0.15, 1.8e6});
  b.bound(1, 1e-3, HUGE_VAL);
  b.bound(2, 0.0, HUGE_VAL);
  b.add(VoigtTerm::kKind, {0.0, 0.0, 0.0, 1.3e6});
  b.tie(4, 0, 1.0, 3.67);
  b.tie(5, 1, 1.0, 0.0);
  b.tie(6, 2, 1.0, 0.0);
  b.add(TermKind::kConstant, {2500.0});
  b.add(TermKind::kTougaard, {30.0, 1643.0}, {1.0, 0.0});
  b.bound(9, 0.0, HUGE_VAL);
  b.bound(10, 1.0, HUGE_VAL);
  const Problem problem = b.build(test::grid(80.3, 0.041, 294));
  const std::vector<double> truth = {84.0, 0.2, 0.17, 2.0e6, 87.67, 0.2, 0.17, 1.4e6, 2800.0, 5.5, 95.0};
  std::mt19937_64 engine(31);
  const FitResult r = run(problem, test::poisson_counts(test::expected_counts(problem, truth), engine), b.values());
  expect_recovers(problem, r, truth);
  EXPECT_LT(r.iterations, 60u);
}

TEST(ModelFit, KAlphaDoubletByBraggsLaw) {
  // A Cu K-alpha1/K-alpha2 reflection: the second line's angle from the first's by Bragg's law, half
  // its area, the same shape; areas near 1e6 counts on a sloping background.
  const double ratio = 1.544390 / 1.540562;
  ModelBuilder b;
  b.add(PseudoVoigtTerm::kKind, {38.70, 0.085, 0.6, 1.0e6});
  b.add(PseudoVoigtTerm::kKind, {0.0, 0.0, 0.0, 0.0});
  b.bragg(4, 0, ratio);
  b.tie(5, 1, 1.0, 0.0);
  b.tie(6, 2, 1.0, 0.0);
  b.tie(7, 3, 0.5, 0.0);
  b.bound(1, 1e-6, HUGE_VAL);
  b.bound(2, 0.0, 1.0);
  b.add(TermKind::kLinear, {230.0, -10.0}, {38.7, 0.0});
  const Problem problem = b.build(test::grid(37.8, 0.005, 400));
  std::vector<double> truth = {38.688, 0.1, 0.5, 1.2e6, bragg_angle(38.688, ratio), 0.1, 0.5, 6e5, 200.0, -15.0};
  std::mt19937_64 engine(13);
  const FitResult r = run(problem, test::poisson_counts(test::expected_counts(problem, truth), engine), b.values());
  expect_recovers(problem, r, truth);
  EXPECT_NEAR(r.theta[0], 38.688, 0.01);
  EXPECT_DOUBLE_EQ(r.theta[4], bragg_angle(r.theta[0], ratio));
}

TEST(ModelFit, ParameterDrivenOntoItsBoundLeavesTheCovariance) {
  // Lorentzian data fitted by a pseudo-Voigt whose Gaussian fraction may not fall below 0.2: it ends
  // on that bound, is reported so, and the other values and errors are those of the same fit with
  // the fraction fixed at 0.2.
  ModelBuilder truth_model;
  truth_model.add(LorentzianTerm::kKind, {60.0, 5.0, 2e5});
  truth_model.add(TermKind::kConstant, {30.0});
  const std::vector<double> x = test::grid(20.0, 0.2, 400);
  std::mt19937_64 engine(17);
  const std::vector<double> counts =
      test::poisson_counts(test::expected_counts(truth_model.build(x), truth_model.values()), engine);
  ModelBuilder pv;
  pv.add(PseudoVoigtTerm::kKind, {61.0, 6.0, 0.4, 1.7e5});
  pv.bound(1, 1e-6, HUGE_VAL);
  pv.bound(2, 0.2, 1.0);
  pv.add(TermKind::kConstant, {35.0});
  const FitResult r = run(pv.build(x), counts, pv.values());
  ASSERT_EQ(r.status, FitStatus::kConverged) << fit_status_message(r.status);
  EXPECT_EQ(r.theta[2], 0.2);
  EXPECT_TRUE(r.at_bound[2]);
  const std::size_t p = r.theta.size();
  for (std::size_t j = 0; j < p; ++j) {
    EXPECT_EQ(r.covariance[2 * p + j], 0.0);
    if (j != 2) {
      EXPECT_FALSE(r.at_bound[j]);
    }
  }
  ModelBuilder held = pv;
  held.parameters[2].value = 0.2;
  held.fix(2);
  const FitResult f = run(held.build(x), counts, held.values());
  ASSERT_EQ(f.status, FitStatus::kConverged);
  for (std::size_t j : {0, 1, 3, 4}) {
    EXPECT_NEAR(r.theta[j], f.theta[j], 1e-3 * stderr_of(f, j)) << j;
    EXPECT_NEAR(stderr_of(r, j), stderr_of(f, j), 1e-4 * stderr_of(f, j)) << j;
  }
}

TEST(ModelFit, AxesFarFromZeroAndCountsFromOneToABillion) {
  struct Case {
    double offset, area, level;
  };
  // Sparse counts (mostly 0 and 1), ordinary ones, and 1e9 per channel at the peak.
  const Case cases[] = {{5.0e4, 300.0, 0.3}, {1.0e5, 2.0e4, 20.0}, {3.0e4, 3.0e10, 1.0e6}};
  std::mt19937_64 engine(19);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.area);
    ModelBuilder b;
    b.add(LorentzianTerm::kKind, {c.offset + 0.6, 3.6, 0.85 * c.area});
    b.bound(1, 1e-6, HUGE_VAL);
    b.add(GaussianTerm::kKind, {c.offset + 14.5, 2.4, 0.8 * c.area});
    b.bound(4, 1e-6, HUGE_VAL);
    b.add(TermKind::kConstant, {1.2 * c.level});
    const Problem problem = b.build(test::grid(c.offset - 30.0, 0.25, 240));
    const std::vector<double> truth = {c.offset, 3.0, c.area, c.offset + 15.0, 2.0, 0.7 * c.area, c.level};
    const FitResult r = run(problem, test::poisson_counts(test::expected_counts(problem, truth), engine), b.values());
    expect_recovers(problem, r, truth);
  }
}

TEST(ModelFit, FitsOnSeveralThreadsAreTheSameBits) {
  ModelBuilder b;
  b.add(VoigtTerm::kKind, {10.3, 0.6, 0.4, 900.0});
  b.bound(1, 1e-3, HUGE_VAL);
  b.bound(2, 0.0, HUGE_VAL);
  b.add(TermKind::kConstant, {4.0});
  const Problem problem = b.build(test::grid(0.0, 0.1, 200));
  const std::vector<double> truth = {10.0, 0.5, 0.5, 1000.0, 3.0};
  std::mt19937_64 engine(23);
  std::vector<std::vector<double>> spectra;
  for (int s = 0; s < 8; ++s) spectra.push_back(test::poisson_counts(test::expected_counts(problem, truth), engine));
  std::vector<FitResult> serial, parallel(spectra.size());
  for (const auto& counts : spectra) serial.push_back(run(problem, counts, b.values()));
  auto worker = [&](std::size_t begin) {
    Workspace workspace(problem);
    for (std::size_t s = begin; s < spectra.size(); s += 2) {
      parallel[s] = fit(problem, spectra[s], b.values(), workspace, FitOptions{});
    }
  };
  std::thread one(worker, 0), two(worker, 1);
  one.join();
  two.join();
  for (std::size_t s = 0; s < spectra.size(); ++s) {
    EXPECT_EQ(serial[s].theta, parallel[s].theta);
    EXPECT_EQ(serial[s].iterations, parallel[s].iterations);
  }
}

TEST(ModelFit, EveryStatus) {
  const std::vector<double> x = test::grid(0.0, 1.0, 50);
  std::vector<double> counts(50, 3.0);
  {
    // A Gaussian alone, started so narrow that channels with counts expect none.
    ModelBuilder b;
    b.add(GaussianTerm::kKind, {25.0, 0.05, 100.0});
    const FitResult r = run(b.build(x), counts, b.values());
    EXPECT_EQ(r.status, FitStatus::kNonFiniteStart);
    EXPECT_TRUE(std::isnan(r.deviance));
  }
  ModelBuilder flat;
  flat.add(GaussianTerm::kKind, {25.0, 4.0, 100.0});
  flat.bound(1, 1e-6, HUGE_VAL);
  flat.add(TermKind::kConstant, {1.0});
  const Problem problem = flat.build(x);
  {
    const FitResult r = run(problem, counts, flat.values(), 1);
    EXPECT_EQ(r.status, FitStatus::kIterationLimit);
    EXPECT_EQ(r.iterations, 1u);
  }
  {
    // A tolerance of 0 cannot be met: the iteration goes on until no step lowers the deviance any
    // more, at the optimum's rounding.
    std::mt19937_64 engine(29);
    const std::vector<double> noisy = test::poisson_counts(test::expected_counts(problem, std::vector<double>{25.0, 3.0, 200.0, 3.0}), engine);
    Workspace workspace(problem);
    FitOptions options;
    options.tolerance = 0.0;
    options.max_iterations = 1000;
    const FitResult stalled = fit(problem, noisy, flat.values(), workspace, options);
    const FitResult converged = fit(problem, noisy, flat.values(), workspace, FitOptions{});
    EXPECT_EQ(stalled.status, FitStatus::kStalled);
    EXPECT_LT(stalled.iterations, 1000u);
    ASSERT_EQ(converged.status, FitStatus::kConverged);
    for (std::size_t j = 0; j < 4; ++j) {
      EXPECT_NEAR(stalled.theta[j], converged.theta[j], 1e-3 * stderr_of(converged, j));
    }
  }
  {
    Workspace workspace(problem);
    std::atomic<bool> stop{true};
    FitOptions options;
    options.stop = &stop;
    EXPECT_EQ(fit(problem, counts, flat.values(), workspace, options).status, FitStatus::kInterrupted);
  }
  {
    // Ctrl-C: the process-wide request unwinds the fit (its caller raises KeyboardInterrupt);
    // once withdrawn, the same fit runs to its optimum as before.
    Workspace workspace(problem);
    const FitResult before = fit(problem, counts, flat.values(), workspace, FitOptions{});
    request_interrupt();
    EXPECT_THROW(fit(problem, counts, flat.values(), workspace, FitOptions{}), Interrupted);
    clear_interrupt();
    const FitResult after = fit(problem, counts, flat.values(), workspace, FitOptions{});
    EXPECT_EQ(after.status, before.status);
    EXPECT_EQ(after.theta, before.theta);
  }
  {
    // Two equal user rows: their amplitudes' sum is determined, not each.
    ModelBuilder b;
    b.add(TermKind::kUserRows, {1.0, 1.0});
    b.rows = {std::vector<double>(50, 1.0), std::vector<double>(50, 1.0)};
    const FitResult r = run(b.build(x), counts, b.values());
    EXPECT_EQ(r.status, FitStatus::kSingularInformation);
    EXPECT_NEAR(r.theta[0] + r.theta[1], 3.0, 1e-6);
    EXPECT_TRUE(std::isnan(r.covariance[0]));
  }
  // Bad counts and starts are refused by name.
  auto message = [&](const std::vector<double>& y, const std::vector<double>& start) -> std::string {
    try {
      run(problem, y, start);
    } catch (const ModelError& e) {
      return e.what();
    }
    return "";
  };
  std::vector<double> negative = counts;
  negative[7] = -1.0;
  EXPECT_NE(message(negative, flat.values()).find("counts[7]"), std::string::npos);
  EXPECT_NE(message(std::vector<double>(49, 1.0), flat.values()).find("counts has 49"), std::string::npos);
  std::vector<double> outside = flat.values();
  outside[1] = -1.0;
  EXPECT_NE(message(counts, outside).find("value[1]"), std::string::npos);
}

}  // namespace
}  // namespace brivane::model
