#!/usr/bin/env bash
# ThreadSanitizer: the core's worker-pool tests and its fits compared across thread counts, the
# engine's batch tests, and a threaded Python stress run of brivane.fit and fit_many against an
# engine built with -fsanitize=thread, in a build directory of their own (build/tsan), building only
# what they need. The reports that the uninstrumented system oneTBB makes inevitable (races between
# accesses of its own code, its fold of a finished loop on the waiting thread's stack) are set aside
# (tests/tsan/only_tbb.py says which); any other report fails the run. The test command
# (scripts/test.sh) runs this in two steps, `build` and then `run`, to time them apart; without an
# argument both are done.
# It needs the environment that scripts/setup.sh makes.
set -euo pipefail
step="${1:-all}"
case "$step" in
  build | run | all) ;;
  *) echo "usage: $0 [build|run]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"
dir="${BRIVANE_TSAN_DIR:-$PWD/build/tsan}"
# -O1 and line tables (-g1) only, and the vector kernels only up to the instruction set this
# processor runs (scripts/simd_top.sh): a report needs no more, and most of this script's time is the
# compile.
if [ "$step" != run ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
    -DBRIVANE_SIMD_TOP="$(bash scripts/simd_top.sh)" \
    -DBRIVANE_BUILD_PYTHON=ON -DBRIVANE_BUILD_TESTS=ON -DBRIVANE_SANITIZE_THREAD=ON >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target brivane_thread_tests brivane_model_tests _engine
fi
[ "$step" != build ] || exit 0

# The report filter itself first: it must let no race of ours through.
.venv/bin/python -m pytest -q -p no:cacheprovider tests/tsan/test_only_tbb.py

reports="$dir/reports"
rm -rf "$reports"
mkdir -p "$reports"
# The runtime of GCC 12 maps its shadow memory at fixed addresses, which this kernel's address
# randomisation can collide with: run without it.
norandom=(setarch "$(uname -m)" -R)
# Every report goes to a file and tests/tsan/only_tbb.py decides (exitcode=0: not the runtime).
# Calls into the C library made from inside oneTBB (its own memory and thread handling) are not
# checked: the library's synchronisation around them is out of sight.
printf 'called_from_lib:libtbb.so\n' >"$dir/suppressions"
export TSAN_OPTIONS="log_path=$reports/tsan halt_on_error=0 exitcode=0 history_size=7 suppressions=$dir/suppressions"

thread_tests=(
  'WorkerPool.*'
  'EmEngine.ResultsDoNotDependOnTheThreadCount'
  'EmEngine.NestedAndConcurrentFitsAgreeWithASequentialOne'
  'EmEngine.ResultsAreIdenticalOnOneTwoAndEightThreads'
  'PseudoVoigtThreads.*'
  'PseudoVoigtMixture.FitsAreBitIdenticalForOneThreadAndTwoAndWhenNested'
  'TsdcFits.ResultsDoNotDependOnTheNumberOfThreads'
  'Faddeeva.ConcurrentCallsGiveTheValuesOfSequentialOnes'
  '*ThreeParameterShape*.MixtureThreadCountChangesNothingAndFixedPeaksKeepTheirBits'
)
# A renamed test would leave its pattern matching nothing, and the run silently thinner.
for pattern in "${thread_tests[@]}"; do
  if ! "${norandom[@]}" "$dir/brivane_thread_tests" --gtest_list_tests --gtest_filter="$pattern" | grep -q '^  '; then
    echo "tsan.sh: no thread test matches $pattern" >&2
    exit 1
  fi
done
"${norandom[@]}" "$dir/brivane_thread_tests" --gtest_filter="$(IFS=:; echo "${thread_tests[*]}")" --gtest_brief=1
"${norandom[@]}" "$dir/brivane_model_tests" --gtest_filter='ModelBatch.*' --gtest_brief=1
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$dir/CMakeCache.txt")
engine_module=$(ls "$dir"/_engine*.so)
LD_PRELOAD="$("$compiler" -print-file-name=libtsan.so)" "${norandom[@]}" \
  .venv/bin/python tests/tsan/stress.py "$engine_module"
.venv/bin/python tests/tsan/only_tbb.py "$reports"
