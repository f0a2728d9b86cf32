#!/usr/bin/env bash
# Links object files into a flat machine-code image and proves it position independent.
# usage: build_image.sh LD OBJCOPY NM READELF SCRIPT OUT.bin OBJ...
set -euo pipefail
ld=$1 objcopy=$2 nm=$3 readelf=$4 script=$5 out=$6
shift 6
tmp=$(mktemp -d "${out}.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
flags=(-static --no-relax --no-warn-rwx-segments --gc-sections --orphan-handling=error --build-id=none -z noexecstack -T "$script")
fail() { echo "image check failed for $(basename "$out"): $*" >&2; exit 1; }

"$ld" "${flags[@]}" -o "$tmp/a.elf" "$@"
"$ld" "${flags[@]}" --defsym=IMAGE_BASE=0x7f3000 -o "$tmp/b.elf" "$@"
"$ld" "${flags[@]}" --emit-relocs -o "$tmp/r.elf" "$@"

undefined=$("$nm" -u "$tmp/a.elf")
[ -z "$undefined" ] || fail "undefined symbols: $undefined"

# Only the image section may carry bytes into the program.
extra=$("$readelf" -SW "$tmp/a.elf" | awk '/^ *\[ *[0-9]+\]/ {
          sub(/^ *\[ *[0-9]+\] +/, "")
          if ($1 != "NULL" && $1 != ".image" && $1 != ".symtab" && $1 != ".strtab" && $1 != ".shstrtab" && $5 !~ /^0+$/) print $1
        }')
[ -z "$extra" ] || fail "unexpected sections: $extra"
grep -q . < <("$readelf" -SW "$tmp/a.elf" | grep -F ' .image ') || fail "no .image section"

# Every reference inside the image must be relative to the instruction pointer.
bad=$("$readelf" -rW "$tmp/r.elf" | awk '/^[0-9a-f]+ +[0-9a-f]+ +R_X86_64/ {print $3}' |
      grep -v -x -E 'R_X86_64_(PC32|PLT32|PC64)' | sort -u || true)
[ -z "$bad" ] || fail "absolute or GOT relocations: $bad"

"$objcopy" -O binary -j .image "$tmp/a.elf" "$tmp/a.bin"
"$objcopy" -O binary -j .image "$tmp/b.elf" "$tmp/b.bin"
[ -s "$tmp/a.bin" ] || fail "empty image"
cmp -s "$tmp/a.bin" "$tmp/b.bin" || fail "bytes depend on the load address"

mv "$tmp/a.bin" "$out"
