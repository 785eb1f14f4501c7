#include "shapes/lorentzian/lorentzian.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "em_engine.hpp"
#include "failure.hpp"
#include "interrupt.hpp"
#include "numerics/free_parameters.hpp"
#include "numerics/log1p_small.hpp"
#include "peak_fit.hpp"
#include "shapes/lorentzian/window_mass.hpp"
#include "standard_output.hpp"
#include "vector_math.hpp"

namespace brivane {

namespace {

// Rows are filled block by block so that the logarithms of the log-likelihood stay in cache.
constexpr std::size_t kBlock = 512;

// What the density of one parameter pair needs at every sample.
struct DensityTerms {
  double gamma;
  double x0;
  double half_width_squared;
  double scale;  // pi times the analytic mass inside the window, floored
};

DensityTerms density_terms(double x0, double gamma, double x_min, double x_max) {
  const double half_width = 0.5 * gamma;
  const double mass = lorentzian_window_mass<MassOrder::kScaleEachEnd>(x0, half_width, x_min, x_max);
  return {gamma, x0, half_width * half_width, std::fmax(mass, 1e-300) * std::numbers::pi};
}

inline void unnormalised_density(const DensityTerms& t, const double* __restrict x, std::size_t len,
                                 double* __restrict d) {
  for (std::size_t i = 0; i < len; ++i) {
    const double offset = x[i] - t.x0;
    d[i] = t.gamma / ((offset * offset + t.half_width_squared) * t.scale);
  }
}

constexpr std::size_t kMaxSets = 3;

// Log-likelihoods of kSets parameter pairs in two passes over the data and no working memory:
// the first pass makes each pair's trapezoid integral, the second recomputes the densities (the
// same operations, so the same values) and sums the weighted logarithms. Each pair's sums run in
// sample order on their own; running the pairs side by side lets those dependent additions
// overlap.
template <std::size_t kSets>
[[gnu::always_inline]] inline void log_likelihood_sets_of(std::span<const double> x,
                                                          std::span<const double> weights,
                                                          const DensityTerms* sets,
                                                          double* log_likelihoods) {
  const std::size_t n = x.size();
  const std::size_t used = std::min(n, weights.size());
  double buffer[kSets][kBlock];
  double integral[kSets] = {};
  double previous[kSets] = {};
  for (std::size_t start = 0; start < n; start += kBlock) {
    check_interrupt();
    const std::size_t len = std::min(kBlock, n - start);
    for (std::size_t j = 0; j < kSets; ++j) unnormalised_density(sets[j], x.data() + start, len, buffer[j]);
    std::size_t first = 0;
    if (start == 0) {
      for (std::size_t j = 0; j < kSets; ++j) previous[j] = buffer[j][0];
      first = 1;
    }
    for (std::size_t i = first; i < len; ++i) {
      const double step = x[start + i] - x[start + i - 1];
      for (std::size_t j = 0; j < kSets; ++j) {
        integral[j] += step * ((previous[j] + buffer[j][i]) * 0.5);
        previous[j] = buffer[j][i];
      }
    }
  }
  double normaliser[kSets];
  for (std::size_t j = 0; j < kSets; ++j) {
    normaliser[j] = n < 2 ? 1e-300 : std::fmax(integral[j], 1e-300);
    log_likelihoods[j] = 0.0;
  }
  for (std::size_t start = 0; start < used; start += kBlock) {
    check_interrupt();
    const std::size_t len = std::min(kBlock, used - start);
    for (std::size_t j = 0; j < kSets; ++j) {
      double* __restrict d = buffer[j];
      unnormalised_density(sets[j], x.data() + start, len, d);
      for (std::size_t i = 0; i < len; ++i) d[i] = d[i] / normaliser[j] + 1e-200;
      log_in_place({d, len});
    }
    const double* __restrict w = weights.data() + start;
    for (std::size_t i = 0; i < len; ++i) {
      for (std::size_t j = 0; j < kSets; ++j) log_likelihoods[j] += w[i] * buffer[j][i];
    }
  }
}

[[gnu::always_inline]] inline void log_likelihood_sets_any(std::span<const double> x, std::span<const double> weights,
                                                           const DensityTerms* sets, std::size_t count,
                                                           double* log_likelihoods) {
  switch (count) {
    case 1: return log_likelihood_sets_of<1>(x, weights, sets, log_likelihoods);
    case 2: return log_likelihood_sets_of<2>(x, weights, sets, log_likelihoods);
    default: return log_likelihood_sets_of<3>(x, weights, sets, log_likelihoods);
  }
}

// One copy per instruction set, chosen by the active variant (simd_loops_use_avx2).
[[gnu::target("avx2")]] void log_likelihood_sets_avx2(std::span<const double> x, std::span<const double> weights,
                                                      const DensityTerms* sets, std::size_t count,
                                                      double* log_likelihoods) {
  log_likelihood_sets_any(x, weights, sets, count, log_likelihoods);
}

void log_likelihood_sets(std::span<const double> x, std::span<const double> weights, const DensityTerms* sets,
                         std::size_t count, double* log_likelihoods) {
  if (simd_loops_use_avx2()) return log_likelihood_sets_avx2(x, weights, sets, count, log_likelihoods);
  log_likelihood_sets_any(x, weights, sets, count, log_likelihoods);
}


// The log-likelihood of one parameter pair and its forward differences, from one pass.
//
// With q_i = (x_i - x0)^2 + e^2, the density of sample i is (1 / q_i) / S, S the trapezoid
// integral of 1 / q over the grid: the width's factor and pi times the window mass cancel in the
// normalisation (unless their floors act). Hence LL = -sum w_i ln q_i - W ln S, W the weight sum.
// Moving one parameter to its shifted value changes each ln d_i by
// log1p(rho_i) - log1p(dS / S), where rho_i = (q_i - q'_i) / q'_i and dS is the trapezoid
// integral of 1/q' - 1/q = rho / q. The difference q_i - q'_i is formed exactly rather than by
// subtraction: h (a_i + a'_i) for a centre moved by h (a = x - x0), (e - e')(e + e') for a width.
// Summing the differences sample by sample keeps the forward-difference gradient exact to
// rounding; subtracting two log-likelihoods of size 1e5 formed separately leaves noise of order
// 1e-3 in it, far above the minimiser's tolerance of 1e-5, and the fit then ends wherever a line
// search first fails in that noise.
struct ShiftTerms {
  double x0;            // the shifted set's centre (the base centre for a width shift)
  double half_width_squared;
  double step;          // h = x0' - x0, exact; 0 for a width shift
  double width_change;  // (e - e')(e + e'); 0 for a centre shift
};

struct GridExtent {
  double low, high;
};

GridExtent grid_extent(std::span<const double> x) {
  GridExtent grid{x.empty() ? 0.0 : x[0], x.empty() ? 0.0 : x[0]};
  // fmin and fmax written as selects (a NaN sample is passed over, a NaN start replaced), so that
  // the loop needs no library call per sample.
  for (double at : x) {
    grid.low = (at < grid.low || grid.low != grid.low) ? at : grid.low;
    grid.high = (at > grid.high || grid.high != grid.high) ? at : grid.high;
  }
  return grid;
}

struct PassSums {
  double integral = 0.0;        // S
  double weighted_log_q = 0.0;  // sum w ln q
  double weight = 0.0;          // W
  double integral_change[2] = {};
  double log_ratio[2] = {};     // sum w log1p(rho)
};

constexpr std::size_t kLanes = 4;
constexpr std::size_t kPassBlock = 256;

// The density ratios' logarithms below take log1p_small's factored order (within 1.5 ulps of the
// result). A shift of 1e-7 gives |r| <= 1e-7 / e + (1e-7 / e)^2, at most 2e-6 for the fit's
// smallest width 0.1, well inside its range.

// Four samples side by side, written as vectors so that the compiler need not find the lanes
// itself (left to it, it interleaved the per-shift arrays and spent as many shuffles as
// arithmetic). Each operation is the scalar formula's, rounded as written (no contraction), so a
// lane holds what the scalar code would. Vectors travel by reference: a four-lane vector passed by
// value would take an ABI of its own.
using Quad = double __attribute__((vector_size(32)));
using QuadMask = long long __attribute__((vector_size(32)));

[[gnu::always_inline]] inline void load_quad(const double* from, Quad& to) { std::memcpy(&to, from, sizeof to); }
[[gnu::always_inline]] inline void store_quad(const Quad& from, double* to) { std::memcpy(to, &from, sizeof from); }
[[gnu::always_inline]] inline double lane_total(const Quad& lanes) { return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]); }

