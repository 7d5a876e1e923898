#!/usr/bin/env bash
# The lines of install.log that decide the reference installer's and
# uninstaller's exit codes agree in three places, both ways:
#  - the list the scripts match (examples/nsis/mirvo_lines.nsh),
#  - the guide's table "Lines that decide the exit code" (docs/integration.md),
#  - the program's own message texts (every L"..." literal under src/): each
#    listed text is one of them, exactly, placeholders and all.
#   check_lines.sh SOURCE_ROOT
set -u
root="$1"
lines_nsh="$root/examples/nsis/mirvo_lines.nsh"
guide="$root/docs/integration.md"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run|effect|number|text, one a line, sorted: what the scripts match.
scripts=$(awk '
    /^!macro MIRVO_SETUP_LINES/ { run = "install"; next }
    /^!macro MIRVO_REMOVAL_LINES/ { run = "uninstall"; next }
    /^!macroend/ { run = ""; next }
    run != "" && /\$\{OnLine\}/ {
      effect = $2
      text = $0; sub(/^[^`]*`/, "", text); sub(/`.*$/, "", text)
      number = $0; sub(/^.*`[ \t]*/, "", number); gsub(/[" \t]/, "", number)
      if (number == "") number = "any"
      print run "|" effect "|" number "|" text
    }' "$lines_nsh" | sort)
[ -n "$scripts" ] || fail "no \${OnLine} entries in $lines_nsh"

# The same from the guide's table: | Run | Line in install.log | %lu | Gives |
guide_rows=$(awk '
    $0 == "| Run | Line in install.log | %lu | Gives |" { inside = 1; next }
    inside && /^\|[-| ]+\|$/ { next }
    inside && /^\|/ {
      split($0, f, "|")
      for (i = 2; i <= 5; i++) { gsub(/^[ `]+|[ `]+$/, "", f[i]) }
      print f[2] "|" f[5] "|" f[4] "|" f[3]
      next
    }
    inside { exit }' "$guide" | sort)
[ -n "$guide_rows" ] || fail "no table \"| Run | Line in install.log | %lu | Gives |\" in $guide"

while IFS= read -r row; do
  [ -n "$row" ] && fail "the scripts match [$row], which the guide's table lacks"
done < <(comm -23 <(echo "$scripts") <(echo "$guide_rows"))
while IFS= read -r row; do
  [ -n "$row" ] && fail "the guide's table lists [$row], which the scripts do not match"
done < <(comm -13 <(echo "$scripts") <(echo "$guide_rows"))

# Every string literal of the program, unescaped (\" and \\).
literals=$(grep -rhoE 'L"([^"\\]|\\.)*"' "$root/src" --include='*.cpp' --include='*.h' |
           sed -e 's/^L"//' -e 's/"$//' -e 's/\\"/"/g' -e 's/\\\\/\\/g' | sort -u)
while IFS='|' read -r run effect number text; do
  [ -n "$text" ] || continue
  grep -qxF -- "$text" <<<"$literals" ||
    fail "the $run list's line \"$text\" is not a message text of the program (src/)"
done <<<"$scripts"

if [ "$failures" -ne 0 ]; then echo "$failures difference(s)"; exit 1; fi
echo "the scripts, the guide and the program agree on $(wc -l <<<"$scripts") deciding lines"
