#!/usr/bin/env bash
# The layer order of the README's Layout table: every `#include "folder/..."` of a file in a
# folder must name that folder or one its row allows, and a row may allow only rows above it.
# usage: include_rules_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
declare -A allowed rank
n=0
while IFS='|' read -r _ folder may _; do
  folder=$(tr -d ' `/' <<<"$folder")
  may=$(tr -d ' ' <<<"$may")
  rank[$folder]=$n
  n=$((n + 1))
  if [ "$may" = "everyfolder" ]; then allowed[$folder]="*"; continue; fi
  list=" $folder "
  for dep in ${may//,/ }; do
    [ "$dep" = "—" ] && continue
    [ -n "${rank[$dep]+x}" ] || { echo "FAIL: $folder may include $dep, which is not a row above it"; exit 1; }
    list+="$dep "
  done
  allowed[$folder]=$list
done < <(sed -n '/^## Layout/,/^## /p' README.md | grep -E '^\| `[a-z_]+/` \|')
[ "$n" -ge 8 ] || { echo "FAIL: the README's Layout table has $n rows"; exit 1; }

bad=0
for folder in "${!allowed[@]}"; do
  [ "${allowed[$folder]}" = "*" ] && continue
  [ -d "$folder" ] || { echo "FAIL: the table names $folder/, which does not exist"; bad=1; continue; }
  while IFS=: read -r file line target; do
    if [[ "${allowed[$folder]}" != *" $target "* ]]; then
      echo "FAIL: $file:$line includes $target/, which $folder/ may not"
      bad=1
    fi
  done < <(grep -rnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z_]+/' "$folder" |
           sed -E 's#^([^:]+):([0-9]+):.*"([a-z_]+)/$#\1:\2:\3#')
done
for dir in */; do
  d=${dir%/}
  case $d in build*|data|cmake) continue ;; esac
  if [ -z "${rank[$d]+x}" ] && compgen -G "$d/*.[ch]*" >/dev/null; then
    echo "FAIL: folder $d/ holds sources but has no row in the Layout table"
    bad=1
  fi
done
[ $bad -eq 0 ] && echo "ok: $n folders, every include points down"
exit $bad
