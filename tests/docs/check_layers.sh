#!/usr/bin/env bash
# Keeps the layers of docs/architecture.md true to the code: every
# #include "folder/file" under SOURCE_ROOT names its own folder, a folder of a
# lower level, or a neighbour of the same level that the page lists; every
# folder has a level; every listed neighbour pair is one the code uses.
#   check_layers.sh ARCHITECTURE_PAGE SOURCE_ROOT
set -u
page="$1"
src="$2"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

declare -A level
while IFS='|' read -r _ number folder _; do
  number=$(tr -d ' ' <<< "$number")
  folder=$(sed 's/[ `]//g; s|^src/||; s|/$||' <<< "$folder")
  level[$folder]=$number
done < <(grep -E '^\| [0-9]+ \| `src/[a-z_]+/` \|' "$page")

declare -A neighbour used
while IFS='|' read -r _ from to _; do
  from=$(sed 's/[ `]//g; s|^src/||; s|/$||' <<< "$from")
  to=$(sed 's/[ `]//g; s|^src/||; s|/$||' <<< "$to")
  neighbour["$from>$to"]=1
done < <(grep -E '^\| `src/[a-z_]+/` \| `src/[a-z_]+/` \|' "$page")

[ "${#level[@]}" -gt 0 ] || fail "no layer table in $page"

for dir in "$src"/*/; do
  name=$(basename "$dir")
  [ -n "${level[$name]:-}" ] || fail "src/$name/ has no level in the architecture page"
done
for file in "$src"/*; do
  [ -f "$file" ] && fail "src/$(basename "$file") lies outside every layer"
done

while IFS= read -r line; do
  file=${line%%:*}
  included=$(sed -n 's/.*#include "\([^"]*\)".*/\1/p' <<< "${line#*:}")
  own=${file#"$src"/}
  own=${own%%/*}
  case "$included" in
    */*) to=${included%%/*} ;;
    *) fail "${file#"$src"/} includes \"$included\", which names no folder"; continue ;;
  esac
  [ "$to" = "$own" ] && continue
  if [ -z "${level[$to]:-}" ]; then
    fail "${file#"$src"/} includes \"$included\" from a folder without a level"
  elif [ "${level[$to]}" -gt "${level[$own]:-0}" ]; then
    fail "${file#"$src"/} (level ${level[$own]:-?}) includes \"$included\" from level ${level[$to]} above it"
  elif [ "${level[$to]}" -eq "${level[$own]}" ]; then
    if [ -n "${neighbour["$own>$to"]:-}" ]; then
      used["$own>$to"]=1
    else
      fail "${file#"$src"/} includes \"$included\" from its neighbour src/$to/, a pair the page does not list"
    fi
  fi
done < <(grep -rn --include='*.h' --include='*.cpp' '^[[:space:]]*#include "' "$src" | sed 's/:[0-9]*:/:/')

for pair in "${!neighbour[@]}"; do
  [ -n "${used[$pair]:-}" ] || fail "the page lists ${pair/>/ -> } but no file there includes the other"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "layers point down: ${#level[@]} folders, ${#neighbour[@]} neighbour pairs"
