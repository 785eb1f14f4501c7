#include "model/active_set.hpp"

namespace brivane::model {

std::size_t choose_active(std::span<const double> phi, std::span<const double> lower, std::span<const double> upper,
                          std::span<const double> score, std::span<unsigned char> held,
                          std::span<std::size_t> active, std::span<const unsigned char> only) {
  std::size_t count = 0;
  for (std::size_t k = 0; k < phi.size(); ++k) {
    const bool hold = (!only.empty() && !only[k]) || lower[k] == upper[k] || (phi[k] <= lower[k] && score[k] < 0.0) ||
                      (phi[k] >= upper[k] && score[k] > 0.0);
    held[k] = hold ? 1 : 0;
    if (!hold) active[count++] = k;
  }
  return count;
}

}  // namespace brivane::model
