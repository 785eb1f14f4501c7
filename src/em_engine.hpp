#pragma once
// The EM iteration shared by every mixture fit: the definition of run_em (em_shape.hpp), which a
// shape's unit includes to instantiate its mixture entry.
//
// A shape plugs in through the EmShape concept. The skeleton owns the background rows, the E-step,
// the Dirichlet weight update, the stopping rule and the histories. It runs one of two iterations:
// - a shape with a fused pass (FusedEmShape, closed-form refits) makes one pass over the data per
//   iteration: densities, mixture, log-likelihood, expected counts and the refits' sums, block by
//   block; no density or weight row is stored, and the pool's threads are held for the whole
//   loop rather than handed each pass afresh;
// - every other shape keeps density and weight rows: its refits run as tasks (minimisations that
//   read the weight rows), then one pass forms the densities (chunk by chunk when the density is
//   elementwise, otherwise row by row first), the E-step and the sums.
// Every sum over samples runs in the chunk order of ChunkedSums, so results do not depend on the
// number of threads.
//
// Both iterations end early, without reaching max_iter or r_eps, in three cases:
// - an E-step without weight (the expected counts sum to 0: no counts, an empty grid, densities
//   that vanish at every sample) or without a log-likelihood leaves nothing to refit from: the
//   iteration is not taken, and the values it started from (the caller's, at the first) are the
//   result;
// - an iteration whose log-likelihood is NaN is undone: its entry ends the histories, so the caller
//   sees why the loop stopped, but the values returned are the last ones whose log-likelihood was
//   a number (counts of 5e-324, whose weight the responsibilities round away, make the weight
//   update divide 0 by 0, and everything after it would be NaN);
// - an iteration whose relative change is NaN while its log-likelihood is a number (an infinite
//   log-likelihood twice) ends the loop as convergence does, since no later change could be told.
// Every iteration starts with an interrupt check (interrupt.hpp).

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "background.hpp"
#include "em_gamma_ll.hpp"
#include "em_shape.hpp"
#include "interrupt.hpp"
#include "matrix.hpp"
#include "parallel.hpp"

namespace brivane {

// Small problems finish faster on the calling thread than a hand-off to the pool takes: below
// this many density entries (peaks times samples) the per-peak tasks stay on the calling thread.
// Passes over the samples share their chunks among the pool when there is more than one.
inline constexpr std::size_t kParallelWorkThreshold = 4096;

namespace em_detail {

inline EmResult start_result(const EmProblem& problem) {
  EmResult result;
  result.s_tri = problem.s_tri;
  const std::size_t reserve = static_cast<std::size_t>(std::min<std::uint64_t>(problem.max_iter, 4096)) + 1;
  result.log_likelihood.reserve(reserve);
  result.relative_change.reserve(reserve);
  return result;
}

// Appends one E-step's log-likelihood and its relative change; true when the change is small
// enough to stop, or is not a number.
inline bool record(EmResult& result, double& previous, double current, double r_eps) {
  const double relative = (current - previous) / std::fabs(previous);
  result.log_likelihood.push_back(current);
  result.relative_change.push_back(relative);
  ++result.iterations;
  previous = current;
  return std::fabs(relative) < r_eps || std::isnan(relative);
}

// Whether an E-step's expected counts carry any weight.
inline bool has_weight(std::span<const double> expected_counts) {
  double total = 0.0;
  for (double count : expected_counts) total += count;
  return total != 0.0;
}

// What an iteration changes (every peak's values, the mixing weights and the tilt), kept from its
// start so that an iteration can be undone. The weights are kept before their update, the values
// once the refits' size checks have passed (a shape's densities may not read every array).
template <class Shape>
class IterationStart {
 public:
  IterationStart(std::size_t peaks, std::size_t weights) : values_(peaks), pi_(weights) {}

  void keep_weights(std::span<const double> pi, double s_tri) {
    std::copy(pi.begin(), pi.end(), pi_.begin());
    s_tri_ = s_tri;
  }

  void keep_values(const Shape& shape) {
    for (std::size_t k = 0; k < values_.size(); ++k) values_[k] = shape.current(k);
  }

