#include "shapes/pseudo_voigt/pseudo_voigt.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "em_engine.hpp"
#include "failure.hpp"
#include "interrupt.hpp"
#include "numerics/root_finder.hpp"
#include "parallel.hpp"
#include "peak_fit.hpp"
#include "shapes/lorentzian/window_mass.hpp"
#include "shapes/pseudo_voigt/vector_pass.hpp"
#include "simd/exp_scalar.hpp"
#include "vector_math.hpp"

namespace brivane {

namespace {

constexpr double kSqrtTwoPi = 2.5066282746310002;
constexpr double kDensityFloor = 1e-20;  // added inside the logarithm
constexpr double kMassFloor = 1e-300;
constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kEightLnTwo = 5.545177444479562;  // 1 / (2 sigma^2) = 4 ln 2 / gamma^2
constexpr double kShareFloor = 1e-300;
// The conditional maximisation's root searches: absolute, on values and on distances alike
// (see search_tolerance for brackets beyond 2^18).
constexpr double kRootTolerance = 1e-10;
constexpr double kWidthBracketLow = 0.1;
constexpr std::size_t kGridPoints = 10;

// Samples are processed in blocks so that the exponentials and logarithms run over short
// contiguous buffers that stay in cache.
constexpr std::size_t kBlock = 256;

// The Lorentzian part's window masses scale the ends' angle difference once.
constexpr MassOrder kMassOrder = MassOrder::kScaleDifference;

// What the density of one parameter set needs at every sample, formed once per call.
using Profile = PseudoVoigtProfile;

Profile profile(const PseudoVoigtPeak& peak, double x_min, double x_max) {
  const double sigma = peak.gamma / kFwhmPerSigma;
  const double mass = pseudo_voigt_window_mass(peak.x0, peak.gamma, x_min, x_max);
  return {peak.x0, sigma, sigma * kSqrtTwoPi, peak.gamma * 0.5, peak.eta, (1.0 - peak.eta) / mass};
}

// The Gaussian part G and the Lorentzian part L (before division by Z) of `len` samples.
inline void density_parts(const Profile& p, const double* __restrict x, std::size_t len, double* __restrict g,
                          double* __restrict l) {
  for (std::size_t i = 0; i < len; ++i) {
    const double d = x[i] - p.x0;
    const double z = d / p.sigma;
    g[i] = exp_kernel(z * -0.5 * z) / p.gaussian_normaliser;
    l[i] = p.half_width / ((d * d + p.half_width * p.half_width) * std::numbers::pi);
  }
}

[[gnu::always_inline]] inline void density_row_any(const Profile& p, const double* x, std::size_t n, double* out) {
  double l[kBlock];
  for (std::size_t start = 0; start < n; start += kBlock) {
  check_interrupt();
    const std::size_t len = std::min(kBlock, n - start);
    double* __restrict g = out + start;
    density_parts(p, x + start, len, g, l);
    for (std::size_t i = 0; i < len; ++i) g[i] = p.eta * g[i] + l[i] * p.lorentzian_weight;
  }
}

// One copy per instruction set, chosen by the active variant (simd_loops_use_avx2).
[[gnu::target("avx2")]] void density_row_avx2(const Profile& p, const double* x, std::size_t n, double* out) {
  density_row_any(p, x, n, out);
}

void density_row(const Profile& p, const double* x, std::size_t n, double* out) {
  if (simd_loops_use_avx2()) return density_row_avx2(p, x, n, out);
  density_row_any(p, x, n, out);
}

// The log-likelihood sum_i w_i ln(eta G_i + L_i (1 - eta)/Z + 1e-20) over the first m samples, on
// the calling thread, in the fixed order of every sum over samples (vector_math.hpp: chunks of
// kSumChunk, eight lanes each, the chunks added in order). It is the mixing searches' pass with one
// candidate, so a score of theirs and this log-likelihood at the same parameters are the same
// number.
double log_likelihood_of(const Profile& p, const double* x, const double* w, std::size_t m) {
  const PseudoVoigtMixingPass pass{x, w, p, 1, &p.eta, &p.lorentzian_weight};
  const auto chunk = pseudo_voigt_kernels().mixing_chunk;
  alignas(64) double scratch[kPseudoVoigtMixingScratch];
  double total = 0.0;
  for (std::size_t begin = 0; begin < m; begin += kSumChunk) {
    double sum;
    chunk(pass, begin, std::min(m, begin + kSumChunk), &sum, scratch);
    total += sum;
  }
  return total;
}

// ---- Forward differences of the log-likelihood ---------------------------------------------------
//
// The minimiser's gradient is (LL(theta + 1e-7 e_j) - LL(theta)) / 1e-7. Two log-likelihoods of
// size 1e5 formed separately and subtracted keep about 1e-11 of absolute rounding each, so the
// quotient carries noise of order 1e-4, far above the projected-gradient tolerance of 1e-5; the
// fit then ends wherever a line search first fails in that noise. Instead each sample's change
// ln(p'_i + 1e-20) - ln(p_i + 1e-20) = log1p((p'_i - p_i) / (p_i + 1e-20)) is summed, with
// p' - p = eta (G' - G) + c' (L' - L) + (c' - c) L, c = (1 - eta) / Z, and every one of those
// differences formed from exact or accurately known differences of its inputs:
//   G' - G = G expm1(E' - E) for a centre moved by s, E' - E = (s / sigma) (z + z') / 2;
//   G' - G = G (expm1(E' - E) sigma / sigma' - (sigma' - sigma) / sigma') for a width moved,
//            E' - E = (a (sigma' - sigma) / (sigma sigma')) (z + z') / 2, a = x - x0;
//   L' - L = L s (a + a') / q' for the centre (q = a^2 + h^2, q - q' = s (a + a'));
//   L' - L = L ((h' - h) / h) (a^2 - h h') / q' for the width;
//   Z' - Z from atan(u') - atan(u) = atan2(u' - u, 1 + u u') at both window ends.
// Each difference is then accurate relative to itself, and so is their sum. Where a floor of the
// window mass acts, c' - c is formed by subtraction; where a sample's route gives no number (an
// exponential that overflows in one set and not the other, a non-finite density) its two
// logarithms are subtracted instead.
//
// The value matters as much: near the optimum a line search must see decreases of about 1e-13
// in a log-likelihood of 1e5, while the running sum of its terms rounds by about 1e-9 over a few
// thousand samples. The value handed to the minimiser is therefore summed with compensation
// (Neumaier's variant of Kahan's sum) in each of the eight lanes of a chunk, then over the lanes
// and over the chunks in order, which leaves only the terms' own rounding; it may differ from
// pseudo_voigt_log_likelihood in the last bits. The pass is the vector kernel
// pseudo_voigt_objective_chunk (shapes/pseudo_voigt/vector_kernels.hpp), on the calling thread.
//
// Measured on 160 bounded fits of synthetic peaks (four windows, eta from 0 to 0.95, 300 and
// 3000 samples, five starts): with differences of two whole sums 4 converge and the points
// returned lie up to 2.6e-5 from the likelihood's maximum; with the differences below and a
// plain sum for the value, 94 converge, up to 4.6e-7 away; with the compensated value, 136
// converge and every point lies within 9e-8 of the maximum. That last gap is the forward
// difference's own: it is the derivative half a step (5e-8) away, so where the curvature is large
// its zero and the likelihood's maximum differ by that much, and the remaining fits end in a line
// search that cannot find a decrease between the two.

using ShiftTerms = PseudoVoigtShift;

// The change of the Lorentzian weight (1 - eta) / Z between two parameter sets.
double lorentzian_weight_change(const PseudoVoigtPeak& base, const PseudoVoigtPeak& moved, double x_min, double x_max,
                                double base_weight, double moved_weight) {
  const double h = base.gamma * 0.5, moved_h = moved.gamma * 0.5;
  const double base_mass = lorentzian_window_mass<kMassOrder>(base.x0, h, x_min, x_max);
  const double moved_mass = lorentzian_window_mass<kMassOrder>(moved.x0, moved_h, x_min, x_max);
  const double direct = moved_weight - base_weight;
  if (!(base_mass > kMassFloor && moved_mass > kMassFloor)) return direct;  // a floor acts (or a NaN)
  auto end_change = [&](double end) {
    const double u = (end - base.x0) / h, moved_u = (end - moved.x0) / moved_h;
    // u' - u without cancellation: -(x0' - x0) / h for the centre, (end - x0)(h - h') / (h h')
    // for the width.
    const double change = moved.x0 != base.x0 ? -(moved.x0 - base.x0) / h
                                              : (end - base.x0) * ((h - moved_h) / (h * moved_h));
    // atan2 keeps the difference right when u and u' straddle zero with |u u'| > 1 (a centre
    // moved across a window end by more than the half width).
    return std::atan2(change, 1.0 + u * moved_u);
  };
  const double mass_change = (end_change(x_max) - end_change(x_min)) * std::numbers::inv_pi;
  const double change = -(1.0 - base.eta) * mass_change / (base_mass * moved_mass);
  return std::isfinite(change) ? change : direct;
}

ShiftTerms shift_terms(const PseudoVoigtPeak& base, const Profile& p, const Shift& shift, double x_min,
                       double x_max) {
  PseudoVoigtPeak moved = base;
  (shift.index == PseudoVoigtParameter::x0 ? moved.x0 : moved.gamma) = shift.value;
  ShiftTerms t{};
  t.moved = profile(moved, x_min, x_max);
  t.centre = shift.index == PseudoVoigtParameter::x0;
  if (t.centre) {
    t.step = moved.x0 - base.x0;
    t.step_per_sigma = t.step / p.sigma;
  } else {
    const double sigma_change = (moved.gamma - base.gamma) / kFwhmPerSigma;
    t.z_change = sigma_change / (p.sigma * t.moved.sigma);
    t.sigma_ratio = p.sigma / t.moved.sigma;
    t.sigma_change_ratio = sigma_change / t.moved.sigma;
    t.half_width_ratio = ((moved.gamma - base.gamma) * 0.5) / p.half_width;
    t.half_width_product = p.half_width * t.moved.half_width;
  }
  t.weight_change = lorentzian_weight_change(base, moved, x_min, x_max, p.lorentzian_weight, t.moved.lorentzian_weight);
  return t;
}

// The mixing search's scores: the log-likelihood at one centre and width for each of a list of
// eta, in one pass over the samples that forms G and L once per chunk and takes one logarithm per
// sample and candidate. A score is pseudo_voigt_log_likelihood's number at its eta, whatever the
// other candidates of the pass. With `parallel` the chunks are shared among the worker pool; the
// sums' order is fixed by the grid alone, so the scores are the same for any number of threads.
// Allocates once, at construction.
class MixingScores {
 public:
  MixingScores(std::span<const double> x, std::span<const double> weights, std::size_t capacity, bool parallel)
      : x_(x.data()), w_(weights.data()),
        sums_(std::min(x.size(), weights.size()), capacity, kPseudoVoigtMixingScratch, parallel),
        lorentzian_weight_(capacity), totals_(capacity) {}

