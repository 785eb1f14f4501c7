#include "numerics/lbfgsb.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "numerics/bounds.hpp"

namespace brivane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
using Vector = std::vector<double>;

// The problems of reference/make_lbfgsb_table.py, by index.
double rosenbrock(std::span<const double> x, Vector& g) {
  g.assign(x.size(), 0.0);
  double f = 0.0;
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    const double a = x[i + 1] - x[i] * x[i], b = 1.0 - x[i];
    f += 100.0 * a * a + b * b;
    g[i] += -400.0 * x[i] * a - 2.0 * b;
    g[i + 1] += 200.0 * a;
  }
  return f;
}

double shifted_quadratic(std::span<const double> x, Vector& g) {
  const double c[] = {3.0, -2.0, 0.5}, a[] = {1.0, 4.0, 0.25};
  g.resize(3);
  double f = 0.0;
  for (int i = 0; i < 3; ++i) {
    f += a[i] * (x[i] - c[i]) * (x[i] - c[i]);
    g[i] = 2.0 * a[i] * (x[i] - c[i]);
  }
  return f;
}

double coupled_quadratic(std::span<const double> x, Vector& g) {
  g = {2.0 * (x[0] - 2.0) + x[1] + 0.4 * std::pow(x[0], 3), 2.0 * (x[1] + 1.0) + x[0]};
  return (x[0] - 2.0) * (x[0] - 2.0) + (x[1] + 1.0) * (x[1] + 1.0) + x[0] * x[1] + 0.1 * std::pow(x[0], 4);
}

double beale(std::span<const double> x, Vector& g) {
  const double a = 1.5 - x[0] + x[0] * x[1];
  const double b = 2.25 - x[0] + x[0] * x[1] * x[1];
  const double c = 2.625 - x[0] + x[0] * x[1] * x[1] * x[1];
  g = {2 * a * (x[1] - 1) + 2 * b * (x[1] * x[1] - 1) + 2 * c * (x[1] * x[1] * x[1] - 1),
       2 * a * x[0] + 4 * b * x[0] * x[1] + 6 * c * x[0] * x[1] * x[1]};
  return a * a + b * b + c * c;
}

double lorentzian_nll(std::span<const double> p, Vector& g) {
  double f = 0.0, g0 = 0.0, g1 = 0.0;
  for (int i = 0; i <= 40; ++i) {
    const double xs = -5.0 + 10.0 * i / 40.0;
    const double w = 10.0 / (1.0 + std::pow((xs - 0.7) / 1.3, 2));
    const double r2 = (xs - p[0]) * (xs - p[0]) + p[1] * p[1];
    f -= w * std::log(p[1] / std::numbers::pi / r2);
    g0 -= w * 2.0 * (xs - p[0]) / r2;
    g1 -= w * (1.0 / p[1] - 2.0 * p[1] / r2);
  }
  g = {g0, g1};
  return f;
}

double problem(int index, std::span<const double> x, Vector& g) {
  switch (index) {
    case 0: case 1: case 4: return rosenbrock(x, g);
    case 2: case 8: return shifted_quadratic(x, g);
    case 3: return coupled_quadratic(x, g);
    case 5: case 6: return beale(x, g);
    case 7: return lorentzian_nll(x, g);
  }
  return std::nan("");
}

struct ReferenceCase {
  int problem;
  Vector start, lower, upper, scipy_optimum;
};

const ReferenceCase kReference[] = {
#include "reference/lbfgsb_table.inc"
};

MinimiserResult expect_result(const MinimiseOutcome& outcome) {
  if (const std::string* error = std::get_if<std::string>(&outcome)) {
    ADD_FAILURE() << "unexpected error: " << *error;
    return {};
  }
  return std::get<MinimiserResult>(outcome);
}