  void restore(Shape& shape, std::span<double> pi, double& s_tri) const {
    for (std::size_t k = 0; k < values_.size(); ++k) shape.store(k, values_[k]);
    std::copy(pi_.begin(), pi_.end(), pi.begin());
    s_tri = s_tri_;
  }

 private:
  std::vector<typename Shape::Parameters> values_;
  std::vector<double> pi_;
  double s_tri_ = 0.0;
};

// Where a fused pass leaves its sums: [0] the log-likelihood, [1 + k] the expected count of
// component k < P, then kPeakSums sums for each peak k < min(K, P); a peak beyond them has no
// weight and sums of zero.
template <std::size_t kPeakSums>
struct FusedSumsLayout {
  std::size_t weights;
  std::size_t summed_peaks;
  std::array<double, kPeakSums> none{};

  std::size_t count() const { return 1 + weights + kPeakSums * summed_peaks; }
  std::span<const double> peak_sums(std::span<const double> from, std::size_t k) const {
    if (k >= summed_peaks) return none;
    return from.subspan(1 + weights + kPeakSums * k, kPeakSums);
  }
  double weight_sum(std::span<const double> from, std::size_t k) const { return k < weights ? from[1 + k] : 0.0; }
};

// The background rows a fused pass reads from memory (the square-root and basis rows; it forms the
// others from x), formed once for the run.
struct StoredBackground {
  RowMatrix rows;
  std::vector<const double*> pointers;
};

inline StoredBackground stored_background(const EmProblem& problem, const BackgroundRow& background,
                                          std::size_t background_rows, double s_tri) {
  StoredBackground stored{RowMatrix(background.form == BackgroundForm::kStored ? background_rows : 0, problem.x.size()),
                          {}};
  if (stored.rows.rows() > 0) {
    background_densities(stored.rows, 0, problem.bg_type, problem.x, problem.window.min, problem.window.max, s_tri,
                         problem.spline_basis_preds);
  }
  stored.pointers.resize(stored.rows.rows());
  for (std::size_t b = 0; b < stored.rows.rows(); ++b) stored.pointers[b] = stored.rows.row(b).data();
  return stored;
}

// One fused pass of a run over the chunks of the grid, its sums written to `out`; returns the
// log-likelihood.
template <FusedEmShape Shape>
struct FusedPass {
  const Shape& shape;
  const FusedSumsLayout<Shape::kPeakSums>& layout;
  ChunkedSums& sums;
  FusedPassInputs& inputs;
  std::span<const double> constants;

