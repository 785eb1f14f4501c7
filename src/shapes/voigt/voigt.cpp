#include "shapes/voigt/voigt.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "em_engine.hpp"
#include "failure.hpp"
#include "numerics/free_parameters.hpp"
#include "numerics/gauss_legendre_100.hpp"
#include "numerics/log1p_small.hpp"
#include "parallel.hpp"
#include "peak_fit.hpp"
#include "shapes/voigt/vector_pass.hpp"
#include "vector_math.hpp"

// Last: with libcerf's C header, <complex.h> brings in C99's macros (I among them).
#include <cerf.h>

namespace brivane {

namespace {

using Name = VoigtParameter;

constexpr double kInverseSqrt2 = 0.7071067811865476;
constexpr double kSqrt2Pi = 2.5066282746310002;
constexpr double kInverseSqrt2Pi = 0.3989422804014327;
constexpr double kTwoOverSqrtPi = 2.0 * std::numbers::inv_sqrtpi;

enum class ProfileCase { Voigt, Gaussian, Lorentzian, PointMass };

ProfileCase profile_case(double sigma, double gamma) {
  if (sigma != 0.0) return gamma != 0.0 ? ProfileCase::Voigt : ProfileCase::Gaussian;
  return gamma != 0.0 ? ProfileCase::Lorentzian : ProfileCase::PointMass;
}

// z = (u + i gamma) / (sigma sqrt 2) and V = Re w / (sigma sqrt(2 pi)) for one parameter set, with
// sigma's reciprocals taken once: a product in place of a quotient rounds once more (z and V
// within 2 ulp of the quotients), and the passes over the samples would otherwise spend a tenth of
// their time beside the w(z) calls dividing. Where a reciprocal is not a normal number (sigma
// subnormal, beyond 1e307, or NaN) the quotients are formed as written: an infinite reciprocal
// would turn a zero offset or a zero w into NaN.
struct VoigtScale {
  double sigma, argument_per_offset, argument_imag, value_per_w;
  bool reciprocals;

  VoigtScale(double sigma_, double gamma)
      : sigma(sigma_),
        argument_per_offset(kInverseSqrt2 / sigma_),
        argument_imag((gamma / sigma_) * kInverseSqrt2),
        value_per_w(kInverseSqrt2Pi / sigma_),
        reciprocals(std::isnormal(argument_per_offset) && std::isnormal(value_per_w)) {}
  std::complex<double> argument(double u) const {
    return {reciprocals ? u * argument_per_offset : (u / sigma) * kInverseSqrt2, argument_imag};
  }
  double value(std::complex<double> w) const { return reciprocals ? w.real() * value_per_w : w.real() / sigma / kSqrt2Pi; }
};

}  // namespace

// libcerf 1.x (Debian 12 ships 1.3) records in two global ints, faddeeva_algorithm and
// faddeeva_nofterms, which branch and how many terms each call of w_of_z used. The density rows and
// refits of the Voigt mixture call it from several threads at once, so those accesses race. The
// machine code of libcerf 1.3's w_of_z (objdump -d) only stores a constant or a term count in
// them, or adds to them in place (algorithm += 10 or 20, nofterms += the terms summed): no value
// read from them reaches the result or a branch, no other function of the library refers to them, and
// nothing here reads them. The race can therefore garble only that record, never a value of w, so
// calls are not serialised (a lock would put every profile evaluation of the pool behind one
// mutex). It remains a data race in the language's sense, which a thread sanitizer reports.
// libcerf 2.x and 3.x keep the record only when built with CERF_INTROSPECT.
std::complex<double> faddeeva_w(std::complex<double> z) { return voigt_detail::call_complex(&w_of_z, z); }

double voigt_profile(double u, double sigma, double gamma) {
  switch (profile_case(sigma, gamma)) {
    case ProfileCase::Voigt: {
      const VoigtScale scale(sigma, gamma);
      return scale.value(faddeeva_w(scale.argument(u)));
    }
    case ProfileCase::Gaussian: {
      const double r = u / sigma;
      return std::exp(-0.5 * (r * r)) * (kInverseSqrt2Pi / sigma);
    }
    case ProfileCase::Lorentzian: return gamma / std::numbers::pi / (u * u + gamma * gamma);
    case ProfileCase::PointMass: break;
  }
  if (std::isnan(u)) return u;
  return u != 0.0 ? 0.0 : HUGE_VAL;
}

namespace {

// values[i] = V(u[i]; sigma, gamma) for n offsets, the Voigt case through the vector Faddeeva
// kernel (the same values as voigt_profile but for the few ulp between the kernel and libcerf).
void voigt_profile_values(const double* u, std::size_t n, double sigma, double gamma, double* values) {
  if (profile_case(sigma, gamma) != ProfileCase::Voigt) {
    for (std::size_t i = 0; i < n; ++i) values[i] = voigt_profile(u[i], sigma, gamma);
    return;
  }
  const VoigtScale scale(sigma, gamma);
  constexpr std::size_t kChunk = 128;
  double z_real[kChunk], z_imag[kChunk], w_real[kChunk], w_imag[kChunk];
  for (std::size_t start = 0; start < n; start += kChunk) {
    const std::size_t len = std::min(kChunk, n - start);
    for (std::size_t i = 0; i < len; ++i) {
      const std::complex<double> z = scale.argument(u[start + i]);
      z_real[i] = z.real();
      z_imag[i] = z.imag();
    }
    simd_kernels().faddeeva(z_real, z_imag, len, w_real, w_imag);
    for (std::size_t i = 0; i < len; ++i) values[start + i] = scale.value({w_real[i], w_imag[i]});
  }
}

}  // namespace

namespace {

namespace rule = gauss_legendre_100;

// The tail beyond a window edge at distance d from the centre is summed by the 100-point rule under
// s = L t / (1 - t), the offset from the edge s measured in units of L = |sigma| + |gamma| + d
// rounded down to a power of two. The scale follows every part of the tail:
//  - the normal core, of width sigma (sigma^2 / d seen from an edge d away, narrowest against L
//    where the tail is already negligible): normal tails are summed within 4e-15 of themselves up
//    to d = 8 sigma, where the whole tail is below 1e-15;
//  - the Cauchy wings gamma / (pi ((d + s)^2 + gamma^2)): under the substitution they become
//    L gamma / (pi ((d (1 - t) + L t)^2 + gamma^2 (1 - t)^2)), a rational function of t whose poles
//    lie at least 0.4 away from [0, 1] for every L between (d + gamma) / 2 and d + gamma (the
//    rule's error is then of order 2.2^-200), so that a far tail gamma / (pi d) is summed to
//    rounding relative to itself however far the edge lies. With the grid unit as L the poles
//    came within about 1 / d of t = 1 for a far edge, and within about d + gamma of t = 0 for a
//    narrow peak beside the edge.
// Over widths of 1e-3 to 1e4 grid units, normal to Cauchy, and edges anywhere, the masses agree
// with high-precision integrals to about 1e-15 (voigt_test.cpp). A power of two keeps L s_i and
// L w_i exact, and lets the differences of the fit's gradient use one set of nodes for both
// parameter sets wherever their scales agree. A scale that is not a positive normal number (both
// widths 0 at the edge, a width infinite or NaN) leaves the grid unit, and the profile's own value
// rules the tail.
double tail_scale(double distance, double sigma, double gamma) {
  const double raw = (std::fabs(sigma) + std::fabs(gamma)) + distance;
  if (!(raw >= 0x1p-1022) || !std::isfinite(raw)) return 1.0;
  int exponent = 0;
  std::frexp(raw, &exponent);  // raw in [2^(exponent-1), 2^exponent)
  return std::ldexp(1.0, exponent - 1);
}

// The nodes of one tail: the offset from the centre of node i is offset + step * s_i, with offset
// = e - x0 and step = +L above the centre, -L below; the tail is L times the rule's sum.
struct TailNodes {
  bool lower;
  double offset, step, scale;

