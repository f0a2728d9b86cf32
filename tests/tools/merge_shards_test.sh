#!/usr/bin/env bash
# tools/merge-shards.sh with each way of reading the index: shards in any order merge into the
# records ordered by index, bytes kept (several records per index keep theirs); a cut or
# index-less record is refused with one line naming its file and record, status 1.
# usage: merge_shards_test.sh SOURCE_DIR
set -euo pipefail
merge="$1/tools/merge-shards.sh"
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
printf '%s\n' '{"index":1,"mode":"default","logit":1.00000000e+00,"t":"a\"index\":0"}' \
  '{"index":1,"mode":"audit","x":{"index":0}}' '' '{"index":3, "v":0.100000001}' >"$t/a.jsonl"
printf '%s\n' '{"index":10,"v":[1,2]}' '{"index":0,"v":-0.0}' '{"index":2,"v":null}' >"$t/b.jsonl"
{ sed -n 2p "$t/b.jsonl"; sed -n 1,2p "$t/a.jsonl"; sed -n 3p "$t/b.jsonl"; sed -n 4p "$t/a.jsonl"
  sed -n 1p "$t/b.jsonl"; } >"$t/want"
printf '%s\n' '{"index":4,"v":1}' '{"index":5,"v":' >"$t/cut.jsonl"
fail=0
for using in jq python3 awk; do
  command -v "$using" >/dev/null || { echo "skip: no $using"; continue; }
  if ! bash "$merge" --using "$using" "$t/b.jsonl" "$t/a.jsonl" >"$t/got" || ! cmp -s "$t/want" "$t/got"; then
    echo "FAIL ($using): merged records differ:"; diff "$t/want" "$t/got" || true; fail=1
  fi
  status=0
  bash "$merge" --using "$using" "$t/a.jsonl" "$t/cut.jsonl" >/dev/null 2>"$t/err" || status=$?
  if [ "$status" != 1 ] || [ "$(cat "$t/err")" != "merge-shards: $t/cut.jsonl: record 2 is not a complete JSON record with a numeric \"index\"" ]; then
    echo "FAIL ($using): cut record gave status $status: $(cat "$t/err")"; fail=1
  fi
done
[ "$fail" = 0 ] && echo "ok: merge-shards"
exit "$fail"
