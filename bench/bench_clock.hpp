#pragma once
// Clocks of the C++ benchmarks: seconds on the wall clock, for the pool's work, or on this thread's
// CPU clock, for work that runs on this thread alone (other processes on the machine do not
// inflate it), and the best time per call over several rounds.

#include <time.h>

#include <chrono>
#include <cmath>

inline double wall_clock() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
inline double thread_clock() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The best of `repeats` rounds of `calls` calls of f, in seconds per call.
template <class F>
double best_seconds(int repeats, int calls, F&& f, double (*clock)() = wall_clock) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const double begin = clock();
    for (int c = 0; c < calls; ++c) f();
    best = std::fmin(best, (clock() - begin) / calls);
  }
  return best;
}

// Results are written here so that the compiler keeps the work that forms them.
inline volatile double sink = 0.0;
