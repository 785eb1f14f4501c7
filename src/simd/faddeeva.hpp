#pragma once
// The Faddeeva function w(z) = exp(-z^2) erfc(-i z) over arrays of complex arguments, on the lanes
// of simd/lanes.hpp (the tables come from simd/faddeeva_tables.hpp).
//
// Contract (lanes: 8 doubles, z split into real and imaginary arrays; any finite z). Errors are in
// ulp of the larger of the part and 1/16 of |w| (below the real axis: of the larger of 2 |exp(-z^2)|
// and |w(-z)|, the terms that cancel there), against an 80-bit evaluation on 10^6 points and
// 256-bit mpmath values on 3,956 (tests/cpp/faddeeva_test.cpp):
// - wherever libcerf 1.x's w_of_z is accurate (each part within 1 ulp of the reference), this
//   kernel is within 4 ulp of it in both parts on the axes, in the asymptotic series' region and in
//   the continued fraction's (but for a few points in 10^5, within 6 there);
//   in the series region at nine in ten such points, and within 48 ulp at the rest: near the
//   imaginary axis for 2 < y < 5, where Im w is a difference of terms 10 to 20 times its size, and
//   for 4 < |x| < 7, where exp(2 a x)^n carries n roundings;
// - above the real axis no part is further from the reference than 64 ulp in the series region
//   (libcerf: 718, near y = 5), 160 in the fraction's (libcerf: 245, beside the real axis at
//   |x| = 6, where the fraction converges slowest), 4 on the axes, in the asymptotic series' region
//   and beyond |x| + y = 1e7 (libcerf: 29, 167 and 185).
// These hold with FMA (AVX2, AVX-512). The SSE2 fallback does not form the rounding errors of x^2
// and 2 a x that the series compensates for: up to 37 ulp above libcerf's error there (mpmath).
// Outside: infinite parts give w = 0 where libcerf does (|z| -> inf above or along the real axis),
// NaN when both are infinite; NaN gives NaN; below the real axis exp(-z^2) overflows to infinities
// as libcerf's does.
//
// Method: the regions and methods of the Faddeeva package behind libcerf 1.x (Johnson 2012), with
// z = x + i y, x >= 0 (w(-conj z) = conj w(z)):
// - |y| > 7, or x > 6 with |y| > 0.1, or x > 8: Laplace's continued fraction for w (below the
//   axis for -z, then w(z) = 2 exp(-z^2) - w(-z), lane by lane in scalar code), evaluated from its
//   tail with the number of terms of Poppe and Wijers' form fitted for double precision, and beyond
//   x + y = 1e7 the first convergent, scaled against overflow, with its 1 / (2 z^2) correction. Near the
//   real axis (y <= 1e-10) exp(-x^2), which lies beyond all orders of the fraction, is added.
//   Between |z| = 10.15 and x + y = 1e7 the asymptotic series of w instead, with as many terms as
//   the vector's smallest |z| needs (14 at most): the same accuracy as the fraction, without its
//   division per term.
// - elsewhere: the modified Algorithm 916 series (Zaghloul and Ali 2011, Johnson's variant), with
//   its terms exp(-a^2 n^2) from the table, erfcx(|y|) from piecewise polynomials on [0, 7] (for
//   y < 0, 2 exp(y^2) - erfcx(-y)), a = pi / sqrt(65 ln 2) rather than pi / sqrt(-ln(eps / 2)),
//   and the powers of exp(2ax) as cosh and sinh of 2anx by the addition theorem.
// On the axes: w(x) = exp(-x^2) + i x q(x), q = Im w(x) / x from piecewise polynomials on [0, 8]
// (the series loses Im w(x) to cancellation), and w(i y) = erfcx(y).
// Each lane takes its region's method through selects; a vector whose lanes share one region
// computes only that method.

#include <cmath>
#include <cstddef>

#include "simd/exp.hpp"
#include "simd/faddeeva_tables.hpp"
#include "simd/lanes.hpp"
#include "simd/sin_cos.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

