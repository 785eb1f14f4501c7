#pragma once
// Eight lanes of doubles and their operations, written once and compiled for each instruction set:
// AVX-512 F/DQ/VL/BW (one 512-bit register per vector), AVX2 with FMA (two 256-bit registers) and
// baseline x86-64 (SSE2: four 128-bit registers, no FMA). Every header under src/simd but the
// scalar exp_scalar.hpp is included by a translation unit of one instruction set, which defines
// BRIVANE_SIMD_NAMESPACE first (CMakeLists.txt, brivane_vector_kernels); the helpers live in an
// anonymous namespace inside it, so that no inline function is shared between units compiled for
// different instruction sets (the linker would keep one copy, compiled for whichever came first).
//
// Contract. Exact, lane by lane: +, -, *, / and the comparisons round once as IEEE double
// operations; fma(a, b, c) and fnma(a, b, c) round once with FMA (AVX2, AVX-512) and twice on the
// baseline (the product first), so AVX2 and AVX-512 give the same bits and the baseline may differ
// in the last bits. max_or_second(a, b) and min_or_second(a, b) return b when either is NaN, on
// every instruction set. lane_total adds the lanes in one fixed tree. load_partial and
// load_lanes read only the first `count` doubles and fill the other lanes; store_partial and
// store_lanes write only the first `count`. product_error is exact for factors below 2^995 in
// magnitude (Dekker's splitting without FMA) and any finite factors with FMA.
#ifndef BRIVANE_SIMD_NAMESPACE
#error "a translation unit of one instruction set defines BRIVANE_SIMD_NAMESPACE before including src/simd"
#endif

// GCC 12 reports the undefined pass-through operand of its own AVX-512 intrinsics (shifts, min)
// as uninitialised; the operand is never read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>

// Every helper is inlined into its kernel, which the kernels' speed depends on. Under
// AddressSanitizer (the build that also checks undefined behaviour) the compiler chooses instead:
// forced inlining of instrumented code took minutes per instruction set to compile, and each
// operation rounds as written either way, so the results are the same bits.
#if defined(__SANITIZE_ADDRESS__)
#define SIMD_INLINE inline
#else
#define SIMD_INLINE [[gnu::always_inline]] inline
#endif

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

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
#undef SIMD_EACH

// Adding 1.5 * 2^52 rounds a double below 2^51 in magnitude to an integer held in the low bits.
constexpr double kRoundingShift = 6755399441055744.0;

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

// values[i] = f(values[i]) over an array; a partial last vector is padded with 1.
template <class F>
SIMD_INLINE void map_in_place(double* values, std::size_t n, F f) {
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) store(values + i, f(load(values + i)));
  if (i < n) store_partial(values + i, n - i, f(load_partial(values + i, n - i, 1.0)));
}

}  // namespace
}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
