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

std::span<const double> LimitedMemory::s(std::size_t j) const {
  return {s_ring_.data() + ((oldest_ + j) % capacity_) * length_, length_};
}

std::span<const double> LimitedMemory::y(std::size_t j) const {
  return {y_ring_.data() + ((oldest_ + j) % capacity_) * length_, length_};
}

void LimitedMemory::clear() {
  oldest_ = 0;
  count_ = 0;
  theta_ = 1.0;
  w_.reshape(0, 0);
  m_.reshape(0, 0);
  valid_ = true;
}

bool LimitedMemory::add(std::span<const double> s, std::span<const double> y) {
  const double sy = dot(s, y);
  if (!(sy > 1e-12) || capacity_ == 0) return false;
  if (s.size() != length_ || s_ring_.empty()) {
    clear();
    length_ = s.size();
    s_ring_.assign(capacity_ * length_, 0.0);
    y_ring_.assign(capacity_ * length_, 0.0);
  }
  std::size_t slot = (oldest_ + count_) % capacity_;
  if (count_ == capacity_) {
    slot = oldest_;
    oldest_ = (oldest_ + 1) % capacity_;
  } else {
    ++count_;
  }
  std::copy(s.begin(), s.end(), s_ring_.begin() + static_cast<std::ptrdiff_t>(slot * length_));
  std::copy(y.begin(), y.end(), y_ring_.begin() + static_cast<std::ptrdiff_t>(slot * length_));
  theta_ = dot(y, y) / sy;
  rebuild();
  return true;
}

void LimitedMemory::rebuild() {
  const std::size_t k = count_;
  const std::size_t n = k ? length_ : 0;
  w_.reshape(n, 2 * k);
  for (std::size_t j = 0; j < k; ++j) {
    const std::span<const double> sj = s(j), yj = y(j);
    for (std::size_t i = 0; i < n; ++i) {
      w_(i, j) = yj[i];
      w_(i, k + j) = theta_ * sj[i];
    }
  }
  middle_.reshape(2 * k, 2 * k);
  for (std::size_t i = 0; i < k; ++i) {
    middle_(i, i) = -dot(s(i), y(i));
    for (std::size_t j = 0; j < k; ++j) {
      if (i > j) {
        const double l = dot(s(i), y(j));
        middle_(k + i, j) = l;  // L
        middle_(j, k + i) = l;  // L^T
      }
      middle_(k + i, k + j) = theta_ * dot(s(i), s(j));
    }
  }
  m_.reshape(2 * k, 2 * k);
  for (std::size_t i = 0; i < 2 * k; ++i) m_(i, i) = 1.0;
  valid_ = solve_in_place(middle_, m_);
}

std::vector<double> LimitedMemory::two_loop_direction(std::span<const double> g) {
  std::vector<double> direction;
  two_loop_direction(g, direction);
  return direction;
}

void LimitedMemory::two_loop_direction(std::span<const double> g, std::vector<double>& q) {
  q.assign(g.begin(), g.end());
  const std::size_t k = count_;
  alpha_.resize(k);
  for (std::size_t j = k; j-- > 0;) {
    const double rho = 1.0 / dot(y(j), s(j));
    alpha_[j] = rho * dot(s(j), q);
    const std::span<const double> yj = y(j);
    for (std::size_t i = 0; i < q.size(); ++i) q[i] -= alpha_[j] * yj[i];
  }
  double scale = 1.0;
  if (k > 0) scale = std::max(dot(s(k - 1), y(k - 1)) / dot(y(k - 1), y(k - 1)), 1e-20);
  for (double& v : q) v *= scale;
  for (std::size_t j = 0; j < k; ++j) {
    const double rho = 1.0 / dot(y(j), s(j));
    const double beta = rho * dot(y(j), q);
    const std::span<const double> sj = s(j);
    for (std::size_t i = 0; i < q.size(); ++i) q[i] += (alpha_[j] - beta) * sj[i];
  }
  for (double& v : q) v = -v;
}

}  // namespace brivane::lbfgsb
