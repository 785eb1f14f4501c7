#include "model/cholesky.hpp"

#include <cmath>

namespace brivane::model {

bool cholesky_factor(double* a, std::size_t m, double pivot_floor) {
  for (std::size_t j = 0; j < m; ++j) {
    double d = a[j * m + j];
    for (std::size_t k = 0; k < j; ++k) d -= a[j * m + k] * a[j * m + k];
    if (!(d > pivot_floor) || !std::isfinite(d)) return false;
    const double pivot = std::sqrt(d);
    a[j * m + j] = pivot;
    for (std::size_t i = j + 1; i < m; ++i) {
      double s = a[i * m + j];
      for (std::size_t k = 0; k < j; ++k) s -= a[i * m + k] * a[j * m + k];
      a[i * m + j] = s / pivot;
    }
  }
  return true;
}

void cholesky_solve(const double* l, std::size_t m, double* b) {
  for (std::size_t i = 0; i < m; ++i) {
    double s = b[i];
    for (std::size_t k = 0; k < i; ++k) s -= l[i * m + k] * b[k];
    b[i] = s / l[i * m + i];
  }
  for (std::size_t i = m; i-- > 0;) {
    double s = b[i];
    for (std::size_t k = i + 1; k < m; ++k) s -= l[k * m + i] * b[k];
    b[i] = s / l[i * m + i];
  }
}

void cholesky_inverse(const double* l, std::size_t m, double* inverse, double* column) {
  for (std::size_t j = 0; j < m; ++j) {
    for (std::size_t i = 0; i < m; ++i) column[i] = i == j ? 1.0 : 0.0;
    cholesky_solve(l, m, column);
    for (std::size_t i = 0; i < m; ++i) inverse[i * m + j] = column[i];
  }
}

}  // namespace brivane::model