  std::size_t chunks() const { return sums_.chunks(); }

  // Scores eta[j] for j < count (at most the capacity) at (x0, gamma) into scores[j].
  void score(double x0, double gamma, double x_min, double x_max, const double* eta, std::size_t count,
             double* scores) {
    const double mass = pseudo_voigt_window_mass(x0, gamma, x_min, x_max);
    for (std::size_t j = 0; j < count; ++j) lorentzian_weight_[j] = (1.0 - eta[j]) / mass;
    const PseudoVoigtMixingPass pass{x_, w_, profile({x0, gamma, 0.0}, x_min, x_max), count, eta,
                                     lorentzian_weight_.data()};
    const auto chunk = pseudo_voigt_kernels().mixing_chunk;
    // Entries past `count` of each chunk's sums are left over from earlier passes and unused.
    sums_.run([&](std::size_t begin, std::size_t end, double* sums, double* scratch) {
      chunk(pass, begin, end, sums, scratch);
    }, totals_);
    std::copy(totals_.begin(), totals_.begin() + static_cast<std::ptrdiff_t>(count), scores);
  }

 private:
  const double* x_;
  const double* w_;
  ChunkedSums sums_;
  std::vector<double> lorentzian_weight_, totals_;
};

// The objective's pass: the log-likelihood and its forward differences at a parameter set, over
// the first m samples. The value is summed with compensation in every lane, over the lanes and
// over the chunks in chunk order; the differences in the fixed order of every sum over samples.
// With `parallel` the chunks are shared among the worker pool, with the same result. Allocates
// once, at construction.
class ObjectivePass {
 public:
  ObjectivePass(std::span<const double> x, std::span<const double> weights, std::size_t shifts, bool parallel)
      : x_(x.data()), w_(weights.data()), sums_(std::min(x.size(), weights.size()), 2 + shifts, 0, parallel) {}

