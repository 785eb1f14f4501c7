#include "vector_math.hpp"

#include <atomic>
#include <type_traits>

namespace brivane {

// Every slot of the table and the kernel that fills it, in the table's order. The kernels are
// defined once per instruction set, in the namespaces simd_baseline, simd_avx2 and simd_avx512, by
// the units that brivane_vector_kernels (CMakeLists.txt) compiles from src/simd/array_kernels.hpp,
// src/passes/e_step_kernels.hpp and each shape's vector_kernels.hpp. They are declared here with
// the type of their slot, so that a definition of another signature leaves the link unresolved,
// and the tables are filled by name (designated initialisers): a slot out of order does not
// compile.
#define BRIVANE_SIMD_KERNELS(X)                         \
  X(log, log_kernel)                                    \
  X(divide, divide_kernel)                              \
  X(exponential_integrals, exponential_integrals_kernel) \
  X(faddeeva, faddeeva_kernel)                          \
  X(e_step_chunk, e_step_chunk)                         \
  X(gaussian_row, gaussian_row)                         \
  X(gaussian_chunk, gaussian_chunk)                     \
  X(pseudo_voigt_mixing_chunk, pseudo_voigt_mixing_chunk) \
  X(pseudo_voigt_objective_chunk, pseudo_voigt_objective_chunk) \
  X(tsdc_chunk, tsdc_chunk)                             \
  X(doniach_sunjic_chunk, doniach_sunjic_chunk)         \
  X(weighted_log_density_chunk, weighted_log_density_chunk) \
  X(voigt_changes, voigt_changes)                       \
  X(voigt_terms, voigt_terms)

#define BRIVANE_DECLARE_KERNEL(slot, kernel) std::remove_pointer_t<decltype(SimdKernels::slot)> kernel;
#define BRIVANE_FILL_SLOT(slot, kernel) .slot = kernel,
#define BRIVANE_KERNEL_TABLE(level)                                         \
  namespace level {                                                         \
  BRIVANE_SIMD_KERNELS(BRIVANE_DECLARE_KERNEL)                              \
  const SimdKernels kKernels = {BRIVANE_SIMD_KERNELS(BRIVANE_FILL_SLOT)};    \
  }

BRIVANE_KERNEL_TABLE(simd_baseline)
BRIVANE_KERNEL_TABLE(simd_avx2)
BRIVANE_KERNEL_TABLE(simd_avx512)

#undef BRIVANE_KERNEL_TABLE
#undef BRIVANE_FILL_SLOT
#undef BRIVANE_DECLARE_KERNEL
#undef BRIVANE_SIMD_KERNELS

namespace {

const SimdKernels& kernels_of(SimdLevel level) {
  switch (level) {
    case SimdLevel::kAvx512: return simd_avx512::kKernels;
    case SimdLevel::kAvx2: return simd_avx2::kKernels;
    default: return simd_baseline::kKernels;
  }
}

SimdLevel best_level() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw")) {
    return SimdLevel::kAvx512;
  }
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return SimdLevel::kAvx2;
  return SimdLevel::kBaseline;
}

// The level in use; chosen at first use (a static local is initialised once, thread-safely).
std::atomic<SimdLevel>& active_level() {
  static std::atomic<SimdLevel> level{best_level()};
  return level;
}

}  // namespace

bool simd_level_supported(SimdLevel level) {
  static const SimdLevel best = best_level();
  return static_cast<int>(level) <= static_cast<int>(best);
}

SimdLevel simd_level() { return active_level().load(std::memory_order_relaxed); }

const SimdKernels& simd_kernels() { return kernels_of(simd_level()); }

const char* simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::kAvx512: return "AVX-512";
    case SimdLevel::kAvx2: return "AVX2+FMA";
    default: return "baseline (SSE2)";
  }
}

SimdOverride::SimdOverride(SimdLevel level) : previous_(simd_level()) {
  active_level().store(simd_level_supported(level) ? level : previous_, std::memory_order_relaxed);
}

SimdOverride::~SimdOverride() { active_level().store(previous_, std::memory_order_relaxed); }

void log_in_place(std::span<double> values) { simd_kernels().log(values.data(), values.size()); }

}  // namespace brivane