// Zero in the lanes from `count` on. Added to an accumulator that started at +0 it changes
// nothing: such a sum is never -0, and x + 0 = x for every other x.
[[gnu::always_inline]] inline void keep_first_lanes(std::size_t count, Quad& v) {
  const QuadMask lane{0, 1, 2, 3};
  const Quad zero{0.0, 0.0, 0.0, 0.0};
  v = lane < static_cast<long long>(count) ? v : zero;
}

// log1p_small<Log1pOrder::kFactored> on four lanes: the same operations in the same order.
[[gnu::always_inline]] inline void log1p_small_factored(const Quad& r, Quad& out) {
  out = r * (1.0 + r * (-0.5 + r * (1.0 / 3.0 - r * 0.25)));
}

// One block's per-sample terms. samples[kLanes - 1] holds the sample before the block,
// samples[kLanes + i] sample i of the block. Index 0 of inverse[] and change[] carries the previous
// block's last sample for the trapezoid; the grid's first sample pairs with itself over a zero step.
template <std::size_t kShifts>
struct PassBlock {
  alignas(32) double samples[kPassBlock + 2 * kLanes];
  alignas(32) double log_q[kPassBlock], step[kPassBlock], inverse[kPassBlock + kLanes];
  alignas(32) double ratio[kShifts + 1][kPassBlock], change[kShifts + 1][kPassBlock + kLanes];
};

