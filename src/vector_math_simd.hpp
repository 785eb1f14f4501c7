// The vectorised kernels, written once for an 8-lane vector of doubles and compiled three times:
// vector_math_avx512.cpp (AVX-512 F/DQ/VL/BW: one 512-bit register per vector), vector_math_avx2.cpp
// (AVX2 with FMA: two 256-bit registers) and vector_math_baseline.cpp (SSE2: four 128-bit
// registers, no FMA). The including file defines BRIVANE_SIMD_NAMESPACE and BRIVANE_SIMD_TABLE.
//
// Every operation acts lane by lane and rounds once (an FMA rounds once too), and every sum keeps
// its own accumulator per lane, so the AVX2 and AVX-512 variants compute the same operations in the
// same order and give bit-identical results. The baseline variant has no FMA: it forms a*b + c
// with two roundings, so its results may differ in the last bits.
//
// Nothing here may be an inline function or template shared with other translation units: the
// linker would keep one copy of each, compiled for whichever instruction set came first. Helpers
// live in an anonymous namespace; only the kernel table is visible outside.

// GCC 12 reports the undefined pass-through operand of its own AVX-512 intrinsics (shifts, min)
// as uninitialised; the operand is never read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>

#include "numerics/exponential_integrals.hpp"
#include "simd/faddeeva_tables.hpp"
#include "vector_math.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// Every helper is inlined into its kernel, which the kernels' speed depends on. Under
// AddressSanitizer (the build that also checks undefined behaviour) the compiler chooses instead:
// forced inlining of instrumented code took minutes per instruction set to compile, and each
// operation rounds as written either way, so the results are the same bits.
#if defined(__SANITIZE_ADDRESS__)
#define SIMD_INLINE inline
#else
#define SIMD_INLINE [[gnu::always_inline]] inline
#endif

// ---- One native register and its operations ----------------------------------------------------

