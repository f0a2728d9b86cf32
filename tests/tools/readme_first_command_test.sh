#!/usr/bin/env bash
# The README's first set-up command, run as written in a fresh copy of the sources with the
# dependencies present: it builds the program and reaches the missing-weights lines.
# usage: readme_first_command_test.sh SOURCE_DIR SCRATCH_DIR
set -euo pipefail
src=$1 work=$2/readme-first
cmd=$(awk '/^```sh$/{getline; print; exit}' "$src/README.md")
[ -n "$cmd" ] || { echo "FAIL: no command block at the README's top"; exit 1; }
rm -rf "$work" && mkdir -p "$work"
# The tracked files only, as a fresh clone has them.
(cd "$src" && git ls-files -z | tar --null -T - -cf -) | tar -C "$work" -xf -
set +e
out=$(cd "$work" && bash -c "$cmd" 2>&1)
status=$?
set -e
tail=$(printf '%s\n' "$out" | tail -n 2)
expected_fatal="❌ [FATAL] Model weight file not found: gemma2b_fp16.bin (Error Code: 2)"
if [ $status -ne 1 ] || ! grep -qxF "$expected_fatal" <<<"$tail"; then
  printf '%s\n' "$out" | tail -n 20
  echo "FAIL: status $status, last lines above"
  exit 1
fi
echo "ok: $tail"
rm -rf "$work"