SIMD_INLINE V faddeeva_gather(const double* const (&rows)[kLanes], int column) {
  alignas(64) double lanes[kLanes];
  for (int j = 0; j < kLanes; ++j) lanes[j] = rows[j][column];
  return load(lanes);
}

// floor(v) for 0 <= v < 2^51.
SIMD_INLINE V faddeeva_floor(V v) {
  const V rounded = (v + set(kRoundingShift)) - set(kRoundingShift);
  return select(rounded > v, rounded - set(1.0), rounded);
}

// A table's piecewise polynomial at v in [0, intervals / 8] (other lanes: a value of no meaning):
// row j holds the coefficients in t = 16 (v - (j + 1/2) / 8) on the interval of width 1/8 that
// holds v, each within about 1 ulp (scripts/make_faddeeva_tables.py).
template <int kIntervals>
SIMD_INLINE V faddeeva_piecewise(const double (&table)[kIntervals][faddeeva_tables::kErfcxDegree + 1], V v) {
  using namespace faddeeva_tables;
  // Clamped with NaN going to interval 0: the index must stay inside the table.
  const V interval = min_or_second(max_or_second(faddeeva_floor(v * set(kErfcxIntervalsPerUnit)), set(0.0)), set(kIntervals - 1.0));
  // Both products are exact: 16 v is a scaling by a power of 2, 2 interval + 1 a small odd integer.
  const V t = fma(v, set(2.0 * kErfcxIntervalsPerUnit), -fma(interval, set(2.0), set(1.0)));
  alignas(64) double index[kLanes];
  store(index, interval);
  const double* rows[kLanes];
  for (int j = 0; j < kLanes; ++j) rows[j] = table[static_cast<int>(index[j])];
  V p = faddeeva_gather(rows, kErfcxDegree);
  for (int k = kErfcxDegree - 1; k >= 0; --k) p = fma(p, t, faddeeva_gather(rows, k));
  return p;
}

// sin(t) / t given sin(t), by its series near 0.
SIMD_INLINE V faddeeva_sinc(V t, V sine) {
  return select(abs_of(t) < set(1e-4), set(1.0) - set(0.1666666666666666666667) * t * t, sine / t);
}

// The series' step a = pi / sqrt(65 ln 2): its aliasing error exp(-pi^2 / a^2) is 2^-65. At a =
// pi / sqrt(-ln(eps / 2)), eps's own size, that error comes back in the parts multiplied by the
// cancellation between the terms, up to 40 ulp of Im w near y = 5, and beyond 1 ulp in a third
// of the Voigt profile's arguments; the smaller a costs a tenth more terms.
constexpr double kFaddeevaA = 0.46803729839844543;
constexpr double kFaddeevaC = 0.2979617983659561;    // 2 a / pi
constexpr double kFaddeevaA2 = 0.21905891269211544;  // a^2 (the table holds exp(-a^2 n^2) of a's exact square)
constexpr double kInverseSqrtPi = 0.56418958354775628694807945156;
constexpr double kEpsilon = 2.220446049250313e-16;

// The asymptotic series w(z) = i / (sqrt(pi) z) sum_k c_k z^(-2k), c_k = (2k - 1)!! / 2^k (exact
// doubles), and the |z|^2 from which its first k + 1 terms c_0 .. c_k leave a remainder below
// 2^-60 of the sum: the next term c_(k + 1) / |z|^(2k + 2). The margin beyond 2^-53 is for the
// smaller part: beside the real axis Re w is about y / (sqrt(pi) |z|^2), 1/16 of |w| and less, and
// the remainder's real part is about 2k + 3 times its share of Re w (at 2^-55, Re w was 6 ulp off
// at the borders).
constexpr int kAsymptoticTerms = 14;
constexpr double kAsymptoticCoefficients[kAsymptoticTerms] = {
    1.0, 0.5, 0.75, 1.875, 6.5625, 29.53125, 162.421875, 1055.7421875, 7918.06640625, 67303.564453125, 639383.8623046875, 6713530.554199219, 77205601.37329102, 965070017.1661377};
