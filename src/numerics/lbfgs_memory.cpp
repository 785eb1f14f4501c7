#include "numerics/lbfgs_memory.hpp"

#include <algorithm>
#include <cmath>

#include "numerics/bounds.hpp"

namespace brivane::lbfgsb {

bool solve_in_place(Dense& a, Dense& b) {
  const std::size_t n = a.rows;
  for (std::size_t col = 0; col < n; ++col) {
    std::size_t pivot = col;
    for (std::size_t r = col + 1; r < n; ++r) {
      if (std::fabs(a(r, col)) > std::fabs(a(pivot, col))) pivot = r;
    }
    const double p = a(pivot, col);
    if (!(std::fabs(p) > 0.0) || !std::isfinite(p)) return false;
    if (pivot != col) {
      for (std::size_t j = 0; j < n; ++j) std::swap(a(pivot, j), a(col, j));
      for (std::size_t j = 0; j < b.cols; ++j) std::swap(b(pivot, j), b(col, j));
    }
    for (std::size_t r = col + 1; r < n; ++r) {
      const double factor = a(r, col) / p;
      if (factor == 0.0) continue;
      for (std::size_t j = col; j < n; ++j) a(r, j) -= factor * a(col, j);
      for (std::size_t j = 0; j < b.cols; ++j) b(r, j) -= factor * b(col, j);
    }
  }
  for (std::size_t col = n; col-- > 0;) {
    for (std::size_t j = 0; j < b.cols; ++j) {
      double v = b(col, j);
      for (std::size_t k = col + 1; k < n; ++k) v -= a(col, k) * b(k, j);
      b(col, j) = v / a(col, col);
      if (!std::isfinite(b(col, j))) return false;
    }
  }
  return true;
}

bool LimitedMemory::add(std::span<const double> s, std::span<const double> y) {
  const double sy = dot(s, y);
  if (!(sy > 1e-12)) return false;
  if (s_.size() == capacity_) {
    s_.pop_front();
    y_.pop_front();
  }
  s_.emplace_back(s.begin(), s.end());
  y_.emplace_back(y.begin(), y.end());
  theta_ = dot(y, y) / sy;
  rebuild();
  return true;
}

void LimitedMemory::rebuild() {
  const std::size_t k = s_.size();
  const std::size_t n = k ? s_.front().size() : 0;
  w_ = Dense(n, 2 * k);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < k; ++j) {
      w_(i, j) = y_[j][i];
      w_(i, k + j) = theta_ * s_[j][i];
    }
  }
  // The middle matrix before inversion.
  Dense middle(2 * k, 2 * k);
  for (std::size_t i = 0; i < k; ++i) {
    middle(i, i) = -dot(s_[i], y_[i]);
    for (std::size_t j = 0; j < k; ++j) {
      if (i > j) {
        const double l = dot(s_[i], y_[j]);
        middle(k + i, j) = l;  // L
        middle(j, k + i) = l;  // L^T
      }
      middle(k + i, k + j) = theta_ * dot(s_[i], s_[j]);
    }
  }
  m_ = Dense(2 * k, 2 * k);
  for (std::size_t i = 0; i < 2 * k; ++i) m_(i, i) = 1.0;
  valid_ = solve_in_place(middle, m_);
}

std::vector<double> LimitedMemory::two_loop_direction(std::span<const double> g) const {
  std::vector<double> q(g.begin(), g.end());
  const std::size_t k = s_.size();
  std::vector<double> alpha(k);
  for (std::size_t j = k; j-- > 0;) {
    const double rho = 1.0 / dot(y_[j], s_[j]);
    alpha[j] = rho * dot(s_[j], q);
    for (std::size_t i = 0; i < q.size(); ++i) q[i] -= alpha[j] * y_[j][i];
  }
  double scale = 1.0;
  if (k > 0) scale = std::max(dot(s_.back(), y_.back()) / dot(y_.back(), y_.back()), 1e-20);
  for (double& v : q) v *= scale;
  for (std::size_t j = 0; j < k; ++j) {
    const double rho = 1.0 / dot(y_[j], s_[j]);
    const double beta = rho * dot(y_[j], q);
    for (std::size_t i = 0; i < q.size(); ++i) q[i] += (alpha[j] - beta) * s_[j][i];
  }
  for (double& v : q) v = -v;
  return q;
}

}  // namespace brivane::lbfgsb
