#pragma once
// The limited-memory BFGS matrix in compact form (Byrd, Nocedal and Schnabel 1994):
//   B = theta I - W M W^T,  W = [Y, theta S],
//   M = [[-D, L^T], [L, theta S^T S]]^-1,
// with S and Y the stored corrections (oldest first), D = diag(s_i . y_i) and L the strictly
// lower triangle of S^T Y. theta is y.y / s.y of the newest pair, 1 while the memory is empty.

#include <cstddef>
#include <span>
#include <vector>

namespace brivane::lbfgsb {

// A small dense row-major matrix.
struct Dense {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> a;
  Dense() = default;
  Dense(std::size_t r, std::size_t c) : rows(r), cols(c), a(r * c, 0.0) {}
  // Zeroes the matrix at a new shape, keeping the storage: a fit's matrices grow to their
  // largest shape once and are then reused.
  void reshape(std::size_t r, std::size_t c) {
    rows = r;
    cols = c;
    a.assign(r * c, 0.0);
  }
  double& operator()(std::size_t i, std::size_t j) { return a[i * cols + j]; }
  double operator()(std::size_t i, std::size_t j) const { return a[i * cols + j]; }
};

// Solves A X = B in place by Gaussian elimination with partial pivoting (A square, B with any
// number of columns). Returns false when A is singular or not finite.
bool solve_in_place(Dense& a, Dense& b);

class LimitedMemory {
 public:
  explicit LimitedMemory(std::size_t capacity) : capacity_(capacity) {}

  // Stores the pair when s.y > 1e-12 (the oldest leaves once `capacity` are held) and updates
  // theta and the compact matrices; returns whether it was stored.
  // A pair of another length than the stored ones empties the memory first.
  bool add(std::span<const double> s, std::span<const double> y);
  // Forgets every pair (theta back to 1), keeping the storage.
  void clear();

  std::size_t size() const { return count_; }
  double theta() const { return theta_; }
  // W (n by 2k) and M (2k by 2k); valid() is false when the middle matrix could not be inverted.
  const Dense& w() const { return w_; }
  const Dense& m() const { return m_; }
  bool valid() const { return valid_; }

  // The quasi-Newton direction -H g by the two-loop recursion, with H0 = (s.y / y.y) I of the
  // newest pair (at least 1e-20), or I while the memory is empty.
  // The second form writes it into `direction`, reusing its storage.
  std::vector<double> two_loop_direction(std::span<const double> g);
  void two_loop_direction(std::span<const double> g, std::vector<double>& direction);

 private:
  void rebuild();
  // The j-th stored pair, oldest first.
  std::span<const double> s(std::size_t j) const;
  std::span<const double> y(std::size_t j) const;

  std::size_t capacity_;
  // The pairs live in a ring of `capacity_` rows of `length_` doubles, allocated by the first
  // pair: storing one overwrites the oldest instead of allocating.
  std::size_t length_ = 0;
  std::size_t oldest_ = 0;
  std::size_t count_ = 0;
  std::vector<double> s_ring_;
  std::vector<double> y_ring_;
  std::vector<double> alpha_;  // the two-loop recursion's coefficients
  double theta_ = 1.0;
  Dense w_;
  Dense m_;
  Dense middle_;  // the middle matrix before inversion
  bool valid_ = true;
};

}  // namespace brivane::lbfgsb