  TailNodes(double e, double x0, double sigma, double gamma) : lower(x0 >= e), offset(e - x0) {
    scale = tail_scale(lower ? -offset : offset, sigma, gamma);
    step = lower ? -scale : scale;
  }
  double u(std::size_t i) const { return offset + step * rule::kTailOffset[i]; }
};

// F(e), the mass of the profile below e: the lower tail itself when the centre is at or above e,
// else one minus the upper tail, so that the tail summed never holds the centre.
double cumulative(double e, double x0, double sigma, double gamma) {
  const TailNodes nodes(e, x0, sigma, gamma);
  double u[rule::kPoints], values[rule::kPoints];
  for (std::size_t i = 0; i < rule::kPoints; ++i) u[i] = nodes.u(i);
  voigt_profile_values(u, rule::kPoints, sigma, gamma, values);
  double sum = 0.0;
  for (std::size_t i = 0; i < rule::kPoints; ++i) sum += rule::kTailWeight[i] * values[i];
  const double tail = nodes.scale * sum;
  return nodes.lower ? tail : 1.0 - tail;
}

// ---- Differences of the profile between two nearby parameter sets ----------------------------

// w(z + dz) - w(z) from the asymptotic expansion w(z) ~ (i / sqrt(pi)) u P(u^2), u = 1 / z,
// P(v) = sum_k (2k - 1)!! / 2^k v^k. For |z| >= 10 the 17 terms kept leave a relative error
// below 1e-20. The change is formed from u' - u = -dz / (z z') and the divided difference of P,
// never by subtracting two values of w.
constexpr int kAsymptoticTerms = 17;
constexpr std::array<double, kAsymptoticTerms> kAsymptoticCoefficients = [] {
  std::array<double, kAsymptoticTerms> c{};
  c[0] = 1.0;
  for (int k = 1; k < kAsymptoticTerms; ++k) c[k] = c[k - 1] * (2.0 * k - 1.0) * 0.5;
  return c;
}();

std::complex<double> asymptotic_difference(std::complex<double> z, std::complex<double> shifted,
                                           std::complex<double> dz) {
  const std::array<double, kAsymptoticTerms>& coefficients = kAsymptoticCoefficients;
  constexpr int kTerms = kAsymptoticTerms;
  const std::complex<double> u = 1.0 / z, shifted_u = 1.0 / shifted;
  const std::complex<double> du = -dz / (z * shifted);
  const std::complex<double> v = u * u, shifted_v = shifted_u * shifted_u, dv = du * (u + shifted_u);
  // Horner's scheme for P(v') alongside that of the difference: with B_k(v) = c_k + v B_{k+1}(v),
  // B_k(v') - B_k(v) = (v' - v) B_{k+1}(v') + v (B_{k+1}(v') - B_{k+1}(v)).
  std::complex<double> p = coefficients[kTerms - 1], dp = 0.0;
  for (int k = kTerms - 2; k >= 0; --k) {
    dp = dv * p + v * dp;
    p = coefficients[k] + shifted_v * p;
  }
  return std::complex<double>(0.0, std::numbers::inv_sqrtpi) * (du * p + u * dp);
}

// w'(z) from the same expansion, differentiated term by term: w'(z) ~ -(i / sqrt(pi)) u^2 Q(u^2),
// Q(v) = sum_k d_k v^k with d_k = (2k + 1)(2k - 1)!! / 2^k, by Horner's scheme over as many terms
// as |z| asks for: the first one left out is below 1e-20 of d_0 (18 terms at |z| = 10, 6 at
// |z| = 100). Unlike -2 z w + 2i / sqrt(pi), it loses nothing to cancellation where
// w'(z) ~ 1 / z^2 is small. For |z| >= 10 only.
constexpr int kDerivativeTerms = 18;
constexpr std::array<double, kDerivativeTerms + 1> kDerivativeCoefficients = [] {
  std::array<double, kDerivativeTerms + 1> d{};
  double c = 1.0;
  for (int k = 0; k <= kDerivativeTerms; ++k) {
    if (k > 0) c *= (2.0 * k - 1.0) * 0.5;
    d[k] = (2.0 * k + 1.0) * c;
  }
  return d;
}();

std::complex<double> asymptotic_derivative(std::complex<double> z) {
  const double r = std::norm(z);
  int terms = 1;
  for (double power = r; terms < kDerivativeTerms && kDerivativeCoefficients[terms] > 1e-20 * power; power *= r) ++terms;
  // u = 1 / z = conj(z) / |z|^2, safe here: |z| >= 10 and finite.
  const double u_re = z.real() / r, u_im = -z.imag() / r;
  const double v_re = u_re * u_re - u_im * u_im, v_im = 2.0 * u_re * u_im;
  double q_re = kDerivativeCoefficients[terms - 1], q_im = 0.0;
  for (int k = terms - 2; k >= 0; --k) {
    const double re = q_re * v_re - q_im * v_im + kDerivativeCoefficients[k];
    q_im = q_re * v_im + q_im * v_re;
    q_re = re;
  }
  // -(i / sqrt(pi)) v Q.
  const double vq_re = v_re * q_re - v_im * q_im, vq_im = v_re * q_im + v_im * q_re;
  return {std::numbers::inv_sqrtpi * vq_im, -std::numbers::inv_sqrtpi * vq_re};
}

// The Taylor coefficients a_n = w^(n)(z) / n! of w about one point z, formed as the shifts of that
// point ask for them and shared by all of them: a_0 = w, a_1 = w'(z) (from the asymptotic
// expansion far from the origin in the upper half plane, else -2 z w + 2i / sqrt(pi)), then
// a_{n+1} = -2 (z a_n + a_{n-1}) / (n + 1). The storage is left uninitialised: a sample's point is
// made once per sample of every pass.
class FaddeevaTaylor {
 public:
  static constexpr int kTerms = 60;