TEST(Lbfgsb, AgreesWithScipyOnBoundConstrainedProblems) {
  // Both stop at a projected gradient of 1e-5; on these problems that places the optimum within
  // 2e-5 of the true one, so the two may differ by twice that.
  double worst = 0.0;
  for (const ReferenceCase& c : kReference) {
    auto objective = [&](std::span<const double> x, Vector& g) {
      for (std::size_t i = 0; i < x.size(); ++i) {
        EXPECT_GE(x[i], c.lower[i]);
        EXPECT_LE(x[i], c.upper[i]);
      }
      return problem(c.problem, x, g);
    };
    const MinimiserResult r = expect_result(minimise_bounded(objective, c.start, c.lower, c.upper));
    ASSERT_EQ(r.x.size(), c.start.size());
    EXPECT_EQ(r.reason, StopReason::Converged) << "problem " << c.problem;
    for (std::size_t i = 0; i < r.x.size(); ++i) {
      EXPECT_NEAR(r.x[i], c.scipy_optimum[i], 4e-5) << "problem " << c.problem << " variable " << i;
      worst = std::max(worst, std::fabs(r.x[i] - c.scipy_optimum[i]));
    }
  }
  RecordProperty("worst_disagreement", std::to_string(worst));
  std::printf("worst disagreement with SciPy over %zu problems: %.3g\n", std::size(kReference), worst);
}

TEST(Lbfgsb, StartOutsideTheBoxIsMovedBeforeTheFirstEvaluation) {
  Vector seen;
  auto objective = [&](std::span<const double> x, Vector& g) {
    if (seen.empty()) seen.assign(x.begin(), x.end());
    return shifted_quadratic(x, g);
  };
  const Vector lower{0.0, 0.0, 0.0}, upper{1.0, 1.0, 1.0};
  const MinimiserResult r = expect_result(minimise_bounded(objective, {7.0, -3.0, 0.25}, lower, upper));
  EXPECT_EQ(seen, (Vector{1.0, 0.0, 0.25}));
  EXPECT_EQ(r.x[0], 1.0);  // the optimum sits exactly on the bounds
  EXPECT_EQ(r.x[1], 0.0);
}

TEST(Lbfgsb, ConvergedStartCostsExactlyOneEvaluation) {
  int evaluations = 0;
  auto objective = [&](std::span<const double> x, Vector& g) {
    ++evaluations;
    return shifted_quadratic(x, g);
  };
  // At (1, 0, 0.5) in the unit box the gradient points out of the box or vanishes.
  const Vector lower{0.0, 0.0, 0.0}, upper{1.0, 1.0, 1.0};
  const MinimiserResult r = expect_result(minimise_bounded(objective, {1.0, 0.0, 0.5}, lower, upper));
  EXPECT_EQ(evaluations, 1);
  EXPECT_EQ(r.iterations, 0u);
  EXPECT_EQ(r.reason, StopReason::Converged);
  EXPECT_EQ(r.x, (Vector{1.0, 0.0, 0.5}));
}

TEST(Lbfgsb, EqualBoundsHoldAVariableThroughout) {
  auto objective = [&](std::span<const double> x, Vector& g) {
    EXPECT_EQ(x[0], 0.5);
    return rosenbrock(x, g);
  };
  const MinimiserResult r =
      expect_result(minimise_bounded(objective, {2.0, 2.0, 0.0}, Vector{0.5, -3.0, -3.0}, Vector{0.5, 3.0, 3.0}));
  EXPECT_EQ(r.x[0], 0.5);
  EXPECT_NEAR(r.x[1], 0.2574257439725133, 4e-5);
}

TEST(Lbfgsb, BoundKindsFollowTheInfinities) {
  const Vector lower{-kInf, -kInf, 0.0, 1.0, 2.0}, upper{kInf, 3.0, kInf, 4.0, 2.0};
  const lbfgsb::Box box = lbfgsb::classify_bounds(lower, upper);
  EXPECT_EQ(box.kind[0], lbfgsb::BoundKind::Unbounded);
  EXPECT_EQ(box.kind[1], lbfgsb::BoundKind::UpperOnly);
  EXPECT_EQ(box.kind[2], lbfgsb::BoundKind::LowerOnly);
  EXPECT_EQ(box.kind[3], lbfgsb::BoundKind::Both);
  EXPECT_EQ(box.fixed, (std::vector<bool>{false, false, false, false, true}));
}

