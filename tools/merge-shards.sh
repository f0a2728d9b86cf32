#!/usr/bin/env bash
# Merges the JSON Lines files of a sharded run into one stream ordered by each record's
# "index", which is then the unsharded run's records; records of one index keep their order.
# Lines are copied byte for byte (nothing is re-encoded); blank lines are dropped. The index is
# read with jq when present, else python3, else awk (which takes the first "index": N of the
# line, so there the record's own index must come before any nested one).
# usage: tools/merge-shards.sh [--using jq|python3|awk] FILE... > merged.jsonl
set -euo pipefail
export LC_ALL=C
die() { echo "merge-shards: $*" >&2; exit 1; }

using=""
if [ "${1:-}" = "--using" ]; then
  using=${2:-}
  shift 2 || true
fi
[ $# -gt 0 ] || { echo "usage: tools/merge-shards.sh [--using jq|python3|awk] FILE... > merged.jsonl" >&2; exit 2; }
if [ -z "$using" ]; then
  for tool in jq python3 awk; do
    command -v "$tool" >/dev/null && { using=$tool; break; }
  done
fi
case "$using" in jq | python3 | awk) command -v "$using" >/dev/null || die "$using is not installed" ;;
  *) die "--using takes jq, python3 or awk" ;;
esac

# One line per input line: its index, or x when the line is not a complete record with one.
index_of_each_line() {
  case "$using" in
    jq) jq -R -r 'try (fromjson | .index | if type == "number" and . >= 0 and . == floor then tostring
                   else "x" end) catch "x"' ;;
    python3) python3 -c '
import json, sys
for line in sys.stdin.buffer:
    try:
        k = json.loads(line)["index"]
        ok = type(k) is int and k >= 0
    except Exception:
        ok = False
    print(k if ok else "x")' ;;
    awk) awk '{ if ($0 ~ /}[[:space:]]*$/ && match($0, /"index"[[:space:]]*:[[:space:]]*[0-9]+/)) {
                  s = substr($0, RSTART, RLENGTH); sub(/.*:[[:space:]]*/, "", s); print s
                } else print "x" }' ;;
  esac
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for f in "$@"; do
  [ -f "$f" ] && [ -r "$f" ] || die "$f: not a readable file"
  grep -v '^[[:space:]]*$' -- "$f" >"$tmp/lines" || true
  index_of_each_line <"$tmp/lines" >"$tmp/keys"
  bad=$(grep -n -m1 -x 'x' "$tmp/keys" | cut -d: -f1 || true)
  [ -z "$bad" ] || die "$f: record $bad is not a complete JSON record with a numeric \"index\""
  [ "$(wc -l <"$tmp/keys")" = "$(wc -l <"$tmp/lines")" ] || die "$f: $using did not read every line"
  paste -d '\t' "$tmp/keys" "$tmp/lines" >>"$tmp/all"
done
[ -f "$tmp/all" ] || exit 0
sort -s -t "$(printf '\t')" -k1,1n "$tmp/all" | cut -f2-
