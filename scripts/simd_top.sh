#!/usr/bin/env bash
# Prints the highest instruction set of the vector kernels that this processor runs (baseline,
# avx2 or avx512), by the same features the dispatch asks for (src/vector_math.cpp). The builds
# that only run tests here pass it as BRIVANE_SIMD_TOP: a variant the processor cannot run would be
# compiled, and instrumented, for nothing. Where the features cannot be read, all three.
set -euo pipefail
flags=" $(grep -m1 '^flags' /proc/cpuinfo 2>/dev/null | cut -d: -f2) "
if [ "$flags" = "  " ]; then
  echo avx512
elif [[ $flags == *" avx512f "* && $flags == *" avx512dq "* && $flags == *" avx512vl "* && $flags == *" avx512bw "* ]]; then
  echo avx512
elif [[ $flags == *" avx2 "* && $flags == *" fma "* ]]; then
  echo avx2
else
  echo baseline
fi