TEST(Lbfgsb, InputErrorsAreMessagesNotPoints) {
  int evaluations = 0;
  auto objective = [&](std::span<const double> x, Vector& g) {
    ++evaluations;
    return shifted_quadratic(x, g);
  };
  auto error_of = [](const MinimiseOutcome& o) {
    return std::holds_alternative<std::string>(o) ? std::get<std::string>(o) : std::string("no error");
  };
  EXPECT_EQ(error_of(minimise_bounded(objective, {0.0, 0.0, 0.0}, Vector{0.0, 0.0}, Vector{1.0, 1.0, 1.0})),
            "length mismatch between x and bounds");
  EXPECT_EQ(error_of(minimise_bounded(objective, {0.0, 0.0, 0.0}, Vector{0.0, 2.0, 0.0}, Vector{1.0, 1.0, 1.0})),
            "lower > upper for some index");
  EXPECT_EQ(evaluations, 0);
  auto short_gradient = [](std::span<const double>, Vector& g) {
    g.assign(1, 0.0);
    return 0.0;
  };
  EXPECT_EQ(error_of(minimise_bounded(short_gradient, {0.0, 0.0}, Vector{-1.0, -1.0}, Vector{1.0, 1.0})),
            "gradient length mismatch");
}

TEST(Lbfgsb, TrialPointsAreClampedOntoTheBound) {
  // A linear objective falls without end; every trial beyond the bound lands exactly on it.
  auto objective = [&](std::span<const double> x, Vector& g) {
    EXPECT_LE(x[0], 2.0);
    g = {-3.0};
    return -3.0 * x[0];
  };
  const MinimiserResult r = expect_result(minimise_bounded(objective, {0.1}, Vector{0.0}, Vector{2.0}));
  EXPECT_EQ(r.x[0], 2.0);
  EXPECT_EQ(r.reason, StopReason::Converged);
}

TEST(Lbfgsb, ExhaustedLineSearchReturnsTheLastAcceptedPoint) {
  // The slope never flattens where the objective is defined, and beyond x = 1 it is NaN: no trial
  // can pass the curvature test, so the start comes back after 1 + 50 evaluations.
  int evaluations = 0;
  auto objective = [&](std::span<const double> x, Vector& g) {
    ++evaluations;
    g = {x[0] <= 1.0 ? -1.0 : std::nan("")};
    return x[0] <= 1.0 ? -x[0] : std::nan("");
  };
  const MinimiserResult r = expect_result(minimise_bounded(objective, {0.0}, Vector{-kInf}, Vector{kInf}));
  EXPECT_EQ(r.reason, StopReason::LineSearchExhausted);
  EXPECT_EQ(r.x[0], 0.0);
  EXPECT_EQ(r.value, 0.0);
  EXPECT_EQ(evaluations, 51);
}

TEST(Lbfgsb, MinimumBetweenTwoAdjacentDoublesEndsTheRun) {
  // Curvature so high that the gradient is +-1.9e-5 at the two doubles around the minimum (the
  // tolerance 1e-5 cannot be met), with equal values there, as a high-count likelihood has it:
  // steps between those two doubles lower nothing, so the run must end, not swing between them
  // until the iteration limit.
  const double a = 836.5, ulp = std::nextafter(a, kInf) - a, curvature = 3.4e8;
  int evaluations = 0;
  auto objective = [&](std::span<const double> x, Vector& g) {
    ++evaluations;
    const double offset = (x[0] - a) - 0.5 * ulp;
    g = {curvature * offset};
    return 7.7e6 + 0.5 * curvature * offset * offset;
  };
  for (const double start : {836.0, 837.5, a, a + ulp}) {
    evaluations = 0;
    const MinimiserResult r = expect_result(minimise_bounded(objective, {start}, Vector{-kInf}, Vector{kInf}));
    EXPECT_TRUE(r.x[0] == a || r.x[0] == a + ulp) << start << " ended at " << r.x[0];
    EXPECT_EQ(r.reason, StopReason::LineSearchExhausted) << start;
    EXPECT_LT(evaluations, 200) << start;
  }
}

