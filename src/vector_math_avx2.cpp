// The kernels of vector_math_simd.hpp compiled for AVX2 with FMA (flags set in CMakeLists.txt).
#define BRIVANE_SIMD_NAMESPACE simd_avx2
#define BRIVANE_SIMD_TABLE kKernels
#include "vector_math_simd.hpp"
