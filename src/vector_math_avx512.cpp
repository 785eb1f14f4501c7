// The kernels of vector_math_simd.hpp compiled for AVX-512 F/DQ/VL/BW (flags set in CMakeLists.txt).
#define BRIVANE_SIMD_NAMESPACE simd_avx512
#define BRIVANE_SIMD_TABLE kKernels
#include "vector_math_simd.hpp"