  double run(const Profile& p, const ShiftTerms* shifts, std::size_t count, double* differences) {
    PseudoVoigtObjectivePass pass{x_, w_, p, count, {}};
    for (std::size_t j = 0; j < count; ++j) pass.shift[j] = shifts[j];
    const auto chunk = pseudo_voigt_kernels().objective_chunk;
    double totals[4];
    sums_.run([&](std::size_t begin, std::size_t end, double* sums, double* scratch) {
      chunk(pass, begin, end, sums, scratch);
    }, totals);
    for (std::size_t j = 0; j < count; ++j) differences[j] = totals[2 + j];
    double total = 0.0, compensation = 0.0;
    for (std::size_t c = 0; c < sums_.chunks(); ++c) {
      const std::span<const double> chunk_sums = sums_.chunk_sums(c);
      const double sum = total + chunk_sums[0];
      compensation += std::fabs(total) >= std::fabs(chunk_sums[0]) ? (total - sum) + chunk_sums[0]
                                                                   : (chunk_sums[0] - sum) + total;
      compensation += chunk_sums[1];
      total = sum;
    }
    // Once the running sum is infinite the compensation means nothing.
    return std::isfinite(total) ? total + compensation : total;
  }

 private:
  const double* x_;
  const double* w_;
  ChunkedSums sums_;
};


// The root searches' tolerance: 1e-10, or twice the spacing of doubles at the bracket's larger
// end where that spacing is coarser. From |x| = 2^18 on, neighbouring doubles lie more than 1e-10
// apart: a distance test at 1e-10 could never pass there, and a search would end only on a
// residual of exactly zero, otherwise spending its 100 steps and finding nothing (a centre near
// 1e6 would never move). Below 2^18 the tolerance is 1e-10.
double search_tolerance(double first_end, double second_end) {
  const double end = std::fmax(std::fabs(first_end), std::fabs(second_end));
  const double spacing = std::nextafter(end, std::numeric_limits<double>::infinity()) - end;
  return std::isfinite(spacing) ? std::fmax(kRootTolerance, 2.0 * spacing) : kRootTolerance;
}

// Brent's method at the conditional maximisation's tolerance on a bracket whose end values are
// already known: the search evaluates the first end and then the second before anything else,
// and those two calls are answered from the values given (f is a pure function of its argument).
template <class F>
RootResult find_root_from_ends(F&& f, double first_end, double second_end, double first_value,
                               double second_value) {
  int calls = 0;
  auto cached = [&](double at) {
    const int call = calls++;
    if (call == 0 && at == first_end) return first_value;
    if (call == 1 && at == second_end) return second_value;
    return f(at);
  };
  return find_root(cached, first_end, second_end, search_tolerance(first_end, second_end));
}

// sum_i w_i ln(eta G_i + (1 - eta) L_i + 1e-20): the log-likelihood that ranks the stationary
// points of the centre-and-width stage, with the Lorentzian part not divided by its window mass.
[[gnu::always_inline]] inline double unnormalised_log_likelihood_any(const double* x, const double* w, std::size_t m,
                                                                      double centre, double width, double eta) {
  const Profile p = profile({centre, width, eta}, 0.0, 1.0);  // the window mass is not used
  const double lorentzian_share = 1.0 - eta;
  double g[kBlock], l[kBlock];
  double total = 0.0;
  for (std::size_t start = 0; start < m; start += kBlock) {
    const std::size_t len = std::min(kBlock, m - start);
    density_parts(p, x + start, len, g, l);
    for (std::size_t i = 0; i < len; ++i) g[i] = eta * g[i] + lorentzian_share * l[i] + kDensityFloor;
    log_in_place({g, len});
    const double* __restrict ws = w + start;
    for (std::size_t i = 0; i < len; ++i) total += ws[i] * g[i];
  }
  return total;
}

[[gnu::target("avx2")]] double unnormalised_log_likelihood_avx2(const double* x, const double* w, std::size_t m,
                                                                double centre, double width, double eta) {
  return unnormalised_log_likelihood_any(x, w, m, centre, width, eta);
}

double unnormalised_log_likelihood(const double* x, const double* w, std::size_t m, double centre, double width,
                                   double eta) {
  if (simd_loops_use_avx2()) return unnormalised_log_likelihood_avx2(x, w, m, centre, width, eta);
  return unnormalised_log_likelihood_any(x, w, m, centre, width, eta);
}

struct CentreAndWidth {
  double centre;
  double width;
};

// The joint stationary point of Q in centre and width: a centre u is stationary when
// R(u) = T(u, g*(u)) - u vanishes, g*(u) the width root at u. Coarse grid over the window: the
// points whose width score changes sign over the width bracket are where a width root can exist.
// Fine grid over the span of those points: R on ten points, and a root search on every
// neighbouring pair where R changes sign. Of the stationary points found, the one with the
// highest unnormalised log-likelihood at the starting eta.
std::optional<CentreAndWidth> stationary_centre_and_width(const ShareWeightedSamples& samples,
                                                          std::span<const double> x,
                                                          std::span<const double> weights, double eta,
                                                          double x_min, double x_max) {
  const double span = x_max - x_min;
  double qualifying[kGridPoints];
  std::size_t qualifying_count = 0;
  for (std::size_t k = 0; k < kGridPoints; ++k) {
    const double u = x_min + (static_cast<double>(k) * span) / 9.0;
    if (opposite_signs(samples.width_score(u, kWidthBracketLow), samples.width_score(u, span))) {
      qualifying[qualifying_count++] = u;
    }
  }
  if (qualifying_count == 0) return std::nullopt;

  const double low = qualifying[0];
  const double fine_span = qualifying[qualifying_count - 1] - low;
  // A single point (one qualifying grid point, or several within 1e-12) has no pairs to search.
  const std::size_t fine_count = fine_span < 1e-12 ? 1 : kGridPoints;
  double fine[kGridPoints], residual[kGridPoints];
  auto residual_at = [&](double u) {
    const std::optional<double> width = samples.width_root(u);
    return width ? samples.centre_update(u, *width) - u : std::numeric_limits<double>::quiet_NaN();
  };
  for (std::size_t j = 0; j < fine_count; ++j) {
    fine[j] = fine_count == 1 ? low : low + (static_cast<double>(j) * fine_span) / 9.0;
    residual[j] = residual_at(fine[j]);
  }

  CentreAndWidth candidates[kGridPoints - 1];
  double scores[kGridPoints - 1];
  std::size_t count = 0;
  // Inside a search a centre without a width root counts as a root, which then yields no
  // candidate below.
  auto search_residual = [&](double u) {
    const std::optional<double> width = samples.width_root(u);
    return width ? samples.centre_update(u, *width) - u : 0.0;
  };
  for (std::size_t j = 0; j + 1 < fine_count; ++j) {
    const double r0 = residual[j], r1 = residual[j + 1];
    if (!(std::isfinite(r0) && std::isfinite(r1) && r0 * r1 < 0.0)) continue;
    const RootResult centre = find_root_from_ends(search_residual, fine[j], fine[j + 1], r0, r1);
    if (!centre.converged()) continue;
    const std::optional<double> width = samples.width_root(centre.root);
    if (!width) continue;
    candidates[count++] = {centre.root, *width};
  }
  if (count == 0) return std::nullopt;

  const std::size_t m = std::min(x.size(), weights.size());
  for (std::size_t k = 0; k < count; ++k) {
    scores[k] = unnormalised_log_likelihood(x.data(), weights.data(), m, candidates[k].centre, candidates[k].width, eta);
  }
  return candidates[best_later_on_ties({scores, count})];
}

// eta from 0.80, 0.81, ..., 0.99 by the log-likelihood at (x0, gamma), ties to the larger eta.
double conditional_mixing_search(std::span<const double> x, std::span<const double> weights, double x0,
                                 double gamma, double x_min, double x_max) {
  constexpr std::size_t kValues = 20;
  std::array<double, kValues> eta, scores;
  for (std::size_t k = 0; k < kValues; ++k) eta[k] = static_cast<double>(k) * 0.01 + 0.8;
  MixingScores mixing(x, weights, kValues, false);
  mixing.score(x0, gamma, x_min, x_max, eta.data(), kValues, scores.data());
  return eta[best_later_on_ties(scores)];
}

// The full optimisation's mixing search: eta from 0.00, 0.01, ..., 0.99, the highest score
// winning, the earliest among equal ones, NaN and -inf never.
//
// Not every score needs forming. With weights that are finite and not negative, the exact
// log-likelihood f(eta) = sum w ln(eta G + (1 - eta) L / Z + 1e-20) of the G and L the pass forms
// is concave in eta (a weighted sum of logarithms of affine functions), and every computed score
// lies within a bound e of it (below). For two scored values a < b:
//   score(b) > score(a) + 2e  gives f(b) > f(a), so f(k) <= f(a) for every k <= a by concavity,
//                             and score(k) <= f(a) + e <= score(a) + 2e < score(b): no k <= a wins;
//   score(a) > score(b) + 2e  likewise rules out every k >= b.
// The search therefore scores a coarse grid of candidates, narrows the interval that can still
// hold the winner, scores within it, and at the end has scored every candidate of the interval:
// the winner is the one a scan of all 100 scores would pick. Where the shortcut does not apply (a
// negative, infinite or NaN weight, an extreme width, a score that is not finite) every candidate
// is scored.
//
// The bound e: a computed term w ln(a') with a' the floored density as rounded (all its parts are
// non-negative, so a' = a (1 + t), |t| <= 4.01u, u = 2^-53) differs from w ln(a) by at most
// |w| (4.01u + 2u L + u L) with |ln a'| <= L, the logarithm being within one unit in the last
// place; and the lanes' and chunks' additions, each term going through at most D of them
// (32 within its lane, 3 across the lanes, one per chunk and one more), add at most
// D u / (1 - D u) L sum |w|. L is the larger of ln(1e20) and the logarithm of the largest density
// 1 / (sigma sqrt(2 pi)) + 1 / (pi h Z) + 1e-20. e is four times the sum of these.
class FullMixingSearch {
 public:
  static constexpr std::size_t kValues = 100;

