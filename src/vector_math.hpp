#pragma once
// The dispatch of the vector kernels: each family of kernels has a table of its own, filled once
// per instruction set, and the set is chosen once, at first use, from what the processor offers,
// so one build runs on any x86-64 machine.
//
// Each kernel is written once against the 8-lane vectors of src/simd/lanes.hpp and compiled three
// times (CMakeLists.txt, brivane_vector_kernels): for AVX-512 (F, DQ, VL, BW), for AVX2 with FMA,
// and for baseline x86-64 (SSE2, no FMA). All variants work on vectors of 8 doubles with the same
// operations in the same order: the AVX2 and AVX-512 variants give bit-identical results; the
// baseline one lacks FMA and may differ in the last bits. The vector math lives in src/simd (each
// family's header states its accuracy), the E-step's pass in src/passes, and each shape's passes in
// its own folder: src/shapes/<shape>/vector_pass.hpp declares the shape's table (what the caller
// fills in and the kernels it reaches) and vector_kernels.hpp defines the kernels and fills the
// table by name, so a slot given a kernel of another signature, or left out, does not compile.
// Nothing here names a shape.

#include <cstddef>
#include <cstdint>
#include <span>

namespace brivane {

// The vector math over arrays (src/simd/array_kernels.hpp).
struct SimdKernels {
  // values[i] = log(values[i]): -inf at 0, NaN below 0 and for NaN.
  void (*log)(double* values, std::size_t n);
  // values[i] = values[i] / divisor, each quotient rounded once.
  void (*divide)(double* values, std::size_t n, double divisor);
  // e1[i] = E1(x[i]) and e2[i] = E2(x[i]) (either pointer may be null), within 2 ulps, with the
  // special values of numerics/exponential_integrals.hpp. Groups of kIntegralGroup arguments from
  // the first share one depth of the continued fraction.
  void (*exponential_integrals)(const double* x, std::size_t n, double* e1, double* e2);
  // The Faddeeva function (src/simd/faddeeva.hpp states its accuracy).
  void (*faddeeva)(const double* z_re, const double* z_im, std::size_t n, double* w_re, double* w_im);
};

enum class SimdLevel : std::uint8_t { kBaseline, kAvx2, kAvx512 };

// Whether this processor can run a variant.
bool simd_level_supported(SimdLevel level);
// The variant in use: the best the processor supports, unless a SimdOverride is alive.
SimdLevel simd_level();
const char* simd_level_name(SimdLevel level);

// The variant of a table for the active level.
template <class Table>
const Table& simd_variant(const Table& baseline, const Table& avx2, const Table& avx512) {
  switch (simd_level()) {
    case SimdLevel::kAvx512: return avx512;
    case SimdLevel::kAvx2: return avx2;
    default: return baseline;
  }
}

// The highest instruction set the build compiled (CMakeLists.txt, BRIVANE_SIMD_TOP): 0 baseline,
// 1 AVX2, 2 AVX-512. A level above it takes the variant below, and the dispatch never chooses it.
#ifndef BRIVANE_SIMD_TOP_LEVEL
#define BRIVANE_SIMD_TOP_LEVEL 2
#endif
#if BRIVANE_SIMD_TOP_LEVEL >= 1
#define BRIVANE_SIMD_AVX2_VARIANT(table) simd_avx2::table
#else
#define BRIVANE_SIMD_AVX2_VARIANT(table) simd_baseline::table
#endif
#if BRIVANE_SIMD_TOP_LEVEL >= 2
#define BRIVANE_SIMD_AVX512_VARIANT(table) simd_avx512::table
#else
#define BRIVANE_SIMD_AVX512_VARIANT(table) BRIVANE_SIMD_AVX2_VARIANT(table)
#endif

// Declares the three variants of a table, `table` in the namespaces simd_baseline, simd_avx2 and
// simd_avx512 (each defined, filled by name, by the unit of that instruction set), and
// `accessor()`, which returns the variant of the active level.
#define BRIVANE_VECTOR_KERNEL_TABLE(Table, table, accessor)                                    \
  namespace simd_baseline {                                                                   \
  extern const Table table;                                                                   \
  }                                                                                           \
  namespace simd_avx2 {                                                                       \
  extern const Table table;                                                                   \
  }                                                                                           \
  namespace simd_avx512 {                                                                     \
  extern const Table table;                                                                   \
  }                                                                                           \
  inline const Table& accessor() {                                                            \
    return simd_variant(simd_baseline::table, BRIVANE_SIMD_AVX2_VARIANT(table),              \
                        BRIVANE_SIMD_AVX512_VARIANT(table));                                   \
  }

BRIVANE_VECTOR_KERNEL_TABLE(SimdKernels, kSimdKernels, simd_kernels)

// Plain loops that the compiler vectorises itself (the passes of shapes without vector kernels of
// their own) are compiled twice, for baseline x86-64 and for AVX2 ([[gnu::target("avx2")]]), and take
// the AVX2 copy when this holds: the copy follows the active variant, so a SimdOverride forces
// either. Every operation rounds as written (no contraction), so both copies give the same bits.
inline bool simd_loops_use_avx2() { return simd_level() != SimdLevel::kBaseline; }

// Forces a supported variant while it lives, for tests and benchmarks that compare the variants.
// Process-wide: no fit may run on another thread meanwhile.
class SimdOverride {
 public:
  explicit SimdOverride(SimdLevel level);
  ~SimdOverride();
  SimdOverride(const SimdOverride&) = delete;
  SimdOverride& operator=(const SimdOverride&) = delete;

 private:
  SimdLevel previous_;
};

// values[i] = log(values[i]): -inf at 0, NaN below 0 and for NaN.
void log_in_place(std::span<double> values);

}  // namespace brivane
