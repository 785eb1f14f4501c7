#!/usr/bin/env bash
# ThreadSanitizer: the engine's batch tests and the worker-pool tests, and a threaded Python stress
# run of brivane.fit and fit_many against an engine built with -fsanitize=thread, in a build
# directory of their own (build/tsan), building only what they need. Reports whose two stacks both
# pass through oneTBB (the system library is not instrumented) are set aside; any other fails.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"
dir="${BRIVANE_TSAN_DIR:-$PWD/build/tsan}"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
  -DBRIVANE_BUILD_PYTHON=ON -DBRIVANE_BUILD_TESTS=ON -DBRIVANE_SANITIZE_THREAD=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target brivane_model_tests _engine

reports="$dir/reports"
rm -rf "$reports"
mkdir -p "$reports"
# The runtime of GCC 12 maps its shadow memory at fixed addresses, which this kernel's address
# randomisation can collide with: run without it.
norandom=(setarch "$(uname -m)" -R)
# Every report goes to a file and the filter below decides (exitcode=0: not the runtime).
export TSAN_OPTIONS="log_path=$reports/tsan halt_on_error=0 exitcode=0"
# The Ctrl-C test is left out: after a batch that an interrupt cancelled, oneTBB's library
# finishes its task tree (fold_tree) on nodes in the waiting thread's stack frame, and the wait's
# acquiring side lies in the uninstrumented library, so the thread's next use of that stack is
# reported with oneTBB in one stack only.
"${norandom[@]}" "$dir/brivane_model_tests" --gtest_filter='ModelBatch.*:-ModelBatch.CtrlC*' --gtest_brief=1
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$dir/CMakeCache.txt")
engine_module=$(ls "$dir"/_engine*.so)
LD_PRELOAD="$("$compiler" -print-file-name=libtsan.so)" "${norandom[@]}" \
  .venv/bin/python tests/tsan/stress.py "$engine_module"
.venv/bin/python tests/tsan/only_tbb.py "$reports"