TEST(Lbfgsb, NaNStartIsReturnedAsItCame) {
  // A NaN start is not moved into the box. Bounded, its projected gradient has no number in it
  // and the run ends at once; unbounded, the gradient is a number here, and every trial point of
  // the first line search is NaN too.
  for (const double upper : {1.0, kInf}) {
    int evaluations = 0;
    auto objective = [&](std::span<const double> x, Vector& g) {
      ++evaluations;
      g = {-1.0};
      return -x[0];
    };
    const MinimiserResult r = expect_result(minimise_bounded(objective, {std::nan("")}, Vector{upper == kInf ? -kInf : 0.0}, Vector{upper}));
    EXPECT_TRUE(std::isnan(r.x[0])) << upper;
    EXPECT_EQ(r.reason, upper == kInf ? StopReason::LineSearchExhausted : StopReason::Converged) << upper;
    EXPECT_EQ(evaluations, upper == kInf ? 51 : 1) << upper;
  }
}

TEST(Lbfgsb, CopiedObjectiveRefCallsTheObjectiveItself) {
  // A copy of a non-const view must view the same objective, not wrap the view.
  int calls = 0;
  auto objective = [&](std::span<const double>, Vector& g) {
    ++calls;
    g = {0.0};
    return 1.0;
  };
  ObjectiveRef view(objective);
  ObjectiveRef copy(view);
  {
    ObjectiveRef inner(objective);
    copy = inner;  // would dangle if it wrapped `inner` rather than copying its target
  }
  Vector g;
  EXPECT_EQ(copy(Vector{0.0}, g), 1.0);
  EXPECT_EQ(calls, 1);
}

TEST(Lbfgsb, IterationLimitReturnsTheLastPoint) {
  auto objective = [](std::span<const double> x, Vector& g) { return rosenbrock(x, g); };
  MinimiserSettings settings;
  settings.max_iterations = 3;
  const MinimiserResult r =
      expect_result(minimise_bounded(objective, {-1.2, 1.0}, Vector{-kInf, -kInf}, Vector{kInf, kInf}, settings));
  EXPECT_EQ(r.reason, StopReason::IterationLimit);
  EXPECT_EQ(r.iterations, 3u);
  Vector g;
  EXPECT_EQ(rosenbrock(r.x, g), r.value);
  EXPECT_LT(r.value, 24.2);  // below the start's value
}

TEST(Lbfgsb, EveryVariableFixedIsConvergedAtTheStart) {
  int evaluations = 0;
  auto objective = [&](std::span<const double> x, Vector& g) {
    ++evaluations;
    return shifted_quadratic(x, g);
  };
  const MinimiserResult r =
      expect_result(minimise_bounded(objective, {0.0, 0.0, 0.0}, Vector{0.2, 0.3, 0.4}, Vector{0.2, 0.3, 0.4}));
  EXPECT_EQ(r.x, (Vector{0.2, 0.3, 0.4}));
  EXPECT_EQ(r.reason, StopReason::Converged);
  EXPECT_EQ(evaluations, 1);
}

