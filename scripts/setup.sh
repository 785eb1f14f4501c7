#!/usr/bin/env bash
# Installs what building and testing brivane_core needs on a Debian machine, then builds and
# installs the module into the project's virtual environment (.venv). Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

system_packages=(g++ make pkg-config python3 python3-dev python3-venv libcerf-dev libtbb-dev libgtest-dev)
missing=()
for package in "${system_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "Installing system packages: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
# --no-compile: the packages' modules are byte-compiled when first imported, not all of them now
# (most of what installing them costs in processor time).
.venv/bin/python -m pip install -q --no-compile -r scripts/requirements.txt

# One abi3 wheel serves every environment; build it once and install it here. The build tools
# are in .venv already, so the build uses them rather than a fresh isolated environment, and its
# directory (build/<wheel tag>) keeps the objects for the next run.
wheel_settings=()
if [ "${1:-}" = "--with-cpp-tests" ]; then
  # The test command's build: the wheel's build directory is build/cpp and also builds the C++
  # unit tests and benchmarks, with warnings as errors, so that one compile of the core serves
  # the module and the tests.
  wheel_settings=(-C build-dir=build/cpp -C cmake.define.BRIVANE_BUILD_TESTS=ON
                  -C cmake.define.BRIVANE_WERROR=ON)
fi
rm -rf build/wheelhouse
.venv/bin/python -m pip wheel -q --no-deps --no-build-isolation "${wheel_settings[@]}" -w build/wheelhouse .
.venv/bin/python -m pip install -q --force-reinstall --no-deps build/wheelhouse/brivane-*.whl
