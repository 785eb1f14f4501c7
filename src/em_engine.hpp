#pragma once
// The EM iteration shared by every mixture fit: the definition of run_em (em_shape.hpp), which a
// shape's unit includes to instantiate its mixture entry.
//
// A shape plugs in through the EmShape concept. The skeleton owns the density and weight matrices,
// the background rows, the E-step, the Dirichlet weight update, the stopping rule and the
// histories.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "background.hpp"
#include "em_gamma_ll.hpp"
#include "em_shape.hpp"
#include "matrix.hpp"
#include "parallel.hpp"

namespace brivane {

// Small problems finish faster on the calling thread than a hand-off to the pool takes: below
// this many density entries (peaks times samples) the per-peak work of an iteration, and below
// this many samples the E-step, stay on the calling thread.
inline constexpr std::size_t kParallelWorkThreshold = 4096;
inline constexpr std::size_t kParallelSamplesThreshold = 1024;
inline constexpr std::size_t kDensityPieceSamples = 1024;

template <EmShape Shape>
EmResult run_em(Shape& shape, std::vector<double>& pi, const EmProblem& problem) {
  const std::size_t n = problem.x.size();
  const std::size_t peaks = shape.count();
  const std::size_t components =
      peaks + background_row_count(problem.bg_type, problem.spline_basis_preds);
  RowMatrix densities(components, n);
  // Row k holds intensity * responsibility of component k after each E-step.
  RowMatrix weights(components, n);
  std::vector<double> mixture(n);
  std::vector<double> expected_counts(pi.size(), 0.0);
  std::vector<double> scratch(n);
  std::vector<typename Shape::Parameters> refitted(peaks);

  EmResult result;
  result.s_tri = problem.s_tri;
  const std::size_t reserve = static_cast<std::size_t>(std::min<std::uint64_t>(problem.max_iter, 4096)) + 1;
  result.log_likelihood.reserve(reserve);
  result.relative_change.reserve(reserve);

  const bool parallel = Shape::kParallel && peaks * n >= kParallelWorkThreshold;
  auto for_each_peak = [&](auto&& task) {
    if (parallel) {
      run_tasks(peaks, task);
    } else {
      run_tasks_sequentially(peaks, task);
    }
  };
  // A density that is computed sample by sample is also split along the grid, so that both
  // cores stay busy when the peaks do not divide evenly among them.
  const std::size_t pieces =
      Shape::kElementwiseDensity && parallel ? (n + kDensityPieceSamples - 1) / kDensityPieceSamples : 1;
  const std::size_t piece_length = pieces > 1 ? (n + pieces - 1) / pieces : n;
  auto evaluate_densities = [&] {
    shape.check_density_inputs();
    if (pieces > 1) {
      run_tasks(peaks * pieces, [&](std::size_t task) {
        const std::size_t k = task / pieces;
        const std::size_t begin = (task % pieces) * piece_length;
        const std::size_t length = std::min(n, begin + piece_length) - begin;
        shape.density(k, problem.x.subspan(begin, length), problem.window,
                      densities.row(k).subspan(begin, length));
      });
    } else {
      for_each_peak([&](std::size_t k) { shape.density(k, problem.x, problem.window, densities.row(k)); });
    }
    background_densities(densities, peaks, problem.bg_type, problem.x, problem.window.min,
                         problem.window.max, result.s_tri, problem.spline_basis_preds);
  };
  auto e_step = [&] {
    return weights_and_log_likelihood(problem.intensity, densities, pi, mixture, weights,
                                      expected_counts, scratch, n >= kParallelSamplesThreshold);
  };

  evaluate_densities();
  double previous = e_step();
  result.log_likelihood.push_back(previous);
  result.relative_change.push_back(0.0);

  while (result.iterations < problem.max_iter) {
    update_mixing_weights_from_counts(pi, expected_counts, weights.rows(), problem.dirichlet_alpha);

    shape.check_refit_inputs();
    for_each_peak([&](std::size_t k) {
      // The density row of k is free until the densities are evaluated again: it serves as the
      // refit's working row.
      refitted[k] = shape.refit(k, problem.x, weights.row(k), problem.window, densities.row(k));
    });
    for (std::size_t k = 0; k < peaks; ++k) shape.store(k, refitted[k]);

    if (problem.bg_type == kLinearBackground) {
      result.s_tri = estimate_s_tri(problem.x, weights.row(peaks), problem.window.min, problem.window.max);
    }

    evaluate_densities();
    const double current = e_step();
    const double relative = (current - previous) / std::fabs(previous);
    result.log_likelihood.push_back(current);
    result.relative_change.push_back(relative);
    ++result.iterations;
    previous = current;
    if (std::fabs(relative) < problem.r_eps) break;
  }
  return result;
}

}  // namespace brivane
