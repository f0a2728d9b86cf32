#!/usr/bin/env bash
# CI: cross-builds korvane.exe and its Windows test programs, then runs them under Wine.
# Installs the MinGW-w64 posix-threads compilers and Wine when they are missing (about a
# minute). With KORVANE_LINUX_BUILD_DIR set to a Linux build folder that holds its synthetic
# weights (build/synthetic), whole runs of both programs are compared too (label wine_runs).
# usage: [KORVANE_LINUX_BUILD_DIR=build] tests/windows/run_wine_tests.sh [extra ctest arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-windows"

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
[ -x /usr/lib/wine/wine64 ] || need+=(wine wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v ninja >/dev/null || need+=(ninja-build)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

cd "$root"
linux_dir=""
if [ -n "${KORVANE_LINUX_BUILD_DIR:-}" ]; then
  linux_dir=$(cd "$KORVANE_LINUX_BUILD_DIR" && pwd)
  [ -x "$linux_dir/driver/korvane" ] && [ -f "$linux_dir/synthetic/gemma2b_fp16.bin" ] || {
    echo "KORVANE_LINUX_BUILD_DIR=$KORVANE_LINUX_BUILD_DIR has no driver/korvane or synthetic weights" >&2
    exit 1
  }
fi
cmake --preset windows -DKORVANE_LINUX_BUILD_DIR="$linux_dir"
cmake --build --preset windows
# The Wine prefix lives in the build tree; the CTest fixtures start and stop its server.
ctest --test-dir "$build" --output-on-failure "$@"