#if defined(__AVX512F__) && defined(__AVX512DQ__)
constexpr int kParts = 1;
using Native = __m512d;
using NativeInt = __m512i;
using NativeMask = __mmask8;
SIMD_INLINE Native n_set(double v) { return _mm512_set1_pd(v); }
SIMD_INLINE NativeInt n_set_int(std::int64_t v) { return _mm512_set1_epi64(v); }
SIMD_INLINE Native n_load(const double* p) { return _mm512_loadu_pd(p); }
SIMD_INLINE void n_store(double* p, Native v) { _mm512_storeu_pd(p, v); }
SIMD_INLINE Native n_add(Native a, Native b) { return _mm512_add_pd(a, b); }
SIMD_INLINE Native n_sub(Native a, Native b) { return _mm512_sub_pd(a, b); }
SIMD_INLINE Native n_mul(Native a, Native b) { return _mm512_mul_pd(a, b); }
SIMD_INLINE Native n_div(Native a, Native b) { return _mm512_div_pd(a, b); }
SIMD_INLINE Native n_fma(Native a, Native b, Native c) { return _mm512_fmadd_pd(a, b, c); }
SIMD_INLINE Native n_fnma(Native a, Native b, Native c) { return _mm512_fnmadd_pd(a, b, c); }
SIMD_INLINE Native n_max(Native a, Native b) { return _mm512_max_pd(a, b); }
SIMD_INLINE Native n_min(Native a, Native b) { return _mm512_min_pd(a, b); }
SIMD_INLINE NativeMask n_lt(Native a, Native b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
SIMD_INLINE NativeMask n_le(Native a, Native b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
SIMD_INLINE NativeMask n_ge(Native a, Native b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
SIMD_INLINE NativeMask n_gt(Native a, Native b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
SIMD_INLINE NativeMask n_eq(Native a, Native b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
SIMD_INLINE NativeMask n_unordered(Native a, Native b) { return _mm512_cmp_pd_mask(a, b, _CMP_UNORD_Q); }
SIMD_INLINE NativeMask n_mask_or(NativeMask a, NativeMask b) { return static_cast<NativeMask>(a | b); }
SIMD_INLINE NativeMask n_mask_and(NativeMask a, NativeMask b) { return static_cast<NativeMask>(a & b); }
SIMD_INLINE bool n_all(NativeMask m) { return m == 0xff; }
SIMD_INLINE Native n_select(NativeMask m, Native a, Native b) { return _mm512_mask_blend_pd(m, b, a); }
SIMD_INLINE NativeInt n_bits(Native a) { return _mm512_castpd_si512(a); }
SIMD_INLINE Native n_from_bits(NativeInt a) { return _mm512_castsi512_pd(a); }
SIMD_INLINE NativeInt n_add_int(NativeInt a, NativeInt b) { return _mm512_add_epi64(a, b); }
SIMD_INLINE NativeInt n_sub_int(NativeInt a, NativeInt b) { return _mm512_sub_epi64(a, b); }
SIMD_INLINE NativeInt n_and_int(NativeInt a, NativeInt b) { return _mm512_and_si512(a, b); }
SIMD_INLINE NativeInt n_or_int(NativeInt a, NativeInt b) { return _mm512_or_si512(a, b); }
template <int kShift> SIMD_INLINE NativeInt n_shl(NativeInt a) { return _mm512_slli_epi64(a, kShift); }
template <int kShift> SIMD_INLINE NativeInt n_shr(NativeInt a) { return _mm512_srli_epi64(a, kShift); }
#elif defined(__AVX2__) && defined(__FMA__)
constexpr int kParts = 2;
using Native = __m256d;
using NativeInt = __m256i;
using NativeMask = __m256d;
SIMD_INLINE Native n_set(double v) { return _mm256_set1_pd(v); }
SIMD_INLINE NativeInt n_set_int(std::int64_t v) { return _mm256_set1_epi64x(v); }
SIMD_INLINE Native n_load(const double* p) { return _mm256_loadu_pd(p); }
SIMD_INLINE void n_store(double* p, Native v) { _mm256_storeu_pd(p, v); }
SIMD_INLINE Native n_add(Native a, Native b) { return _mm256_add_pd(a, b); }
SIMD_INLINE Native n_sub(Native a, Native b) { return _mm256_sub_pd(a, b); }
SIMD_INLINE Native n_mul(Native a, Native b) { return _mm256_mul_pd(a, b); }
SIMD_INLINE Native n_div(Native a, Native b) { return _mm256_div_pd(a, b); }
SIMD_INLINE Native n_fma(Native a, Native b, Native c) { return _mm256_fmadd_pd(a, b, c); }
SIMD_INLINE Native n_fnma(Native a, Native b, Native c) { return _mm256_fnmadd_pd(a, b, c); }
SIMD_INLINE Native n_max(Native a, Native b) { return _mm256_max_pd(a, b); }
SIMD_INLINE Native n_min(Native a, Native b) { return _mm256_min_pd(a, b); }
SIMD_INLINE NativeMask n_lt(Native a, Native b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
SIMD_INLINE NativeMask n_le(Native a, Native b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
SIMD_INLINE NativeMask n_ge(Native a, Native b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
SIMD_INLINE NativeMask n_gt(Native a, Native b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
SIMD_INLINE NativeMask n_eq(Native a, Native b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
SIMD_INLINE NativeMask n_unordered(Native a, Native b) { return _mm256_cmp_pd(a, b, _CMP_UNORD_Q); }
SIMD_INLINE NativeMask n_mask_or(NativeMask a, NativeMask b) { return _mm256_or_pd(a, b); }
SIMD_INLINE NativeMask n_mask_and(NativeMask a, NativeMask b) { return _mm256_and_pd(a, b); }
SIMD_INLINE bool n_all(NativeMask m) { return _mm256_movemask_pd(m) == 0xf; }
SIMD_INLINE Native n_select(NativeMask m, Native a, Native b) { return _mm256_blendv_pd(b, a, m); }
SIMD_INLINE NativeInt n_bits(Native a) { return _mm256_castpd_si256(a); }
SIMD_INLINE Native n_from_bits(NativeInt a) { return _mm256_castsi256_pd(a); }
SIMD_INLINE NativeInt n_add_int(NativeInt a, NativeInt b) { return _mm256_add_epi64(a, b); }
SIMD_INLINE NativeInt n_sub_int(NativeInt a, NativeInt b) { return _mm256_sub_epi64(a, b); }
SIMD_INLINE NativeInt n_and_int(NativeInt a, NativeInt b) { return _mm256_and_si256(a, b); }
SIMD_INLINE NativeInt n_or_int(NativeInt a, NativeInt b) { return _mm256_or_si256(a, b); }
template <int kShift> SIMD_INLINE NativeInt n_shl(NativeInt a) { return _mm256_slli_epi64(a, kShift); }
template <int kShift> SIMD_INLINE NativeInt n_shr(NativeInt a) { return _mm256_srli_epi64(a, kShift); }
#else
constexpr int kParts = 4;
using Native = __m128d;
using NativeInt = __m128i;
using NativeMask = __m128d;
SIMD_INLINE Native n_set(double v) { return _mm_set1_pd(v); }
SIMD_INLINE NativeInt n_set_int(std::int64_t v) { return _mm_set1_epi64x(v); }
SIMD_INLINE Native n_load(const double* p) { return _mm_loadu_pd(p); }
SIMD_INLINE void n_store(double* p, Native v) { _mm_storeu_pd(p, v); }
SIMD_INLINE Native n_add(Native a, Native b) { return _mm_add_pd(a, b); }
SIMD_INLINE Native n_sub(Native a, Native b) { return _mm_sub_pd(a, b); }
SIMD_INLINE Native n_mul(Native a, Native b) { return _mm_mul_pd(a, b); }
SIMD_INLINE Native n_div(Native a, Native b) { return _mm_div_pd(a, b); }
// Without FMA the product is rounded before the sum.
SIMD_INLINE Native n_fma(Native a, Native b, Native c) { return _mm_add_pd(_mm_mul_pd(a, b), c); }
SIMD_INLINE Native n_fnma(Native a, Native b, Native c) { return _mm_sub_pd(c, _mm_mul_pd(a, b)); }
SIMD_INLINE Native n_max(Native a, Native b) { return _mm_max_pd(a, b); }
SIMD_INLINE Native n_min(Native a, Native b) { return _mm_min_pd(a, b); }
SIMD_INLINE NativeMask n_lt(Native a, Native b) { return _mm_cmplt_pd(a, b); }
SIMD_INLINE NativeMask n_le(Native a, Native b) { return _mm_cmple_pd(a, b); }
SIMD_INLINE NativeMask n_ge(Native a, Native b) { return _mm_cmpge_pd(a, b); }
SIMD_INLINE NativeMask n_gt(Native a, Native b) { return _mm_cmpgt_pd(a, b); }
SIMD_INLINE NativeMask n_eq(Native a, Native b) { return _mm_cmpeq_pd(a, b); }
SIMD_INLINE NativeMask n_unordered(Native a, Native b) { return _mm_cmpunord_pd(a, b); }
SIMD_INLINE NativeMask n_mask_or(NativeMask a, NativeMask b) { return _mm_or_pd(a, b); }
SIMD_INLINE NativeMask n_mask_and(NativeMask a, NativeMask b) { return _mm_and_pd(a, b); }
SIMD_INLINE bool n_all(NativeMask m) { return _mm_movemask_pd(m) == 0x3; }
SIMD_INLINE Native n_select(NativeMask m, Native a, Native b) { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
SIMD_INLINE NativeInt n_bits(Native a) { return _mm_castpd_si128(a); }
SIMD_INLINE Native n_from_bits(NativeInt a) { return _mm_castsi128_pd(a); }
SIMD_INLINE NativeInt n_add_int(NativeInt a, NativeInt b) { return _mm_add_epi64(a, b); }
SIMD_INLINE NativeInt n_sub_int(NativeInt a, NativeInt b) { return _mm_sub_epi64(a, b); }
SIMD_INLINE NativeInt n_and_int(NativeInt a, NativeInt b) { return _mm_and_si128(a, b); }
SIMD_INLINE NativeInt n_or_int(NativeInt a, NativeInt b) { return _mm_or_si128(a, b); }
template <int kShift> SIMD_INLINE NativeInt n_shl(NativeInt a) { return _mm_slli_epi64(a, kShift); }
template <int kShift> SIMD_INLINE NativeInt n_shr(NativeInt a) { return _mm_srli_epi64(a, kShift); }
#endif

constexpr int kLanes = 8;
constexpr int kPartLanes = kLanes / kParts;
static_assert(kSumLanes == kLanes, "the summation order assumes 8 lanes");

// ---- 8 lanes: the same code for every instruction set ------------------------------------------

#define SIMD_EACH(expression) \
  for (int j = 0; j < kParts; ++j) expression

struct V {
  Native p[kParts];
};
struct I {
  NativeInt p[kParts];
};
struct M {
  NativeMask p[kParts];
};

SIMD_INLINE V set(double v) {
  V r;
  SIMD_EACH(r.p[j] = n_set(v));
  return r;
}
SIMD_INLINE I set_int(std::int64_t v) {
  I r;
  SIMD_EACH(r.p[j] = n_set_int(v));
  return r;
}
SIMD_INLINE V load(const double* p) {
  V r;
  SIMD_EACH(r.p[j] = n_load(p + j * kPartLanes));
  return r;
}
SIMD_INLINE void store(double* p, V v) { SIMD_EACH(n_store(p + j * kPartLanes, v.p[j])); }

#define SIMD_BINARY(name, op, Result, Arg, field) \
  SIMD_INLINE Result name(Arg a, Arg b) {         \
    Result r;                                     \
    SIMD_EACH(r.p[j] = op(a.p[j], b.p[j]));       \
    return r;                                     \
  }
SIMD_BINARY(operator+, n_add, V, V, p)
SIMD_BINARY(operator-, n_sub, V, V, p)
SIMD_BINARY(operator*, n_mul, V, V, p)
SIMD_BINARY(operator/, n_div, V, V, p)
// a > b ? a : b and a < b ? a : b; when either is NaN, b (the same rule on every instruction set).
SIMD_BINARY(max_or_second, n_max, V, V, p)
SIMD_BINARY(min_or_second, n_min, V, V, p)
SIMD_BINARY(operator<, n_lt, M, V, p)
SIMD_BINARY(operator<=, n_le, M, V, p)
SIMD_BINARY(operator>=, n_ge, M, V, p)
SIMD_BINARY(operator>, n_gt, M, V, p)
SIMD_BINARY(operator==, n_eq, M, V, p)
SIMD_BINARY(unordered, n_unordered, M, V, p)
SIMD_BINARY(operator|, n_mask_or, M, M, p)
SIMD_BINARY(operator&, n_mask_and, M, M, p)
SIMD_BINARY(add_int, n_add_int, I, I, p)
SIMD_BINARY(sub_int, n_sub_int, I, I, p)
SIMD_BINARY(and_int, n_and_int, I, I, p)
SIMD_BINARY(or_int, n_or_int, I, I, p)
#undef SIMD_BINARY

SIMD_INLINE V operator-(V a) { return set(0.0) - a; }
// Whether every lane is set.
SIMD_INLINE bool all(M m) {
  bool result = true;
  SIMD_EACH(result = result && n_all(m.p[j]));
  return result;
}
// a * b + c, rounded once where the instruction set has FMA.
SIMD_INLINE V fma(V a, V b, V c) {
  V r;
  SIMD_EACH(r.p[j] = n_fma(a.p[j], b.p[j], c.p[j]));
  return r;
}
// c - a * b, rounded once where the instruction set has FMA.
SIMD_INLINE V fnma(V a, V b, V c) {
  V r;
  SIMD_EACH(r.p[j] = n_fnma(a.p[j], b.p[j], c.p[j]));
  return r;
}
// m ? a : b, lane by lane.
SIMD_INLINE V select(M m, V a, V b) {
  V r;
  SIMD_EACH(r.p[j] = n_select(m.p[j], a.p[j], b.p[j]));
  return r;
}
SIMD_INLINE I bits(V a) {
  I r;
  SIMD_EACH(r.p[j] = n_bits(a.p[j]));
  return r;
}
SIMD_INLINE V from_bits(I a) {
  V r;
  SIMD_EACH(r.p[j] = n_from_bits(a.p[j]));
  return r;
}
// |a| and the sign bit of a.
SIMD_INLINE V abs_of(V a) { return from_bits(and_int(bits(a), set_int(0x7fffffffffffffffLL))); }
SIMD_INLINE I sign_bit_of(V a) { return and_int(bits(a), set_int(static_cast<std::int64_t>(0x8000000000000000ULL))); }
template <int kShift> SIMD_INLINE I shl(I a) {
  I r;
  SIMD_EACH(r.p[j] = n_shl<kShift>(a.p[j]));
  return r;
}
template <int kShift> SIMD_INLINE I shr(I a) {
  I r;
  SIMD_EACH(r.p[j] = n_shr<kShift>(a.p[j]));
  return r;
}

// The lanes of an accumulator added in one fixed order.
SIMD_INLINE double lane_total(V v) {
  alignas(64) double lanes[kLanes];
  store(lanes, v);
  return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

// Loads `count` (< 8) values and fills the other lanes with `fill`.
SIMD_INLINE V load_partial(const double* p, std::size_t count, double fill) {
  alignas(64) double lanes[kLanes];
  for (int j = 0; j < kLanes; ++j) lanes[j] = static_cast<std::size_t>(j) < count ? p[j] : fill;
  return load(lanes);
}
SIMD_INLINE void store_partial(double* p, std::size_t count, V v) {
  alignas(64) double lanes[kLanes];
  store(lanes, v);
  for (std::size_t j = 0; j < count; ++j) p[j] = lanes[j];
}
// The first min(count, 8) values at p: a whole vector when count >= 8, else load_partial and
// store_partial.
SIMD_INLINE V load_lanes(const double* p, std::size_t count, double fill) {
  return count >= kLanes ? load(p) : load_partial(p, count, fill);
}
SIMD_INLINE void store_lanes(double* p, std::size_t count, V v) {
  if (count >= kLanes) {
    store(p, v);
  } else {
    store_partial(p, count, v);
  }
}
// Lanes below `count` set.
SIMD_INLINE M first_lanes(std::size_t count) {
  alignas(64) double index[kLanes] = {0, 1, 2, 3, 4, 5, 6, 7};
  return load(index) < set(static_cast<double>(count));
}

// ---- exp ---------------------------------------------------------------------------------------

constexpr double kLog2e = 1.4426950408889634;
// ln 2 split so that k * kLn2High is exact for |k| < 2^21 (Cody and Waite).
constexpr double kLn2High = 6.93147180369123816490e-01;
constexpr double kLn2Low = 1.90821492927058770002e-10;
// Adding 1.5 * 2^52 rounds a double below 2^51 in magnitude to an integer held in the low bits.
constexpr double kRoundingShift = 6755399441055744.0;
constexpr double kExpOverflow = 709.782712893384;     // above: +inf
constexpr double kExpUnderflow = -745.1332191019412;  // below: +0

// exp(x) = 2^k (1 + u). Returns u and k (as the integer in the low bits of `shifted`).
//
// x = k ln2 + r, |r| <= ln2 / 2, with hi = x - k ln2_high exact and lo = k ln2_low. exp(r) =
// 1 + r + r^2 q(r), q a degree-9 fit of (exp(r) - 1 - r) / r^2 on |r| <= ln2 / 2 (relative error
// of exp(r) below 2e-17). The small terms are summed first and the exact hi last, so only the last
// two additions round at the size of the result: below 0.9 ulp in all, with or without FMA.
// With a tail, the same for exp(x + x_tail), |x_tail| below an ulp of x or so: the tail joins the
// reduction's low part (a zero tail gives the same bits as none).
SIMD_INLINE V exp_mantissa_minus_one(V x, V x_tail, V& shifted) {
  shifted = fma(x, set(kLog2e), set(kRoundingShift));
  const V k = shifted - set(kRoundingShift);
  const V hi = fnma(k, set(kLn2High), x);
  const V lo = fma(k, set(kLn2Low), -x_tail);
  const V r = hi - lo;
  V q = set(2.510038549551032e-08);
  q = fma(q, r, set(2.7620088445409746e-07));
  q = fma(q, r, set(2.7557268459997064e-06));
  q = fma(q, r, set(2.4801521295954376e-05));
  q = fma(q, r, set(0.00019841269863053618));
  q = fma(q, r, set(0.0013888888917213717));
  q = fma(q, r, set(0.008333333333330062));
  q = fma(q, r, set(0.04166666666662413));
  q = fma(q, r, set(0.16666666666666669));
  q = fma(q, r, set(0.5000000000000001));
  return hi + fma(r * r, q, -lo);
}
SIMD_INLINE V exp_mantissa_minus_one(V x, V& shifted) { return exp_mantissa_minus_one(x, set(0.0), shifted); }

SIMD_INLINE I exponent_of(V shifted) { return sub_int(bits(shifted), bits(set(kRoundingShift))); }

// exp(x) = p 2^k for any double x: +inf above 709.78, +0 below -745.13, NaN for NaN, subnormal
// results in between rounded once. 2^k as 2^h 2^(k-h), h = floor(k/2), keeps both factors normal
// down to the subnormal results near -745, where only the last product rounds. The bias of 2048
// makes k positive for the logical shift; lanes outside [-1100, 1100] are replaced at the end.
SIMD_INLINE V exp_from_parts(V p, V shifted, V x) {
  const I k = exponent_of(shifted);
  const I h = sub_int(shr<1>(add_int(k, set_int(2048))), set_int(1024));
  const V low = from_bits(shl<52>(add_int(h, set_int(1023))));
  const V high = from_bits(shl<52>(add_int(sub_int(k, h), set_int(1023))));
  V result = (p * low) * high;
  result = select(x > set(kExpOverflow), set(__builtin_inf()), result);
  result = select(x < set(kExpUnderflow), set(0.0), result);
  return select(unordered(x, x), x, result);
}

SIMD_INLINE V exp_full(V x) {
  V shifted;
  return exp_from_parts(set(1.0) + exp_mantissa_minus_one(x, shifted), shifted, x);
}

// factor * 2^(-y^2), the Gaussian's density when y = (x - mu) sqrt(log2 e / 2) / sigma (then
// 2^(-y^2) = exp(-z^2)), with results below about 2^-1021 times the factor flushed to 0 instead of
// rounded towards the subnormals: subnormal results are slow on most processors, and a density
// that small changes no sum of the EM pass (every one of them adds at least the floor 1e-200 or
// multiplies by it). `twice_factor` is 2 * factor. With FMA within one ulp of 2^(-y^2) (times the
// factor, rounded once) where 2^(-y^2) >= 2^-1021; without FMA y^2 is rounded first and the last
// step rounds twice (1.5 ulp of 2^(-round(y^2))). 0 where 2^(-y^2) < 2^-1022.5; NaN for NaN.
//
// Working in powers of 2 makes the reduction exact and cheap: with k = round(-y^2), FMA gives
// r = -y^2 - k in [-1/2, 1/2] from the exact y^2 with one rounding, and 2^r = 1 + r Q(r), Q a
// degree-10 fit of (2^r - 1) / r (relative error of 2^r below 2e-17). No lane is treated apart:
// |y| is clamped to 40 (NaN passes through), and 2^k = 2 * 2^(k-1) is built from the bits of
// max(k, -1022) - 1 + 1023, which is +0 for k <= -1022.
SIMD_INLINE V exp2_of_minus_square(V y, V twice_factor) {
  const V clamped = max_or_second(set(-40.0), min_or_second(set(40.0), y));
  const V shifted = fnma(clamped, clamped, set(kRoundingShift));  // shift - y^2, rounded to an integer
  const V minus_k = set(kRoundingShift) - shifted;
  const V r = fnma(clamped, clamped, minus_k);
  V q = set(4.4549643712692967e-10);
  q = fma(q, r, set(7.072593027878997e-09));
  q = fma(q, r, set(1.0178062426976924e-07));
  q = fma(q, r, set(1.3215442552522291e-06));
  q = fma(q, r, set(1.525273382986708e-05));
  q = fma(q, r, set(0.00015403530441794136));
  q = fma(q, r, set(0.0013333558146416916));
  q = fma(q, r, set(0.009618129107606854));
  q = fma(q, r, set(0.0555041086648216));
  q = fma(q, r, set(0.24022650695910097));
  q = fma(q, r, set(0.6931471805599453));
  const V floored = max_or_second(set(kRoundingShift - 1022.0), shifted);
  const V scale = from_bits(shl<52>(sub_int(bits(floored), set_int(std::bit_cast<std::int64_t>(kRoundingShift) - 1022))));
  // 2 factor (1 + r Q), the last step rounded once.
  return fma(twice_factor * r, q, twice_factor) * scale;
}

// ---- log ---------------------------------------------------------------------------------------

// Coefficients of (log(1+f) - 2s - ...)/(2s) in s^2, s = f / (2 + f), on [sqrt(1/2) - 1,
// sqrt(2) - 1] (Sun's fdlibm, e_log.c; error below 2^-58.45).
constexpr double kLg1 = 6.666666666666735130e-01;
constexpr double kLg2 = 3.999999999940941908e-01;
constexpr double kLg3 = 2.857142874366239149e-01;
constexpr double kLg4 = 2.222219843214978396e-01;
constexpr double kLg5 = 1.818357216161805012e-01;
constexpr double kLg6 = 1.531383769920937332e-01;
constexpr double kLg7 = 1.479819860511658591e-01;
constexpr double kTwo52 = 4503599627370496.0;

// log(x) for x in [2^-1022, 2^1024) from its exponent k and its mantissa m, with s = f / (2 + f),
// f = m - 1, as in fdlibm (below one ulp). `exponent_bias` is 1023, or 1023 + 52 for a subnormal
// number scaled by 2^52.
SIMD_INLINE V log_normal(V x, V exponent_bias) {
  const I b = bits(x);
  // The mantissa m in [sqrt(1/2), sqrt(2)): take it in [1, 2) and halve it above sqrt(2).
  const V mantissa = from_bits(or_int(and_int(b, set_int(0x000fffffffffffffLL)), set_int(0x3ff0000000000000LL)));
  const M upper = mantissa > set(1.4142135623730951);
  const V m = select(upper, mantissa * set(0.5), mantissa);
  // The exponent as a double without an integer conversion instruction.
  const V biased = from_bits(or_int(shr<52>(b), set_int(0x4330000000000000LL))) - set(kTwo52);
  const V k = (biased - exponent_bias) + select(upper, set(1.0), set(0.0));

  const V f = m - set(1.0);
  const V s = f / (set(2.0) + f);
  const V z = s * s;
  const V w = z * z;
  const V t1 = w * fma(w, fma(w, set(kLg6), set(kLg4)), set(kLg2));
  const V t2 = z * fma(w, fma(w, fma(w, set(kLg7), set(kLg5)), set(kLg3)), set(kLg1));
  const V r = t2 + t1;
  const V half_f_squared = set(0.5) * (f * f);
  return k * set(kLn2High) - ((half_f_squared - fma(s, half_f_squared + r, k * set(kLn2Low))) - f);
}

// log(x): -inf at 0, NaN below 0 and for NaN, +inf at +inf; subnormal inputs are scaled into the
// normal range first. Below one ulp. Vectors of positive normal numbers (the usual case) skip the
// special cases; the values are the same either way.
SIMD_INLINE V log_any(V x) {
  const V smallest_normal = set(2.2250738585072014e-308);
  if (all((x >= smallest_normal) & (x < set(__builtin_inf())))) return log_normal(x, set(1023.0));
  const M subnormal = x < smallest_normal;
  V result = log_normal(select(subnormal, x * set(kTwo52), x), select(subnormal, set(1023.0 + 52.0), set(1023.0)));
  result = select(x == set(0.0), set(-__builtin_inf()), result);
  result = select(x == set(__builtin_inf()), x, result);
  result = select(x < set(0.0), set(__builtin_nan("")), result);
  return select(unordered(x, x), x, result);
}

// ---- array kernels ------------------------------------------------------------------------------

template <class F>
SIMD_INLINE void map_in_place(double* values, std::size_t n, F f) {
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) store(values + i, f(load(values + i)));
  if (i < n) store_partial(values + i, n - i, f(load_partial(values + i, n - i, 1.0)));
}

void exp_array(double* values, std::size_t n) { map_in_place(values, n, exp_full); }
void exp2_of_minus_square_array(double* values, std::size_t n) {
  map_in_place(values, n, [](V y) { return exp2_of_minus_square(y, set(2.0)); });
}
void log_array(double* values, std::size_t n) { map_in_place(values, n, log_any); }

void gaussian_row(const double* x, std::size_t n, double centre, double inverse_scale, double normaliser,
                  double* row) {
  const V mu = set(centre), e = set(inverse_scale), q = set(normaliser);
  auto density = [&](V at) {
    const V z = (at - mu) * e;
    return exp_full(-(z * z)) / q;
  };
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) store(row + i, density(load(x + i)));
  if (i < n) store_partial(row + i, n - i, density(load_partial(x + i, n - i, centre)));
}

// ---- the E-step and the Gaussian pass ------------------------------------------------------------
//
// Both work on samples [begin, end) of one chunk, block by block (kPassBlock samples whose
// densities and per-sample terms stay in the first-level cache), and leave in `sums` the chunk's
// totals: sums[0] the log-likelihood, sums[1 + k] the expected count of component k, then the
// Gaussian moments. Lane j of every accumulator takes the samples whose offset from the chunk's
// start is j modulo 8; the lanes are added in one fixed order at the chunk's end.

// The block's samples, with the last vector padded: x repeats its last value and the intensity is
// 0; `valid` marks the real lanes of the last vector.
struct Block {
  std::size_t start, length, vectors, tail;  // tail: real lanes of the last vector, 0 if full
};

SIMD_INLINE Block block_at(std::size_t start, std::size_t end) {
  const std::size_t length = end - start < kPassBlock ? end - start : kPassBlock;
  return {start, length, (length + kLanes - 1) / kLanes, length % kLanes};
}

SIMD_INLINE V load_block(const double* values, const Block& b, std::size_t v, double fill) {
  const std::size_t at = b.start + v * kLanes;
  return (b.tail != 0 && v + 1 == b.vectors) ? load_partial(values + at, b.tail, fill) : load(values + at);
}

SIMD_INLINE void store_block(double* values, const Block& b, std::size_t v, V value) {
  const std::size_t at = b.start + v * kLanes;
  if (b.tail != 0 && v + 1 == b.vectors) {
    store_partial(values + at, b.tail, value);
  } else {
    store(values + at, value);
  }
}

// Zero in the padded lanes of the last vector.
SIMD_INLINE V real_lanes(const Block& b, std::size_t v, V value) {
  return (b.tail != 0 && v + 1 == b.vectors) ? select(first_lanes(b.tail), value, set(0.0)) : value;
}

// Mixture, the per-sample factor and the log-likelihood of a block whose component densities are in
// `densities` (row k at k * kPassBlock): m = sum_k pi_k d_k in component order, factor =
// numerator / (m + 1e-20) (numerator: the intensity for weights, 1 for responsibilities),
// log-likelihood += intensity ln(m + 1e-200).
SIMD_INLINE void mixture_and_factor(const double* pi, std::size_t components, const double* intensity,
                                    const Block& b, const double* densities, bool weights,
                                    double* mixture_out, double* factor, V& log_likelihood) {
  for (std::size_t v = 0; v < b.vectors; ++v) {
    V m = set(0.0);
    for (std::size_t k = 0; k < components; ++k) m = fma(set(pi[k]), load(densities + k * kPassBlock + v * kLanes), m);
    const V counts = load_block(intensity, b, v, 0.0);
    // One division per sample serves every component.
    store(factor + v * kLanes, (weights ? counts : set(1.0)) / (m + set(1e-20)));
    log_likelihood = log_likelihood + real_lanes(b, v, counts * log_any(m + set(1e-200)));
    if (mixture_out != nullptr) store_block(mixture_out, b, v, m);
  }
}

void e_step_chunk(const EStepPass& pass, std::size_t begin, std::size_t end, double* sums, double* scratch) {
  const std::size_t components = pass.components;
  double* accumulators = scratch;                                   // (1 + P) x 8
  double* densities = accumulators + (1 + components) * kLanes;     // P x kPassBlock
  double* factor = densities + components * kPassBlock;             // kPassBlock
  for (std::size_t j = 0; j < (1 + components) * kLanes; ++j) accumulators[j] = 0.0;
  for (std::size_t start = begin; start < end; start += kPassBlock) {
    const Block b = block_at(start, end);
    for (std::size_t k = 0; k < components; ++k) {
      for (std::size_t v = 0; v < b.vectors; ++v) {
        store(densities + k * kPassBlock + v * kLanes, load_block(pass.densities[k], b, v, 0.0));
      }
    }
    V log_likelihood = load(accumulators);
    mixture_and_factor(pass.pi, components, pass.intensity, b, densities, pass.weights, pass.mixture, factor,
                       log_likelihood);
    store(accumulators, log_likelihood);
    for (std::size_t k = 0; k < components; ++k) {
      const V weight = set(pass.pi[k]);
      V count = load(accumulators + (1 + k) * kLanes);
      for (std::size_t v = 0; v < b.vectors; ++v) {
        // (pi_k d_k) times the sample's factor: intensity G_k, or G_k.
        const V w = (weight * load(densities + k * kPassBlock + v * kLanes)) * load(factor + v * kLanes);
        store_block(pass.rows[k], b, v, w);
        count = count + real_lanes(b, v, w);
      }
      store(accumulators + (1 + k) * kLanes, count);
    }
  }
  for (std::size_t j = 0; j < 1 + components; ++j) sums[j] = lane_total(load(accumulators + j * kLanes));
}

// Peak k's terms (pi_k d_k) on the block's positions xs, written to row.
SIMD_INLINE void gaussian_terms(const GaussianPass& pass, std::size_t k, const double* xs, const Block& b, double* row) {
  const V mu = set(pass.centre[k]), scale = set(pass.scale[k]), factor = set(2.0 * (pass.pi[k] * pass.inverse_normaliser[k]));
  for (std::size_t v = 0; v < b.vectors; ++v) {
    store(row + v * kLanes, exp2_of_minus_square((load(xs + v * kLanes) - mu) * scale, factor));
  }
}

void gaussian_chunk(const GaussianPass& pass, std::size_t begin, std::size_t end, double* sums, double* scratch) {
  const std::size_t components = pass.components;
  const std::size_t peaks = pass.peaks < components ? pass.peaks : components;
  const std::size_t accumulator_count = 1 + components + kGaussianPeakSums * peaks;
  double* accumulators = scratch;                                  // accumulator_count x 8
  double* terms = accumulators + accumulator_count * kLanes;       // P x kPassBlock: pi_k d_k
  double* factor = terms + components * kPassBlock;                // kPassBlock
  double* xs = factor + kPassBlock;                                // kPassBlock
  double* twice_factor = xs + kPassBlock;                          // K: 2 pi_k / q_k
  double* near_peaks = twice_factor + peaks;                       // K: the block's peaks not skipped
  double* skipped = near_peaks + peaks;  // K: 0 evaluated, -1 flushed zeros, 1 a left-out tail
  double* tail_bound = skipped + peaks;  // K: the bound of a left-out tail's terms
  for (std::size_t j = 0; j < accumulator_count * kLanes; ++j) accumulators[j] = 0.0;
  // Per peak: sum w (x - c), sum w (x - c)^2, and the tail bounds E0 and E2 (in lane 0).
  double* moments = accumulators + (1 + components) * kLanes;
  for (std::size_t k = 0; k < peaks; ++k) twice_factor[k] = 2.0 * (pass.pi[k] * pass.inverse_normaliser[k]);
  for (std::size_t start = begin; start < end; start += kPassBlock) {
    const Block b = block_at(start, end);
    const double last_x = pass.x[start + b.length - 1];
    // The block's extent, and whether all its positions are finite (x - x is 0 only then).
    V lowest = set(last_x), highest = lowest, finite = set(0.0);
    for (std::size_t v = 0; v < b.vectors; ++v) {
      const V at = load_block(pass.x, b, v, last_x);
      store(xs + v * kLanes, at);
      lowest = min_or_second(lowest, at);
      highest = max_or_second(highest, at);
      finite = finite + (at - at);
    }
    double block_low = 0.0, block_high = 0.0;
    const bool all_finite = lane_total(finite) == 0.0;
    if (all_finite) {
      alignas(64) double lanes[kLanes];
      store(lanes, lowest);
      block_low = lanes[0];
      for (std::size_t j = 1; j < kLanes; ++j) block_low = lanes[j] < block_low ? lanes[j] : block_low;
      store(lanes, highest);
      block_high = lanes[0];
      for (std::size_t j = 1; j < kLanes; ++j) block_high = lanes[j] > block_high ? lanes[j] : block_high;
    }

    // The mixture's terms pi_k d_k of the peaks, 2^(-y^2) (pi_k / q_k) with y = (x - mu) s: the
    // weight joins the normaliser once per chunk instead of once per sample.
    double tails = 0.0;  // the sum of the left-out tails' bounds
    bool any_tail = false;
    for (std::size_t k = 0; k < peaks; ++k) {
      double* row = terms + k * kPassBlock;
      // A peak lies far from most blocks of a wide grid. Rounding is monotonic, so every |y| of the
      // block is at least reach = fl(gap |s|) up to an ulp or two. From 33 on the exponential
      // flushes every term to a zero with the factor's sign, and writing those zeros gives the same
      // bits at a fraction of the cost. From kGaussianTailCut on, each term is at most
      // |2 pi_k / q_k| 2^(1 - reach^2) (a factor 2 to spare for that rounding): the tail is left out
      // under the checks of GaussianPass. A zero or non-finite factor takes the general way.
      const double mu_k = pass.centre[k];
      const double gap = block_low - mu_k > mu_k - block_high ? block_low - mu_k : mu_k - block_high;
      const double tf = twice_factor[k];
      const double reach = gap * __builtin_fabs(pass.scale[k]);
      const bool usable = all_finite && tf != 0.0 && tf - tf == 0.0;
      skipped[k] = 0.0;
      if (usable && reach >= 33.0) {
        skipped[k] = -1.0;
      } else if (usable && !pass.exact_tails && reach >= kGaussianTailCut) {
        skipped[k] = 1.0;
        // 2^(1 - floor(reach^2)) >= 2^(1 - reach^2), built from its bits (2^-1022 at least).
        const std::int64_t biased = 1024 - static_cast<std::int64_t>(reach * reach);
        const double power = std::bit_cast<double>(static_cast<std::uint64_t>(biased > 1 ? biased : 1) << 52);
        tail_bound[k] = __builtin_fabs(tf) * power;
        tails += tail_bound[k];
        any_tail = true;
      }
      if (skipped[k] != 0.0) {
        const V zero = set(tf * 0.0);
        for (std::size_t v = 0; v < b.vectors; ++v) store(row + v * kLanes, zero);
        continue;
      }
      gaussian_terms(pass, k, xs, b, row);
    }
    // The terms of the background rows: the first one may be formed here from x, the others are
    // read.
    for (std::size_t k = pass.peaks; k < components; ++k) {
      double* row = terms + k * kPassBlock;
      const V weight = set(pass.pi[k]);
      const std::size_t background = k - pass.peaks;
      const BackgroundRow& bg = pass.background;
      if (background == 0 && bg.form == BackgroundForm::kLinear) {
        for (std::size_t v = 0; v < b.vectors; ++v) {
          const V at = load(xs + v * kLanes);
          // The products and sums of the stored row, rounded the same way (no FMA); fmax(value,
          // 0): a NaN value clips to 0 like a negative one.
          const V line = set(bg.slope) * at + set(bg.intercept);
          const M inside = (set(bg.x_min) <= at) & (at <= set(bg.x_max));
          store(row + v * kLanes, weight * select(inside & (line > set(0.0)), line, set(0.0)));
        }
      } else if (background == 0 && bg.form == BackgroundForm::kConstant) {
        for (std::size_t v = 0; v < b.vectors; ++v) {
          const V at = load(xs + v * kLanes);
          const M inside = (set(bg.x_min) <= at) & (at <= set(bg.x_max));
          store(row + v * kLanes, weight * select(inside, set(bg.value), set(0.0)));
        }
      } else {
        for (std::size_t v = 0; v < b.vectors; ++v) {
          store(row + v * kLanes, weight * load_block(pass.stored_rows[background], b, v, 0.0));
        }
      }
    }

    // Mixture m = sum of the terms in component order, factor = intensity / (m + 1e-20), and the
    // log-likelihood. Left-out tails must be negligible in every sample's m (then each weight
    // w = (pi_k d_k) factor they leave out is below 2^-60 of the sample's intensity); on a block
    // where some m is smaller (no background, far from every peak), or a factor is not finite,
    // the tails are evaluated and the block is taken again.
    const V log_likelihood_before = load(accumulators);
    double factor_sum = 0.0;
    for (;;) {
      V log_likelihood = log_likelihood_before;
      V factor_check = set(0.0), factor_magnitude = set(0.0), lowest_mixture = set(__builtin_inf());
      auto mixture = [&]<bool kTails>() {
        for (std::size_t v = 0; v < b.vectors; ++v) {
          V m = load(terms + v * kLanes);
          for (std::size_t k = 1; k < components; ++k) m = m + load(terms + k * kPassBlock + v * kLanes);
          const V counts = load_block(pass.intensity, b, v, 0.0);
          const V f = counts / (m + set(1e-20));
          store(factor + v * kLanes, f);
          factor_check = factor_check + (f - f);
          if constexpr (kTails) {
            // A NaN m gives a NaN factor, which the factor check catches.
            lowest_mixture = min_or_second(lowest_mixture, m);
            factor_magnitude = factor_magnitude + abs_of(f);
          }
          log_likelihood = log_likelihood + real_lanes(b, v, counts * log_any(m + set(1e-200)));
        }
      };
      if (any_tail) {
        mixture.template operator()<true>();
      } else {
        mixture.template operator()<false>();
      }
      const bool factors_finite = lane_total(factor_check) == 0.0;
      if (!any_tail || (factors_finite && all(lowest_mixture >= set(tails * 0x1p60)))) {
        store(accumulators, log_likelihood);
        // A skipped peak's weights on this block are its zero terms times finite factors: zeros,
        // and so are their products with the finite offsets from a finite reference point. Those
        // leave its sums as they are (an accumulator starts at +0 and is never -0, so adding a
        // zero of either sign changes no bit). With a factor that is not finite (a NaN or
        // infinite intensity) they are not zeros, and every peak takes its sums.
        if (!factors_finite) {
          for (std::size_t k = 0; k < peaks; ++k) skipped[k] = 0.0;
        }
        factor_sum = lane_total(factor_magnitude);
        break;
      }
      for (std::size_t k = 0; k < peaks; ++k) {
        if (skipped[k] <= 0.0) continue;
        skipped[k] = 0.0;
        gaussian_terms(pass, k, xs, b, terms + k * kPassBlock);
      }
      any_tail = false;
    }
    std::size_t near_count = 0;
    for (std::size_t k = 0; k < peaks; ++k) {
      const double c = pass.reference[k];
      if (skipped[k] == 0.0 || c - c != 0.0) {
        near_peaks[near_count++] = static_cast<double>(k);
      } else if (skipped[k] > 0.0) {
        // What the left-out weights could add to the expected count and to the second sum: each
        // weight is at most the bound times |factor|, at a squared distance from c of at most
        // far_end^2.
        const double far_end = __builtin_fabs(block_low - c) > __builtin_fabs(block_high - c) ? __builtin_fabs(block_low - c)
                                                                                                : __builtin_fabs(block_high - c);
        const double bound = tail_bound[k] * factor_sum;
        moments[(kGaussianPeakSums * k + 2) * kLanes] += bound;
        moments[(kGaussianPeakSums * k + 3) * kLanes] += bound * (far_end * far_end);
      }
    }

    // Expected counts, and for the peaks the first two moments about the reference point c:
    // sum w (x - c) and sum w (x - c)^2, with w = (pi_k d_k) factor. Peaks go in pairs, so that
    // six chains of additions advance side by side; each accumulator still takes its own samples
    // in order.
    std::size_t pair = 0;
    for (; pair + 2 <= near_count; pair += 2) {
      const auto k = static_cast<std::size_t>(near_peaks[pair]), l = static_cast<std::size_t>(near_peaks[pair + 1]);
      const double* row_a = terms + k * kPassBlock;
      const double* row_b = terms + l * kPassBlock;
      const V c_a = set(pass.reference[k]), c_b = set(pass.reference[l]);
      V count_a = load(accumulators + (1 + k) * kLanes), count_b = load(accumulators + (1 + l) * kLanes);
      V first_a = load(moments + kGaussianPeakSums * k * kLanes), second_a = load(moments + (kGaussianPeakSums * k + 1) * kLanes);
      V first_b = load(moments + kGaussianPeakSums * l * kLanes), second_b = load(moments + (kGaussianPeakSums * l + 1) * kLanes);
      for (std::size_t v = 0; v < b.vectors; ++v) {
        const V f = load(factor + v * kLanes), at = load(xs + v * kLanes);
        const V w_a = real_lanes(b, v, load(row_a + v * kLanes) * f);
        const V w_b = real_lanes(b, v, load(row_b + v * kLanes) * f);
        const V d_a = at - c_a, d_b = at - c_b;
        const V wd_a = w_a * d_a, wd_b = w_b * d_b;
        count_a = count_a + w_a;
        count_b = count_b + w_b;
        first_a = first_a + wd_a;
        first_b = first_b + wd_b;
        second_a = fma(wd_a, d_a, second_a);
        second_b = fma(wd_b, d_b, second_b);
      }
      store(accumulators + (1 + k) * kLanes, count_a);
      store(accumulators + (1 + l) * kLanes, count_b);
      store(moments + kGaussianPeakSums * k * kLanes, first_a);
      store(moments + (kGaussianPeakSums * k + 1) * kLanes, second_a);
      store(moments + kGaussianPeakSums * l * kLanes, first_b);
      store(moments + (kGaussianPeakSums * l + 1) * kLanes, second_b);
    }
    // The last near peak if their number is odd, then the background components.
    for (std::size_t next = pair; next < near_count + (components - peaks); ++next) {
      const std::size_t k = next < near_count ? static_cast<std::size_t>(near_peaks[next]) : peaks + (next - near_count);
      const double* row = terms + k * kPassBlock;
      V count = load(accumulators + (1 + k) * kLanes);
      if (k < peaks) {
        const V c = set(pass.reference[k]);
        V first = load(moments + kGaussianPeakSums * k * kLanes), second = load(moments + (kGaussianPeakSums * k + 1) * kLanes);
        for (std::size_t v = 0; v < b.vectors; ++v) {
          const V w = real_lanes(b, v, load(row + v * kLanes) * load(factor + v * kLanes));
          const V d = load(xs + v * kLanes) - c;
          const V wd = w * d;
          count = count + w;
          first = first + wd;
          second = fma(wd, d, second);
        }
        store(moments + kGaussianPeakSums * k * kLanes, first);
        store(moments + (kGaussianPeakSums * k + 1) * kLanes, second);
      } else {
        const bool keep = k == pass.peaks && pass.background_weights != nullptr;
        for (std::size_t v = 0; v < b.vectors; ++v) {
          const V w = load(row + v * kLanes) * load(factor + v * kLanes);
          if (keep) store_block(pass.background_weights, b, v, w);
          count = count + real_lanes(b, v, w);
        }
      }
      store(accumulators + (1 + k) * kLanes, count);
    }
  }
  for (std::size_t j = 0; j < accumulator_count; ++j) sums[j] = lane_total(load(accumulators + j * kLanes));
}

// ---- pseudo-Voigt passes -------------------------------------------------------------------------
//
// Both work on one chunk of at most kSumChunk samples with one accumulator lane per sample offset
// modulo 8, the lanes added in lane_total's fixed order (the compensated value of the objective in
// lane order). The density's parts are rounded as the scalar formula writes them (no FMA); only
// exp and log are the kernels above.

constexpr double kPvDensityFloor = 1e-20;  // inside the log-likelihood's logarithm

SIMD_INLINE V absolute(V v) { return from_bits(and_int(bits(v), set_int(0x7fffffffffffffffLL))); }
// Neither infinite nor NaN.
SIMD_INLINE M finite(V v) { return (v - v) == set(0.0); }

// The Gaussian part G and the Lorentzian part L (before division by the window mass) of `p` at
// the samples `at`, with the offset d = x - x0 and z = d / sigma they come from.
SIMD_INLINE void pv_parts(const PseudoVoigtProfile& p, V at, V& offset, V& z, V& g, V& l) {
  offset = at - set(p.x0);
  z = offset / set(p.sigma);
  g = exp_full((z * set(-0.5)) * z) / set(p.gaussian_normaliser);
  l = set(p.half_width) / ((offset * offset + set(p.half_width * p.half_width)) * set(std::numbers::pi));
}

// exp(t) - 1: by its series for |t| < 1e-2 (the first omitted term, t^9 / 9!, is below 3e-22 |t|),
// else from the exponential, which then loses at most 2e-14 relative to the result.
SIMD_INLINE V pv_expm1(V t) {
  const V series =
      t * (set(1.0) + t * (set(0.5) + t * (set(1.0 / 6.0) + t * (set(1.0 / 24.0) + t * (set(1.0 / 120.0) +
      t * (set(1.0 / 720.0) + t * (set(1.0 / 5040.0) + t * set(1.0 / 40320.0))))))));
  const M small = absolute(t) < set(1e-2);
  if (all(small)) return series;
  return select(small, series, exp_full(t) - set(1.0));
}

// ln(1 + r): by its series for |r| < 1e-3 (the first omitted term, r^7 / 7, is below 1.5e-19 |r|),
// else from the logarithm of 1 + r.
SIMD_INLINE V pv_log1p(V r) {
  const V series =
      r * (set(1.0) + r * (set(-0.5) + r * (set(1.0 / 3.0) + r * (set(-0.25) + r * (set(0.2) + r * set(-1.0 / 6.0))))));
  const M small = absolute(r) < set(1e-3);
  if (all(small)) return series;
  return select(small, series, log_any(set(1.0) + r));
}

// The chunk's samples [begin, end) vector by vector: `full` real lanes in all but perhaps the
// last, whose real lanes are `tail` (0: all).
struct PvChunk {
  std::size_t vectors, tail;
};
SIMD_INLINE PvChunk pv_chunk(std::size_t begin, std::size_t end) {
  const std::size_t length = end - begin;
  return {(length + kLanes - 1) / kLanes, length % kLanes};
}
SIMD_INLINE bool pv_partial(const PvChunk& c, std::size_t v) { return c.tail != 0 && v + 1 == c.vectors; }
SIMD_INLINE V pv_load(const double* values, const PvChunk& c, std::size_t v, double fill) {
  return pv_partial(c, v) ? load_partial(values + v * kLanes, c.tail, fill) : load(values + v * kLanes);
}
SIMD_INLINE V pv_real(const PvChunk& c, std::size_t v, V value) {
  return pv_partial(c, v) ? select(first_lanes(c.tail), value, set(0.0)) : value;
}

void pseudo_voigt_mixing_chunk(const PseudoVoigtMixingPass& pass, std::size_t begin, std::size_t end, double* sums,
                               double* scratch) {
  const PvChunk c = pv_chunk(begin, end);
  double* g = scratch;                // kSumChunk: G
  double* l = g + kSumChunk;          // kSumChunk: L
  double* w = l + kSumChunk;          // kSumChunk: the weights, 0 in padded lanes
  for (std::size_t v = 0; v < c.vectors; ++v) {
    // Padded lanes sit at the centre, where both parts are finite.
    V offset, z, gv, lv;
    pv_parts(pass.shape, pv_load(pass.x + begin, c, v, pass.shape.x0), offset, z, gv, lv);
    store(g + v * kLanes, gv);
    store(l + v * kLanes, lv);
    store(w + v * kLanes, pv_load(pass.weights + begin, c, v, 0.0));
  }
  // Candidates in pairs: two chains of logarithms advance side by side over the same parts.
  std::size_t k = 0;
  for (; k + 2 <= pass.candidates; k += 2) {
    const V eta_a = set(pass.eta[k]), weight_a = set(pass.lorentzian_weight[k]);
    const V eta_b = set(pass.eta[k + 1]), weight_b = set(pass.lorentzian_weight[k + 1]);
    V total_a = set(0.0), total_b = set(0.0);
    for (std::size_t v = 0; v < c.vectors; ++v) {
      const V gv = load(g + v * kLanes), lv = load(l + v * kLanes), wv = load(w + v * kLanes);
      const V term_a = wv * log_any((eta_a * gv + lv * weight_a) + set(kPvDensityFloor));
      const V term_b = wv * log_any((eta_b * gv + lv * weight_b) + set(kPvDensityFloor));
      total_a = total_a + pv_real(c, v, term_a);
      total_b = total_b + pv_real(c, v, term_b);
    }
    sums[k] = lane_total(total_a);
    sums[k + 1] = lane_total(total_b);
  }
  for (; k < pass.candidates; ++k) {
    const V eta = set(pass.eta[k]), weight = set(pass.lorentzian_weight[k]);
    V total = set(0.0);
    for (std::size_t v = 0; v < c.vectors; ++v) {
      const V gv = load(g + v * kLanes), lv = load(l + v * kLanes), wv = load(w + v * kLanes);
      total = total + pv_real(c, v, wv * log_any((eta * gv + lv * weight) + set(kPvDensityFloor)));
    }
    sums[k] = lane_total(total);
  }
}

// Adds `term` to the compensated sum (total, compensation) by Neumaier's rule.
SIMD_INLINE void pv_neumaier(V& total, V& compensation, V term) {
  const V sum = total + term;
  compensation = compensation + select(absolute(total) >= absolute(term), (total - sum) + term, (term - sum) + total);
  total = sum;
}

// The change ln(p' + 1e-20) - ln(p + 1e-20) of one sample's logarithm at shift `t`, from the change
// of the density's terms (see pseudo_voigt.cpp): `inverse_density` is 1 / (p + 1e-20) (one division
// serves both shifts), `log_density` ln(p + 1e-20). The moved z are
// formed with the reciprocals of the widths: they enter only the exponent's small change, which
// they shift by an ulp or two of itself. Where that route gives no number, the two logarithms
// are subtracted.
SIMD_INLINE V pv_log_change(const PseudoVoigtProfile& p, const PseudoVoigtShift& t, V at, V offset, V z, V g, V l,
                            V inverse_density, V log_density) {
  V gaussian_change, lorentzian_change;
  const V h2 = set(p.half_width * p.half_width);
  if (t.centre) {
    const V moved_offset = at - set(t.moved.x0);
    const V moved_z = moved_offset * set(1.0 / p.sigma);
    gaussian_change = g * pv_expm1(set(0.5) * (set(t.step_per_sigma) * (z + moved_z)));
    lorentzian_change = (l * (set(t.step) * (offset + moved_offset))) / (moved_offset * moved_offset + h2);
  } else {
    const V moved_z = offset * set(1.0 / t.moved.sigma);
    const V exponent_change = set(0.5) * ((offset * set(t.z_change)) * (z + moved_z));
    gaussian_change = g * (pv_expm1(exponent_change) * set(t.sigma_ratio) - set(t.sigma_change_ratio));
    const V a2 = offset * offset;
    const V moved_h2 = set(t.moved.half_width * t.moved.half_width);
    lorentzian_change = (l * (set(t.half_width_ratio) * (a2 - set(t.half_width_product)))) / (a2 + moved_h2);
  }
  const V density_change =
      (set(p.eta) * gaussian_change + set(t.moved.lorentzian_weight) * lorentzian_change) + set(t.weight_change) * l;
  const V change = pv_log1p(density_change * inverse_density);
  const M usable = finite(change);
  if (all(usable)) return change;
  V moved_offset, moved_z, moved_g, moved_l;
  pv_parts(t.moved, at, moved_offset, moved_z, moved_g, moved_l);
  const V moved_density = (set(p.eta) * moved_g + moved_l * set(t.moved.lorentzian_weight)) + set(kPvDensityFloor);
  return select(usable, change, log_any(moved_density) - log_density);
}

void pseudo_voigt_objective_chunk(const PseudoVoigtObjectivePass& pass, std::size_t begin, std::size_t end,
                                  double* sums, double* /*scratch*/) {
  const PvChunk c = pv_chunk(begin, end);
  const PseudoVoigtProfile& p = pass.profile;
  const std::size_t shifts = pass.shifts < 2 ? pass.shifts : 2;
  V total = set(0.0), compensation = set(0.0);
  V changes[2] = {set(0.0), set(0.0)};
  for (std::size_t v = 0; v < c.vectors; ++v) {
    const V at = pv_load(pass.x + begin, c, v, p.x0);
    const V w = pv_load(pass.weights + begin, c, v, 0.0);
    V offset, z, g, l;
    pv_parts(p, at, offset, z, g, l);
    const V density = (set(p.eta) * g + l * set(p.lorentzian_weight)) + set(kPvDensityFloor);
    const V log_density = log_any(density);
    const V inverse_density = set(1.0) / density;
    pv_neumaier(total, compensation, pv_real(c, v, w * log_density));
    for (std::size_t j = 0; j < shifts; ++j) {
      const V change = pv_log_change(p, pass.shift[j], at, offset, z, g, l, inverse_density, log_density);
      changes[j] = changes[j] + pv_real(c, v, w * change);
    }
  }
  // The lanes' compensated sums added in lane order, their compensations alongside.
  alignas(64) double lane_sums[kLanes], lane_compensations[kLanes];
  store(lane_sums, total);
  store(lane_compensations, compensation);
  double sum = lane_sums[0], carried = lane_compensations[0];
  for (int j = 1; j < kLanes; ++j) {
    const double next = sum + lane_sums[j];
    carried += __builtin_fabs(sum) >= __builtin_fabs(lane_sums[j]) ? (sum - next) + lane_sums[j]
                                                                    : (lane_sums[j] - next) + sum;
    carried += lane_compensations[j];
    sum = next;
  }
  sums[0] = sum;
  sums[1] = carried;
  for (std::size_t j = 0; j < shifts; ++j) sums[2 + j] = lane_total(changes[j]);
}

// ---- exponential integrals E1 and E2, and the TSDC curve pass -------------------------------------
//
// E1 and E2 of 32 arguments at a time (four vectors that advance side by side, so that the latency
// of one chain of FMAs hides behind the others), for 1 < x <= 709.78 by the continued fraction of
// numerics/exponential_integrals.cpp run across the lanes:
//   exp(x) E1 = C1 = 1 / (x + 1 - Q2),  exp(x) E2 = C2 = C1 (1 - Q2),
//   Q_j = 1 / (b_j - a_j Q_(j+1)),  b_j = x + 2j - 1,  a_j = j^2,
// from a depth J with Q_(J+1) = 0. The depth is that for the smallest argument of the 32 (the
// fraction converges faster for larger x, so every lane is at least as accurate as alone); the
// grids of a curve change x slowly, so neighbours need about the same depth.
// Arguments of 1 and below (the power series), NaN, negative ones and those above the cutoff take
// the scalar routine, lane by lane.
//
// The tail from level 2 is a ratio N/D of polynomials in x (tabulated for the common depths, else
// formed by the recurrence with one FMA per level and lane; no division either way); the last
// level and the product with exp(-x) are carried as value plus rounding error, so that the result
// rounds essentially once: within 2 ulps of E1 and E2 over the whole range (checked against mpmath).

constexpr double kIntegralCutoff = 709.782712893384;
constexpr int kGroup = 4;                        // vectors sharing one depth
constexpr std::size_t kGroupLanes = kGroup * kLanes;
static_assert(kGroupLanes == kIntegralGroup, "the group size is part of the interface");

// p - a b exactly, p being the rounded product a b (minus its rounding error): one FMA, or
// Dekker's split without FMA.
SIMD_INLINE V product_rounding(V a, V b, V p) {
#if defined(__FMA__)
  return fnma(a, b, p);
#else
  const V ta = set(134217729.0) * a, tb = set(134217729.0) * b;
  const V a_hi = ta - (ta - a), b_hi = tb - (tb - b);
  const V a_lo = a - a_hi, b_lo = b - b_hi;
  return (((p - a_hi * b_hi) - a_hi * b_lo) - a_lo * b_hi) - a_lo * b_lo;
#endif
}

// 1 / (hi + lo) as q + q_low, |lo| at most an ulp of hi: the remainder 1 - q hi is exact (a
// double, q being the rounded quotient).
SIMD_INLINE void reciprocal(V hi, V lo, V& q, V& q_low) {
  q = set(1.0) / hi;
#if defined(__FMA__)
  const V remainder = fnma(q, hi, set(1.0));
#else
  const V p = q * hi;
  const V remainder = (set(1.0) - p) + product_rounding(q, hi, p);
#endif
  q_low = q * fnma(q, lo, remainder);
}

// Levels for the truncation of the fraction to stay below 0.006 ulp of C1 and C2 at x: the scalar
// routine's rule (the truncation decays like exp(-4 (sqrt(J x) - sqrt(3 x)))) with 9.5 in place of
// its 11, which keeps it near 1e-5 ulp, further below the roundings than it need be; checked with
// mpmath against fractions 200 levels deeper (numerics/check_fraction_depth.py): 130 levels at
// x = 1, 16 at x = 30, 8 near 709.
SIMD_INLINE int fraction_depth(double x) {
  const double root = __builtin_sqrt(3.0 * x);
  return static_cast<int>(__builtin_ceil((9.5 + root) * (9.5 + root) / x)) + 3;
}

// The fraction truncated at depth J, from level J down to level 2, is the ratio of two polynomials
// in x: Q2 = N(x) / D(x), D of degree J - 1 and N of degree J - 2, both monic with positive integer
// coefficients (from N = 0, D = 1 and N' = D, D' = (x + 2j - 1) D - j^2 N). For the depths of
// x above about 11 (J up to 28, coefficients below 2^108) they are tabulated, exactly formed and
// rounded once to double: Horner's rule then takes one FMA per degree and polynomial instead of the
// three operations of a level of the recurrence. With positive terms and x > 0 nothing cancels,
// and each polynomial is within a few ulps, which Q2 passes on to C1 divided by about x^2.
constexpr int kTabulatedDepth = 28;

struct FractionPolynomials {
  // For depth J: D's coefficients of degree 0 .. J - 1 from d_offset[J], N's of degree 0 .. J - 2
  // from n_offset[J].
  double coefficient[2 * (kTabulatedDepth + 1) * (kTabulatedDepth + 1)];
  int d_offset[kTabulatedDepth + 1];
  int n_offset[kTabulatedDepth + 1];
};

__extension__ using Int128 = __int128;

constexpr FractionPolynomials make_fraction_polynomials() {
  FractionPolynomials table{};
  int next = 0;
  for (int depth = 3; depth <= kTabulatedDepth; ++depth) {
    Int128 n[kTabulatedDepth + 1] = {};
    Int128 d[kTabulatedDepth + 1] = {};
    d[0] = 1;
    int degree = 0;  // of d; n has degree - 1
    for (int j = depth; j >= 2; --j) {
      Int128 following[kTabulatedDepth + 1] = {};
      for (int i = 0; i <= degree; ++i) {
        following[i + 1] += d[i];
        following[i] += static_cast<Int128>(2 * j - 1) * d[i] - static_cast<Int128>(j) * j * n[i];
      }
      for (int i = 0; i <= degree + 1; ++i) {
        n[i] = d[i];
        d[i] = following[i];
      }
      ++degree;
    }
    table.d_offset[depth] = next;
    for (int i = 0; i <= degree; ++i) table.coefficient[next++] = static_cast<double>(d[i]);
    table.n_offset[depth] = next;
    for (int i = 0; i < degree; ++i) table.coefficient[next++] = static_cast<double>(n[i]);
  }
  return table;
}

constexpr FractionPolynomials kFractionPolynomials = make_fraction_polynomials();

// E1 (when kE1) and E2 of a group whose lanes all lie in (1, cutoff].
template <bool kE1>
SIMD_INLINE void fraction_integrals(const V (&x)[kGroup], V (&e1)[kGroup], V (&e2)[kGroup]) {
  V smallest = x[0];
  for (int g = 1; g < kGroup; ++g) smallest = min_or_second(x[g], smallest);
  alignas(64) double lanes[kLanes];
  store(lanes, smallest);
  double lowest = lanes[0];
  for (int j = 1; j < kLanes; ++j) lowest = lanes[j] < lowest ? lanes[j] : lowest;
  const int depth = fraction_depth(lowest);
  // (N, D) = (N2, D2), the tail from level 2 as a ratio.
  V n[kGroup], d[kGroup];
  if (depth <= kTabulatedDepth) {
    const double* dc = kFractionPolynomials.coefficient + kFractionPolynomials.d_offset[depth];
    const double* nc = kFractionPolynomials.coefficient + kFractionPolynomials.n_offset[depth];
    // Both monic; D's second coefficient first, then both side by side (four chains of FMAs).
    for (int g = 0; g < kGroup; ++g) n[g] = set(1.0), d[g] = x[g] + set(dc[depth - 2]);
    for (int i = depth - 3; i >= 0; --i) {
      const V dci = set(dc[i]), nci = set(nc[i]);
      for (int g = 0; g < kGroup; ++g) {
        d[g] = fma(d[g], x[g], dci);
        n[g] = fma(n[g], x[g], nci);
      }
    }
  } else {
    // The recurrence, level by level. D grows by at most b_j < 709.79 + 2 depth per level: up to
    // 64 levels by less than 2^(64 * 9.71), which leaves room below the overflow. Deeper fractions
    // (x below about 3.6) scale N and D by 2^-600 (exactly: they are far above the subnormals)
    // every fourth level once D passes 2^600, before 2^44 more could overflow it. Exact scaling
    // leaves every quotient, and so the result, unchanged.
    const bool rescale = depth > 64;
    for (int g = 0; g < kGroup; ++g) n[g] = set(0.0), d[g] = set(1.0);
    for (int j = depth; j >= 2; --j) {
      const V minus_a = set(-static_cast<double>(j) * j), odd = set(2.0 * j - 1.0);
      for (int g = 0; g < kGroup; ++g) {
        // -a N does not depend on the previous level's D: the chain per level is the FMA alone.
        const V next = fma(x[g] + odd, d[g], minus_a * n[g]);
        n[g] = d[g];
        d[g] = next;
      }
      if (rescale && (j & 3) == 0) {
        for (int g = 0; g < kGroup; ++g) {
          const V s = select(d[g] > set(0x1p600), set(0x1p-600), set(1.0));
          n[g] = n[g] * s;
          d[g] = d[g] * s;
        }
      }
    }
  }
  // The last level in double-double: with D1 = (x + 1) D2 - N2 = x D2 + (D2 - N2),
  //   C1 = 1 / (x + 1 - Q2) = D2 / D1,   C2 = C1 (1 - Q2) = (D2 - N2) / D1,
  // one reciprocal for both. D1 is formed as value + error (x D2 exactly by FMA, D2 - N2 by
  // Fast2Sum as N2 < D2, their sum likewise as x D2 > D2 - N2), so that only the ratio Q2 carries
  // the roundings of the deep tail: a relative error of Q2 reaches C1 multiplied by
  // Q2 / (x + 1 - Q2), at most 0.2 (at x = 1) and about 1 / x^2 beyond, and C2 by at most 0.5.
  for (int g = 0; g < kGroup; ++g) {
    const V p = x[g] * d[g];
    const V p_rounding = product_rounding(x[g], d[g], p);
    const V r = d[g] - n[g];
    const V r_err = (d[g] - r) - n[g];
    const V d1 = p + r;
    const V d1_low = ((p - d1) + r) + (r_err - p_rounding);
    V inverse, inverse_low;
    reciprocal(d1, d1_low, inverse, inverse_low);
    // exp(-x) = 2^k (1 + u): C (1 + u) = C + (u C + C_low (1 + u)), rounded once at the end
    // (1 + u itself is never rounded), then scaled by 2^k.
    V shifted;
    const V u = exp_mantissa_minus_one(-x[g], shifted);
    const I k = exponent_of(shifted);
    V m1 = set(0.0);
    if constexpr (kE1) {
      const V c1 = d[g] * inverse;
      const V c1_low = d[g] * inverse_low - product_rounding(d[g], inverse, c1);
      m1 = c1 + fma(u, c1, fma(u, c1_low, c1_low));
    }
    const V c2 = r * inverse;
    const V c2_low = fma(r, inverse_low, r_err * inverse) - product_rounding(r, inverse, c2);
    const V m2 = c2 + fma(u, c2, fma(u, c2_low, c2_low));
    if (all(x[g] <= set(700.0))) {
      // Normal results: one exact scaling.
      const V scale = from_bits(shl<52>(add_int(k, set_int(1023))));
      if constexpr (kE1) e1[g] = m1 * scale;
      e2[g] = m2 * scale;
    } else {
      // 2^k in two halves keeps both factors normal, so that only the last product rounds where
      // the result is subnormal (x above about 701.8).
      const I h = sub_int(shr<1>(add_int(k, set_int(2048))), set_int(1024));
      const V low = from_bits(shl<52>(add_int(h, set_int(1023))));
      const V high = from_bits(shl<52>(add_int(sub_int(k, h), set_int(1023))));
      if constexpr (kE1) e1[g] = (m1 * low) * high;
      e2[g] = (m2 * low) * high;
    }
  }
}

// E1 (when kE1; otherwise e1 is left undefined) and E2 of a group of arguments; lanes at and
// beyond `count` are padding (their results are not used). Lanes outside (1, cutoff] take the
// scalar routine.
template <bool kE1>
SIMD_INLINE void group_integrals(const V (&x)[kGroup], std::size_t count, V (&e1)[kGroup], V (&e2)[kGroup]) {
  M inside[kGroup];
  bool all_inside = true;
  for (int g = 0; g < kGroup; ++g) {
    inside[g] = (x[g] > set(1.0)) & (x[g] <= set(kIntegralCutoff));
    all_inside = all_inside && all(inside[g]);
  }
  if (all_inside) {
    fraction_integrals<kE1>(x, e1, e2);
    return;
  }
  // The fraction for the lanes inside (the others in its place at the cutoff, where it is
  // shortest), then the scalar routine for the rest.
  V safe[kGroup];
  for (int g = 0; g < kGroup; ++g) safe[g] = select(inside[g], x[g], set(kIntegralCutoff));
  fraction_integrals<kE1>(safe, e1, e2);
  alignas(64) double xs[kGroupLanes], first[kGroupLanes], second[kGroupLanes];
  for (int g = 0; g < kGroup; ++g) {
    store(xs + g * kLanes, x[g]);
    if constexpr (kE1) store(first + g * kLanes, e1[g]);
    store(second + g * kLanes, e2[g]);
  }
  for (std::size_t j = 0; j < count; ++j) {
    if (!(xs[j] > 1.0 && xs[j] <= kIntegralCutoff)) {
      const ExponentialIntegrals scalar = exponential_integrals(xs[j]);
      first[j] = scalar.e1;
      second[j] = scalar.e2;
    }
  }
  for (int g = 0; g < kGroup; ++g) {
    if constexpr (kE1) e1[g] = load(first + g * kLanes);
    e2[g] = load(second + g * kLanes);
  }
}

// Loads up to 32 values of a group, the lanes from `count` on filled with `fill`.
SIMD_INLINE void load_group(const double* p, std::size_t count, double fill, V (&v)[kGroup]) {
  for (int g = 0; g < kGroup; ++g) {
    const std::size_t offset = static_cast<std::size_t>(g) * kLanes;
    const std::size_t here = count > offset ? count - offset : 0;
    v[g] = load_lanes(p + offset, here, fill);
  }
}

SIMD_INLINE void store_group(double* p, std::size_t count, const V (&v)[kGroup]) {
  for (int g = 0; g < kGroup; ++g) {
    const std::size_t offset = static_cast<std::size_t>(g) * kLanes;
    const std::size_t here = count > offset ? count - offset : 0;
    if (here > 0) store_lanes(p + offset, here, v[g]);
  }
}

template <bool kE1>
SIMD_INLINE void integrals_of_array(const double* x, std::size_t n, double* e1, double* e2) {
  for (std::size_t i = 0; i < n; i += kGroupLanes) {
    const std::size_t count = n - i < kGroupLanes ? n - i : kGroupLanes;
    V xs[kGroup], first[kGroup], second[kGroup];
    // Padding repeats the last argument, which leaves the depth as it is.
    load_group(x + i, count, x[i + count - 1], xs);
    group_integrals<kE1>(xs, count, first, second);
    if constexpr (kE1) store_group(e1 + i, count, first);
    if (e2 != nullptr) store_group(e2 + i, count, second);
  }
}

void exponential_integrals_array(const double* x, std::size_t n, double* e1, double* e2) {
  if (e1 != nullptr) {
    integrals_of_array<true>(x, n, e1, e2);
  } else {
    integrals_of_array<false>(x, n, e1, e2);
  }
}

// exp_full(a), bit for bit, with less work where every lane's result is a normal number.
SIMD_INLINE V exp_mostly_normal(V a) {
  if (all((a >= set(-708.0)) & (a <= set(709.0)))) {
    V shifted;
    const V p = set(1.0) + exp_mantissa_minus_one(a, shifted);
    return p * from_bits(shl<52>(add_int(exponent_of(shifted), set_int(1023))));
  }
  return exp_full(a);
}

// One chunk of the TSDC pass (see TsdcPass); E1 and the sums only when kSums. Groups of 32 samples
// start at `begin`.
template <bool kSums>
SIMD_INLINE void tsdc_samples(const TsdcPass& pass, std::size_t begin, std::size_t end, double* sums) {
  const V reduced = set(pass.reduced_factor), minus_inverse_h = set(pass.minus_inverse_h);
  const V energy = set(pass.energy), h = set(pass.h), ea = set(pass.ea), k = set(pass.boltzmann);
  const double* t_all = pass.t;
  double* row = pass.row;
  double integral = pass.integral != nullptr ? *pass.integral : 0.0;
  V s1 = set(0.0), s2 = set(0.0);
  for (std::size_t i = begin; i < end; i += kGroupLanes) {
    const std::size_t count = end - i < kGroupLanes ? end - i : kGroupLanes;
    V t[kGroup], x[kGroup], e1[kGroup], e2[kGroup];
    load_group(t_all + i, count, t_all[i + count - 1], t);
    for (int g = 0; g < kGroup; ++g) x[g] = reduced / t[g];
    group_integrals<kSums>(x, count, e1, e2);
    if (row != nullptr) {
      // The raw curve, each operation as written: exp(e2 ((-1/h) T) + (ea / -k) / T) / h.
      V y[kGroup];
      for (int g = 0; g < kGroup; ++g) y[g] = exp_mostly_normal(e2[g] * (minus_inverse_h * t[g]) + energy / t[g]) / h;
      store_group(row + i, count, y);
      if (pass.integral != nullptr) {
        // The trapezoid terms of the pairs that end in this group, in sample order: a chain of
        // additions that the next group's work hides.
        for (std::size_t j = i > 0 ? i : 1; j < i + count; ++j) {
          integral += (t_all[j] - t_all[j - 1]) * ((row[j - 1] + row[j]) * 0.5);
        }
      }
    }
    if constexpr (kSums) {
      if (i >= pass.used) continue;
      const std::size_t weighted = pass.used - i < count ? pass.used - i : count;
      V w[kGroup];
      load_group(pass.weights + i, weighted, 0.0, w);
      for (int g = 0; g < kGroup; ++g) {
        const std::size_t offset = static_cast<std::size_t>(g) * kLanes;
        const std::size_t here = weighted > offset ? weighted - offset : 0;
        if (here == 0) break;
        // E1 at x1 = ea / (k T), an ulp or two from x: E1(x1) = E1(x) + (x - x1) (E1(x) + E2(x) / x)
        // (E1' = -(E1 + E2 / x)); where x1 = x (also x = 0, E1 infinite) E1(x) itself.
        const V x1 = ea / (k * t[g]);
        const V at_x1 = select(x1 == x[g], e1[g], e1[g] + (x[g] - x1) * (e1[g] + e2[g] / x[g]));
        V term1 = (at_x1 * w[g]) / k;
        V term2 = e2[g] * (w[g] * t[g]);
        if (here < kLanes) {
          const M real = first_lanes(here);
          term1 = select(real, term1, set(0.0));
          term2 = select(real, term2, set(0.0));
        }
        s1 = s1 + term1;
        s2 = s2 + term2;
      }
    }
  }
  if (pass.integral != nullptr) *pass.integral = integral;
  if (sums != nullptr) {
    sums[0] = lane_total(s1);
    sums[1] = lane_total(s2);
  }
}

void divide_array(double* values, std::size_t n, double divisor) {
  const V q = set(divisor);
  map_in_place(values, n, [&](V v) { return v / q; });
}

void tsdc_chunk(const TsdcPass& pass, std::size_t begin, std::size_t end, double* sums, double* /*scratch*/) {
  if (pass.weights != nullptr) {
    tsdc_samples<true>(pass, begin, end, sums);
  } else {
    tsdc_samples<false>(pass, begin, end, sums);
  }
}

// ==== Doniach-Sunjic kernels: atan, sin and cos, pow as exp(log), and the line's pass ============
//
// The Doniach-Sunjic line needs per sample an arc tangent, a sine and cosine of an angle inside a
// few multiples of pi, and a power of a positive number; the kernels below give each within about
// one ulp (checked against quadruple precision in the unit tests), so that the line's values are
// those of the scalar formula to a few units of 2^-53.


// a * b - p exactly, p the rounded product a * b: one FMA where the instruction set has it, else
// Dekker's splitting of both factors into 26-bit halves (factors below 2^995 in magnitude).
SIMD_INLINE V product_error(V a, V b, V p) {
#if defined(__FMA__)
  return fma(a, b, -p);
#else
  const V split = set(134217729.0);
  const V ca = split * a, cb = split * b;
  const V a_high = ca - (ca - a), b_high = cb - (cb - b);
  const V a_low = a - a_high, b_low = b - b_high;
  return (((a_high * b_high - p) + a_high * b_low) + a_low * b_high) + a_low * b_low;
#endif
}

// The series part s of atan(t) = t - t s for |t| <= 7/16: s = z s1(w) + w s2(w), z = t^2, w = z^2
// (fdlibm's s_atan.c: the polynomial's error is below 2^-59 of the result).
SIMD_INLINE V atan_polynomial(V t) {
  const V z = t * t;
  const V w = z * z;
  V s1 = fma(w, set(1.62858201153657823623e-02), set(4.97687799461593236017e-02));
  s1 = fma(w, s1, set(6.66107313738753120669e-02));
  s1 = fma(w, s1, set(9.09088713343650656196e-02));
  s1 = fma(w, s1, set(1.42857142725034663711e-01));
  s1 = fma(w, s1, set(3.33333333333329318027e-01));
  V s2 = fma(w, set(-3.65315727442169155270e-02), set(-5.83357013379057348645e-02));
  s2 = fma(w, s2, set(-7.69187620504482999495e-02));
  s2 = fma(w, s2, set(-1.11111104054623557880e-01));
  s2 = fma(w, s2, set(-1.99999999998764832476e-01));
  return fma(z, s1, w * s2);
}

// atan(t) for |t| <= 7/16 after the reduction of atan_of: t - t s, added to the reduction's base
// angle (high + low parts) so that only the last subtraction rounds at the size of the result.
SIMD_INLINE V atan_reduced(V t, V base_high, V base_low) {
  return base_high - (fma(t, atan_polynomial(t), -base_low) - t);
}

// The reduction of atan(a), a >= 0 (or NaN), for a below 2.4375: t = numerator / denominator with
// |t| <= 7/16, and the base angle atan(0), atan(1/2), atan(1) or atan(3/2) in two parts. NaN fails
// every comparison and keeps t = NaN.
SIMD_INLINE void atan_ranges(V a, V& numerator, V& denominator, V& high, V& low) {
  const M r0 = a >= set(0.4375), r1 = a >= set(0.6875), r2 = a >= set(1.1875);
  numerator = a;
  denominator = set(1.0);
  high = set(0.0);
  low = set(0.0);
  numerator = select(r0, set(2.0) * a - set(1.0), numerator);
  denominator = select(r0, set(2.0) + a, denominator);
  high = select(r0, set(4.63647609000806093515e-01), high);
  low = select(r0, set(2.26987774529616870924e-17), low);
  numerator = select(r1, a - set(1.0), numerator);
  denominator = select(r1, a + set(1.0), denominator);
  high = select(r1, set(7.85398163397448278999e-01), high);
  low = select(r1, set(3.06161699786838301793e-17), low);
  numerator = select(r2, a - set(1.5), numerator);
  denominator = select(r2, fma(set(1.5), a, set(1.0)), denominator);
  high = select(r2, set(9.82793723247329054082e-01), high);
  low = select(r2, set(1.39033110312309984516e-17), low);
}

// atan(x) for any double: +-pi/2 at +-inf, NaN for NaN, within one ulp. |x| is reduced to |t| <=
// 7/16 by one division, with the base angles 0, atan(1/2), atan(1), atan(3/2) and pi/2 (fdlibm).
SIMD_INLINE V atan_any(V x) {
  const V a = abs_of(x);
  V numerator, denominator, high, low;
  atan_ranges(a, numerator, denominator, high, low);
  const M r3 = a >= set(2.4375);
  numerator = select(r3, set(-1.0), numerator);
  denominator = select(r3, a, denominator);
  high = select(r3, set(1.57079632679489655800e+00), high);
  low = select(r3, set(6.12323399573676603587e-17), low);
  const V result = atan_reduced(numerator / denominator, high, low);
  return from_bits(or_int(bits(result), sign_bit_of(x)));
}

// atan2(y, x) for y > 0 (y finite), in (0, pi): atan(y / x) above the diagonal |x| >= y, x > 0;
// pi + atan(y / x) for x <= -y; pi/2 - atan(x / y) in between. The ratio is at most 1 in
// magnitude, and the base angle is added in two parts, so the result is within about one ulp.
SIMD_INLINE V atan2_of_positive(V y, V x) {
  const V a = abs_of(x);
  const M steep = a < y;  // NaN x: false, and the ratio is NaN
  const V ratio = select(steep, -x, y) / select(steep, y, x);
  const M left = (x < set(0.0)) & (a >= y);
  V high = select(steep, set(1.57079632679489655800e+00), select(left, set(3.14159265358979311600e+00), set(0.0)));
  V low = select(steep, set(6.12323399573676603587e-17), select(left, set(1.22464679914735317720e-16), set(0.0)));
  const V r = abs_of(ratio);
  V numerator, denominator, reduced_high, reduced_low;
  atan_ranges(r, numerator, denominator, reduced_high, reduced_low);
  // atan(|ratio|) = reduced_high + (reduced_low + e), e = t - t s; with the sign of the ratio the
  // whole angle is high + (low +- (reduced_high + (reduced_low + e))), summed small parts first.
  const V t = numerator / denominator;
  const V s = atan_polynomial(t);
  // atan(|ratio|) in two parts: head reduced_high + t (exact sum not needed: t is small against
  // it or reduced_high is 0), tail reduced_low - t s.
  const V magnitude = reduced_high + (fnma(t, s, reduced_low) + t);
  const V sign = from_bits(or_int(bits(set(1.0)), sign_bit_of(ratio)));
  return high + fma(sign, magnitude, low);
}

// sin and cos of x for |x| <= kSinCosLimit (about 1.6e6), each within about one ulp; other lanes
// (larger, infinite or NaN) are left to the caller. x = k pi/2 + r with |r| <= pi/4: k pi/2 is taken
// off in three parts (fdlibm's 33-bit pieces, so k * piece is exact for |k| < 2^20), the first
// exactly, the rest with a two-sum keeping r as head + tail; the kernels of FreeBSD's k_sin.c and
// k_cos.c then use the tail, and k mod 4 picks and signs the results.
constexpr double kSinCosLimit = 1.6e6;
SIMD_INLINE void sin_cos_reduced(V x, V& sine, V& cosine) {
  const V shifted = fma(x, set(6.36619772367581382433e-01), set(kRoundingShift));
  const V k = shifted - set(kRoundingShift);
  const V first = fnma(k, set(1.57079632673412561417e+00), x);  // exact
  const V second = k * set(6.07710050630396597660e-11);          // exact
  const V head = first - second;
  const V back = head - first;
  const V tail = ((first - (head - back)) - (second + back)) - k * set(2.02226624879595063154e-21);
  const V r = head + tail;
  const V r_tail = tail - (r - head);
  const V z = r * r;
  const V w = z * z;
  // sin r = r + r^3 (S1 + z ...), with the tail's first-order term.
  V ps = fma(z, set(1.58969099521155010221e-10), set(-2.50507602534068634195e-08));
  ps = z * w * ps;
  V pr = fma(z, set(2.75573137070700676789e-06), set(-1.98412698298579493134e-04));
  pr = fma(z, pr, set(8.33333333332248946124e-03)) + ps;
  const V v = z * r;
  const V s = r - ((z * (set(0.5) * r_tail - v * pr) - r_tail) - v * set(-1.66666666666666324348e-01));
  // cos r = 1 - z/2 + z^2 (C1 + ...), 1 - z/2 compensated.
  V c1 = fma(z, set(2.48015872894767294178e-05), set(-1.38888888888741095749e-03));
  c1 = fma(z, c1, set(4.16666666666666019037e-02));
  V c2 = fma(z, set(-1.13596475577881948265e-11), set(2.08757232129817482790e-09));
  c2 = fma(z, c2, set(-2.75573143513906633035e-07));
  const V cr = fma(w * w, c2, z * c1);
  const V half_z = set(0.5) * z;
  const V one_minus = set(1.0) - half_z;
  const V c = one_minus + (((set(1.0) - one_minus) - half_z) + (z * cr - r * r_tail));
  // Quadrant k mod 4 from the low bits of the rounding shift.
  const I quadrant = and_int(bits(shifted), set_int(3));
  const M odd = from_bits(shl<52>(and_int(quadrant, set_int(1)))) > set(0.0);
  const M sine_negative = from_bits(shl<52>(and_int(quadrant, set_int(2)))) > set(0.0);
  const M cosine_negative = from_bits(shl<52>(and_int(add_int(quadrant, set_int(1)), set_int(2)))) > set(0.0);
  const V sine_value = select(odd, c, s), cosine_value = select(odd, s, c);
  sine = select(sine_negative, -sine_value, sine_value);
  cosine = select(cosine_negative, -cosine_value, cosine_value);
}

// ln x as head + tail, for positive normal x: about 2^-59 of the result. With x = 2^k m, m in
// [sqrt(1/2), sqrt(2)), f = m - 1 and s = f / (2 + f) carried with its rounding error, ln m =
// 2s + s R(s^2) (fdlibm's R, error below 2^-58.45), and k ln 2 in two parts.
SIMD_INLINE void log_extended(V x, V& head, V& tail) {
  const I b = bits(x);
  const V mantissa = from_bits(or_int(and_int(b, set_int(0x000fffffffffffffLL)), set_int(0x3ff0000000000000LL)));
  const M upper = mantissa > set(1.4142135623730951);
  const V m = select(upper, mantissa * set(0.5), mantissa);
  const V biased = from_bits(or_int(shr<52>(b), set_int(0x4330000000000000LL))) - set(kTwo52);
  const V k = (biased - set(1023.0)) + select(upper, set(1.0), set(0.0));
  const V f = m - set(1.0);  // exact
  const V denominator = set(2.0) + f;
  const V denominator_tail = (set(2.0) - denominator) + f;  // exact: 2 + f = denominator + tail
  const V s = f / denominator;
  const V s_tail = ((f - s * denominator) - product_error(s, denominator, s * denominator) - s * denominator_tail) /
                   denominator;
  const V z = s * s;
  const V w = z * z;
  const V t1 = w * fma(w, fma(w, set(kLg6), set(kLg4)), set(kLg2));
  const V t2 = z * fma(w, fma(w, fma(w, set(kLg7), set(kLg5)), set(kLg3)), set(kLg1));
  const V r = t2 + t1;
  const V a = k * set(kLn2High);  // exact
  const V twice_s = set(2.0) * s;
  const V sum = a + twice_s;
  const V back = sum - a;
  const V error = (a - (sum - back)) + (twice_s - back);
  head = sum;
  tail = error + fma(k, set(kLn2Low), fma(s, r, set(2.0) * s_tail));
}

// exp(x + x_tail) for |x_tail| below an ulp of x or so.
SIMD_INLINE V exp_with_tail(V x, V x_tail) {
  V shifted;
  return exp_from_parts(set(1.0) + exp_mantissa_minus_one(x, x_tail, shifted), shifted, x);
}

// x^e for positive normal finite x, as exp(e ln x) with ln x carried in two parts and the product's
// rounding error passed to the exponential: within about one ulp wherever the result is normal.
SIMD_INLINE V pow_positive(V x, V e) {
  V head, tail;
  log_extended(x, head, tail);
  const V y = e * head;
  return exp_with_tail(y, fma(e, tail, product_error(e, head, y)));
}

// Positive normal finite lanes.
SIMD_INLINE M positive_normal(V x) { return (x >= set(2.2250738585072014e-308)) & (x < set(__builtin_inf())); }

void atan_array(double* values, std::size_t n) { map_in_place(values, n, atan_any); }

// Lanes outside the reduction's range (and NaN) from the scalar library.
void sin_cos_array(const double* x, std::size_t n, double* sine, double* cosine) {
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    const V at = load_lanes(x + i, count, 0.0);
    V s, c;
    sin_cos_reduced(at, s, c);
    alignas(64) double lanes_s[kLanes], lanes_c[kLanes];
    store(lanes_s, s);
    store(lanes_c, c);
    if (!all(abs_of(at) <= set(kSinCosLimit))) {
      for (std::size_t j = 0; j < count; ++j) {
        if (!(std::fabs(x[i + j]) <= kSinCosLimit)) {
          lanes_s[j] = std::sin(x[i + j]);
          lanes_c[j] = std::cos(x[i + j]);
        }
      }
    }
    for (std::size_t j = 0; j < count; ++j) {
      sine[i + j] = lanes_s[j];
      cosine[i + j] = lanes_c[j];
    }
  }
}

// Lanes whose base is not positive, normal and finite from the scalar library.
void pow_array(double* values, std::size_t n, double exponent) {
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    const V at = load_lanes(values + i, count, 1.0);
    alignas(64) double lanes[kLanes], bases[kLanes];
    store(bases, at);
    store(lanes, pow_positive(at, set(exponent)));
    if (!all(positive_normal(at))) {
      for (std::size_t j = 0; j < count; ++j) {
        if (!(bases[j] >= 2.2250738585072014e-308 && bases[j] < __builtin_inf())) lanes[j] = std::pow(bases[j], exponent);
      }
    }
    for (std::size_t j = 0; j < count; ++j) values[i + j] = lanes[j];
  }
}

// The small-argument series of the shifts' changes (|t| < 1e-4, where the first omitted term is
// below 1e-17 of the result), the same as the scalar code's.
SIMD_INLINE V atan_series(V t) {
  const V t2 = t * t;
  return t - t * (t2 * (set(1.0 / 3.0) - t2 * set(0.2)));
}
SIMD_INLINE V sin_series(V t) {
  const V t2 = t * t;
  return t - t * (t2 * (set(1.0 / 6.0) - t2 * set(1.0 / 120.0)));
}
SIMD_INLINE V log1p_series(V r) { return r - (r * r) * (set(0.5) - r * (set(1.0 / 3.0) - r * set(0.25))); }
SIMD_INLINE V expm1_series(V r) { return r + (r * r) * (set(0.5) + r * (set(1.0 / 6.0) + r * set(1.0 / 24.0))); }
SIMD_INLINE M small_argument(V t) { return abs_of(t) < set(1e-4); }

// The trapezoid weight of samples i..i+7 of the grid: (x_{i+1} - x_{i-1}) / 2, one-sided at the
// ends, 0 past `count` lanes; sum_i c_i v_i is the trapezoid integral.
SIMD_INLINE V trapezoid_weights(const double* x, std::size_t n, std::size_t i, std::size_t count) {
  if (count == kLanes && i >= 1 && i + kLanes < n) return set(0.5) * (load(x + i + 1) - load(x + i - 1));
  alignas(64) double lanes[kLanes];
  for (std::size_t j = 0; j < kLanes; ++j) {
    const std::size_t at = i + j;
    if (j >= count) {
      lanes[j] = 0.0;
      continue;
    }
    const double before = at > 0 ? x[at - 1] : x[at];
    const double after = at + 1 < n ? x[at + 1] : x[at];
    lanes[j] = after - before;
  }
  return set(0.5) * load(lanes);
}

void doniach_sunjic_chunk(const DoniachSunjicPass& pass, std::size_t begin, std::size_t end, double* sums) {
  const std::size_t shifts = pass.shifts;
  const V x0 = set(pass.x0), gamma = set(pass.gamma), gamma_squared = set(pass.gamma * pass.gamma);
  const V a = set(pass.one_minus_alpha), minus_half_exponent = set(-pass.half_exponent);
  const V infinity = set(__builtin_inf());
  V integral = set(0.0), weight_sum = set(0.0), outside = set(0.0), unformed = set(0.0), minimum = infinity;
  V integral_change[3] = {set(0.0), set(0.0), set(0.0)}, change_sum[3] = {set(0.0), set(0.0), set(0.0)};
  V log_shape_sum = set(0.0);
  for (std::size_t i = begin; i < end; i += kLanes) {
    const std::size_t count = end - i < kLanes ? end - i : kLanes;
    const M real = first_lanes(count);
    const std::size_t used_count = pass.used > i ? (pass.used - i < count ? pass.used - i : count) : 0;
    const M used = first_lanes(used_count);
    const V at = load_lanes(pass.x + i, count, pass.x0);
    const V c = trapezoid_weights(pass.x, pass.n, i, count);
    const V d = at - x0;
    const V psi = atan2_of_positive(gamma, d);
    const V angle = a * psi;
    V sine, cosine;
    sin_cos_reduced(angle, sine, cosine);
    // q^(-(1 - alpha)/2) as exp of the product with ln q in two parts (pow_positive, spelled out
    // because ln q serves the asymmetry's shift too).
    const V q = fma(d, d, gamma_squared);
    V log_q, log_q_tail;
    log_extended(q, log_q, log_q_tail);
    const V exponent = minus_half_exponent * log_q;
    const V exponent_tail = fma(minus_half_exponent, log_q_tail, product_error(minus_half_exponent, log_q, exponent));
    const V v = select(real, sine * exp_with_tail(exponent, exponent_tail), set(0.0));
    store_lanes(pass.shape + i, count, v);
    const M in_domain = (abs_of(angle) <= set(kSinCosLimit)) & positive_normal(q);
    outside = outside + select(real & in_domain, set(0.0), select(real, set(1.0), set(0.0)));
    integral = fma(c, v, integral);
    // No weights past `used` (and perhaps none at all): nothing is read there.
    const V w = used_count > 0 ? load_lanes(pass.weights + i, used_count, 0.0) : set(0.0);
    weight_sum = weight_sum + w;
    minimum = min_or_second(select(used, v, infinity), minimum);
    // ln v = ln sin + the exponent (its tail added first); lanes without a weight add nothing, and
    // a sine not above 0 gives no number, as a v not above 0 leaves the caller's floor test unmet.
    if (used_count > 0) {
      log_shape_sum = fma(w, select(used, log_any(sine) + (exponent_tail + exponent), set(0.0)), log_shape_sum);
    }
    if (shifts == 0) continue;
    const V tan_phi = cosine / sine;
    for (std::size_t j = 0; j < shifts; ++j) {
      const V step = set(pass.step[j]);
      V dphi, log_q_term;
      M formed = sine > set(0.0);
      if (pass.moved[j] == 0) {
        const V denominator = gamma_squared + d * (d - step);
        const V t = (-step * gamma) / denominator;
        const V r = (-step * (set(2.0) * d - step)) / q;
        dphi = a * atan_series(t);
        log_q_term = minus_half_exponent * log1p_series(r);
        formed = formed & (denominator > set(0.0)) & small_argument(t) & small_argument(r);
      } else if (pass.moved[j] == 1) {
        const V shifted = set(pass.shifted_gamma[j]);
        const V t = (d * -step) / (gamma * shifted + d * d);
        const V r = (step * (shifted + gamma)) / q;
        dphi = a * atan_series(t);
        log_q_term = minus_half_exponent * log1p_series(r);
        formed = formed & small_argument(t) & small_argument(r);
      } else {
        dphi = step * psi;
        log_q_term = (set(0.5) * step) * (log_q + log_q_tail);
      }
      const V half = sin_series(set(0.5) * dphi);
      const V ratio = set(-2.0) * (half * half) - tan_phi * sin_series(dphi);
      const V change = log1p_series(ratio) + log_q_term;
      formed = formed & small_argument(dphi) & small_argument(ratio) & small_argument(change);
      unformed = unformed + select(real & formed, set(0.0), select(real, set(1.0), set(0.0)));
      integral_change[j] = fma(c, v * select(real, expm1_series(change), set(0.0)), integral_change[j]);
      change_sum[j] = fma(w, select(used, change, set(0.0)), change_sum[j]);
    }
  }
  sums[0] = lane_total(integral);
  sums[1] = lane_total(weight_sum);
  sums[2] = lane_total(outside);
  sums[3] = lane_total(unformed);
  for (std::size_t j = 0; j < 3; ++j) {
    sums[4 + 2 * j] = j < shifts ? lane_total(integral_change[j]) : 0.0;
    sums[5 + 2 * j] = j < shifts ? lane_total(change_sum[j]) : 0.0;
  }
  sums[10] = lane_total(log_shape_sum);
  if (pass.chunk_minimum != nullptr) {
    alignas(64) double lowest[kLanes];
    store(lowest, minimum);
    double smallest = lowest[0];
    for (std::size_t j = 1; j < kLanes; ++j) smallest = lowest[j] < smallest ? lowest[j] : smallest;
    pass.chunk_minimum[begin / kSumChunk] = smallest;
  }
}

void weighted_log_density_chunk(const double* values, const double* weights, double divisor, std::size_t begin,
                                std::size_t end, double* sum) {
  const V by = set(divisor);
  V total = set(0.0);
  for (std::size_t i = begin; i < end; i += kLanes) {
    const std::size_t count = end - i < kLanes ? end - i : kLanes;
    const V v = load_lanes(values + i, count, 1.0);
    const V w = load_lanes(weights + i, count, 0.0);
    const V term = w * log_any(v / by + set(1e-200));
    total = total + (count == kLanes ? term : select(first_lanes(count), term, set(0.0)));
  }
  *sum = lane_total(total);
}

// ==== Voigt kernel: the profile's changes from the Taylor series of w ============================
//
// The scalar voigt_point_changes of voigt.cpp, eight samples at a time, with the same operations
// in the same order (no FMA: the scalar code has none), so that its results are the same bits.

// (2k + 1)(2k - 1)!! / 2^k, the coefficients of the asymptotic expansion of w'(z).
constexpr double kVoigtDerivativeCoefficients[18] = {
    1.0, 1.5, 3.75, 13.125, 59.0625, 324.84375, 2111.484375, 15836.1328125, 134607.12890625, 1278767.724609375,
    13427061.108398438, 154411202.74658203, 1930140034.3322754, 26056890463.485718, 377824911720.5429,
    5856286131668.415, 96628721172528.84, 1691002620519254.8};

void voigt_changes(const VoigtChangesPass& pass, std::size_t n) {
  const std::size_t shifts = pass.shifts;
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    const V zr = load_lanes(pass.z_real + i, count, 0.0);
    const V zi = load_lanes(pass.z_imag + i, count, 1.0);
    const V wr = load_lanes(pass.w_real + i, count, 1.0);
    const V wi = load_lanes(pass.w_imag + i, count, 0.0);
    const V z_norm = zr * zr + zi * zi;
    const M far = (z_norm >= set(100.0)) & (zi >= set(1e-20));
    V a1r = set(-2.0) * (zr * wr - zi * wi);
    V a1i = set(-2.0) * (zr * wi + zi * wr) + set(1.1283791670955126);
    if (!all(select(far, set(0.0), set(1.0)) == set(1.0))) {
      // As many terms of the expansion as |z| asks for, lane by lane.
      const V r = select(far, z_norm, set(1e4));
      V terms = set(1.0), power = r;
      M running = set(0.0) == set(0.0);
      int most = 1;  // the most terms any lane takes
      for (int t = 1; t < 18; ++t) {
        running = running & (set(kVoigtDerivativeCoefficients[t]) > set(1e-20) * power);
        if (all(select(running, set(0.0), set(1.0)) == set(1.0))) break;
        terms = terms + select(running, set(1.0), set(0.0));
        power = power * r;
        most = t + 1;
      }
      const V u_re = zr / r, u_im = -zi / r;
      const V v_re = u_re * u_re - u_im * u_im, v_im = set(2.0) * u_re * u_im;
      V q_re = set(0.0), q_im = set(0.0);
      for (int k = most - 1; k >= 0; --k) {
        const M active = set(static_cast<double>(k)) < terms;
        const V re = q_re * v_re - q_im * v_im + set(kVoigtDerivativeCoefficients[k]);
        const V im = q_re * v_im + q_im * v_re;
        q_re = select(active, re, q_re);
        q_im = select(active, im, q_im);
      }
      const V vq_re = v_re * q_re - v_im * q_im, vq_im = v_re * q_im + v_im * q_re;
      a1r = select(far, set(0.5641895835477563) * vq_im, a1r);
      a1i = select(far, -(set(0.5641895835477563) * vq_re), a1i);
    }
    const V a2r = -((zr * a1r - zi * a1i) + wr), a2i = -((zr * a1i + zi * a1r) + wi);
    const V a3r = set(-2.0) * ((zr * a2r - zi * a2i) + a1r) / set(3.0);
    const V a3i = set(-2.0) * ((zr * a2i + zi * a2r) + a1i) / set(3.0);
    const V a4r = -((zr * a3r - zi * a3i) + a2r) * set(0.5), a4i = -((zr * a3i + zi * a3r) + a2i) * set(0.5);
    const V a3_norm = a3r * a3r + a3i * a3i, a4_norm = a4r * a4r + a4i * a4i;
    M all_formed = set(0.0) == set(0.0);
    for (std::size_t j = 0; j < shifts; ++j) {
      V dr = set(0.0), di = set(0.0);
      if (pass.moved[j] == 0) dr = set(pass.dz[j]);
      if (pass.moved[j] == 2) di = set(pass.dz[j]);
      if (pass.moved[j] == 1) {
        dr = zr * set(pass.ratio[j]);
        di = zi * set(pass.ratio[j]);
      }
      const V dz_norm = dr * dr + di * di;
      V sr = a4r * dr - a4i * di + a3r, si = a4r * di + a4i * dr + a3i;
      V tr = sr * dr - si * di + a2r;
      si = sr * di + si * dr + a2i;
      sr = tr;
      tr = sr * dr - si * di + a1r;
      si = sr * di + si * dr + a1i;
      sr = tr;
      tr = sr * dr - si * di;
      si = sr * di + si * dr;
      sr = tr;
      const V dz4 = dz_norm * dz_norm, bound = set(0x1p-112) * (sr * sr + si * si);
      const M series = (set(4.0) * z_norm * dz_norm <= set(0.01)) & (dz_norm <= set(0.01)) &
                       (a4_norm * (dz4 * dz4) <= bound) & (a3_norm * (dz4 * dz4 * dz_norm) <= bound);
      const V difference = pass.moved[j] == 1
                               ? (set(pass.sigma) * sr + set(pass.width_change[j]) * wr) * set(pass.scale[j])
                               : sr * set(pass.scale[j]);
      // Finite: x - x is 0 only for finite x.
      all_formed = all_formed & series & ((difference - difference) == set(0.0));
      store_lanes(pass.change[j] + i, count, difference);
    }
    const V formed = select(all_formed, set(1.0), set(0.0));
    store_lanes(pass.formed + i, count, formed);
  }
}

void voigt_terms(const VoigtTermsPass& pass, std::size_t n) {
  const std::size_t shifts = pass.shifts, stride = 1 + shifts;
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    const V value = load_lanes(pass.value + i, count, 1.0);
    const V log_density = load_lanes(pass.log_density + i, count, 0.0);
    const V w = load_lanes(pass.weights + i, count, 0.0);
    const V formed = load_lanes(pass.formed + i, count, 0.0);
    alignas(64) double lanes[4][kLanes];
    store(lanes[0], w * log_density);
    const V inverse_value = set(1.0) / value;
    const M base = (formed == set(1.0)) & (value > set(0.0)) & (value * set(pass.inverse_mass) >= set(1e-180));
    M every = base;
    for (std::size_t j = 0; j < shifts; ++j) {
      const V change = load_lanes(pass.change[j] + i, count, 0.0);
      const V r = change * inverse_value;
      const M shift_formed = (value + change) * set(pass.inverse_shifted_mass[j]) >= set(1e-180);
      every = every & shift_formed & (abs_of(r) < set(1e-4));
      if (!pass.mass_formed[j]) every = every & (set(0.0) == set(1.0));
      const V log1p = r - (r * r) * (set(0.5) - r * (set(1.0 / 3.0) - r * set(0.25)));
      store(lanes[1 + j], w * (log1p - set(pass.mass_log_ratio[j])));
    }
    alignas(64) double every_lanes[kLanes];
    store(every_lanes, select(every, set(1.0), set(0.0)));
    for (std::size_t l = 0; l < count; ++l) {
      double* out = pass.out + (i + l) * stride;
      for (std::size_t j = 0; j < stride; ++j) out[j] = lanes[j][l];
      pass.done[i + l] = every_lanes[l];
    }
  }
}

#include "simd/faddeeva.hpp"

#undef SIMD_EACH
#undef SIMD_INLINE

}  // namespace

extern const SimdKernels BRIVANE_SIMD_TABLE;
// Filled by name: an entry out of order, or two entries of one type swapped, does not compile.
const SimdKernels BRIVANE_SIMD_TABLE = {
    .exp = exp_array,
    .exp2_of_minus_square = exp2_of_minus_square_array,
    .log = log_array,
    .gaussian_row = gaussian_row,
    .e_step_chunk = e_step_chunk,
    .gaussian_chunk = gaussian_chunk,
    .pseudo_voigt_mixing_chunk = pseudo_voigt_mixing_chunk,
    .pseudo_voigt_objective_chunk = pseudo_voigt_objective_chunk,
    .exponential_integrals = exponential_integrals_array,
    .tsdc_chunk = tsdc_chunk,
    .divide = divide_array,
    .atan = atan_array,
    .sin_cos = sin_cos_array,
    .pow = pow_array,
    .doniach_sunjic_chunk = doniach_sunjic_chunk,
    .weighted_log_density_chunk = weighted_log_density_chunk,
    .voigt_changes = voigt_changes,
    .voigt_terms = voigt_terms,
    .faddeeva = faddeeva_array,
};

}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