TEST(Lbfgsb, NaNGradientLeavesNoDescentDirection) {
  auto objective = [](std::span<const double> x, Vector& g) {
    g = {std::nan(""), 1.0};
    return x[1];
  };
  const MinimiserResult r = expect_result(minimise_bounded(objective, {0.5, 0.5}, Vector{0.0, 0.0}, Vector{1.0, 1.0}));
  EXPECT_EQ(r.reason, StopReason::NoDescentDirection);
  EXPECT_EQ(r.x, (Vector{0.5, 0.5}));
}

}  // namespace
}  // namespace brivane

#include "numerics/lbfgs_memory.hpp"

namespace brivane {
namespace {

// B v for the compact matrix B = theta I - W M W^T.
Vector compact_times(const lbfgsb::LimitedMemory& memory, const Vector& v) {
  const lbfgsb::Dense& w = memory.w();
  const lbfgsb::Dense& m = memory.m();
  Vector wv(w.cols, 0.0), mwv(w.cols, 0.0), out(v.size());
  for (std::size_t j = 0; j < w.cols; ++j) {
    for (std::size_t i = 0; i < v.size(); ++i) wv[j] += w(i, j) * v[i];
  }
  for (std::size_t a = 0; a < w.cols; ++a) {
    for (std::size_t b = 0; b < w.cols; ++b) mwv[a] += m(a, b) * wv[b];
  }
  for (std::size_t i = 0; i < v.size(); ++i) {
    out[i] = memory.theta() * v[i];
    for (std::size_t j = 0; j < w.cols; ++j) out[i] -= w(i, j) * mwv[j];
  }
  return out;
}

TEST(LimitedMemory, StoresOnlyCurvaturePairsAndKeepsTheNewest) {
  lbfgsb::LimitedMemory memory(3);
  EXPECT_FALSE(memory.add(Vector{1.0, 0.0}, Vector{-1.0, 0.0}));     // s.y < 0
  EXPECT_FALSE(memory.add(Vector{1e-7, 0.0}, Vector{1e-6, 0.0}));    // s.y = 1e-13 <= 1e-12
  EXPECT_EQ(memory.size(), 0u);
  EXPECT_EQ(memory.theta(), 1.0);
  // A quadratic with Hessian [[4, 1], [1, 3]]: y = A s for every pair.
  const double a[2][2] = {{4.0, 1.0}, {1.0, 3.0}};
  const Vector steps[] = {{1.0, 0.0}, {0.0, 1.0}, {1.0, 1.0}, {1.0, -2.0}, {0.3, 0.7}};
  for (const Vector& s : steps) {
    const Vector y{a[0][0] * s[0] + a[0][1] * s[1], a[1][0] * s[0] + a[1][1] * s[1]};
    ASSERT_TRUE(memory.add(s, y));
    EXPECT_LE(memory.size(), 3u);
    EXPECT_NEAR(memory.theta(), (y[0] * y[0] + y[1] * y[1]) / (s[0] * y[0] + s[1] * y[1]), 1e-15);
    // Both representations satisfy the secant equation of the newest pair: B s = y, H y = s.
    const Vector bs = compact_times(memory, s);
    EXPECT_NEAR(bs[0], y[0], 1e-12);
    EXPECT_NEAR(bs[1], y[1], 1e-12);
    const Vector hy = memory.two_loop_direction(y);  // -H y
    EXPECT_NEAR(-hy[0], s[0], 1e-12);
    EXPECT_NEAR(-hy[1], s[1], 1e-12);
  }
  // The memory holds the three newest pairs: the oldest pair left (W has 2 x 3 columns).
  EXPECT_EQ(memory.w().cols, 6u);
}

// The pairs are kept in a ring that is overwritten oldest first and reused after clear(): a
// memory that has wrapped around, been cleared or changed length must hold, to the bit, what a
// new memory given only its newest pairs holds.
void expect_same_memory(const lbfgsb::LimitedMemory& used, const lbfgsb::LimitedMemory& fresh) {
  EXPECT_EQ(used.size(), fresh.size());
  EXPECT_EQ(used.theta(), fresh.theta());
  EXPECT_EQ(used.valid(), fresh.valid());
  EXPECT_EQ(used.w().rows, fresh.w().rows);
  EXPECT_EQ(used.w().a, fresh.w().a);
  EXPECT_EQ(used.m().a, fresh.m().a);
}

TEST(LimitedMemory, ReusedStorageHoldsWhatAFreshMemoryHolds) {
  auto pair = [](std::size_t length, int k) {
    Vector s(length), y(length);
    for (std::size_t i = 0; i < length; ++i) {
      s[i] = std::sin(1.0 + 0.7 * k + 0.3 * static_cast<double>(i));
      y[i] = (2.0 + static_cast<double>(i)) * s[i] + 0.1 * std::cos(0.5 * k);
    }
    return std::pair{s, y};
  };
  lbfgsb::LimitedMemory used(3);
  Vector g{0.3, -1.2, 0.8, 2.0};
  for (int k = 0; k < 8; ++k) {  // wraps around the ring twice and a bit
    const auto [s, y] = pair(4, k);
    ASSERT_TRUE(used.add(s, y));
    lbfgsb::LimitedMemory fresh(3);
    for (int j = std::max(0, k - 2); j <= k; ++j) {
      const auto [sj, yj] = pair(4, j);
      ASSERT_TRUE(fresh.add(sj, yj));
    }
    expect_same_memory(used, fresh);
    Vector into(7, 99.0);  // a longer vector with old contents is rewritten whole
    used.two_loop_direction(g, into);
    EXPECT_EQ(into, fresh.two_loop_direction(g));
  }
  used.clear();
  expect_same_memory(used, lbfgsb::LimitedMemory(3));
  EXPECT_EQ(used.two_loop_direction(g), (Vector{-0.3, 1.2, -0.8, -2.0}));
  const auto [s2, y2] = pair(4, 11);
  ASSERT_TRUE(used.add(s2, y2));
  lbfgsb::LimitedMemory fresh(3);
  ASSERT_TRUE(fresh.add(s2, y2));
  expect_same_memory(used, fresh);
  // Pairs of another length start the memory again.
  const auto [s3, y3] = pair(2, 5);
  ASSERT_TRUE(used.add(s3, y3));
  lbfgsb::LimitedMemory fresh_short(3);
  ASSERT_TRUE(fresh_short.add(s3, y3));
  expect_same_memory(used, fresh_short);
  EXPECT_EQ(used.w().rows, 2u);
}

}  // namespace
}  // namespace brivane

