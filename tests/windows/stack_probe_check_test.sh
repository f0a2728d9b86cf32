#!/usr/bin/env bash
# The image check against unprobed stack frames (cmake/check_stack_probes.sh): frames of a
# page or less and probed frames pass, larger single steps and run-time sizes are refused.
# usage: stack_probe_check_test.sh CHECK AS OBJCOPY OBJDUMP [IMAGE.bin...]
# The images named at the end (the build's own) must pass.
set -uo pipefail
check=$1 as=$2 objcopy=$3 objdump=$4
shift 4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

# Needs: expected outcome (pass|fail) and assembler text. Builds a flat binary and checks it.
expect() {
  local want=$1 code=$2
  printf '%s\n' ".text" "$code" "ret" > "$tmp/t.s"
  "$as" --64 -o "$tmp/t.o" "$tmp/t.s" && "$objcopy" -O binary -j .text "$tmp/t.o" "$tmp/t.bin" || {
    echo "cannot assemble: $code"; failures=$((failures + 1)); return; }
  if "$check" "$objdump" "$tmp/t.bin" 2>/dev/null; then got=pass; else got=fail; fi
  if [ "$got" != "$want" ]; then
    echo "expected $want, got $got: $code"
    failures=$((failures + 1))
  fi
}

expect pass 'sub $0x1000,%rsp'
expect pass 'sub $0x88,%rsp'
expect pass 'add $-128,%rsp'
expect pass 'lea -0x2000(%rsp),%r11; 1: sub $0x1000,%rsp; orq $0,(%rsp); cmp %r11,%rsp; jne 1b'
expect pass 'sub $0x5000,%rax'
expect fail 'sub $0x1008,%rsp'
expect fail 'sub $0x20000,%rsp'
expect fail 'push %rbx; sub $0x3000,%rsp; pop %rbx'
expect fail 'sub %rax,%rsp'
expect fail 'add $-0x2000,%rsp'

for image in "$@"; do
  "$check" "$objdump" "$image" || { echo "the build's image fails: $image"; failures=$((failures + 1)); }
done

[ "$failures" -eq 0 ] && echo "all checks as expected"
exit $(( failures > 0 ))
