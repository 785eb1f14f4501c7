#!/usr/bin/env bash
# Runs every test: the C++ unit tests (strict warnings) under ctest and the Python tests with
# NumPy 2.x, both on one Release build of the core; the C++ unit tests and the Python tests again on
# one build instrumented with AddressSanitizer and UndefinedBehaviorSanitizer; the worker-pool and
# thread tests of the core and of the engine and a threaded stress run of brivane.fit and fit_many
# on one build instrumented with ThreadSanitizer (scripts/tsan.sh); and the Python tests once more,
# on the first built module, with NumPy 1.26. Each phase's wall time is printed after it.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each phase prints its wall time and the processor time of the commands it ran (user + system,
# in seconds), which another load on the machine stretches less than the wall time.
mkdir -p build
times_file=build/times
processor_seconds() {  # into $processor: `times` must run in this shell, not in a subshell
  times >"$times_file"
  processor=$(awk 'NR == 2 { for (i = 1; i <= 2; ++i) { split($i, t, /[ms]/); total += 60 * t[1] + t[2] }
                             printf "%.0f", total }' "$times_file")
}
processor_seconds
phase_start=$SECONDS
phase_processor=$processor
phase_done() {
  processor_seconds
  echo "-- $1: $((SECONDS - phase_start)) s wall, $((processor - phase_processor)) s processor"
  phase_start=$SECONDS
  phase_processor=$processor
}

# The wheel's build directory, build/cpp, also builds the C++ unit tests and benchmarks.
bash scripts/setup.sh --with-cpp-tests
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc)
phase_done "set-up and Release build (module, C++ tests, benchmarks)"

# The NumPy 1.26 environment is mostly downloads: it is made while the tests run and the
# sanitized build compiles (after the set-up, which installs python3-venv where it is missing).
numpy1_log=build/numpy1-environment.log
(
  if [ ! -x .venv-numpy1/bin/python ]; then
    "${PYTHON:-python3}" -m venv .venv-numpy1
  fi
  .venv-numpy1/bin/python -m pip install -q --upgrade pip
  .venv-numpy1/bin/python -m pip install -q --no-compile -r scripts/requirements-numpy1.txt
) >"$numpy1_log" 2>&1 &
numpy1_environment=$!

echo "== C++ unit tests"
ctest --test-dir build/cpp --output-on-failure -j "$jobs"
phase_done "C++ unit tests"

echo "== Python tests, NumPy $(.venv/bin/python -c 'import numpy; print(numpy.__version__)')"
.venv/bin/python -m pytest -q -n "$jobs" --dist worksteal tests/python
phase_done "Python tests, NumPy 2"

echo "== Build with AddressSanitizer and UndefinedBehaviorSanitizer"
# One instrumented build serves the C++ unit tests and the modules. Line tables (-g1) are all a
# sanitizer's report needs; full debug information would track variables through the inlined
# vector kernels for minutes. The library stays at -O2: at -O1 its instrumented vector kernels
# compile in about half the time, but the instrumented tests then run slower by about as much as
# that saves (measured on the whole command); the test files themselves are at -O1 (CMakeLists.txt).
# Its vector kernels stop at the instruction set this processor runs (scripts/simd_top.sh).
sanitized_dir="$PWD/build/sanitize"
cmake -S . -B "$sanitized_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
  -DBRIVANE_SIMD_TOP="$(bash scripts/simd_top.sh)" \
  -DBRIVANE_BUILD_PYTHON=ON -DBRIVANE_BUILD_TESTS=ON -DBRIVANE_WERROR=ON -DBRIVANE_SANITIZE=ON >/dev/null
cmake --build "$sanitized_dir" -j "$jobs" --target brivane_unit_tests brivane_model_tests brivane_core _engine
# The Python tests import both instrumented modules: brivane_core, and the package brivane (its
# sources as they are in the tree) with its engine from this build.
overlay="$sanitized_dir/python"
rm -rf "$overlay"
mkdir -p "$overlay"
cp -r python/brivane "$overlay/"
cp "$sanitized_dir"/_engine*.so "$overlay/brivane/"
cp "$sanitized_dir"/brivane_core*.so "$overlay/"
phase_done "sanitized build (C++ tests and modules)"

