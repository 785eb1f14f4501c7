#include "pseudo_voigt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "failure.hpp"
#include "numerics/root_finder.hpp"
#include "vector_math.hpp"

namespace brivane {

namespace {

constexpr double kSqrtTwoPi = 2.5066282746310002;
constexpr double kPi = 3.141592653589793;
constexpr double kInversePi = 0.3183098861837907;
constexpr double kDensityFloor = 1e-20;  // added inside the logarithm
constexpr double kMassFloor = 1e-300;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kEightLnTwo = 5.545177444479562;  // 1 / (2 sigma^2) = 4 ln 2 / gamma^2
constexpr double kShareFloor = 1e-300;
// The conditional maximisation's root searches: absolute, on values and on distances alike.
constexpr double kRootTolerance = 1e-10;
constexpr double kWidthBracketLow = 0.1;
constexpr std::size_t kGridPoints = 10;

// Samples are processed in blocks so that the exponentials and logarithms run over short
// contiguous buffers that stay in cache.
constexpr std::size_t kBlock = 256;

// What the density of one parameter set needs at every sample, formed once per call.
struct Profile {
  double x0;
  double sigma;
  double gaussian_normaliser;  // sigma sqrt(2 pi)
  double half_width;
  double eta;
  double lorentzian_weight;  // (1 - eta) / Z
};

Profile profile(const PseudoVoigtPeak& peak, double x_min, double x_max) {
  const double sigma = peak.gamma / kFwhmPerSigma;
  const double mass = pseudo_voigt_window_mass(peak.x0, peak.gamma, x_min, x_max);
  return {peak.x0, sigma, sigma * kSqrtTwoPi, peak.gamma * 0.5, peak.eta, (1.0 - peak.eta) / mass};
}

// exp(t) for any t, NaN included. exp_kernel forms the exponent's integer part from the bits of
// t / ln 2 + 1.5 * 2^52, and for t between about -9.4e15 and -4.7e15 that signed subtraction
// overflows (undefined behaviour, though the final select would discard the result). Arguments
// are therefore held to [-1000, 1000] first, where the result is already exactly 0 or +inf.
inline double exp_any(double t) {
  t = t < -1000.0 ? -1000.0 : t;
  t = t > 1000.0 ? 1000.0 : t;
  return exp_kernel(t);
}

// The Gaussian part G and the Lorentzian part L (before division by Z) of `len` samples.
inline void density_parts(const Profile& p, const double* __restrict x, std::size_t len, double* __restrict g,
                          double* __restrict l) {
  for (std::size_t i = 0; i < len; ++i) {
    const double d = x[i] - p.x0;
    const double z = d / p.sigma;
    g[i] = exp_any(z * -0.5 * z) / p.gaussian_normaliser;
    l[i] = p.half_width / ((d * d + p.half_width * p.half_width) * kPi);
  }
}

// The log-likelihood terms' logarithms ln(eta G + L (1 - eta)/Z + 1e-20), in place of g.
inline void log_density(const Profile& p, double* __restrict g, const double* __restrict l, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) g[i] = p.eta * g[i] + l[i] * p.lorentzian_weight + kDensityFloor;
  log_in_place({g, len});
}

__attribute__((target_clones("avx2", "default")))
void density_row(const Profile& p, const double* x, std::size_t n, double* out) {
  double l[kBlock];
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t len = std::min(kBlock, n - start);
    double* __restrict g = out + start;
    density_parts(p, x + start, len, g, l);
    for (std::size_t i = 0; i < len; ++i) g[i] = p.eta * g[i] + l[i] * p.lorentzian_weight;
  }
}