  // The chunks of samples go to the worker pool; each forms the scores of its samples, and the
  // scores are compared afterwards in index order, so the result is the same for any number of
  // threads.
  FullMixingSearch(std::span<const double> x, std::span<const double> weights) : mixing_(x, weights, kValues, true) {
    for (std::size_t k = 0; k < kValues; ++k) eta_[k] = static_cast<double>(k) * 0.01;
    const std::size_t m = std::min(x.size(), weights.size());
    double total = 0.0;
    bool usable = true;
    for (std::size_t i = 0; i < m; ++i) {
      usable = usable && weights[i] >= 0.0 && weights[i] < std::numeric_limits<double>::infinity();
      total += weights[i];
    }
    weight_total_ = usable ? total : std::numeric_limits<double>::quiet_NaN();
  }

  // The best eta at (x0, gamma) and its score, the log-likelihood there; none when every score
  // is -inf or NaN.
  std::optional<std::pair<double, double>> best(double x0, double gamma, double x_min, double x_max) {
    scores_.fill(std::numeric_limits<double>::quiet_NaN());
    scored_.fill(false);
    const double bound = score_error_bound(x0, gamma, x_min, x_max);
    if (std::isfinite(bound)) {
      narrowed_search(x0, gamma, x_min, x_max, bound);
    } else {
      score_all(x0, gamma, x_min, x_max);
    }
    // Candidates left unscored cannot win; as NaN they never do.
    const std::optional<std::size_t> best = best_earlier_on_ties(scores_);
    if (!best) return std::nullopt;
    return std::pair{eta_[*best], scores_[*best]};
  }

