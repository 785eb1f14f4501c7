#include "model/covariance.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "model/cholesky.hpp"

namespace brivane::model {

namespace {
constexpr double kPivotFloor = 1e-13;
}

bool full_covariance(const Problem& problem, std::span<const double> information,
                     std::span<const unsigned char> included, std::span<const double> slope,
                     std::span<double> covariance, std::span<double> matrix, std::span<double> column) {
  const std::size_t f = problem.free_count(), p_count = problem.parameter_count();
  std::fill(covariance.begin(), covariance.begin() + p_count * p_count, 0.0);
  // The included free parameters, compacted (once per fit: these few vectors are not per iteration).
  std::vector<std::size_t> compact;
  compact.reserve(f);
  for (std::size_t k = 0; k < f; ++k) {
    if (included[k]) compact.push_back(k);
  }
  const std::size_t m = compact.size();
  if (m == 0) return true;
  std::vector<double> scale(m);
  for (std::size_t a = 0; a < m; ++a) {
    const double d = information[compact[a] * f + compact[a]];
    scale[a] = d > 0.0 && std::isfinite(d) ? 1.0 / std::sqrt(d) : 0.0;
  }
  bool ok = true;
  for (std::size_t a = 0; a < m && ok; ++a) {
    if (scale[a] == 0.0) ok = false;
    for (std::size_t b = 0; b < m; ++b) {
      matrix[a * m + b] = information[compact[a] * f + compact[b]] * scale[a] * scale[b];
    }
  }
  ok = ok && cholesky_factor(matrix.data(), m, kPivotFloor);
  std::vector<double> inverse(m * m);
  if (ok) {
    cholesky_inverse(matrix.data(), m, inverse.data(), column.data());
    for (std::size_t a = 0; a < m; ++a) {
      for (std::size_t b = 0; b < m; ++b) inverse[a * m + b] *= scale[a] * scale[b];
    }
  }
  // Where free parameter k sits among the included ones.
  std::vector<std::size_t> where(f, m);
  for (std::size_t a = 0; a < m; ++a) where[compact[a]] = a;
  const auto root = problem.root();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t j = 0; j < p_count; ++j) {
    const std::size_t a = root[j] == kNoRoot ? m : where[root[j]];
    if (a == m) continue;
    for (std::size_t l = 0; l < p_count; ++l) {
      const std::size_t b = root[l] == kNoRoot ? m : where[root[l]];
      if (b == m) continue;
      covariance[j * p_count + l] = ok ? slope[j] * slope[l] * inverse[a * m + b] : nan;
    }
  }
  if (!ok) std::fill(covariance.begin(), covariance.begin() + p_count * p_count, nan);
  return ok;
}

}  // namespace brivane::model