namespace brivane {
namespace {

struct QuadraticCase {
  Vector a, b, start, lower, upper, scipy_optimum;
};

const QuadraticCase kQuadratics[] = {
#include "reference/lbfgsb_quadratics.inc"
};

TEST(Lbfgsb, AgreesWithScipyOnRandomBoxConstrainedQuadratics) {
  // Strictly convex, so the optimum is unique; the smallest eigenvalue is at least 0.1, and a
  // projected gradient of 1e-5 then places either solver within 1e-4 of it.
  double worst = 0.0;
  for (const QuadraticCase& c : kQuadratics) {
    auto objective = [&](std::span<const double> x, Vector& g) {
      g.assign(3, 0.0);
      double f = 0.0;
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) g[i] += c.a[3 * i + j] * x[j];
        f += 0.5 * x[i] * g[i] - c.b[i] * x[i];
        g[i] -= c.b[i];
      }
      return f;
    };
    const MinimiserResult r = expect_result(minimise_bounded(objective, c.start, c.lower, c.upper));
    EXPECT_EQ(r.reason, StopReason::Converged);
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(r.x[i], c.scipy_optimum[i], 2e-4);
      worst = std::max(worst, std::fabs(r.x[i] - c.scipy_optimum[i]));
    }
  }
  std::printf("worst disagreement with SciPy over %zu quadratics: %.3g\n", std::size(kQuadratics), worst);
}

}  // namespace
}  // namespace brivane