constexpr double kAsymptoticFrom[kAsymptoticTerms] = {
    5.77e17, 9.3e8, 1293006.0, 52447.0, 8062.0, 2392.0, 1028.6, 556.1, 349.5, 243.7, 183.2, 145.5, 120.5, 103.0};

// w(x + i y) by the asymptotic series, for x, y >= 0 with x^2 + y^2 >= kAsymptoticFrom[13] and x + y
// <= 1e7 (lanes outside `inside`: a value of no meaning). Beyond |z| = 10.15 it needs no more terms
// than the continued fraction and no division per term. In the upper half plane Re w and Im w
// keep their signs here, so neither part is a difference: each is within a few ulp.
SIMD_INLINE void faddeeva_asymptotic(V x_in, V y_in, M inside, V& re, V& im) {
  const V x = select(inside, x_in, set(0.0));
  // Other lanes far out, where they need the fewest terms.
  const V y = select(inside, y_in, set(1e6));
  // 1 / z = (x - i y) / |z|^2, |z|^2 = r2 + r2_error exactly (to the products' error terms), its
  // reciprocal corrected by one Newton step for both its own rounding and r2_error.
  const V xx = x * x, yy = y * y;
  const V r2 = xx + yy;
  const V yy_part = r2 - xx;
  const V sum_error = (xx - (r2 - yy_part)) + (yy - yy_part);
  const V r2_error = (product_error(x, x, xx) + product_error(y, y, yy)) + sum_error;
  V inverse = set(1.0) / r2;
  inverse = fma(inverse, fnma(r2_error, inverse, fnma(r2, inverse, set(1.0))), inverse);
  const V zr = x * inverse, zi = -(y * inverse);
  // v = z^-2; the terms beyond the first are below 1/100 of the sum, so v's roundings reach the
  // sum only as a hundredth of an ulp.
  const V vr = (zr - zi) * (zr + zi), vi = set(2.0) * zr * zi;
  // The terms the vector's smallest |z| needs.
  alignas(64) double lanes[kLanes];
  store(lanes, r2);
  double least = lanes[0];
  for (double v : lanes) least = v < least ? v : least;
  int terms = kAsymptoticTerms;
  while (terms > 1 && least >= kAsymptoticFrom[terms - 2]) --terms;
  V sr = set(kAsymptoticCoefficients[terms - 1]), si = set(0.0);
  for (int k = terms - 2; k >= 0; --k) {
    const V next_r = fma(sr, vr, fnma(si, vi, set(kAsymptoticCoefficients[k])));
    si = fma(sr, vi, si * vr);
    sr = next_r;
  }
  // w = i q / sqrt(pi), q = S / z.
  const V qr = fnma(zi, si, zr * sr), qi = fma(zr, si, zi * sr);
  re = -(qi * set(kInverseSqrtPi));
  im = qr * set(kInverseSqrtPi);
}

