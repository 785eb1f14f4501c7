#include "vector_math.hpp"

#include <atomic>

namespace brivane {

namespace {

SimdLevel best_level() {
  __builtin_cpu_init();
  if (BRIVANE_SIMD_TOP_LEVEL >= 2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw")) {
    return SimdLevel::kAvx512;
  }
  if (BRIVANE_SIMD_TOP_LEVEL >= 1 && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return SimdLevel::kAvx2;
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