 private:
  // Candidates scored per pass while narrowing, and the coarse grid's spacing.
  static constexpr std::size_t kPerPass = 8;
  static constexpr std::size_t kCoarseSpacing = 11;

  double score_error_bound(double x0, double gamma, double x_min, double x_max) const {
    constexpr double kUnit = 0x1p-53;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Widths far from 1 could make the parts' squares underflow or overflow.
    if (!(std::isfinite(weight_total_) && std::isfinite(x0) && gamma >= 1e-100 && gamma <= 1e100)) return nan;
    const Profile p = profile({x0, gamma, 0.0}, x_min, x_max);
    const double mass = pseudo_voigt_window_mass(x0, gamma, x_min, x_max);
    const double largest = 1.0 / p.gaussian_normaliser + 1.0 / (std::numbers::pi * p.half_width * mass) + kDensityFloor;
    const double log_bound = std::fmax(46.1, std::log(largest * 1.01));
    const double depth = 32.0 + 3.0 + static_cast<double>(mixing_.chunks()) + 1.0;
    const double summation = depth * kUnit / (1.0 - depth * kUnit);
    const double bound = 4.0 * weight_total_ * (4.01 * kUnit + 3.01 * kUnit * log_bound + summation * log_bound * 1.01);
    return std::isfinite(bound) ? bound : nan;
  }

  void score(double x0, double gamma, double x_min, double x_max, const std::size_t* which, std::size_t count) {
    check_interrupt();
    double eta[kValues], scores[kValues];
    for (std::size_t j = 0; j < count; ++j) eta[j] = eta_[which[j]];
    mixing_.score(x0, gamma, x_min, x_max, eta, count, scores);
    for (std::size_t j = 0; j < count; ++j) {
      scores_[which[j]] = scores[j];
      scored_[which[j]] = true;
    }
  }

  void score_all(double x0, double gamma, double x_min, double x_max) {
    std::size_t which[kValues], count = 0;
    for (std::size_t k = 0; k < kValues; ++k) {
      if (!scored_[k]) which[count++] = k;
    }
    score(x0, gamma, x_min, x_max, which, count);
  }

  void narrowed_search(double x0, double gamma, double x_min, double x_max, double bound) {
    std::size_t which[kValues], count = 0;
    for (std::size_t k = 0; k < kValues; k += kCoarseSpacing) which[count++] = k;
    score(x0, gamma, x_min, x_max, which, count);
    std::size_t low = 0, high = kValues - 1;  // the candidates that can still win
    std::size_t open_before = kValues;
    for (;;) {
      // Narrow by every pair of neighbouring scored candidates.
      std::optional<std::size_t> previous;
      for (std::size_t k = 0; k < kValues; ++k) {
        if (!scored_[k]) continue;
        if (!std::isfinite(scores_[k])) {
          score_all(x0, gamma, x_min, x_max);
          return;
        }
        if (previous) {
          const double a = scores_[*previous], b = scores_[k];
          if (b > a + 2.0 * bound) low = std::max(low, *previous + 1);
          if (a > b + 2.0 * bound) high = std::min(high, k - 1);
        }
        previous = k;
      }
      if (low > high) {  // cannot happen; scoring everything is always right
        score_all(x0, gamma, x_min, x_max);
        return;
      }
      std::size_t open[kValues], open_count = 0;
      for (std::size_t k = low; k <= high; ++k) {
        if (!scored_[k]) open[open_count++] = k;
      }
      // Scores too close to tell apart (a flat likelihood) narrow nothing: score the rest at once.
      if (open_count <= kPerPass || open_count + kPerPass >= open_before) {
        score(x0, gamma, x_min, x_max, open, open_count);
        return;
      }
      open_before = open_count;
      count = 0;
      for (std::size_t j = 0; j < kPerPass; ++j) which[count++] = open[(2 * j + 1) * open_count / (2 * kPerPass)];
      score(x0, gamma, x_min, x_max, which, count);
    }
  }