// w(x + i y) by the continued fraction, for x, y >= 0 in its region (lanes outside `inside`: a
// value of no meaning, at no cost in terms).
SIMD_INLINE void faddeeva_fraction(V x, V y, M inside_all, V& re, V& im) {
  const V sum = x + y;
  // Far enough out, the asymptotic series; the lanes it takes cost the fraction no terms.
  const M asymptotic = inside_all & (fma(x, x, y * y) >= set(kAsymptoticFrom[kAsymptoticTerms - 1])) & (sum <= set(1e7));
  const V asymptotic_lanes = select(asymptotic, set(1.0), set(0.0));
  const M inside = inside_all & (asymptotic_lanes == set(0.0));
  // Terms of the fraction: 2 half = the fitted count - 1 (3 beyond x + y = 4000). The count of Poppe and Wijers' form takes one term more
  // than fitted for double precision: one term short, the imaginary axis between y = 30 and 90
  // was 18 ulp off.
  const V fitted = faddeeva_floor(set(4.9) + set(11.398) / fma(set(0.08254), x, fma(set(0.1421), y, set(0.2023))));
  V half = set(0.5) * (fitted - set(1.0));
  half = select(inside & (sum <= set(1e7)), half, set(0.0));
  alignas(64) double halves[kLanes];
  store(halves, half);
  double most = 0.0;
  for (double h : halves) most = h > most ? h : most;
  V wr = x, wi = y;
  for (double k = most; k > 0.4; k -= 0.5) {
    const V step = set(k);
    const V denominator = step / fma(wr, wr, wi * wi);
    const M active = step <= half;
    wr = select(active, fnma(wr, denominator, x), wr);
    wi = select(active, fma(wi, denominator, y), wi);
  }
  const V scale = set(kInverseSqrtPi) / fma(wr, wr, wi * wi);
  re = scale * wi;
  im = scale * wr;
  // Beyond 1e7 the first convergent i / (sqrt(pi) z), divided through by the larger part.
  const M far = sum > set(1e7);
  if (!all(sum <= set(1e7))) {
    const M wide = x > y;
    const V ratio = select(wide, y / x, x / y);
    const V d = set(kInverseSqrtPi) / select(wide, fma(ratio, y, x), fma(ratio, x, y));
    const V first_re = select(wide, d * ratio, d), first_im = select(wide, d, d * ratio);
    // times 1 + 1 / (2 z^2): 1 / z = sqrt(pi) (Im - i Re) of the first convergent.
    const V inverse_re = set(1.7724538509055160273) * first_im, inverse_im = set(-1.7724538509055160273) * first_re;
    const V half_re = set(0.5) * fnma(inverse_im, inverse_im, inverse_re * inverse_re), half_im = inverse_re * inverse_im;
    re = select(far, first_re + fnma(first_im, half_im, first_re * half_re), re);
    im = select(far, first_im + fma(first_re, half_im, first_im * half_re), im);
  }
  if (!all(asymptotic_lanes == set(0.0))) {
    V series_re, series_im;
    faddeeva_asymptotic(x, y, asymptotic, series_re, series_im);
    re = select(asymptotic, series_re, re);
    im = select(asymptotic, series_im, im);
  }
}

