// The kernels of vector_math_simd.hpp compiled for baseline x86-64 (SSE2) (flags set in CMakeLists.txt).
#define BRIVANE_SIMD_NAMESPACE simd_baseline
#define BRIVANE_SIMD_TABLE kKernels
#include "vector_math_simd.hpp"
