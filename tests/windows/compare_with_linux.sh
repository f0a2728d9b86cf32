#!/usr/bin/env bash
# Runs the Linux program and the Windows program (under Wine) on the same weights with the
# same arguments and compares their standard output byte for byte, after mapping the
# Windows program's "\r\n" line ends to "\n" (it must write no other line end).
# usage: compare_with_linux.sh LINUX_KORVANE WINE_LOADER KORVANE_EXE WEIGHTS OUT_DIR [ARGS...]
# The two outputs stay in OUT_DIR (linux.out, windows.out) for a look afterwards.
set -euo pipefail
linux_bin=$1 loader=$2 exe=$3 weights=$4 out=$5
shift 5
[ -f "$weights" ] || { echo "weights file missing: $weights" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out/linux-run" "$out/windows-run"
ln -s "$weights" "$out/linux-run/gemma2b_fp16.bin"
ln -s "$weights" "$out/windows-run/gemma2b_fp16.bin"

(cd "$out/linux-run" && "$linux_bin" "$@" > ../linux.out)
echo "linux status $?"
(cd "$out/windows-run" && WINEDEBUG=-all "$loader" "$exe" "$@" > ../windows.raw)
echo "windows status $?"

# Every line feed of the Windows output follows a carriage return.
bare=$(LC_ALL=C grep -c -v $'\r$' "$out/windows.raw" || true)
if [ "$bare" != "0" ]; then
  echo "the Windows output has $bare lines without a carriage return" >&2
  exit 1
fi
LC_ALL=C sed $'s/\r$//' "$out/windows.raw" > "$out/windows.out"
lines=$(wc -l < "$out/linux.out")
if ! cmp "$out/linux.out" "$out/windows.out"; then
  diff "$out/linux.out" "$out/windows.out" | head -40 >&2
  exit 1
fi
echo "identical: $lines lines, $(wc -c < "$out/linux.out") bytes"
