#include "numerics/subspace_min.hpp"

#include <cmath>

namespace brivane::lbfgsb {

bool subspace_minimiser(const Box& box, std::span<const double> x, std::span<const double> g,
                        const LimitedMemory& memory, const CauchyPoint& cauchy,
                        std::vector<double>& minimiser, SubspaceStorage& storage) {
  const std::size_t n = x.size();
  const Dense& w = memory.w();
  const Dense& m = memory.m();
  const std::size_t columns = w.cols;
  const double theta = memory.theta();
  minimiser = cauchy.x;

  // Free variables: strictly inside their bounds at the Cauchy point.
  std::vector<std::size_t>& free = storage.free;
  free.clear();
  for (std::size_t i = 0; i < n; ++i) {
    if (box.fixed[i]) continue;
    const bool at_lower = box.has_lower(i) && cauchy.x[i] <= box.lower[i];
    const bool at_upper = box.has_upper(i) && cauchy.x[i] >= box.upper[i];
    if (!at_lower && !at_upper) free.push_back(i);
  }
  if (free.empty()) return true;

  // Reduced gradient of the model at the Cauchy point: Z^T (g + theta (x_cp - x) - W M c).
  std::vector<double>& mc = storage.mc;
  mc.assign(columns, 0.0);
  for (std::size_t i = 0; i < columns; ++i) {
    for (std::size_t j = 0; j < columns; ++j) mc[i] += m(i, j) * cauchy.c[j];
  }
  std::vector<double>& r = storage.r;
  r.resize(free.size());
  for (std::size_t f = 0; f < free.size(); ++f) {
    const std::size_t i = free[f];
    double wmc = 0.0;
    for (std::size_t j = 0; j < columns; ++j) wmc += w(i, j) * mc[j];
    r[f] = g[i] + theta * (cauchy.x[i] - x[i]) - wmc;
  }

  // d = -r / theta - W_Z (I - M W_Z^T W_Z / theta)^-1 M W_Z^T r / theta^2.
  std::vector<double>& d = storage.d;
  d.resize(free.size());
  for (std::size_t f = 0; f < free.size(); ++f) d[f] = -r[f] / theta;
  if (columns > 0) {
    std::vector<double>& wr = storage.wr;
    wr.assign(columns, 0.0);
    for (std::size_t f = 0; f < free.size(); ++f) {
      for (std::size_t j = 0; j < columns; ++j) wr[j] += w(free[f], j) * r[f];
    }
    Dense& v = storage.v;
    v.reshape(columns, 1);
    for (std::size_t i = 0; i < columns; ++i) {
      for (std::size_t j = 0; j < columns; ++j) v(i, 0) += m(i, j) * wr[j];
    }
    // W_Z^T W_Z is symmetric: each product is the same double either way round and each sum runs
    // over the free variables in the same order, so the upper triangle is mirrored.
    Dense& wtw = storage.wtw;
    wtw.reshape(columns, columns);
    for (std::size_t a = 0; a < columns; ++a) {
      for (std::size_t b = a; b < columns; ++b) {
        for (std::size_t f = 0; f < free.size(); ++f) wtw(a, b) += w(free[f], a) * w(free[f], b);
        wtw(b, a) = wtw(a, b);
      }
    }
    Dense& system = storage.system;
    system.reshape(columns, columns);
    for (std::size_t i = 0; i < columns; ++i) {
      for (std::size_t j = 0; j < columns; ++j) {
        double mw = 0.0;
        for (std::size_t k = 0; k < columns; ++k) mw += m(i, k) * wtw(k, j);
        system(i, j) = (i == j ? 1.0 : 0.0) - mw / theta;
      }
    }
    if (!solve_in_place(system, v)) return false;
    for (std::size_t f = 0; f < free.size(); ++f) {
      double wv = 0.0;
      for (std::size_t j = 0; j < columns; ++j) wv += w(free[f], j) * v(j, 0);
      d[f] -= wv / (theta * theta);
    }
  }
  for (std::size_t f = 0; f < free.size(); ++f) {
    const std::size_t i = free[f];
    if (!std::isfinite(d[f])) return false;
    minimiser[i] = box.clamp(i, cauchy.x[i] + d[f]);
  }
  return true;
}

}  // namespace brivane::lbfgsb
