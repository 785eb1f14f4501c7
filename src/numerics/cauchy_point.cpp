#include "numerics/cauchy_point.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace brivane::lbfgsb {

namespace {

// y = M v for the compact middle matrix.
void times_m(const Dense& m, std::span<const double> v, std::vector<double>& y) {
  y.assign(m.rows, 0.0);
  for (std::size_t i = 0; i < m.rows; ++i) {
    for (std::size_t j = 0; j < m.cols; ++j) y[i] += m(i, j) * v[j];
  }
}

}  // namespace

bool generalised_cauchy_point(const Box& box, std::span<const double> x, std::span<const double> g,
                              const LimitedMemory& memory, CauchyPoint& point) {
  if (!memory.valid()) return false;
  const std::size_t n = x.size();
  const Dense& w = memory.w();
  const Dense& m = memory.m();
  const std::size_t columns = w.cols;
  const double theta = memory.theta();
  constexpr double inf = std::numeric_limits<double>::infinity();

  // Breakpoints t_i where variable i reaches the bound it moves towards, and the path direction.
  std::vector<double>& t = point.t;
  std::vector<double>& d = point.d;
  t.assign(n, inf);
  d.assign(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    if (box.fixed[i]) {
      t[i] = 0.0;
    } else if (g[i] < 0.0 && box.has_upper(i)) {
      t[i] = (x[i] - box.upper[i]) / g[i];
    } else if (g[i] > 0.0 && box.has_lower(i)) {
      t[i] = (x[i] - box.lower[i]) / g[i];
    }
    d[i] = t[i] == 0.0 ? 0.0 : -g[i];
  }

  point.x.assign(x.begin(), x.end());
  point.c.assign(columns, 0.0);
  std::vector<double>& p = point.p;  // W^T d
  p.assign(columns, 0.0);
  double slope = 0.0;                   // f' along the path
  for (std::size_t i = 0; i < n; ++i) {
    slope -= d[i] * d[i];
    for (std::size_t j = 0; j < columns; ++j) p[j] += w(i, j) * d[i];
  }
  if (slope == 0.0) return true;  // the projected gradient vanishes: x itself
  double curvature = -theta * slope;
  if (columns > 0) {
    times_m(m, p, point.mp);
    curvature -= dot(p, point.mp);
  }
  const double curvature_floor = std::numeric_limits<double>::epsilon() * curvature;
  if (!std::isfinite(curvature) || !std::isfinite(slope)) return false;
  double step_to_minimum = -slope / curvature;

  std::vector<std::size_t>& order = point.order;
  order.clear();
  for (std::size_t i = 0; i < n; ++i) {
    if (t[i] > 0.0 && t[i] < inf) order.push_back(i);
  }
  // Equal breakpoints are taken in index order. The index breaks the tie instead of a stable
  // sort, which would allocate its buffer every iteration; the order is the same.
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return t[a] < t[b] || (t[a] == t[b] && a < b); });

  double t_old = 0.0;
  std::vector<double>& wb = point.wb;
  wb.resize(columns);
  for (std::size_t b : order) {
    const double dt = t[b] - t_old;
    if (step_to_minimum < dt) break;
    // Variable b reaches its bound: move there and update the model's slope and curvature.
    point.x[b] = d[b] > 0.0 ? box.upper[b] : box.lower[b];
    const double z = point.x[b] - x[b];
    for (std::size_t j = 0; j < columns; ++j) point.c[j] += dt * p[j];
    const double gb = g[b];
    slope += dt * curvature + gb * gb + theta * gb * z;
    curvature -= theta * gb * gb;
    if (columns > 0) {
      for (std::size_t j = 0; j < columns; ++j) wb[j] = w(b, j);
      std::vector<double>& mwb = point.mwb;
      times_m(m, wb, mwb);
      slope -= gb * dot(point.c, mwb);
      curvature -= 2.0 * gb * dot(p, mwb) + gb * gb * dot(wb, mwb);
      for (std::size_t j = 0; j < columns; ++j) p[j] += gb * wb[j];
    }
    curvature = std::max(curvature_floor, curvature);
    d[b] = 0.0;
    step_to_minimum = -slope / curvature;
    t_old = t[b];
    if (!std::isfinite(step_to_minimum)) return false;
  }
  step_to_minimum = std::max(step_to_minimum, 0.0);
  t_old += step_to_minimum;
  for (std::size_t i = 0; i < n; ++i) {
    if (d[i] != 0.0) point.x[i] = box.clamp(i, x[i] + t_old * d[i]);
  }
  for (std::size_t j = 0; j < columns; ++j) point.c[j] += step_to_minimum * p[j];
  return true;
}

}  // namespace brivane::lbfgsb
