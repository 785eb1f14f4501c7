#include "model/bounded_step.hpp"

#include "model/cholesky.hpp"

namespace brivane::model {

bool bounded_damped_step(std::span<const double> information, std::size_t free_count, std::span<const double> score,
                         std::span<const std::size_t> active, std::span<const double> scale,
                         std::span<const double> phi, std::span<const double> lower, std::span<const double> upper,
                         double damping, const BoundedStepScratch& scratch, std::span<double> phi_trial) {
  const std::size_t m = active.size(), f = free_count;
  auto scaled_information = [&](std::size_t a, std::size_t b) {
    return information[active[a] * f + active[b]] * scale[a] * scale[b];
  };
  for (std::size_t a = 0; a < m; ++a) scratch.pinned[a] = 0;
  for (std::size_t round = 0; round <= m; ++round) {
    std::size_t r = 0;
    for (std::size_t a = 0; a < m; ++a) {
      if (!scratch.pinned[a]) scratch.reduced[r++] = a;
    }
    if (r == 0) break;
    for (std::size_t i = 0; i < r; ++i) {
      const std::size_t a = scratch.reduced[i];
      double right = score[active[a]] * scale[a];
      for (std::size_t b = 0; b < m; ++b) {
        if (scratch.pinned[b]) right -= scaled_information(a, b) * scratch.scaled_step[b];
      }
      scratch.right[i] = right;
      for (std::size_t j = 0; j < r; ++j) scratch.system[i * r + j] = scaled_information(a, scratch.reduced[j]);
      scratch.system[i * r + i] += damping;
    }
    if (!cholesky_factor(scratch.system.data(), r, 0.0)) return false;
    cholesky_solve(scratch.system.data(), r, scratch.right.data());
    bool crossed = false;
    for (std::size_t i = 0; i < r; ++i) {
      const std::size_t a = scratch.reduced[i], k = active[a];
      const double target = phi[k] + scratch.right[i] * scale[a];
      if (target < lower[k] || target > upper[k]) {
        const double bound = target < lower[k] ? lower[k] : upper[k];
        scratch.pinned[a] = 1;
        scratch.scaled_step[a] = (bound - phi[k]) / scale[a];
        phi_trial[k] = bound;
        crossed = true;
      } else {
        scratch.scaled_step[a] = scratch.right[i];
        phi_trial[k] = target;
      }
    }
    if (!crossed) break;
  }
  return true;
}

}  // namespace brivane::model