// The per-sample terms of the block's first `groups` groups of four: q (into log_q, for the
// logarithms), the step to the sample before, 1 / q, and for each shift rho = (q - q') / q' and
// rho / q'.
template <std::size_t kShifts>
[[gnu::always_inline]] inline void block_terms(PassBlock<kShifts>& b, std::size_t groups, double x0,
                                               double half_width_squared, const ShiftTerms* shifts) {
  for (std::size_t i = 0; i < groups * kLanes; i += kLanes) {
    Quad xs, before;
    load_quad(b.samples + kLanes + i, xs);
    load_quad(b.samples + kLanes - 1 + i, before);
    const Quad a = xs - x0;
    const Quad q = a * a + half_width_squared;
    store_quad(q, b.log_q + i);
    store_quad(xs - before, b.step + i);
    // One division serves the reciprocals of q and of every shifted q': 1 / (q q'_1 q'_2)
    // times the other factors (the caller keeps the product finite and normal).
    Quad shifted_q[kShifts + 1], change_of_q[kShifts + 1];
    Quad product = q;
    for (std::size_t j = 0; j < kShifts; ++j) {
      const Quad shifted_a = xs - shifts[j].x0;
      shifted_q[j] = shifted_a * shifted_a + shifts[j].half_width_squared;
      change_of_q[j] = shifts[j].step * (a + shifted_a) + shifts[j].width_change;
      product *= shifted_q[j];
    }
    const Quad reciprocal = 1.0 / product;
    Quad inverse_q, ratios[kShifts + 1];
    if constexpr (kShifts == 0) {
      inverse_q = reciprocal;
    } else if constexpr (kShifts == 1) {
      inverse_q = shifted_q[0] * reciprocal;
      ratios[0] = change_of_q[0] * (q * reciprocal);
    } else {
      inverse_q = (shifted_q[0] * shifted_q[1]) * reciprocal;
      ratios[0] = change_of_q[0] * ((q * shifted_q[1]) * reciprocal);
      ratios[1] = change_of_q[1] * ((q * shifted_q[0]) * reciprocal);
    }
    store_quad(inverse_q, b.inverse + i + 1);
    for (std::size_t j = 0; j < kShifts; ++j) {
      store_quad(ratios[j], b.ratio[j] + i);
      store_quad(ratios[j] * inverse_q, b.change[j] + i + 1);
    }
  }
}