// w(x + i y) by the series, for 0 <= x <= 8 and -7 <= y <= 7 (lanes outside: replaced by 1 + i).
SIMD_INLINE void faddeeva_series(V x_in, V y_in, M inside, V& re, V& im) {
  using namespace faddeeva_tables;
  const V x = select(inside, x_in, set(1.0));
  const V y = select(inside, y_in, set(1.0));
  // The terms are exp(-a^2 n^2) exp(-x^2) (cosh(2 a n x) +- sinh(2 a n x)) / (a^2 n^2 + y^2); Re w
  // takes the cosh sum, Im w the sinh sum. The rounding of x^2 and of 2 a x would come back
  // multiplied by x^2 and by 2 a n x (about x^2 where the terms peak, 50 ulp near x = 7), so each
  // exponential takes its argument's rounding error r as the factor 1 - r (|r| <= 2^-53 times the
  // argument, r^2 below the last place).
  const V x2 = x * x;
  const V x2_error = fma(x, x, -x2);
  V expx2 = exp_full(-x2);
  expx2 = fnma(expx2, x2_error, expx2);
  const V theta = set(2.0 * kFaddeevaA) * x;
  const V theta_error = fma(set(2.0 * kFaddeevaA), x, -theta);
  const V e_plus = exp_full(theta), e_minus = exp_full(-theta);
  // sinh(theta) without the cancellation of (e^theta - e^-theta) / 2 below theta = 1/4 (its series
  // to theta^11, within 1e-17 there), then cosh(n theta) and sinh(n theta) by the addition
  // theorem: every product is of positive numbers, so each step adds a rounding or two, where
  // e^(n theta) - e^(-n theta) lost Im w(z) near the imaginary axis to cancellation.
  const V t2 = theta * theta;
  V sinh_small = fma(t2, set(1.0 / 39916800.0), set(1.0 / 362880.0));
  sinh_small = fma(sinh_small, t2, set(1.0 / 5040.0));
  sinh_small = fma(sinh_small, t2, set(1.0 / 120.0));
  sinh_small = fma(sinh_small, t2, set(1.0 / 6.0));
  sinh_small = fma(sinh_small * t2, theta, theta);
  const V cosh1 = fma(set(0.5), e_plus + e_minus, set(0.5) * theta_error * (e_plus - e_minus));
  const V sinh1 = select(theta < set(0.25), sinh_small, set(0.5) * (e_plus - e_minus)) + theta_error * cosh1;
  const V y2 = y * y;
  V cosh_n = set(1.0), sinh_n = set(0.0);
  V sum1 = set(0.0), cosh_sum = set(0.0), sinh_sum = set(0.0), sum5 = set(0.0);
  // Lanes that are not ours, or NaN, count as converged from the start.
  const M idle = select(inside, set(0.0), set(1.0)) > set(0.0);
  for (int n = 1; n <= kSeriesTerms; ++n) {
    const double dn = n;
    const V coef = set(kExpMinusA2N2[n - 1]) * expx2 / (set(kFaddeevaA2 * (dn * dn)) + y2);
    const V next_cosh = fma(cosh_n, cosh1, sinh_n * sinh1);
    sinh_n = fma(sinh_n, cosh1, cosh_n * sinh1);
    cosh_n = next_cosh;
    sum1 = sum1 + coef;
    cosh_sum = fma(coef, cosh_n, cosh_sum);
    const V an_coef = set(kFaddeevaA * dn) * coef;
    sinh_sum = fma(an_coef, sinh_n, sinh_sum);
    const V last = an_coef * (cosh_n + sinh_n);
    sum5 = sum5 + last;
    if (all((last < set(kEpsilon) * sum5) | idle | unordered(x, y))) break;
  }
  // sum2 + sum3 and sum5 - sum4 of the series as usually written.
  const V even_sums = set(2.0) * cosh_sum;
  const V sinh_sums = set(2.0) * sinh_sum;
  // Below the real axis erfcx(y) = 2 exp(y^2) - erfcx(-y), and below y = -6 the first term alone
  // (to double precision), taken with exp(-x^2) in one exponential against overflow.
  const V erfcx_abs = faddeeva_piecewise(faddeeva_tables::kErfcx, abs_of(y));
  V expx2erfcxy = expx2 * erfcx_abs;
  if (!all(y >= set(0.0))) {
    const V twice_exp = set(2.0) * exp_full(y2);
    const V lower = select(y > set(-6.0), expx2 * (twice_exp - erfcx_abs), set(2.0) * exp_full(y2 - x2));
    expx2erfcxy = select(y < set(0.0), lower, expx2erfcxy);
  }
  const V xy = x * y, twice_xy = set(2.0) * xy;
  V sinxy, cosxy, sin2xy, cos2xy;
  sin_cos_reduced(xy, sinxy, cosxy);
  sin_cos_reduced(twice_xy, sin2xy, cos2xy);
  const V coef1 = fnma(set(kFaddeevaC) * y, sum1, expx2erfcxy);
  const V coef2 = set(kFaddeevaC) * x * expx2;
  const V re_part = coef1 * cos2xy + coef2 * sinxy * faddeeva_sinc(xy, sinxy);
  // Above y = 5 the imaginary parts of these terms cancel to below the sums' rounding.
  const V im_part = select(y > set(5.0), set(0.0), coef2 * faddeeva_sinc(twice_xy, sin2xy) - coef1 * sin2xy);
  re = re_part + set(0.5 * kFaddeevaC) * y * even_sums;
  im = im_part + set(0.5 * kFaddeevaC) * sinh_sums;
  // On the axes: w(x) = exp(-x^2) + i x (Im w(x) / x), the quotient from its table, and
  // w(i y) = erfcx(y); the sums lose Im w(x) to cancellation.
  const M axis = y == set(0.0);
  re = select(axis, expx2, re);
  if (!all(y > set(0.0))) im = select(axis, x * faddeeva_piecewise(faddeeva_tables::kImWOverX, x), im);
  re = select(x == set(0.0), expx2erfcxy, re);
}