__attribute__((target_clones("avx2", "default")))
double log_likelihood_of(const Profile& p, const double* x, const double* w, std::size_t m) {
  double g[kBlock], l[kBlock];
  double total = 0.0;
  for (std::size_t start = 0; start < m; start += kBlock) {
    const std::size_t len = std::min(kBlock, m - start);
    density_parts(p, x + start, len, g, l);
    log_density(p, g, l, len);
    const double* __restrict ws = w + start;
    for (std::size_t i = 0; i < len; ++i) total += ws[i] * g[i];
  }
  return total;
}

// G and L at one centre and width over the first m samples, so that the log-likelihood of each
// eta costs one logarithm per sample instead of an exponential and a logarithm. The products
// and sums are those of the density, so every score equals pseudo_voigt_log_likelihood exactly.
class MixingScores {
 public:
  MixingScores(std::span<const double> x, std::span<const double> weights)
      : x_(x), w_(weights), m_(std::min(x.size(), weights.size())), g_(m_), l_(m_) {}

  void set_peak(double x0, double gamma, double x_min, double x_max) {
    const Profile p = profile({x0, gamma, 0.0}, x_min, x_max);
    mass_ = pseudo_voigt_window_mass(x0, gamma, x_min, x_max);
    fill(p);
  }

  double score(double eta) const { return mixed_log_likelihood(eta, (1.0 - eta) / mass_); }

 private:
  __attribute__((target_clones("avx2", "default"))) void fill(const Profile& p) {
    for (std::size_t start = 0; start < m_; start += kBlock) {
      const std::size_t len = std::min(kBlock, m_ - start);
      density_parts(p, x_.data() + start, len, g_.data() + start, l_.data() + start);
    }
  }

  __attribute__((target_clones("avx2", "default"))) double mixed_log_likelihood(double eta,
                                                                                 double lorentzian_weight) const {
    double terms[kBlock];
    double total = 0.0;
    for (std::size_t start = 0; start < m_; start += kBlock) {
      const std::size_t len = std::min(kBlock, m_ - start);
      const double* __restrict g = g_.data() + start;
      const double* __restrict l = l_.data() + start;
      for (std::size_t i = 0; i < len; ++i) terms[i] = eta * g[i] + l[i] * lorentzian_weight + kDensityFloor;
      log_in_place({terms, len});
      const double* __restrict w = w_.data() + start;
      for (std::size_t i = 0; i < len; ++i) total += w[i] * terms[i];
    }
    return total;
  }

  std::span<const double> x_, w_;
  std::size_t m_;
  std::vector<double> g_, l_;
  double mass_ = 1.0;
};

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
  return find_root(cached, first_end, second_end, kRootTolerance);
}

// sum_i w_i ln(eta G_i + (1 - eta) L_i + 1e-20): the log-likelihood that ranks the stationary
// points of the centre-and-width stage, with the Lorentzian part not divided by its window mass.
__attribute__((target_clones("avx2", "default")))
double unnormalised_log_likelihood(const double* x, const double* w, std::size_t m, double centre, double width,
                                   double eta) {
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
  MixingScores mixing(x, weights);
  mixing.set_peak(x0, gamma, x_min, x_max);
  double scores[kValues];
  for (std::size_t k = 0; k < kValues; ++k) scores[k] = mixing.score(static_cast<double>(k) * 0.01 + 0.8);
  return static_cast<double>(best_later_on_ties(scores)) * 0.01 + 0.8;
}

}  // namespace

double pseudo_voigt_window_mass(double x0, double gamma, double x_min, double x_max) {
  const double h = gamma * 0.5;
  // fmax returns the number when the other operand is NaN, so a NaN mass is floored as well.
  return std::fmax((std::atan((x_max - x0) / h) - std::atan((x_min - x0) / h)) * kInversePi, kMassFloor);
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

}  // namespace brivane

namespace brivane {

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
  const double mass_slope = h / ((below * below + h2) * kPi) - h / ((above * above + h2) * kPi);
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
  double total = 0.0;
  for (double w : weights) total += w;
  if (total == 0.0) return start;  // a NaN total goes on

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

}  // namespace brivane
