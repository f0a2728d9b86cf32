#!/usr/bin/env bash
# CI: cross-builds korvane.exe and its Windows test programs, then runs them under Wine.
# Installs the MinGW-w64 posix-threads compilers and Wine when they are missing (about a
# minute). Leaves out the whole-run comparisons (label wine_long), which take minutes each.
# usage: tests/windows/run_wine_tests.sh [extra ctest arguments]
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
cmake --preset windows
cmake --build --preset windows
# The Wine prefix lives in the build tree; the CTest fixtures start and stop its server.
ctest --test-dir "$build" --output-on-failure --label-exclude wine_long "$@"