  FaddeevaTaylor() {}  // NOLINT: the coefficients are written before they are read
  void reset(std::complex<double> z, std::complex<double> w) {
    z_ = z;
    far_ = std::norm(z) >= 100.0 && z.imag() >= 1e-20;
    set(0, w);
    count_ = 1;
  }
  std::complex<double> z() const { return z_; }
  bool far() const { return far_; }
  std::complex<double> operator[](int n) {
    while (count_ <= n) {
      const int next = count_;  // at least 1: reset formed a_0
      if (next < 2) {
        set(1, far_ ? asymptotic_derivative(z_) : -2.0 * z_ * get(0) + std::complex<double>(0.0, kTwoOverSqrtPi));
      } else {
        set(next, -2.0 * (z_ * get(next - 1) + get(next - 2)) / static_cast<double>(next));
      }
      ++count_;
    }
    return get(n);
  }

 private:
  std::complex<double> get(int n) const { return {re_[n], im_[n]}; }
  void set(int n, std::complex<double> a) {
    re_[n] = a.real();
    im_[n] = a.imag();
  }
  std::complex<double> z_;
  bool far_ = false;
  int count_ = 0;
  double re_[kTerms], im_[kTerms];
};

// w(z + dz) - w(z), to rounding relative to the difference itself; false where neither series
// below achieves that.
//
// The Taylor series sum_{n>=1} a_n dz^n. The recurrence amplifies the rounding of the
// coefficients by about 2 |z| |dz| per order (its growing solution is the derivatives of
// exp(-z^2)), so the series is used only while that stays small. Beyond that, far from the origin
// in the upper half plane, the difference of the asymptotic expansion, whose neglected exponential
// part is below 1e-40 of Re w there unless Im z is tiny.
bool faddeeva_difference(FaddeevaTaylor& taylor, std::complex<double> dz, std::complex<double>& difference);

// The same for several changes dz[j] of one point at once, written to difference[j] where formed[j]
// is set: their series run side by side, sharing the coefficients, so that one's additions overlap
// the others'.
void faddeeva_differences(FaddeevaTaylor& taylor, const std::complex<double>* dz, std::size_t count,
                          std::complex<double>* difference, bool* formed) {
  constexpr std::size_t kMax = 3;
  const std::complex<double> z = taylor.z();
  std::complex<double> power[kMax], sum[kMax];
  bool running[kMax] = {};
  std::size_t left = 0;
  for (std::size_t j = 0; j < count; ++j) {
    const double dz_norm = std::norm(dz[j]);
    formed[j] = false;
    if (j < kMax && 4.0 * std::norm(z) * dz_norm <= 0.01 && dz_norm <= 0.01) {  // 2 |z| |dz| <= 0.1, |dz| <= 0.1
      power[j] = dz[j];
      sum[j] = taylor[1] * dz[j];
      running[j] = true;
      ++left;
    } else {
      formed[j] = faddeeva_difference(taylor, dz[j], difference[j]);
    }
  }
  for (int n = 2; left > 0 && n < FaddeevaTaylor::kTerms; ++n) {
    const std::complex<double> a = taylor[n];
    for (std::size_t j = 0; j < count; ++j) {
      if (!running[j]) continue;
      power[j] *= dz[j];
      const std::complex<double> term = a * power[j];
      sum[j] += term;
      // Below 2^-56 of the sum, a quarter of its last bit: further terms cannot change it.
      if (std::norm(term) <= 0x1p-112 * std::norm(sum[j])) {
        running[j] = false;
        --left;
        difference[j] = sum[j];
        formed[j] = std::isfinite(sum[j].real());
      }
    }
  }
}

bool faddeeva_difference(FaddeevaTaylor& taylor, std::complex<double> dz, std::complex<double>& difference) {
  const std::complex<double> z = taylor.z();
  const double dz_norm = std::norm(dz);
  if (4.0 * std::norm(z) * dz_norm <= 0.01 && dz_norm <= 0.01) {  // 2 |z| |dz| <= 0.1, |dz| <= 0.1
    std::complex<double> power = dz;
    std::complex<double> sum = taylor[1] * dz;
    for (int n = 2; n < FaddeevaTaylor::kTerms; ++n) {
      power *= dz;
      const std::complex<double> term = taylor[n] * power;
      sum += term;
      // Below 2^-56 of the sum, a quarter of its last bit: further terms cannot change it.
      if (std::norm(term) <= 0x1p-112 * std::norm(sum)) {
        difference = sum;
        return std::isfinite(sum.real());
      }
    }
    return false;
  }
  const std::complex<double> shifted = z + dz;
  if (taylor.far() && std::norm(shifted) >= 100.0 && shifted.imag() >= 1e-20) {
    difference = asymptotic_difference(z, shifted, dz);
    return std::isfinite(difference.real());
  }
  return false;
}

// The profile of the base parameter set at one offset, with what the shifted sets need. Made in
// place (set), since the Taylor coefficients it carries are not cheap to copy.
struct ProfilePoint {
  double u = 0.0;
  double value = 0.0;
  FaddeevaTaylor taylor;  // Voigt case only

