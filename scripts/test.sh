#!/usr/bin/env bash
# Runs every test: the C++ unit tests (strict warnings) under ctest, plain and with sanitizers,
# then the Python tests with NumPy 2.x and again, on the same built module, with NumPy 1.26.
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

if [ ! -x .venv-numpy1/bin/python ]; then
  "${PYTHON:-python3}" -m venv .venv-numpy1
fi
.venv-numpy1/bin/python -m pip install -q --upgrade pip
.venv-numpy1/bin/python -m pip install -q -r scripts/requirements-numpy1.txt
.venv-numpy1/bin/python -m pip install -q --force-reinstall --no-deps build/wheelhouse/brivane_core-*.whl
echo "== Python tests, NumPy $(.venv-numpy1/bin/python -c 'import numpy; print(numpy.__version__)')"
.venv-numpy1/bin/python -m pytest -q tests/python
