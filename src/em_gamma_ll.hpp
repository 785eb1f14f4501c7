#pragma once
// E-step and Dirichlet weight update of the EM mixture fits.

#include <cstddef>
#include <span>
#include <vector>

#include "matrix.hpp"
#include "parallel.hpp"
#include "passes/e_step_pass.hpp"
#include "vector_math.hpp"

namespace brivane {

// The E-step over stored density rows as the EM loop runs it, with everything allocated once: row k
// of `weights` receives the sample weights intensity[i] G[k][i] = (D[k][i] pi[k]) (intensity[i] /
// (m[i] + 1e-20)) that the refits, the tilt estimate and the weight update need (nothing else
// reads the responsibilities), expected_counts[k] their sums and the result the log-likelihood,
// every sum in the chunk order of ChunkedSums, so the result is the same for any thread count.
class WeightPass {
 public:
  // `pi` is read at every run, through this view. With `parallel` the chunks are shared among the
  // worker pool.
  WeightPass(std::span<const double> intensity, const RowMatrix& densities, std::span<const double> pi,
             RowMatrix& weights, bool parallel);

  // Runs before(begin, end) and then the E-step on every chunk [begin, end) of the grid, in one
  // pool region; `before` may fill the chunk's densities. Returns the log-likelihood and writes one
  // expected count per entry of pi. A pi longer than the rows of the densities or of `weights`, or
  // an intensity shorter than the grid, raises the index Failure before anything is computed; an
  // empty grid gives 0 and computes nothing.
  template <class Before>
  double run(Before&& before, std::span<double> expected_counts);
  double run(std::span<double> expected_counts) {
    return run([](std::size_t, std::size_t) {}, expected_counts);
  }

 private:
  void check() const;

  std::size_t n_;
  std::span<const double> intensity_;
  std::span<const double> pi_;
  std::size_t rows_;
  std::size_t weight_rows_;
  std::vector<const double*> density_rows_;
  std::vector<double*> weight_row_pointers_;
  ChunkedSums sums_;
  std::vector<double> totals_;
};

template <class Before>
double WeightPass::run(Before&& before, std::span<double> expected_counts) {
  if (n_ == 0) return 0.0;
  check();
  const std::size_t components = pi_.size();
  EStepPass pass;
  pass.intensity = intensity_.data();
  pass.components = components;
  pass.pi = pi_.data();
  pass.densities = density_rows_.data();
  pass.rows = weight_row_pointers_.data();
  pass.weights = true;
  const EStepKernels& kernels = e_step_kernels();
  sums_.run(
      [&](std::size_t begin, std::size_t end, double* chunk_sums, double* scratch) {
        before(begin, end);
        kernels.chunk(pass, begin, end, chunk_sums, scratch);
      },
      totals_);
  for (std::size_t k = 0; k < components; ++k) expected_counts[k] = totals_[1 + k];
  return totals_[0];
}

// Maximum a posteriori mixing weights under a Dirichlet prior, in place, from the expected counts
// n[k] = sum_i intensity[i] G[k][i] that the E-step made (one per entry of pi):
//   b[k] = n[k] + alpha[k] - 1,  c[k] = b[k] / sum(b)  (0 unless > 0),  pi[k] = c[k] / sum(c).
// Concentrations below 1 may drive a weight to exactly 0; all-zero c gives NaN weights (0/0), as
// the data then carry no information. `rows` is the number of responsibility rows: fewer rows or
// concentrations than weights raise the index Failure for the first component that lacks one.
void update_mixing_weights_from_counts(std::span<double> pi, std::span<const double> expected_counts,
                                       std::size_t rows, std::span<const double> dirichlet_alpha);

}  // namespace brivane
