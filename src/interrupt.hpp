#pragma once
// A request to stop every running computation of the process (Ctrl-C), and the check that long
// loops make for it.
//
// The request is one lock-free atomic flag: setting it is safe from a signal handler, and reading
// it is a relaxed load and a branch, cheap enough to make once per iteration of every loop that
// can run long (EM iterations, minimiser steps and objective calls, root-finder steps, the mixing
// search's passes) and once per chunk of a pass over the samples, so that even one pass over a
// huge grid stops within a chunk. A check that finds the flag set throws Interrupted, which
// unwinds through the pool (a task's exception is carried to the thread that waits for it) to
// whoever made the request; results computed so far are dropped and nothing is written back.
// The core never clears the flag: the one who set it does, once the computations it meant to stop
// have ended.

#include <atomic>

namespace brivane {

// Thrown by check_interrupt. Deliberately not a std::exception, so that no handler of ordinary
// failures mistakes it for one and carries on.
struct Interrupted {};

namespace interrupt_detail {
inline std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");
}  // namespace interrupt_detail

// Asks every running computation to stop. Async-signal-safe.
inline void request_interrupt() noexcept { interrupt_detail::requested.store(true, std::memory_order_relaxed); }

// Withdraws the request, for the next computations.
inline void clear_interrupt() noexcept { interrupt_detail::requested.store(false, std::memory_order_relaxed); }

inline bool interrupt_requested() noexcept { return interrupt_detail::requested.load(std::memory_order_relaxed); }

[[noreturn, gnu::cold, gnu::noinline]] inline void throw_interrupted() { throw Interrupted{}; }

// Throws Interrupted when a stop has been requested. A build with BRIVANE_NO_INTERRUPT_CHECKS
// (the baseline of bench/bench_interrupt.py, which measures what the checks cost) checks nothing.
inline void check_interrupt() {
#ifndef BRIVANE_NO_INTERRUPT_CHECKS
  if (interrupt_requested()) [[unlikely]] throw_interrupted();
#endif
}

}  // namespace brivane