template <std::size_t kShifts>
struct LaneSums {
  Quad integral, weighted_log_q, weight;
  Quad integral_change[kShifts + 1], log_ratio[kShifts + 1];
};

// Adds the block's `len` trapezoid terms and its first `weighted` weighted terms (weights `ws`,
// logarithms in log_q) to the lanes.
template <std::size_t kShifts>
[[gnu::always_inline]] inline void add_block(const PassBlock<kShifts>& b, std::size_t len, std::size_t weighted,
                                             const double* ws, LaneSums<kShifts>& lanes) {
  for (std::size_t i = 0; i < len; i += kLanes) {
    Quad at, next, term;
    load_quad(b.step + i, at);
    load_quad(b.inverse + i, term);
    load_quad(b.inverse + i + 1, next);
    term = at * ((term + next) * 0.5);
    keep_first_lanes(len - i, term);
    lanes.integral += term;
    for (std::size_t j = 0; j < kShifts; ++j) {
      load_quad(b.change[j] + i, term);
      load_quad(b.change[j] + i + 1, next);
      term = at * ((term + next) * 0.5);
      keep_first_lanes(len - i, term);
      lanes.integral_change[j] += term;
    }
  }
  for (std::size_t i = 0; i < weighted; i += kLanes) {
    const std::size_t count = std::min(kLanes, weighted - i);
    Quad weights_here, term;
    if (count == kLanes) {
      load_quad(ws + i, weights_here);
    } else {
      alignas(32) double last[kLanes];
      for (std::size_t l = 0; l < kLanes; ++l) last[l] = l < count ? ws[i + l] : 0.0;
      load_quad(last, weights_here);
    }
    load_quad(b.log_q + i, term);
    term = weights_here * term;
    keep_first_lanes(count, term);
    lanes.weighted_log_q += term;
    lanes.weight += weights_here;
    for (std::size_t j = 0; j < kShifts; ++j) {
      Quad r;
      load_quad(b.ratio[j] + i, r);
      log1p_small_factored(r, term);
      term = weights_here * term;
      keep_first_lanes(count, term);
      lanes.log_ratio[j] += term;
    }
  }
}

// Sums are kept in four lanes by sample index modulo 4 (blocks start at multiples of 4) and
// combined in a fixed order. A block's last group of fewer than four samples runs in the vector
// too, its missing lanes formed from copies of the last sample and then zeroed.
template <std::size_t kShifts>
[[gnu::always_inline]] inline PassSums fused_pass_of(std::span<const double> x, std::span<const double> w,
                                                     double x0, double half_width_squared,
                                                     const ShiftTerms* shifts) {
  const std::size_t n = x.size();
  const std::size_t used = std::min(n, w.size());
  const Quad zero{0.0, 0.0, 0.0, 0.0};
  LaneSums<kShifts> lanes;
  lanes.integral = lanes.weighted_log_q = lanes.weight = zero;
  for (std::size_t j = 0; j <= kShifts; ++j) lanes.integral_change[j] = lanes.log_ratio[j] = zero;
  PassBlock<kShifts> b;
  b.samples[kLanes - 1] = x[0];
  for (std::size_t start = 0; start < n; start += kPassBlock) {
    check_interrupt();
    const std::size_t len = std::min(kPassBlock, n - start);
    const std::size_t groups = (len + kLanes - 1) / kLanes;
    std::memcpy(b.samples + kLanes, x.data() + start, len * sizeof(double));
    for (std::size_t i = len; i < groups * kLanes; ++i) b.samples[kLanes + i] = b.samples[kLanes + len - 1];
    block_terms(b, groups, x0, half_width_squared, shifts);
    if (start == 0) {
      b.inverse[0] = b.inverse[1];
      for (std::size_t j = 0; j < kShifts; ++j) b.change[j][0] = b.change[j][1];
    }
    const std::size_t weighted = start < used ? std::min(len, used - start) : 0;
    log_in_place({b.log_q, weighted});
    add_block(b, len, weighted, w.data() + start, lanes);
    b.samples[kLanes - 1] = b.samples[kLanes + len - 1];
    b.inverse[0] = b.inverse[len];
    for (std::size_t j = 0; j < kShifts; ++j) b.change[j][0] = b.change[j][len];
  }
  PassSums sums;
  sums.integral = lane_total(lanes.integral);
  sums.weighted_log_q = lane_total(lanes.weighted_log_q);
  sums.weight = lane_total(lanes.weight);
  for (std::size_t j = 0; j < kShifts; ++j) {
    sums.integral_change[j] = lane_total(lanes.integral_change[j]);
    sums.log_ratio[j] = lane_total(lanes.log_ratio[j]);
  }
  return sums;
}

