#!/usr/bin/env bash
# The install rules put runnable programs into PREFIX/bin.
# usage: install_test.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build=$1 prefix=$2/prefix
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for prog in korvane korvane-convert korvane-lab; do
  out=$("$prefix/bin/$prog" --version) || { echo "FAIL: $prog --version exited $?"; exit 1; }
  [[ $out == "$prog "* ]] || { echo "FAIL: $prog --version printed '$out'"; exit 1; }
  echo "ok: $out"
done
rm -rf "$prefix"