  MixingScores mixing_;
  double weight_total_ = 0.0;  // NaN where a weight is negative, infinite or NaN
  std::array<double, kValues> eta_, scores_;
  std::array<bool, kValues> scored_;
};

}  // namespace

double pseudo_voigt_window_mass(double x0, double gamma, double x_min, double x_max) {
  // fmax returns the number when the other operand is NaN, so a NaN mass is floored as well.
  return std::fmax(lorentzian_window_mass<kMassOrder>(x0, gamma * 0.5, x_min, x_max), kMassFloor);
}

void pseudo_voigt_density(std::span<const double> x, const PseudoVoigtPeak& peak, double x_min, double x_max,
                          std::span<double> row) {
  if (row.size() < x.size()) fail_index(row.size(), row.size());
  density_row(profile(peak, x_min, x_max), x.data(), x.size(), row.data());
}

std::vector<double> pseudo_voigt_predict(std::span<const double> x, const PseudoVoigtPeak& peak, double x_min,
                                         double x_max) {
  std::vector<double> values(x.size());
  pseudo_voigt_density(x, peak, x_min, x_max, values);
  return values;
}

double pseudo_voigt_log_likelihood(std::span<const double> x, std::span<const double> weights,
                                   const PseudoVoigtPeak& peak, double x_min, double x_max) {
  const std::size_t m = std::min(x.size(), weights.size());
  return log_likelihood_of(profile(peak, x_min, x_max), x.data(), weights.data(), m);
}

double pseudo_voigt_log_likelihood_differences(std::span<const double> x, std::span<const double> weights,
                                               const PseudoVoigtPeak& peak, std::span<const Shift> shifts,
                                               double x_min, double x_max, std::span<double> differences) {
  if (shifts.size() > 2 || differences.size() < shifts.size()) fail_index(differences.size(), shifts.size());
  for (const Shift& shift : shifts) {
    if (shift.index > 1) fail_index(2, shift.index);
  }
  const Profile p = profile(peak, x_min, x_max);
  ShiftTerms terms[2];
  for (std::size_t j = 0; j < shifts.size(); ++j) terms[j] = shift_terms(peak, p, shifts[j], x_min, x_max);
  ObjectivePass pass(x, weights, shifts.size(), false);
  return pass.run(p, terms, shifts.size(), differences.data());
}

ComponentShares component_shares(std::span<const double> x, const PseudoVoigtPeak& peak, double x_min,
                                 double x_max) {
  const Profile p = profile(peak, x_min, x_max);
  const std::size_t n = x.size();
  ComponentShares shares{std::vector<double>(n), std::vector<double>(n)};
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(kBlock, n - start);
    double* __restrict g = shares.gaussian.data() + start;
    double* __restrict l = shares.lorentzian.data() + start;
    density_parts(p, x.data() + start, len, g, l);
    for (std::size_t i = 0; i < len; ++i) {
      const double gaussian = p.eta * g[i];
      const double lorentzian = l[i] * p.lorentzian_weight;
      const double total = gaussian + lorentzian + kShareFloor;
      g[i] = gaussian / total;
      l[i] = lorentzian / total;
    }
  }
  return shares;
}

ShareWeightedSamples::ShareWeightedSamples(std::span<const double> x, std::span<const double> weights,
                                           std::span<const double> r_gaussian,
                                           std::span<const double> r_lorentzian, double x_min, double x_max)
    : x_min_(x_min), x_max_(x_max) {
  const std::size_t m = std::min(x.size(), weights.size());
  require_length(r_gaussian.size(), m);
  require_length(r_lorentzian.size(), m);
  x_ = x.first(m);
  gaussian_weight_.resize(m);
  lorentzian_weight_.resize(m);
  for (std::size_t i = 0; i < m; ++i) {
    gaussian_weight_[i] = weights[i] * r_gaussian[i];
    lorentzian_weight_[i] = r_lorentzian[i] * weights[i];
    gaussian_total_ += gaussian_weight_[i];
    lorentzian_total_ += lorentzian_weight_[i];
  }
}

