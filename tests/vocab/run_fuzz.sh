#!/usr/bin/env bash
# Builds the prompt tokenizer's libFuzzer target with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs it for a bounded time.
#
#   tests/vocab/run_fuzz.sh [seconds] [build-folder]
#
# Defaults: 60 seconds, <repo>/build-vocab-fuzz. Needs clang, clang's runtime libraries with
# libFuzzer (Debian: clang, libclang-rt-dev), cmake, ninja and GoogleTest (libgtest-dev);
# as root on Debian the missing clang packages are installed with apt-get.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${2:-$root/build-vocab-fuzz}"

have_libfuzzer() {
  command -v clang++ >/dev/null 2>&1 &&
    [ -f "$(clang++ -print-runtime-dir 2>/dev/null)/libclang_rt.fuzzer-x86_64.a" ]
}

if ! have_libfuzzer; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev
  fi
  have_libfuzzer || { echo "run_fuzz.sh: clang with libFuzzer is not available" >&2; exit 1; }
fi

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVANE_SANITIZE=address,undefined -DKORVANE_FUZZ=ON -DKORVANE_BENCH=OFF >/dev/null
ninja -C "$build" -j2 tokenizer_fuzz

# A few seeds: the default prompt, plain words, special texts, spaces, a stray byte. The
# first two bytes of every input choose the output capacity (256 here).
corpus="$(mktemp -d)"
trap 'rm -rf "$corpus"' EXIT
printf '\xff\x00%s' '請問台灣加值型營業稅法定稅率是多少？' >"$corpus/default"
printf '\xff\x00%s' 'hello world' >"$corpus/words"
printf '\xff\x00%s' 'a<end_of_turn>b<start_of_turn>' >"$corpus/special"
printf '\xff\x00%s' '   x            y' >"$corpus/spaces"
printf '\xff\x00\x80\xe2\x96' >"$corpus/stray"

"$build/tests/vocab/tokenizer_fuzz" -max_total_time="$seconds" -max_len=4200 -print_final_stats=1 \
  "$corpus"
