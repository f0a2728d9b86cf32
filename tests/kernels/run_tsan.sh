#!/usr/bin/env bash
# Builds the worker-pool test with ThreadSanitizer in its own build folder and runs it.
# usage: tests/kernels/run_tsan.sh [build folder, default build-tsan beside the sources]
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$src/build-tsan}
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_SANITIZE=thread \
  -DKORVANE_TSAN_POOL=ON -DKORVANE_BENCH=OFF
cmake --build "$build" --target pool_tsan_test -- -j"${JOBS:-2}"
# halt_on_error: the first report fails the run; second_deadlock_stack helps read a report.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  ctest --test-dir "$build" -R '^PoolUnderTsan\.' --output-on-failure