double ShareWeightedSamples::width_score(double c, double g) const {
  // With d = x - c and h = g / 2, g^3 dQ/dg has a term per part:
  //   Gaussian, ln G = -4 ln2 d^2 / g^2 - ln g + const:         8 ln2 sum w r_G d^2 - A g^2
  //   Lorentzian, ln L = ln h - ln(d^2 + h^2) + const:           B g^2 - g^4 sum w r_L / (2 (d^2 + h^2))
  //   window mass, -B ln Z with dZ/dg = E / (2 pi):              -g^3 B E / (2 pi Z)
  const double h = g / 2.0;
  const double h2 = h * h;
  const double mass = pseudo_voigt_window_mass(c, g, x_min_, x_max_);
  const std::size_t m = x_.size();
  const double* __restrict x = x_.data();
  const double* __restrict wg = gaussian_weight_.data();
  const double* __restrict wl = lorentzian_weight_.data();
  double lorentzian_sum = 0.0, gaussian_sum = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    const double d = x[i] - c;
    const double d2 = d * d;
    lorentzian_sum += wl[i] * 0.5 / (d2 + h2);
    gaussian_sum += d2 * wg[i];
  }
  const double gaussian_spread = kEightLnTwo * gaussian_sum;
  const double to_max = c - x_max_, to_min = c - x_min_;
  const double edges = to_max / (to_max * to_max + h2) - to_min / (to_min * to_min + h2);
  const double g2 = g * g;
  const double g4 = g2 * g2;
  const double lorentzian_terms =
      -lorentzian_sum * g4 - g * g2 * lorentzian_total_ * (1.0 / (mass * kTwoPi)) * edges;
  return ((lorentzian_total_ - gaussian_total_) * g2 + lorentzian_terms) + gaussian_spread;
}

double ShareWeightedSamples::centre_update(double c, double g) const {
  // dQ/dx0 = s (F - A x0) + (H - K x0) - B D / Z with s = 8 ln2 / g^2, the Lorentzian sums H and K
  // and the window mass Z and its derivative D taken at c; solved for x0.
  const double h = g / 2.0;
  const double h2 = h * h;
  const double mass = pseudo_voigt_window_mass(c, g, x_min_, x_max_);
  const double s = kEightLnTwo / (g * g);
  const std::size_t m = x_.size();
  const double* __restrict x = x_.data();
  const double* __restrict wg = gaussian_weight_.data();
  const double* __restrict wl = lorentzian_weight_.data();
  double first_moment = 0.0, lorentzian_moment = 0.0, lorentzian_sum = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    const double d = x[i] - c;
    const double q = d * d + h2;
    first_moment += wg[i] * x[i];
    lorentzian_moment += wl[i] * 2.0 * x[i] / q;
    lorentzian_sum += wl[i] * 2.0 / q;
  }
  const double below = x_min_ - c, above = x_max_ - c;
  const double mass_slope = h / ((below * below + h2) * std::numbers::pi) - h / ((above * above + h2) * std::numbers::pi);
  return (first_moment * s + lorentzian_moment - lorentzian_total_ * (1.0 / mass) * mass_slope) /
         (gaussian_total_ * s + lorentzian_sum + 1e-300);
}

std::optional<double> ShareWeightedSamples::width_root(double c) const {
  const double high = x_max_ - x_min_;
  const double at_low = width_score(c, kWidthBracketLow);
  const double at_high = width_score(c, high);
  // A NaN product goes on to the search, whose own sign test lets it through as well.
  if (at_low * at_high >= 0.0) return std::nullopt;
  const RootResult root =
      find_root_from_ends([&](double g) { return width_score(c, g); }, kWidthBracketLow, high, at_low, at_high);
  if (!root.converged()) return std::nullopt;
  return root.root;
}

bool opposite_signs(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return false;
  return std::signbit(a) != std::signbit(b);
}

std::size_t best_later_on_ties(std::span<const double> scores) {
  std::size_t best = 0;
  for (std::size_t k = 1; k < scores.size(); ++k) {
    if (!(scores[best] > scores[k])) best = k;
  }
  return best;
}

std::optional<std::size_t> best_earlier_on_ties(std::span<const double> scores) {
  std::optional<std::size_t> best;
  double best_score = -std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < scores.size(); ++k) {
    if (scores[k] > best_score) {
      best = k;
      best_score = scores[k];
    }
  }
  return best;
}

PseudoVoigtPeak pseudo_voigt_mle_conditional_max(std::span<const double> x, std::span<const double> weights,
                                                 const PseudoVoigtPeak& start, const PseudoVoigtFlags& flags,
                                                 double x_min, double x_max) {
  if (weights.empty() || (flags.fix_x0 && flags.fix_gamma && flags.fix_eta)) return start;
  if (weights_carry_nothing(sequential_weight_sum(weights), NothingToFit::kExactlyZero)) return start;

  PseudoVoigtPeak result = start;
  // The centre and width are held only together: either flag alone lets both move.
  if (!(flags.fix_x0 && flags.fix_gamma)) {
    const ComponentShares shares = component_shares(x, start, x_min, x_max);
    const ShareWeightedSamples samples(x, weights, shares.gaussian, shares.lorentzian, x_min, x_max);
    if (const auto found = stationary_centre_and_width(samples, x, weights, start.eta, x_min, x_max)) {
      result.x0 = found->centre;
      result.gamma = found->width;
    }
  }
  if (!flags.fix_eta) result.eta = conditional_mixing_search(x, weights, result.x0, result.gamma, x_min, x_max);
  return result;
}

double full_mixing_search(std::span<const double> x, std::span<const double> weights, double x0, double gamma,
                          double fallback, double x_min, double x_max) {
  FullMixingSearch search(x, weights);
  const auto best = search.best(x0, gamma, x_min, x_max);
  return best ? best->first : fallback;
}

namespace {

// The bounded step of the full optimisation as a single-peak fit problem over (x0, gamma), eta
// held: both start from their incoming values, a free width is clamped into its bounds.
class CentreAndWidthFit {
 public:
  using Values = std::array<double, 2>;  // indexed by PseudoVoigtParameter::x0 and gamma
  static constexpr std::array<std::string_view, 2> kNames{"x0", "gamma"};
  static constexpr NothingToFit kNothingToFit = NothingToFit::kExactlyZero;