  double operator()(std::span<double> out) {
    if (inputs.x.empty()) {
      std::fill(out.begin(), out.end(), 0.0);
      return 0.0;
    }
    auto run = [&] {
      sums.run([&](std::size_t begin, std::size_t end, double* chunk_sums,
                   double* scratch) { shape.pass_chunk(inputs, constants, begin, end, chunk_sums, scratch); },
               out);
    };
    run();
    // The pass may leave out terms too small to matter to the mixture; where they could matter
    // to a peak's own sums, it is taken again with every term evaluated.
    for (std::size_t k = 0; k < layout.summed_peaks; ++k) {
      if (!shape.sums_resolved(layout.weight_sum(out, k), layout.peak_sums(out, k))) {
        inputs.exact_tails = true;
        run();
        inputs.exact_tails = false;
        break;
      }
    }
    return out[0];
  }
};

// The M-step of a fused run: every peak refitted from its sums in `totals`. Sums about a reference
// far from a peak's new centre lose digits; those peaks have their sums taken again about the new
// centre by `pass` (the same E-step: values and weights unchanged) before anything is stored.
template <FusedEmShape Shape, std::size_t kPeakSums, class Pass>
void refit_from_totals(Shape& shape, const FusedSumsLayout<kPeakSums>& layout, std::span<const double> totals,
                       std::span<double> retaken_totals, std::span<double> reference, Pass&& pass,
                       std::vector<typename Shape::Parameters>& refitted, std::vector<char>& retaken) {
  const std::size_t peaks = refitted.size();
  bool retake = false;
  for (std::size_t k = 0; k < peaks; ++k) {
    const SumsRefit<typename Shape::Parameters> fit =
        shape.refit_from_sums(k, layout.weight_sum(totals, k), layout.peak_sums(totals, k), reference[k], true);
    refitted[k] = fit.values;
    retaken[k] = fit.retake ? 1 : 0;
    if (fit.retake) {
      reference[k] = fit.reference;
      retake = true;
    }
  }
  if (retake) {
    pass(retaken_totals);
    for (std::size_t k = 0; k < peaks; ++k) {
      if (retaken[k] == 0) continue;
      refitted[k] = shape.refit_from_sums(k, layout.weight_sum(retaken_totals, k),
                                          layout.peak_sums(retaken_totals, k), reference[k], false).values;
    }
  }
  for (std::size_t k = 0; k < peaks; ++k) shape.store(k, refitted[k]);
}

template <FusedEmShape Shape>
EmResult run_fused(Shape& shape, std::vector<double>& pi, const EmProblem& problem) {
  const std::size_t n = problem.x.size();
  const std::size_t peaks = shape.count();
  const std::size_t background_rows = background_row_count(problem.bg_type, problem.spline_basis_preds);
  const std::size_t components = peaks + background_rows;
  const std::size_t weights = pi.size();
  const FusedSumsLayout<Shape::kPeakSums> layout{weights, std::min(peaks, weights)};

  EmResult result = start_result(problem);
  shape.check_density_inputs();
  BackgroundRow background = background_row_form(problem.bg_type, problem.window.min, problem.window.max, result.s_tri);
  const StoredBackground stored = stored_background(problem, background, background_rows, result.s_tri);
  // The tilt estimate of the linear background reads its weight row, which the pass keeps.
  const bool linear = problem.bg_type == kLinearBackground;
  std::vector<double> background_weights(linear ? n : 0, 0.0);

  std::vector<double> constants(Shape::kConstantsPerPeak * peaks);
  std::vector<double> reference(peaks);
  std::vector<double> pass_pi(weights);
  std::vector<typename Shape::Parameters> refitted(peaks);
  std::vector<char> retaken(peaks);
  ChunkedSums sums(n, layout.count(), shape.pass_scratch(weights), Shape::kParallel);
  std::vector<double> totals(layout.count()), retaken_totals(layout.count());
  IterationStart<Shape> start(peaks, weights);

  FusedPassInputs inputs;
  inputs.x = problem.x;
  inputs.intensity = problem.intensity;
  inputs.pi = pass_pi;
  inputs.reference = reference;
  inputs.stored_rows = stored.pointers.data();
  inputs.background_weights = linear && peaks < weights ? background_weights.data() : nullptr;

  FusedPass<Shape> pass{shape, layout, sums, inputs, constants};
  // The E-step of the current values and weights, with the sums each peak's refit needs.
  auto evaluate = [&] {
    shape.check_density_inputs();
    if (n > 0) {
      require_length(components, weights);
      require_length(problem.intensity.size(), n);
    }
    shape.pass_constants(constants);
    for (std::size_t k = 0; k < peaks; ++k) reference[k] = shape.reference_point(k);
    std::copy(pi.begin(), pi.end(), pass_pi.begin());
    inputs.background = background;
    return pass(totals);
  };

  // The pool's threads are held for the whole loop: between passes the calling thread has only a
  // few closed-form refits to do, far less than a hand-off to the pool costs.
  sums.hold([&] {
    double previous = evaluate();
    result.log_likelihood.push_back(previous);
    result.relative_change.push_back(0.0);

    while (result.iterations < problem.max_iter) {
      check_interrupt();
      start.keep_weights(pi, result.s_tri);
      const std::span<const double> expected_counts = std::span<const double>(totals).subspan(1, weights);
      update_mixing_weights_from_counts(pi, expected_counts, components, problem.dirichlet_alpha);

      shape.check_refit_inputs();
      start.keep_values(shape);
      if (std::isnan(previous) || !has_weight(expected_counts)) {
        start.restore(shape, pi, result.s_tri);
        break;
      }
      refit_from_totals(shape, layout, totals, retaken_totals, reference, pass, refitted, retaken);

      if (linear) {
        result.s_tri = estimate_s_tri(problem.x, background_weights, problem.window.min, problem.window.max);
        background = background_row_form(problem.bg_type, problem.window.min, problem.window.max, result.s_tri);
      }

      const bool stop = record(result, previous, evaluate(), problem.r_eps);
      if (std::isnan(previous)) {
        start.restore(shape, pi, result.s_tri);
        break;
      }
      if (stop) break;
    }
  });
  return result;
}

template <EmShape Shape>
EmResult run_with_rows(Shape& shape, std::vector<double>& pi, const EmProblem& problem) {
  const std::size_t n = problem.x.size();
  const std::size_t peaks = shape.count();
  const std::size_t components = peaks + background_row_count(problem.bg_type, problem.spline_basis_preds);
  RowMatrix densities(components, n);
  // Row k holds intensity * responsibility of component k after each E-step.
  RowMatrix weights(components, n);
  std::vector<double> expected_counts(pi.size(), 0.0);
  std::vector<typename Shape::Parameters> refitted(peaks);
  WeightPass weight_pass(problem.intensity, densities, pi, weights, Shape::kParallel);

  EmResult result = start_result(problem);
  IterationStart<Shape> start(peaks, pi.size());

  const bool parallel_peaks = Shape::kParallel && peaks * n >= kParallelWorkThreshold;
  auto for_each_peak = [&](auto&& task) {
    if (parallel_peaks) {
      run_tasks(peaks, task);
    } else {
      run_tasks_sequentially(peaks, task);
    }
  };
  // The densities, then the E-step. An elementwise density is formed chunk by chunk inside the
  // E-step's pass; a density normalised over the whole grid needs its whole row first.
  auto e_step = [&] {
    shape.check_density_inputs();
    if constexpr (Shape::kElementwiseDensity) {
      return weight_pass.run(
          [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = 0; k < peaks; ++k) {
              shape.density(k, problem.x.subspan(begin, end - begin), problem.window,
                            densities.row(k).subspan(begin, end - begin));
            }
          },
          expected_counts);
    } else {
      for_each_peak([&](std::size_t k) { shape.density(k, problem.x, problem.window, densities.row(k)); });
      return weight_pass.run(expected_counts);
    }
  };
  auto background = [&] {
    background_densities(densities, peaks, problem.bg_type, problem.x, problem.window.min, problem.window.max,
                         result.s_tri, problem.spline_basis_preds);
  };