[[gnu::always_inline]] inline PassSums fused_pass_any(std::span<const double> x, std::span<const double> w, double x0,
                                                      double half_width_squared, const ShiftTerms* shifts,
                                                      std::size_t count) {
  switch (count) {
    case 0: return fused_pass_of<0>(x, w, x0, half_width_squared, shifts);
    case 1: return fused_pass_of<1>(x, w, x0, half_width_squared, shifts);
    default: return fused_pass_of<2>(x, w, x0, half_width_squared, shifts);
  }
}

[[gnu::target("avx2")]] PassSums fused_pass_avx2(std::span<const double> x, std::span<const double> w, double x0,
                                                 double half_width_squared, const ShiftTerms* shifts,
                                                 std::size_t count) {
  return fused_pass_any(x, w, x0, half_width_squared, shifts, count);
}

PassSums fused_pass(std::span<const double> x, std::span<const double> w, double x0, double half_width_squared,
                    const ShiftTerms* shifts, std::size_t count) {
  if (simd_loops_use_avx2()) return fused_pass_avx2(x, w, x0, half_width_squared, shifts, count);
  return fused_pass_any(x, w, x0, half_width_squared, shifts, count);
}

// Whether the floors of the density leave the pair (x0, gamma) alone: the trapezoid integral
// T = gamma S / (pi max(mass, 1e-300)) is at least 1e-300 (then the window mass cancels, floored
// or not), and no density is so small that the 1e-200 added inside the logarithm counts. The
// margins (1e-290, 1e-180) cover the shifted pairs too, which differ from this one by 1e-4 at most.
bool floors_inactive(double x0, double gamma, double x_min, double x_max, double integral, double largest_q) {
  const DensityTerms t = density_terms(x0, gamma, x_min, x_max);
  const double trapezoid = gamma * integral / t.scale;
  return trapezoid > 1e-290 && std::isfinite(trapezoid) && 1.0 / (largest_q * integral) > 1e-180;
}

// The largest |rho_i| a shift can give, whatever the grid: |h| / e + (h / e)^2 for a centre moved
// by h, |e^2 - e'^2| / e'^2 for a width.
double largest_ratio(const ShiftTerms& t, double half_width_squared) {
  if (t.step != 0.0) {
    const double relative = std::fabs(t.step) / std::sqrt(half_width_squared);
    return relative + relative * relative;
  }
  return std::fabs(t.width_change) / t.half_width_squared;
}