  CentreAndWidthFit(std::span<const double> weights, double eta, double x_min, double x_max,
                    const FullOptimisationLimits& limits, ObjectivePass& objective, std::uint64_t* passes)
      : weights_(weights), eta_(eta), x_min_(x_min), x_max_(x_max), limits_(limits), objective_(objective),
        passes_(passes) {}

  std::span<const double> weights() const { return weights_; }

  FreeRange free_range(std::size_t parameter, const Values& values, double /*total*/) const {
    if (parameter == PseudoVoigtParameter::x0) return {values[PseudoVoigtParameter::x0], x_min_, x_max_, ReadBack::AsIs};
    return {values[PseudoVoigtParameter::gamma], limits_.gamma_min, limits_.gamma_max, ReadBack::CheckedClamp};
  }

  double log_likelihood_differences(const Values& base, std::span<const Shift> shifts, std::span<double> differences) {
    if (passes_) *passes_ += shifts.size() + 1;
    const PseudoVoigtPeak peak{base[PseudoVoigtParameter::x0], base[PseudoVoigtParameter::gamma], eta_};
    const Profile p = profile(peak, x_min_, x_max_);
    ShiftTerms terms[2];
    for (std::size_t j = 0; j < shifts.size(); ++j) terms[j] = shift_terms(peak, p, shifts[j], x_min_, x_max_);
    return objective_.run(p, terms, shifts.size(), differences.data());
  }

 private:
  std::span<const double> weights_;
  double eta_, x_min_, x_max_;
  const FullOptimisationLimits& limits_;
  ObjectivePass& objective_;
  std::uint64_t* passes_;
};

}  // namespace

PseudoVoigtPeak pseudo_voigt_mle_full_optimization(std::span<const double> x, std::span<const double> weights,
                                                   const PseudoVoigtPeak& start, const PseudoVoigtFlags& flags,
                                                   double x_min, double x_max, const FullOptimisationLimits& limits,
                                                   std::uint64_t* passes) {
  if ((flags.fix_x0 && flags.fix_gamma && flags.fix_eta) || weights.empty()) return start;
  if (weights_carry_nothing(sequential_weight_sum(weights), NothingToFit::kExactlyZero)) return start;

  PseudoVoigtPeak current = start;
  const bool bounded = !(flags.fix_x0 && flags.fix_gamma);
  // The passes' working memory, made once per call.
  std::optional<FullMixingSearch> mixing;
  if (!flags.fix_eta) mixing.emplace(x, weights);
  std::optional<ObjectivePass> objective;
  if (bounded) {
    objective.emplace(x, weights, static_cast<std::size_t>(!flags.fix_x0) + !flags.fix_gamma,
                      std::min(x.size(), weights.size()) >= 2 * kSumChunk);
  }
  double previous = pseudo_voigt_log_likelihood(x, weights, current, x_min, x_max);
  // A start without a log-likelihood gives no step anything to improve on.
  if (std::isnan(previous)) return start;
  for (std::uint64_t step = 0; step < limits.max_iter; ++step) {
    check_interrupt();
    const PseudoVoigtPeak last = current;
    if (bounded) {
      // A fresh minimisation every step, from the current values: nothing of the last one's
      // limited memory carries over. On a minimiser error (bounds it rejects) the values stay as
      // they are.
      CentreAndWidthFit fit(weights, current.eta, x_min, x_max, limits, *objective, passes);
      CentreAndWidthFit::Values values{current.x0, current.gamma};
      fit_single_peak(fit, {flags.fix_x0, flags.fix_gamma}, values);
      current.x0 = values[PseudoVoigtParameter::x0];
      current.gamma = values[PseudoVoigtParameter::gamma];
    }
    // The winning score is the log-likelihood at the new parameters: it serves as the step's.
    std::optional<double> latest;
    if (mixing) {
      if (const auto best = mixing->best(current.x0, current.gamma, x_min, x_max)) {
        current.eta = best->first;
        latest = best->second;
      } else {
        current.eta = start.eta;
      }
    }
    if (!latest) latest = pseudo_voigt_log_likelihood(x, weights, current, x_min, x_max);
    // A step to values without a log-likelihood ends the run where it had one.
    if (std::isnan(*latest)) return last;
    // The signed gain: a step that loses likelihood stops as well, and so does one whose gain is
    // not a number (an infinite log-likelihood twice), as no later step can show progress.
    const double gain = (*latest - previous) / std::fmax(std::fabs(previous), 1e-300);
    if (gain < limits.r_eps || std::isnan(gain)) break;
    previous = *latest;
  }
  return current;
}

void PseudoVoigtPeaks::density(std::size_t k, std::span<const double> x, const Window& window,
                               std::span<double> row) const {
  pseudo_voigt_density(x, {values[Names::x0][k], values[Names::gamma][k], values[Names::eta][k]}, window.min,
                       window.max, row);
}

PseudoVoigtPeaks::Parameters PseudoVoigtPeaks::refit(std::size_t k, std::span<const double> x,
                                                     std::span<const double> weights, const Window& window,
                                                     std::span<double> /*scratch*/) const {
  const PseudoVoigtPeak start{values[Names::x0][k], values[Names::gamma][k], values[Names::eta][k]};
  const PseudoVoigtFlags flags{fixed[Names::x0][k], fixed[Names::gamma][k], fixed[Names::eta][k]};
  const PseudoVoigtPeak fitted =
      use_full_opt ? pseudo_voigt_mle_full_optimization(x, weights, start, flags, window.min, window.max, limits)
                   : pseudo_voigt_mle_conditional_max(x, weights, start, flags, window.min, window.max);
  return {fitted.x0, fitted.gamma, fitted.eta};
}

template EmResult run_em(PseudoVoigtPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
