#pragma once
// Fits of many spectra against one problem: every spectrum shares the model, the channels and the
// bounds, and differs only in its counts and its start. The spectra are shared among the oneTBB
// pool one per task; inside a task the fit runs serially on that worker's own Workspace, so the
// pool is never oversubscribed and a spectrum's result does not depend on which worker fitted it,
// nor on how many there are.
//
// Neighbour starts (as map users fit maps) follow a fixed order: the spectra form rows of
// `neighbour_columns`; the first row is fitted left to right, each spectrum from the one before
// it, and every later row is one wave, fitted in parallel, each spectrum from the one above it.
// A neighbour whose fit failed (or did not converge) passes on nothing: that spectrum starts from
// its own given start. The order depends only on the shape of the map, never on the threads.
//
// A spectrum that cannot be fitted (counts negative or not finite, a start outside the bounds,
// any failure inside its fit) is reported in its own status and never stops the others.

#include <cstddef>
#include <cstdint>
#include <span>

#include "model/problem.hpp"
#include "model/solver.hpp"

namespace brivane::model {

// Statuses beyond a single fit's (FitStatus 0-5).
inline constexpr std::int32_t kBatchBadCounts = 6;  // counts negative or not finite: not fitted
inline constexpr std::int32_t kBatchBadStart = 7;   // the start is not finite or lies outside the bounds
inline constexpr std::int32_t kBatchFailed = 8;     // the fit failed (an internal error): not fitted

struct BatchOptions {
  FitOptions fit;
  std::size_t threads = 0;            // 0: the calling thread's arena (the process's pool and its limit)
  std::size_t neighbour_columns = 0;  // 0: each spectrum from its own start; else the row length
};

// Where the results go, S spectra of n channels and P parameters, row-major, sized by the caller.
// A spectrum not fitted gets NaN values and covariance, no bound flags, zero iterations.
struct BatchOutput {
  std::span<double> theta;             // S x P
  std::span<double> covariance;        // S x P x P
  std::span<unsigned char> at_bound;   // S x P
  std::span<double> log_likelihood;    // S
  std::span<double> deviance;          // S
  std::span<double> chi_square;        // S: Pearson's, at the result (as fit() gives it)
  std::span<double> iterations;        // S
  std::span<std::int32_t> status;      // S
  // S x n: the model's counts per channel at the result, each the sum of the terms' counts taken
  // in term order (the same sum a caller forms from evaluate_model's per-term values); empty when
  // not wanted.
  std::span<double> expected;
};

// Fits the S = counts.size() / n spectra of `counts` (S x n) from `starts` (S x P: each row one
// spectrum's start, read as fit() reads its start). Throws ModelError only when the sizes do not
// agree (or neighbour_columns does not divide S); everything about one spectrum is its status.
void fit_many(const Problem& problem, std::span<const double> counts, std::span<const double> starts,
              const BatchOptions& options, const BatchOutput& output);

}  // namespace brivane::model