  shape.check_density_inputs();
  background();
  double previous = e_step();
  result.log_likelihood.push_back(previous);
  result.relative_change.push_back(0.0);

  while (result.iterations < problem.max_iter) {
    check_interrupt();
    start.keep_weights(pi, result.s_tri);
    update_mixing_weights_from_counts(pi, expected_counts, weights.rows(), problem.dirichlet_alpha);

    shape.check_refit_inputs();
    start.keep_values(shape);
    if (std::isnan(previous) || !has_weight(expected_counts)) {
      start.restore(shape, pi, result.s_tri);
      break;
    }
    for_each_peak([&](std::size_t k) {
      // The density row of k is free until the densities are evaluated again: it serves as the
      // refit's working row.
      refitted[k] = shape.refit(k, problem.x, weights.row(k), problem.window, densities.row(k));
    });
    for (std::size_t k = 0; k < peaks; ++k) shape.store(k, refitted[k]);

    if (problem.bg_type == kLinearBackground) {
      result.s_tri = estimate_s_tri(problem.x, weights.row(peaks), problem.window.min, problem.window.max);
      background();
    }

    const bool stop = record(result, previous, e_step(), problem.r_eps);
    if (std::isnan(previous)) {
      start.restore(shape, pi, result.s_tri);
      break;
    }
    if (stop) break;
  }
  return result;
}

}  // namespace em_detail

template <EmShape Shape>
EmResult run_em(Shape& shape, std::vector<double>& pi, const EmProblem& problem) {
  if constexpr (FusedEmShape<Shape>) {
    return em_detail::run_fused(shape, pi, problem);
  } else {
    return em_detail::run_with_rows(shape, pi, problem);
  }
}

}  // namespace brivane