// LL at `base` and LL(shifted) - LL(base) for each shift, from the fused pass where the floors
// leave the closed form valid, else from separate log-likelihoods.
double log_likelihood_and_differences(std::span<const double> x, std::span<const double> w, const GridExtent& grid,
                                      const std::array<double, 2>& base, std::span<const Shift> shifts,
                                      double x_min, double x_max, std::span<double> differences) {
  const double x0 = base[LorentzianParameter::x0], gamma = base[LorentzianParameter::gamma];
  const double e = 0.5 * gamma;
  ShiftTerms terms[2] = {};
  std::array<double, 2> shifted_sets[2];
  bool valid = x.size() >= 2;
  for (std::size_t j = 0; j < shifts.size(); ++j) {
    shifted_sets[j] = base;
    shifted_sets[j][shifts[j].index] = shifts[j].value;
    if (shifts[j].index == LorentzianParameter::x0) {
      terms[j] = {shifts[j].value, e * e, shifts[j].value - x0, 0.0};
    } else {
      const double shifted_e = 0.5 * shifts[j].value;
      terms[j] = {x0, shifted_e * shifted_e, 0.0, (e - shifted_e) * (e + shifted_e)};
    }
    valid = valid && largest_ratio(terms[j], e * e) < 1e-4;
  }
  // The pass forms the product of q and the shifted q's, each between e^2 and the largest q on
  // the grid [low, high] (to within the shifts' 1e-4): it must stay finite and normal.
  const double farthest = std::fmax(std::fabs(grid.low - x0), std::fabs(grid.high - x0));
  const double largest_q = farthest * farthest + e * e;
  const double factors = static_cast<double>(shifts.size() + 1);
  valid = valid && std::pow(largest_q * 1.01, factors) < 1e300 && std::pow(e * e * 0.99, factors) > 1e-300;
  if (valid) {
    const PassSums sums = fused_pass(x, w, x0, e * e, terms, shifts.size());
    valid = floors_inactive(x0, gamma, x_min, x_max, sums.integral, largest_q);
    const double log_likelihood = -sums.weighted_log_q - sums.weight * std::log(sums.integral);
    valid = valid && std::isfinite(log_likelihood);
    for (std::size_t j = 0; j < shifts.size(); ++j) {
      differences[j] = sums.log_ratio[j] - sums.weight * std::log1p(sums.integral_change[j] / sums.integral);
      valid = valid && std::isfinite(differences[j]);
    }
    if (valid) return log_likelihood;
  }
  DensityTerms sets[3];
  sets[0] = density_terms(x0, gamma, x_min, x_max);
  for (std::size_t j = 0; j < shifts.size(); ++j) sets[j + 1] = density_terms(shifted_sets[j][LorentzianParameter::x0],
                                                                   shifted_sets[j][LorentzianParameter::gamma], x_min, x_max);
  double log_likelihoods[3];
  log_likelihood_sets(x, w, sets, shifts.size() + 1, log_likelihoods);
  for (std::size_t j = 0; j < shifts.size(); ++j) differences[j] = log_likelihoods[j + 1] - log_likelihoods[0];
  return log_likelihoods[0];
}

[[gnu::always_inline]] inline double normalised_density(std::span<const double> x, double x0, double gamma,
                                                        double x_min, double x_max, std::span<double> row) {
  const DensityTerms terms = density_terms(x0, gamma, x_min, x_max);
  const std::size_t n = std::min(x.size(), row.size());
  double* __restrict d = row.data();
  unnormalised_density(terms, x.data(), n, d);
  double integral = 0.0;
  for (std::size_t j = 0; j + 1 < n; ++j) integral += (x[j + 1] - x[j]) * ((d[j] + d[j + 1]) * 0.5);
  const double normaliser = n < 2 ? 1e-300 : std::fmax(integral, 1e-300);
  for (std::size_t i = 0; i < n; ++i) d[i] = d[i] / normaliser;
  return normaliser;
}

[[gnu::target("avx2")]] double normalised_density_avx2(std::span<const double> x, double x0, double gamma,
                                                       double x_min, double x_max, std::span<double> row) {
  return normalised_density(x, x0, gamma, x_min, x_max, row);
}

}  // namespace

double lorentzian_density(std::span<const double> x, double x0, double gamma, double x_min,
                          double x_max, std::span<double> row) {
  if (simd_loops_use_avx2()) return normalised_density_avx2(x, x0, gamma, x_min, x_max, row);
  return normalised_density(x, x0, gamma, x_min, x_max, row);
}

double lorentzian_log_likelihood(std::span<const double> x, std::span<const double> weights,
                                 double x0, double gamma, double x_min, double x_max) {
  const DensityTerms terms = density_terms(x0, gamma, x_min, x_max);
  double log_likelihood = 0.0;
  log_likelihood_sets(x, weights, &terms, 1, &log_likelihood);
  return log_likelihood;
}