// w(re + i im) for 8 lanes; lanes of the fraction's region below the real axis hold w(re + i |im|)
// and are marked in `reflect` for the caller to finish by the reflection formula.
SIMD_INLINE void faddeeva_lanes(V z_re, V z_im, V& w_re, V& w_im, M& reflect) {
  const V x = abs_of(z_re), y = abs_of(z_im);
  const M fraction = (y > set(7.0)) | ((x > set(6.0)) & ((y > set(0.1)) | (x > set(8.0))));
  const V fraction_lanes = select(fraction, set(1.0), set(0.0));
  const M series = fraction_lanes == set(0.0);
  V re = set(0.0), im = set(0.0);
  if (!all(series)) {
    faddeeva_fraction(x, y, fraction, re, im);
    // exp(-x^2) lies beyond all orders of the fraction; it counts only next to the real axis.
    const M axis = fraction & (y <= set(1e-10));
    if (!all((fraction_lanes == set(0.0)) | (y > set(1e-10)))) re = select(axis, re + exp_full(-(x * x)), re);
  }
  if (!all(fraction)) {
    V series_re, series_im;
    faddeeva_series(x, z_im, series, series_re, series_im);
    re = select(series, series_re, re);
    im = select(series, series_im, im);
  }
  // w(-conj z) = conj w(z); on the imaginary axis Im w carries the sign of Re z's zero.
  im = select(z_re < set(0.0), -im, im);
  w_re = re;
  w_im = select(x == set(0.0), z_re, im);
  reflect = fraction & (z_im < set(0.0));
}

inline void faddeeva_array(const double* z_re, const double* z_im, std::size_t n, double* w_re, double* w_im) {
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i;
    // A partial vector's spare lanes repeat its first argument, so that they add no region.
    const V re = load_lanes(z_re + i, count, z_re[i]);
    const V im = load_lanes(z_im + i, count, z_im[i]);
    V wr, wi;
    M reflect;
    faddeeva_lanes(re, im, wr, wi, reflect);
    store_lanes(w_re + i, count, wr);
    store_lanes(w_im + i, count, wi);
    const V reflect_lanes = select(reflect, set(1.0), set(0.0));
    if (!all(reflect_lanes == set(0.0))) {
      // The fraction's lanes below the real axis: w(z) = 2 exp(-z^2) - w(-z), w(-z) = conj w(re +
      // i |im|) as just formed; exp(-z^2) = exp((y - x)(x + y)) (cos 2xy - i sin 2xy) in lanes
      // where the angle is within the vector reduction, in scalar code elsewhere.
      const V angle = set(-2.0) * re * im;
      const V magnitude = set(2.0) * exp_full((im - re) * (re + im));
      V sine, cosine;
      sin_cos_reduced(angle, sine, cosine);
      const M reduced = abs_of(angle) <= set(kSinCosLimit);
      const V reflected_re = fma(magnitude, cosine, -wr), reflected_im = fma(magnitude, sine, wi);
      alignas(64) double flags[kLanes], done[kLanes], lanes_re[kLanes], lanes_im[kLanes];
      store(flags, reflect_lanes);
      store(done, select(reduced & unordered(magnitude, magnitude), set(0.0), select(reduced, set(1.0), set(0.0))));
      store(lanes_re, reflected_re);
      store(lanes_im, reflected_im);
      const std::size_t lanes = count < kLanes ? count : kLanes;
      for (std::size_t l = i; l < i + lanes; ++l) {
        if (flags[l - i] == 0.0) continue;
        if (done[l - i] != 0.0) {
          w_re[l] = lanes_re[l - i];
          w_im[l] = lanes_im[l - i];
          continue;
        }
        const double x = z_re[l], y = z_im[l];
        const double scalar_magnitude = 2.0 * std::exp((y - x) * (x + y));
        const double scalar_angle = -2.0 * x * y;
        w_re[l] = scalar_magnitude * std::cos(scalar_angle) - w_re[l];
        w_im[l] = scalar_magnitude * std::sin(scalar_angle) + w_im[l];
      }
    }
  }
}

}  // namespace
}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