  void set(ProfileCase c, double offset, double sigma, double gamma) {
    u = offset;
    if (c == ProfileCase::Voigt) {
      const VoigtScale scale(sigma, gamma);
      const std::complex<double> z = scale.argument(u);
      const std::complex<double> w = faddeeva_w(z);
      taylor.reset(z, w);
      value = scale.value(w);
    } else {
      value = voigt_profile(u, sigma, gamma);
    }
  }
  std::complex<double> z() const { return taylor.z(); }
};

// One shifted parameter set, seen from the base set.
struct ProfileShift {
  std::size_t moved;  // a VoigtParameter
  VoigtParameters shifted;
  double step;          // x0' - x0 for a centre shift
  double width_change;  // old minus new width for a width shift
  bool accurate;        // whether differences can be formed at all; otherwise every one subtracts
  std::complex<double> dz;  // Voigt case, centre or gamma shift: the change of z, the same everywhere
  double ratio;             // Voigt case, sigma shift: z' = z (1 + ratio)
};

bool positive_finite(double v) { return v > 0.0 && std::isfinite(v); }

ProfileShift profile_shift(ProfileCase c, const VoigtParameters& base, const Shift& shift) {
  ProfileShift t{};
  t.moved = shift.index;
  t.shifted = base;
  t.shifted[shift.index] = shift.value;
  t.step = t.shifted[Name::x0] - base[Name::x0];
  t.width_change = shift.index == Name::x0 ? 0.0 : base[shift.index] - shift.value;
  const double sigma = base[Name::sigma], gamma = base[Name::gamma];
  const bool finite = std::isfinite(base[Name::x0]) && std::isfinite(t.shifted[Name::x0]);
  switch (c) {
    case ProfileCase::Voigt:
      t.accurate = finite && positive_finite(sigma) && positive_finite(gamma) &&
                   positive_finite(t.shifted[Name::sigma]) && positive_finite(t.shifted[Name::gamma]);
      if (t.moved == Name::x0) t.dz = {-(t.step / sigma) * kInverseSqrt2, 0.0};
      if (t.moved == Name::sigma) t.ratio = t.width_change / t.shifted[Name::sigma];
      if (t.moved == Name::gamma) t.dz = {0.0, (-t.width_change / sigma) * kInverseSqrt2};
      break;
    case ProfileCase::Gaussian:
      t.accurate = finite && t.moved != Name::gamma && positive_finite(sigma) && positive_finite(t.shifted[Name::sigma]);
      break;
    case ProfileCase::Lorentzian:
      t.accurate = finite && t.moved != Name::sigma && positive_finite(gamma) && positive_finite(t.shifted[Name::gamma]);
      break;
    case ProfileCase::PointMass: t.accurate = false; break;
  }
  return t;
}

// V'(u') - V(u) at one offset of the base set (u' = u - (x0' - x0)), written to `difference`;
// false where it cannot be formed without subtracting the two profiles.
bool profile_difference(ProfileCase c, const VoigtParameters& base, const ProfileShift& t,
                        ProfilePoint& p, double& difference) {
  if (!t.accurate) return false;
  const double sigma = base[Name::sigma], gamma = base[Name::gamma];
  switch (c) {
    case ProfileCase::Voigt: {
      const std::complex<double> dz = t.moved == Name::sigma ? p.z() * t.ratio : t.dz;
      std::complex<double> dw;
      if (!faddeeva_difference(p.taylor, dz, dw)) return false;
      if (t.moved == Name::sigma) {
        // V = R / (sigma sqrt(2 pi)), R = Re w: V' - V = (sigma dR + (sigma - sigma') R) / (sigma sigma' sqrt(2 pi)).
        difference = (sigma * dw.real() + t.width_change * p.taylor[0].real()) / (sigma * t.shifted[Name::sigma]) / kSqrt2Pi;
      } else {
        difference = dw.real() / sigma / kSqrt2Pi;
      }
      break;
    }
    case ProfileCase::Gaussian: {
      // ln V' - ln V in closed form: with u' = u - h, (u^2 - u'^2) / (2 sigma^2) = h (2u - h) / (2 sigma^2)
      // for the centre; -(u^2 / 2)(1 / sigma'^2 - 1 / sigma^2) - ln(sigma' / sigma) for the width.
      double log_ratio;
      if (t.moved == Name::x0) {
        log_ratio = 0.5 * (t.step * (2.0 * p.u - t.step)) / (sigma * sigma);
      } else {
        const double r = p.u / sigma;
        log_ratio = -0.5 * (r * r) * (t.width_change * (sigma + t.shifted[Name::sigma])) / (t.shifted[Name::sigma] * t.shifted[Name::sigma]) -
                    std::log1p(-t.width_change / sigma);
      }
      difference = p.value * std::expm1(log_ratio);
      break;
    }
    case ProfileCase::Lorentzian: {
      // V = gamma / (pi q), q = u^2 + gamma^2. Centre: V' - V = V (q - q') / q', q - q' = h (2u - h).
      // Width: V' - V = V (gamma' - gamma)(u^2 - gamma gamma') / (gamma q').
      if (t.moved == Name::x0) {
        const double shifted_u = p.u - t.step;
        difference = p.value * (t.step * (2.0 * p.u - t.step)) / (shifted_u * shifted_u + gamma * gamma);
      } else {
        const double shifted_gamma = t.shifted[Name::gamma];
        difference = p.value * (-t.width_change * (p.u * p.u - gamma * shifted_gamma)) /
                     (gamma * (p.u * p.u + shifted_gamma * shifted_gamma));
      }
      break;
    }
    case ProfileCase::PointMass: return false;
  }
  return std::isfinite(difference);
}

// profile_difference for every shift of one point: the Voigt case forms its series together.
void profile_differences(ProfileCase c, const VoigtParameters& base, std::span<const ProfileShift> shifts,
                         ProfilePoint& p, double* differences, bool* formed) {
  if (c != ProfileCase::Voigt) {
    for (std::size_t j = 0; j < shifts.size(); ++j) formed[j] = profile_difference(c, base, shifts[j], p, differences[j]);
    return;
  }
  constexpr std::size_t kMax = 3;
  std::complex<double> dz[kMax], dw[kMax];
  bool series[kMax];
  std::size_t count = 0;
  std::size_t index[kMax];
  for (std::size_t j = 0; j < shifts.size() && j < kMax; ++j) {
    formed[j] = false;
    if (!shifts[j].accurate) continue;
    dz[count] = shifts[j].moved == Name::sigma ? p.z() * shifts[j].ratio : shifts[j].dz;
    index[count++] = j;
  }
  faddeeva_differences(p.taylor, dz, count, dw, series);
  const double sigma = base[Name::sigma];
  for (std::size_t m = 0; m < count; ++m) {
    const std::size_t j = index[m];
    if (!series[m]) continue;
    const ProfileShift& t = shifts[j];
    double difference;
    if (t.moved == Name::sigma) {
      // V = R / (sigma sqrt(2 pi)), R = Re w: V' - V = (sigma dR + (sigma - sigma') R) / (sigma sigma' sqrt(2 pi)).
      difference = (sigma * dw[m].real() + t.width_change * p.taylor[0].real()) / (sigma * t.shifted[Name::sigma]) / kSqrt2Pi;
    } else {
      difference = dw[m].real() / sigma / kSqrt2Pi;
    }
    differences[j] = difference;
    formed[j] = std::isfinite(difference);
  }
}

constexpr std::size_t kMaxShifts = 3;

// The shifts of the Voigt case as the pass over the samples uses them.
struct VoigtShift {
  std::size_t moved;     // a VoigtParameter
  double sigma;          // the base set's
  double dz;             // the change of z: real for the centre, imaginary for gamma
  double ratio;          // sigma: z' = z (1 + ratio)
  double width_change;   // sigma: sigma - sigma'
  double scale;          // V' - V per unit of the change of Re w: 1 / (sigma sqrt(2 pi)), or
                         // 1 / (sigma sigma' sqrt(2 pi)) for sigma
};

VoigtShift voigt_shift(const VoigtParameters& base, const ProfileShift& t) {
  const double sigma = base[Name::sigma];
  VoigtShift v{t.moved, sigma, 0.0, 0.0, 0.0, 0.0};
  if (t.moved == Name::sigma) {
    v.ratio = t.ratio;
    v.width_change = t.width_change;
    v.scale = 1.0 / (sigma * t.shifted[Name::sigma] * kSqrt2Pi);
  } else {
    v.dz = t.moved == Name::x0 ? t.dz.real() : t.dz.imag();
    v.scale = 1.0 / (sigma * kSqrt2Pi);
  }
  return v;
}

// V'(u') - V(u) of every shift at one sample of the Voigt case, from w = w(z): the Taylor series
// of w about z cut after four terms, a_1 dz + ... + a_4 dz^4, with the coefficients of
// FaddeevaTaylor formed once for all shifts, in real arithmetic. Where the terms left out may
// reach 2^-56 of the sum, or 2 |z| |dz| exceeds 0.1, the shift goes through faddeeva_difference
// (more terms, or the asymptotic difference) instead; formed[j] is false where neither forms it.
void voigt_point_changes(std::complex<double> z, std::complex<double> w, std::span<const VoigtShift> shifts,
                         double* change, bool* formed, FaddeevaTaylor& fallback) {
  if (shifts.empty()) return;
  const double zr = z.real(), zi = z.imag(), wr = w.real(), wi = w.imag();
  const double z_norm = zr * zr + zi * zi;
  double a1r, a1i;
  if (z_norm >= 100.0 && zi >= 1e-20) {
    const std::complex<double> a1 = asymptotic_derivative(z);
    a1r = a1.real();
    a1i = a1.imag();
  } else {
    a1r = -2.0 * (zr * wr - zi * wi);
    a1i = -2.0 * (zr * wi + zi * wr) + kTwoOverSqrtPi;
  }
  // a_2 = -(z a_1 + a_0), a_3 = -2 (z a_2 + a_1) / 3, a_4 = -(z a_3 + a_2) / 2.
  const double a2r = -((zr * a1r - zi * a1i) + wr), a2i = -((zr * a1i + zi * a1r) + wi);
  const double a3r = -2.0 * ((zr * a2r - zi * a2i) + a1r) / 3.0, a3i = -2.0 * ((zr * a2i + zi * a2r) + a1i) / 3.0;
  const double a4r = -((zr * a3r - zi * a3i) + a2r) * 0.5, a4i = -((zr * a3i + zi * a3r) + a2i) * 0.5;
  const double a3_norm = a3r * a3r + a3i * a3i, a4_norm = a4r * a4r + a4i * a4i;
  bool reset = false;
  for (std::size_t j = 0; j < shifts.size(); ++j) {
    const VoigtShift& t = shifts[j];
    double dr = 0.0, di = 0.0;
    if (t.moved == Name::x0) dr = t.dz;
    if (t.moved == Name::gamma) di = t.dz;
    if (t.moved == Name::sigma) {
      dr = zr * t.ratio;
      di = zi * t.ratio;
    }
    const double dz_norm = dr * dr + di * di;
    double real_change = 0.0;
    bool series = false;
    if (4.0 * z_norm * dz_norm <= 0.01 && dz_norm <= 0.01) {  // 2 |z| |dz| <= 0.1, |dz| <= 0.1
      // Horner: (((a_4 dz + a_3) dz + a_2) dz + a_1) dz.
      double sr = a4r * dr - a4i * di + a3r, si = a4r * di + a4i * dr + a3i;
      double tr = sr * dr - si * di + a2r;
      si = sr * di + si * dr + a2i;
      sr = tr;
      tr = sr * dr - si * di + a1r;
      si = sr * di + si * dr + a1i;
      sr = tr;
      tr = sr * dr - si * di;
      si = sr * di + si * dr;
      sr = tr;
      // The terms left out, from a_5 dz^5 = -2 (z a_4 + a_3) dz^5 / 5 on, are below the fourth term
      // (2 |z| |dz| <= 0.1) unless a_4 happens to be small beside a_3; then they are below
      // |a_3 dz^3| |dz|^2. Both must fall below 2^-56 of the sum.
      const double dz4 = dz_norm * dz_norm, bound = 0x1p-112 * (sr * sr + si * si);
      series = a4_norm * (dz4 * dz4) <= bound && a3_norm * (dz4 * dz4 * dz_norm) <= bound;
      real_change = sr;
    }
    if (!series) {
      if (!reset) fallback.reset(z, w);
      reset = true;
      std::complex<double> dw;
      const std::complex<double> dz = t.moved == Name::sigma ? z * t.ratio : std::complex<double>(dr, di);
      if (!faddeeva_difference(fallback, dz, dw)) {
        formed[j] = false;
        continue;
      }
      real_change = dw.real();
    }
    // V = R / (sigma sqrt(2 pi)), R = Re w; for sigma, V' - V = (sigma dR + (sigma - sigma') R) / (sigma sigma' sqrt(2 pi)).
    const double difference = t.moved == Name::sigma ? (t.sigma * real_change + t.width_change * wr) * t.scale
                                           : real_change * t.scale;
    change[j] = difference;
    formed[j] = std::isfinite(difference);
  }
}

// F(e) of the base set and F'(e) - F(e) of every shifted set. A tail's change is the rule applied
// to the profile's changes at the nodes, when the shifted set sums the same tail; otherwise (a
// centre moved across e) and wherever a node's change is not available, F'(e) is formed and
// subtracted. In the Voigt case with every shift formed from series, the nodes' changes come from
// the four-term series of voigt_changes (vector_math.hpp) as the samples' do, and only the nodes
// whose series misses its bound take the longer series of profile_difference.
double cumulative_and_changes(double e, ProfileCase c, const VoigtParameters& base,
                              std::span<const ProfileShift> shifts, double* changes) {
  const double x0 = base[Name::x0], sigma = base[Name::sigma], gamma = base[Name::gamma];
  const TailNodes nodes(e, x0, sigma, gamma);
  const bool lower = nodes.lower;
  bool formed[kMaxShifts] = {};
  double tail_change[kMaxShifts] = {};
  bool lean = c == ProfileCase::Voigt && !shifts.empty();
  for (std::size_t j = 0; j < shifts.size(); ++j) {
    const VoigtParameters& s = shifts[j].shifted;
    // The shifted set sums the same tail on the same nodes: its F(e) is the rule applied to the
    // profile's changes there.
    formed[j] = shifts[j].accurate && TailNodes(e, s[Name::x0], s[Name::sigma], s[Name::gamma]).scale == nodes.scale &&
                (s[Name::x0] >= e) == lower;
    lean = lean && shifts[j].accurate;
  }
  double tail = 0.0;
  ProfilePoint point;
  if (lean) {
    double z_real[rule::kPoints], z_imag[rule::kPoints], w_real[rule::kPoints], w_imag[rule::kPoints];
    double node_change[kMaxShifts][rule::kPoints], node_formed[rule::kPoints];
    VoigtChangesPass pass;
    pass.z_real = z_real;
    pass.z_imag = z_imag;
    pass.w_real = w_real;
    pass.w_imag = w_imag;
    pass.formed = node_formed;
    pass.shifts = shifts.size();
    pass.sigma = sigma;
    for (std::size_t j = 0; j < shifts.size(); ++j) {
      const VoigtShift t = voigt_shift(base, shifts[j]);
      pass.moved[j] = static_cast<std::uint8_t>(t.moved);
      pass.dz[j] = t.dz;
      pass.ratio[j] = t.ratio;
      pass.width_change[j] = t.width_change;
      pass.scale[j] = t.scale;
      pass.change[j] = node_change[j];
    }
    const VoigtScale scale(sigma, gamma);
    for (std::size_t i = 0; i < rule::kPoints; ++i) {
      const std::complex<double> z = scale.argument(nodes.u(i));
      z_real[i] = z.real();
      z_imag[i] = z.imag();
    }
    simd_kernels().faddeeva(z_real, z_imag, rule::kPoints, w_real, w_imag);
    for (std::size_t i = 0; i < rule::kPoints; ++i) tail += rule::kTailWeight[i] * scale.value({w_real[i], w_imag[i]});
    voigt_kernels().changes(pass, rule::kPoints);
    for (std::size_t i = 0; i < rule::kPoints; ++i) {
      if (node_formed[i] == 0.0) {
        point.u = nodes.u(i);
        point.taylor.reset({z_real[i], z_imag[i]}, {w_real[i], w_imag[i]});
        point.value = scale.value({w_real[i], w_imag[i]});
      }
      for (std::size_t j = 0; j < shifts.size(); ++j) {
        if (!formed[j]) continue;
        double difference = node_change[j][i];
        if (node_formed[i] == 0.0) formed[j] = profile_difference(c, base, shifts[j], point, difference);
        if (formed[j]) tail_change[j] += rule::kTailWeight[i] * difference;
      }
    }
  } else {
    for (std::size_t i = 0; i < rule::kPoints; ++i) {
      point.set(c, nodes.u(i), sigma, gamma);
      tail += rule::kTailWeight[i] * point.value;
      for (std::size_t j = 0; j < shifts.size(); ++j) {
        if (!formed[j]) continue;
        double difference = 0.0;
        formed[j] = profile_difference(c, base, shifts[j], point, difference);
        if (formed[j]) tail_change[j] += rule::kTailWeight[i] * difference;
      }
    }
  }
  tail *= nodes.scale;
  const double value = lower ? tail : 1.0 - tail;
  for (std::size_t j = 0; j < shifts.size(); ++j) {
    const VoigtParameters& s = shifts[j].shifted;
    const double change = nodes.scale * tail_change[j];
    changes[j] = formed[j] ? (lower ? change : -change) : cumulative(e, s[Name::x0], s[Name::sigma], s[Name::gamma]) - value;
  }
  return value;
}

}  // namespace

double voigt_window_mass(double x0, double sigma, double gamma, double x_min, double x_max) {
  const double upper = cumulative(x_max, x0, sigma, gamma);
  return upper - cumulative(x_min, x0, sigma, gamma);
}

void voigt_density(std::span<const double> x, double x0, double sigma, double gamma, double x_min,
                   double x_max, std::span<double> row) {
  const double normaliser = std::fmax(voigt_window_mass(x0, sigma, gamma, x_min, x_max), 1e-300);
  const std::size_t n = std::min(x.size(), row.size());
  constexpr std::size_t kChunk = 256;
  double u[kChunk];
  for (std::size_t start = 0; start < n; start += kChunk) {
    const std::size_t len = std::min(kChunk, n - start);
    for (std::size_t j = 0; j < len; ++j) u[j] = x[start + j] - x0;
    voigt_profile_values(u, len, sigma, gamma, row.data() + start);
    for (std::size_t j = 0; j < len; ++j) row[start + j] /= normaliser;
  }
}

namespace {

// Samples are taken in blocks so that their logarithms are formed together by the vectorised
// log_in_place (within an ulp of std::log), which would otherwise cost a fifth of a pass.
constexpr std::size_t kBlock = 256;
// A chunk of the pool's work: 256 samples cost some 15 microseconds of w(z) calls, far above the
// hand-over, so single fits of a few hundred samples already share the cores.
constexpr std::size_t kChunkSamples = 256;
constexpr std::size_t kMaxChunks = 64;

// ln(1 + r), by the series with r added last (within 0.65 ulp, correctly rounded below 3e-5) where
// it holds. A shift of 1e-7 changes a density by far less than 1e-4 of itself, except where its
// profile is nearly zero.
inline double log1p_of(double r) {
  return std::fabs(r) < 1e-4 ? log1p_small<Log1pOrder::kLinearTermLast>(r) : std::log1p(r);
}

}  // namespace

double voigt_log_likelihood(std::span<const double> x, std::span<const double> weights,
                            const VoigtParameters& p, double x_min, double x_max) {
  return voigt_log_likelihood_differences(x, weights, p, {}, x_min, x_max, {});
}

// With d_i = V_i / M, ln d'_i - ln d_i = log1p((V'_i - V_i) / V_i) - log1p((M' - M) / M) while
// neither floor acts: M and M' well above 1e-300, and both densities so far above 1e-200 that the
// added 1e-200 changes their logarithms by less than 1e-20.
namespace {

// The window mass M of the base set and, for each shift, the shifted set's M', with what the
// samples' terms need of them.
struct MassTerms {
  double normaliser;    // max(M, 1e-300)
  double inverse_mass;  // 1 / M
  double shifted_mass[kMaxShifts];
  double inverse_shifted_mass[kMaxShifts];
  double mass_log_ratio[kMaxShifts];  // ln(M' / M)
  bool mass_formed[kMaxShifts];       // whether M, M' and their ratio are usable
};

MassTerms mass_terms(ProfileCase c, const VoigtParameters& base, std::span<const ProfileShift> shift_terms,
                     double x_min, double x_max, std::size_t used) {
  // The two edges' masses are independent; on a grid long enough to be taken in chunks (below)
  // they are two tasks of the pool as well, since every other part of the pass is shared.
  double upper_change[kMaxShifts], lower_change[kMaxShifts];
  double edge_mass[2];
  auto edge = [&](std::size_t k) {
    edge_mass[k] = k == 0 ? cumulative_and_changes(x_max, c, base, shift_terms, upper_change)
                          : cumulative_and_changes(x_min, c, base, shift_terms, lower_change);
  };
  if (used >= 2 * kChunkSamples) {
    run_tasks(2, edge);
  } else {
    run_tasks_sequentially(2, edge);
  }
  const double mass = edge_mass[0] - edge_mass[1];
  MassTerms m;
  m.normaliser = std::fmax(mass, 1e-300);
  // Reciprocals instead of a division per sample and shift: they only decide whether the floors
  // are far enough away, and form ratios of size 1e-7 whose last bit does not matter.
  m.inverse_mass = 1.0 / mass;
  for (std::size_t j = 0; j < shift_terms.size(); ++j) {
    const double change = upper_change[j] - lower_change[j];
    m.shifted_mass[j] = mass + change;
    m.inverse_shifted_mass[j] = 1.0 / m.shifted_mass[j];
    m.mass_log_ratio[j] = std::log1p(change / mass);
    m.mass_formed[j] = mass > 1e-290 && m.shifted_mass[j] > 1e-290 && std::isfinite(mass) &&
                       std::isfinite(m.shifted_mass[j]) && std::isfinite(m.mass_log_ratio[j]);
  }
  return m;
}

// What forming the samples' weighted terms needs, shared by the chunks of the grid: for sample i,
// w_i ln d_i goes to terms[i * stride] and each shift's w_i (ln d'_i - ln d_i) after it.
struct SampleTermsInputs {
  std::span<const double> x, weights;
  const VoigtParameters& base;
  ProfileCase c;
  std::span<const ProfileShift> shifts;
  std::span<const VoigtShift> voigt_shifts;
  const MassTerms& mass;
  // Where every shift can be formed from the series of w, the samples take the lean path of
  // voigt_point_changes; otherwise each goes through profile_differences.
  bool lean;
  VoigtScale scale;
  VoigtChangesPass changes_pass;
  VoigtTermsPass terms_pass;
  const SimdKernels& kernels;
  const VoigtKernels& voigt_kernels;
  double* terms;
  std::size_t stride;
};

// One block's rows: the profile value, its logarithm of the density, and each shift's change with
// whether it was formed.
struct BlockRows {
  double log_density[kBlock], value[kBlock], change[kMaxShifts][kBlock];
  bool formed[kMaxShifts][kBlock];
  double z_real[kBlock], z_imag[kBlock], w_real[kBlock], w_imag[kBlock], series_formed[kBlock];
};

// The values, log-densities and changes of samples [start, start + len).
void block_values(const SampleTermsInputs& in, std::size_t start, std::size_t len, BlockRows& r,
                  VoigtChangesPass& block_pass, FaddeevaTaylor& fallback, ProfilePoint& point) {
  const std::size_t shifts = in.shifts.size();
  const double x0 = in.base[Name::x0], sigma = in.base[Name::sigma], gamma = in.base[Name::gamma];
  if (in.lean) {
    // The lean path's series, eight samples at a time (voigt_changes of vector_math.hpp, the same
    // bits as voigt_point_changes), once the block's w values are formed.
    for (std::size_t i = 0; i < len; ++i) {
      const std::complex<double> z = in.scale.argument(in.x[start + i] - x0);
      r.z_real[i] = z.real();
      r.z_imag[i] = z.imag();
    }
    in.kernels.faddeeva(r.z_real, r.z_imag, len, r.w_real, r.w_imag);
    for (std::size_t i = 0; i < len; ++i) r.value[i] = in.scale.value({r.w_real[i], r.w_imag[i]});
    if (shifts != 0) in.voigt_kernels.changes(block_pass, len);
  }
  for (std::size_t i = 0; i < len; ++i) {
    double point_change[kMaxShifts] = {};
    bool point_formed[kMaxShifts];
    if (in.lean) {
      if (shifts == 0 || r.series_formed[i] != 0.0) {
        for (std::size_t j = 0; j < shifts; ++j) r.formed[j][i] = true;
        r.log_density[i] = r.value[i] / in.mass.normaliser + 1e-200;
        continue;
      }
      voigt_point_changes({r.z_real[i], r.z_imag[i]}, {r.w_real[i], r.w_imag[i]}, in.voigt_shifts, point_change,
                          point_formed, fallback);
    } else {
      point.set(in.c, in.x[start + i] - x0, sigma, gamma);
      r.value[i] = point.value;
      profile_differences(in.c, in.base, in.shifts, point, point_change, point_formed);
    }
    r.log_density[i] = r.value[i] / in.mass.normaliser + 1e-200;
    for (std::size_t j = 0; j < shifts; ++j) {
      r.change[j][i] = point_change[j];
      r.formed[j][i] = point_formed[j];
    }
  }
  log_in_place({r.log_density, len});
}

// The weighted terms of samples [start, start + len) from their block rows: eight samples at a
// time where every one is formed as below (the same bits), the others here.
void block_terms(const SampleTermsInputs& in, std::size_t start, std::size_t len, BlockRows& r) {
  const std::size_t shifts = in.shifts.size();
  const MassTerms& m = in.mass;
  double done[kBlock];
  if (in.lean) {
    for (std::size_t i = 0; i < len; ++i) r.series_formed[i] = shifts == 0 || r.series_formed[i] != 0.0 ? 1.0 : 0.0;
    VoigtTermsPass terms_pass = in.terms_pass;
    terms_pass.value = r.value;
    terms_pass.log_density = r.log_density;
    terms_pass.weights = in.weights.data() + start;
    terms_pass.formed = r.series_formed;
    for (std::size_t j = 0; j < shifts; ++j) terms_pass.change[j] = r.change[j];
    terms_pass.out = &in.terms[start * in.stride];
    terms_pass.done = done;
    in.voigt_kernels.terms(terms_pass, len);
  }
  for (std::size_t i = 0; i < len; ++i) {
    if (in.lean && done[i] != 0.0) continue;
    const double w = in.weights[start + i];
    double* out = &in.terms[(start + i) * in.stride];
    out[0] = w * r.log_density[i];
    const double inverse_value = 1.0 / r.value[i];
    for (std::size_t j = 0; j < shifts; ++j) {
      double term;
      if (r.formed[j][i] && m.mass_formed[j] && r.value[i] > 0.0 && r.value[i] * m.inverse_mass >= 1e-180 &&
          (r.value[i] + r.change[j][i]) * m.inverse_shifted_mass[j] >= 1e-180) {
        term = log1p_of(r.change[j][i] * inverse_value) - m.mass_log_ratio[j];
      } else {
        const VoigtParameters& s = in.shifts[j].shifted;
        const double shifted = r.formed[j][i] ? r.value[i] + r.change[j][i]
                                              : voigt_profile(in.x[start + i] - s[Name::x0], s[Name::sigma], s[Name::gamma]);
        term = std::log(shifted / std::fmax(m.shifted_mass[j], 1e-300) + 1e-200) - r.log_density[i];
      }
      out[1 + j] = w * term;
    }
  }
}

// The weighted terms of samples [begin, end), a block at a time.
void form_sample_terms(const SampleTermsInputs& in, std::size_t begin, std::size_t end) {
  FaddeevaTaylor fallback;
  ProfilePoint point;
  BlockRows r;
  VoigtChangesPass block_pass = in.changes_pass;
  block_pass.z_real = r.z_real;
  block_pass.z_imag = r.z_imag;
  block_pass.w_real = r.w_real;
  block_pass.w_imag = r.w_imag;
  block_pass.formed = r.series_formed;
  for (std::size_t j = 0; j < kMaxShifts; ++j) block_pass.change[j] = r.change[j];
  for (std::size_t start = begin; start < end; start += kBlock) {
    const std::size_t len = std::min(kBlock, end - start);
    block_values(in, start, len, r, block_pass, fallback, point);
    block_terms(in, start, len, r);
  }
}

}  // namespace

double voigt_log_likelihood_differences(std::span<const double> x, std::span<const double> weights,
                                        const VoigtParameters& base, std::span<const Shift> shifts,
                                        double x_min, double x_max, std::span<double> differences) {
  if (shifts.size() > kMaxShifts || differences.size() < shifts.size()) fail_index(differences.size(), shifts.size());
  const ProfileCase c = profile_case(base[Name::sigma], base[Name::gamma]);
  ProfileShift terms[kMaxShifts];
  for (std::size_t j = 0; j < shifts.size(); ++j) terms[j] = profile_shift(c, base, shifts[j]);
  const std::span<const ProfileShift> shift_terms(terms, shifts.size());
  const std::size_t used = std::min(x.size(), weights.size());
  const MassTerms mass = mass_terms(c, base, shift_terms, x_min, x_max, used);
  for (std::size_t j = 0; j < shifts.size(); ++j) differences[j] = -0.0;

  bool lean = c == ProfileCase::Voigt;
  VoigtShift voigt_shifts[kMaxShifts];
  VoigtChangesPass changes_pass;
  changes_pass.shifts = shifts.size();
  changes_pass.sigma = base[Name::sigma];
  VoigtTermsPass terms_pass;
  terms_pass.shifts = shifts.size();
  terms_pass.inverse_mass = mass.inverse_mass;
  for (std::size_t j = 0; j < shifts.size(); ++j) {
    lean = lean && terms[j].accurate;
    const VoigtShift& t = voigt_shifts[j] = voigt_shift(base, terms[j]);
    changes_pass.moved[j] = static_cast<std::uint8_t>(t.moved);
    changes_pass.dz[j] = t.dz;
    changes_pass.ratio[j] = t.ratio;
    changes_pass.width_change[j] = t.width_change;
    changes_pass.scale[j] = t.scale;
    terms_pass.inverse_shifted_mass[j] = mass.inverse_shifted_mass[j];
    terms_pass.mass_log_ratio[j] = mass.mass_log_ratio[j];
    terms_pass.mass_formed[j] = mass.mass_formed[j];
  }
  const std::size_t stride = 1 + shifts.size();
  const std::unique_ptr<double[]> sample_terms(new double[used * stride]);  // every entry is written
  const SampleTermsInputs inputs{x, weights, base, c, shift_terms, {voigt_shifts, shifts.size()}, mass, lean,
                                 VoigtScale(base[Name::sigma], base[Name::gamma]), changes_pass, terms_pass,
                                 simd_kernels(), voigt_kernels(), sample_terms.get(), stride};

  // A long grid is taken in chunks of at least kChunkSamples samples as tasks of the worker pool,
  // so that the refits of a mixture share both cores whatever their number. The sums are then
  // formed on this thread in sample order, as on one core.
  const std::size_t chunks = std::clamp<std::size_t>(used / kChunkSamples, 1, kMaxChunks);
  const std::size_t length = (used + chunks - 1) / chunks;
  run_tasks(chunks, [&](std::size_t k) { form_sample_terms(inputs, k * length, std::min(used, (k + 1) * length)); });
  double total = -0.0;
  for (std::size_t i = 0; i < used; ++i) {
    const double* terms_of_sample = &sample_terms[i * stride];
    total += terms_of_sample[0];
    for (std::size_t j = 0; j < shifts.size(); ++j) differences[j] += terms_of_sample[1 + j];
  }
  return total;
}

namespace {

// The Voigt single-peak fit problem: every free parameter starts from its incoming value.
class VoigtFit {
 public:
  using Values = VoigtParameters;
  static constexpr auto kNames = Name::kNames;
  static constexpr NothingToFit kNothingToFit = NothingToFit::kExactlyZero;