double lorentzian_log_likelihood_differences(std::span<const double> x, std::span<const double> weights,
                                             double x0, double gamma, std::span<const Shift> shifts,
                                             double x_min, double x_max, std::span<double> differences) {
  if (shifts.size() > 2 || differences.size() < shifts.size()) fail_index(differences.size(), shifts.size());
  return log_likelihood_and_differences(x, weights, grid_extent(x), {x0, gamma}, shifts, x_min, x_max, differences);
}

namespace {

// The Lorentzian's single-peak fit problem. A free centre starts from the weighted mean and a free
// width from the half-width that would match the spread, whatever the incoming values.
class LorentzianFit {
 public:
  using Values = std::array<double, 2>;
  static constexpr auto kNames = LorentzianParameter::kNames;

  LorentzianFit(std::span<const double> x, std::span<const double> weights, double x_min, double x_max,
                std::uint64_t* passes)
      : x_(x), weights_(weights), x_min_(x_min), x_max_(x_max), passes_(passes), grid_(grid_extent(x)) {}

  std::span<const double> weights() const { return weights_; }

  FreeRange free_range(std::size_t parameter, const Values& /*values*/, double total) const {
    const std::size_t n = std::min(x_.size(), weights_.size());
    if (parameter == LorentzianParameter::x0) {
      double first_moment = 0.0;
      for (std::size_t i = 0; i < n; ++i) first_moment += x_[i] * weights_[i];
      return {first_moment / total, x_min_, x_max_, ReadBack::AsIs};
    }
    double raw_second_moment = 0.0;
    for (std::size_t i = 0; i < n; ++i) raw_second_moment += x_[i] * x_[i] * weights_[i];
    // The width of a Lorentzian whose half-width would match the spread, 2 ln 2 M2 / S, as a
    // start only; a NaN root starts from the lower bound.
    const double start = std::fmax(std::sqrt((raw_second_moment / total) * 1.3862943611198906), kLorentzianWidthMin);
    return {start, kLorentzianWidthMin, kLorentzianWidthMax, ReadBack::ClampNanToLower};
  }

  double log_likelihood_differences(const Values& base, std::span<const Shift> shifts, std::span<double> differences) {
    if (passes_) *passes_ += shifts.size() + 1;
    return log_likelihood_and_differences(x_, weights_, grid_, base, shifts, x_min_, x_max_, differences);
  }

 private:
  std::span<const double> x_, weights_;
  double x_min_, x_max_;
  std::uint64_t* passes_;
  GridExtent grid_;
};

}  // namespace

bool lorentzian_fit(std::span<const double> x, std::span<const double> weights, double& x0,
                    double& gamma, bool fix_x0, bool fix_gamma, double x_min, double x_max,
                    std::uint64_t* passes) {
  LorentzianFit fit(x, weights, x_min, x_max, passes);
  LorentzianFit::Values values{x0, gamma};
  if (!fit_single_peak(fit, {fix_x0, fix_gamma}, values).fitted()) return false;
  // Weights whose sums overflow start the centre at inf / inf: a fit that ends at values that are
  // not numbers has fitted nothing.
  if (std::isnan(values[LorentzianParameter::x0]) || std::isnan(values[LorentzianParameter::gamma])) return false;
  print_line("LBFGSB finished\n");
  x0 = values[LorentzianParameter::x0];
  gamma = values[LorentzianParameter::gamma];
  return true;
}

void LorentzianPeaks::density(std::size_t k, std::span<const double> x, const Window& window,
                              std::span<double> row) const {
  lorentzian_density(x, values[Names::x0][k], values[Names::gamma][k], window.min, window.max, row);
}

LorentzianPeaks::Parameters LorentzianPeaks::refit(std::size_t k, std::span<const double> x,
                                                   std::span<const double> weights,
                                                   const Window& window,
                                                   std::span<double> /*scratch*/) const {
  Parameters p = current(k);
  lorentzian_fit(x, weights, p[Names::x0], p[Names::gamma], fixed[Names::x0][k], fixed[Names::gamma][k], window.min,
                 window.max);
  return p;
}

template EmResult run_em(LorentzianPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
