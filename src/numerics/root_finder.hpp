#pragma once
// Scalar root finding by Brent's method.

#include <cmath>
#include <string_view>
#include <utility>

#include "interrupt.hpp"

namespace brivane {

enum class RootStatus { Converged, NoBracketing, NoConvergency };

// The name a caller reports for a failed search: "NoBracketing" or "NoConvergency".
std::string_view root_status_name(RootStatus status);

struct RootResult {
  double root = 0.0;  // meaningful only when status is Converged
  RootStatus status = RootStatus::Converged;
  bool converged() const { return status == RootStatus::Converged; }
};

inline constexpr int kRootFinderMaxSteps = 100;

// Finds a zero of f between `first_end` and `second_end` by Brent's method in its textbook form
// (inverse quadratic interpolation, secant step, bisection guarded by a flag recording whether the
// previous step bisected; Brent 1973, ch. 4). `tolerance` is absolute and serves both as the
// function-value test and as the bracket-width test, which run at the start of every step in the
// order |f(a)|, |f(b)|, |a - b|. Same-sign ends give NoBracketing (a zero end passes); a spent budget
// of 100 steps gives NoConvergency. NaN values fail every comparison, so a NaN end does not trigger
// NoBracketing and a NaN point is never returned. Never throws (unless f does), but for an interrupt (interrupt.hpp).
template <class F>
RootResult find_root(F&& f, double first_end, double second_end, double tolerance) {
  const double u1 = f(first_end);
  const double u2 = f(second_end);
  double a, fa, b, fb;
  if (std::fabs(u1) > std::fabs(u2)) {
    a = first_end, fa = u1, b = second_end, fb = u2;
  } else {
    a = second_end, fa = u2, b = first_end, fb = u1;
  }
  if (u1 * u2 > 0.0) return {0.0, RootStatus::NoBracketing};

  double c = a, fc = fa, d = a;
  bool bisected = true;
  for (int step = 0; step < kRootFinderMaxSteps; ++step) {
    check_interrupt();
    if (std::fabs(fa) < tolerance) return {a, RootStatus::Converged};
    if (std::fabs(fb) < tolerance) return {b, RootStatus::Converged};
    if (std::fabs(a - b) < tolerance) return {c, RootStatus::Converged};

    double s;
    if (fa != fc && fb != fc) {
      s = a * fb * fc / ((fa - fb) * (fa - fc)) + b * fa * fc / ((fb - fa) * (fb - fc)) +
          c * fa * fb / ((fc - fa) * (fc - fb));
    } else {
      s = b - fb * (b - a) / (fb - fa);
    }

    const bool outside = (s - (3.0 * a + b) / 4.0) * (s - b) > 0.0;
    const bool slow = bisected ? std::fabs(s - b) >= std::fabs(b - c) / 2.0
                               : std::fabs(s - b) >= std::fabs(c - d) / 2.0;
    const bool tiny = bisected ? std::fabs(b - c) < tolerance : std::fabs(c - d) < tolerance;
    if (outside || slow || tiny) {
      s = (a + b) / 2.0;
      bisected = true;
    } else {
      bisected = false;
    }

    const double fs = f(s);
    d = c;
    c = b;
    fc = fb;
    if (fa * fs < 0.0) {
      b = s, fb = fs;
    } else {
      a = s, fa = fs;
    }
    if (!(std::fabs(fa) > std::fabs(fb))) {
      std::swap(a, b);
      std::swap(fa, fb);
    }
  }
  return {0.0, RootStatus::NoConvergency};
}

}  // namespace brivane
