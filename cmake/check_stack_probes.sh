#!/usr/bin/env bash
# Refuses a Windows machine-code image that moves the stack pointer down by more than one
# page in a single step: Windows commits a thread's stack one guard page at a time, so a
# larger frame must touch each page on the way down (compile with -fstack-clash-protection).
# A subtraction of a register from rsp (a frame of run-time size) is refused as well.
# usage: check_stack_probes.sh OBJDUMP IMAGE.bin
set -euo pipefail
objdump=$1 image=$2
bad=""
while IFS= read -r line; do
  if [[ $line =~ [[:space:]]sub[[:space:]]+\$0x([0-9a-f]+),%rsp ]]; then
    if (( 16#${BASH_REMATCH[1]} > 4096 )); then bad+="$line"$'\n'; fi
  elif [[ $line =~ [[:space:]]sub[[:space:]]+%r[a-z0-9]+,%rsp ]]; then
    bad+="$line"$'\n'
  elif [[ $line =~ [[:space:]]add[[:space:]]+\$0x([0-9a-f]{16}),%rsp ]]; then
    # a negative immediate (bash arithmetic is signed 64-bit): -128 is written this way
    if (( -(16#${BASH_REMATCH[1]}) > 4096 )); then bad+="$line"$'\n'; fi
  fi
done < <("$objdump" -D -b binary -m i386:x86-64 "$image")
if [ -n "$bad" ]; then
  echo "stack check failed for $(basename "$image"): frames over a page without probes:" >&2
  printf '%s' "$bad" >&2
  exit 1
fi
