#!/usr/bin/env bash
# Runs every test: the C++ unit tests (strict warnings) under ctest, plain and with sanitizers,
# then the Python tests with NumPy 2.x, again against a module built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and again, on the first built module, with NumPy 1.26.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc)

echo "== C++ unit tests"
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DBRIVANE_BUILD_PYTHON=OFF -DBRIVANE_BUILD_TESTS=ON -DBRIVANE_WERROR=ON >/dev/null
cmake --build build/cpp -j "$jobs"
ctest --test-dir build/cpp --output-on-failure -j "$jobs"

echo "== C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/cpp-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRIVANE_BUILD_PYTHON=OFF -DBRIVANE_BUILD_TESTS=ON -DBRIVANE_WERROR=ON -DBRIVANE_SANITIZE=ON >/dev/null
cmake --build build/cpp-sanitize -j "$jobs"
ctest --test-dir build/cpp-sanitize --output-on-failure -j "$jobs"

echo "== Python tests, NumPy $(.venv/bin/python -c 'import numpy; print(numpy.__version__)')"
.venv/bin/python -m pytest -q tests/python

echo "== Python tests against a module built with AddressSanitizer and UndefinedBehaviorSanitizer"
# The module alone is instrumented, in its own build directory; the wheel in .venv stays plain.
sanitized_module_dir="$PWD/build/python-sanitize"
cmake -S . -B "$sanitized_module_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DBRIVANE_BUILD_PYTHON=ON -DBRIVANE_SANITIZE=ON >/dev/null
cmake --build "$sanitized_module_dir" -j "$jobs" --target brivane_core
# The interpreter is not instrumented, so the runtimes of the compiler that built the module must
# be loaded before anything else.
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$sanitized_module_dir/CMakeCache.txt")
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
reports="$sanitized_module_dir/reports"
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
# end, is reported. The module is imported, and its path checked, in the process that runs pytest.
status=0
LD_PRELOAD="$(IFS=:; echo "${preload[*]}")" \
  ASAN_OPTIONS="$(IFS=:; echo "${asan_options[*]}")" \
  UBSAN_OPTIONS="$(IFS=:; echo "${ubsan_options[*]}")" \
  PYTHONMALLOC=malloc PYTHONPATH="$sanitized_module_dir" \
  .venv/bin/python -c '
import os, sys
import brivane_core
print("brivane_core imported from", brivane_core.__file__, flush=True)
if os.path.dirname(os.path.realpath(brivane_core.__file__)) != os.path.realpath(sys.argv[1]):
    sys.exit("the sanitized module was not the one imported")
import pytest
sys.exit(pytest.main(["-q", "--capture=sys", "tests/python"]))
' "$sanitized_module_dir" || status=$?
if [ -n "$(ls -A "$reports")" ]; then
  cat "$reports"/* >&2
  echo "AddressSanitizer reported the errors above." >&2
  [ "$status" -ne 0 ] || status=1
fi
[ "$status" -eq 0 ] || exit "$status"

if [ ! -x .venv-numpy1/bin/python ]; then
  "${PYTHON:-python3}" -m venv .venv-numpy1
fi
.venv-numpy1/bin/python -m pip install -q --upgrade pip
.venv-numpy1/bin/python -m pip install -q -r scripts/requirements-numpy1.txt
.venv-numpy1/bin/python -m pip install -q --force-reinstall --no-deps build/wheelhouse/brivane-*.whl
echo "== Python tests, NumPy $(.venv-numpy1/bin/python -c 'import numpy; print(numpy.__version__)')"
.venv-numpy1/bin/python -m pytest -q tests/python