echo "== C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ctest --test-dir "$sanitized_dir" --output-on-failure -j "$jobs"
phase_done "C++ unit tests, sanitized"

echo "== Python tests against the modules built with AddressSanitizer and UndefinedBehaviorSanitizer"
# The modules alone are instrumented; the wheel in .venv stays plain.
# The interpreter is not instrumented, so the runtimes of the compiler that built the module must
# be loaded before anything else.
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$sanitized_dir/CMakeCache.txt")
preload=()
for runtime in libasan.so libubsan.so; do
  path=$("$compiler" -print-file-name="$runtime")
  if [ ! -e "$path" ]; then
    echo "The sanitizer runtime $runtime of $compiler is missing." >&2
    exit 1
  fi
  preload+=("$path")
done
# AddressSanitizer writes its reports to files, one per process, so that a report from an
# interpreter that a test starts, and whose output the test reads, is not lost; any file there
# fails the run. (UndefinedBehaviorSanitizer, a separate runtime, ignores log_path here: its
# reports go to standard error, which pytest is told to leave alone, so that they are seen even
# though the sanitizer ends the process in the middle of a test.)
reports="$sanitized_dir/reports"
rm -rf "$reports"
mkdir -p "$reports"
asan_options=(
  detect_leaks=0                   # the interpreter does not free everything at exit, by design
  detect_stack_use_after_return=1  # a pointer kept into a returned frame's locals is caught too
  log_path="'$reports/asan'"
)
ubsan_options=(
  halt_on_error=1                  # the first report ends the process with a non-zero status
  print_stacktrace=1               # and says where the undefined behaviour happened
)
# PYTHONMALLOC=malloc: Python objects come from malloc, which AddressSanitizer watches, and not
# from the interpreter's own pools, so an object read after its last reference went, or past its
# end, is reported. The modules are imported, and their paths checked, in the process that runs
# pytest.
status=0
LD_PRELOAD="$(IFS=:; echo "${preload[*]}")" \
  ASAN_OPTIONS="$(IFS=:; echo "${asan_options[*]}")" \
  UBSAN_OPTIONS="$(IFS=:; echo "${ubsan_options[*]}")" \
  PYTHONMALLOC=malloc PYTHONPATH="$overlay" \
  .venv/bin/python -c '
import os, sys
import brivane_core
import brivane._engine
for module, folder in ((brivane_core, sys.argv[1]), (brivane._engine, os.path.join(sys.argv[1], "brivane"))):
    print(module.__name__, "imported from", module.__file__, flush=True)
    if os.path.dirname(os.path.realpath(module.__file__)) != os.path.realpath(folder):
        sys.exit(f"the sanitized {module.__name__} was not the one imported")
import pytest
sys.exit(pytest.main(["-q", "-n", sys.argv[2], "--dist", "worksteal", "--capture=sys", "tests/python"]))
' "$overlay" "$jobs" || status=$?
if [ -n "$(ls -A "$reports")" ]; then
  cat "$reports"/* >&2
  echo "AddressSanitizer reported the errors above." >&2
  [ "$status" -ne 0 ] || status=1
fi
[ "$status" -eq 0 ] || exit "$status"
phase_done "Python tests, sanitized"

echo "== Build with ThreadSanitizer (the thread tests and the engine only)"
bash scripts/tsan.sh build
phase_done "ThreadSanitizer build"

echo "== Thread tests and concurrent fits under ThreadSanitizer"
bash scripts/tsan.sh run
phase_done "ThreadSanitizer run"

if ! wait "$numpy1_environment"; then
  cat "$numpy1_log" >&2
  echo "Setting up the NumPy 1.26 environment failed." >&2
  exit 1
fi
.venv-numpy1/bin/python -m pip install -q --force-reinstall --no-deps build/wheelhouse/brivane-*.whl
echo "== Python tests, NumPy $(.venv-numpy1/bin/python -c 'import numpy; print(numpy.__version__)')"
# This run is about the other NumPy: the property tests draw a fifth of their examples, as under
# the sanitizer; the first run drew them all.
BRIVANE_PROPERTY_EXAMPLES=2000 BRIVANE_LAYER_PROPERTY_EXAMPLES=500 \
  .venv-numpy1/bin/python -m pytest -q -n "$jobs" --dist worksteal tests/python
phase_done "Python tests, NumPy 1.26"