  VoigtFit(std::span<const double> x, std::span<const double> weights, const VoigtBounds& bounds)
      : x_(x), weights_(weights), bounds_(bounds) {}

  std::span<const double> weights() const { return weights_; }

  FreeRange free_range(std::size_t parameter, const Values& values, double /*total*/) const {
    switch (parameter) {
      case Name::x0: return {values[Name::x0], bounds_.x_min, bounds_.x_max, ReadBack::AsIs};
      case Name::sigma: return {values[Name::sigma], bounds_.sigma_min, bounds_.sigma_max, ReadBack::CheckedClamp};
      default: return {values[Name::gamma], bounds_.gamma_min, bounds_.gamma_max, ReadBack::CheckedClamp};
    }
  }

  double log_likelihood_differences(const Values& base, std::span<const Shift> shifts, std::span<double> differences) {
    return voigt_log_likelihood_differences(x_, weights_, base, shifts, bounds_.x_min, bounds_.x_max, differences);
  }

 private:
  std::span<const double> x_, weights_;
  VoigtBounds bounds_;
};

}  // namespace

VoigtParameters fit_voigt_component(std::span<const double> x, std::span<const double> weights,
                                    const VoigtParameters& current, const std::array<bool, 3>& fixed,
                                    const VoigtBounds& bounds, std::uint64_t* objective_calls) {
  VoigtFit fit(x, weights, bounds);
  VoigtParameters values = current;
  const PeakFitOutcome outcome = fit_single_peak(fit, fixed, values);
  if (outcome.fitted() && objective_calls != nullptr) *objective_calls += outcome.evaluations;
  return values;
}

void VoigtPeaks::density(std::size_t k, std::span<const double> x, const Window& window,
                         std::span<double> row) const {
  voigt_density(x, values[Names::x0][k], values[Names::sigma][k], values[Names::gamma][k], window.min, window.max,
                row);
}

VoigtPeaks::Parameters VoigtPeaks::refit(std::size_t k, std::span<const double> x,
                                         std::span<const double> weights, const Window& window,
                                         std::span<double> /*scratch*/) const {
  return fit_voigt_component(x, weights, current(k), {fixed[Names::x0][k], fixed[Names::sigma][k], fixed[Names::gamma][k]},
                             {window.min, window.max, sigma_min, sigma_max, gamma_min, gamma_max});
}

template EmResult run_em(VoigtPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
