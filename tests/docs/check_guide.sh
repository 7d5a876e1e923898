#!/usr/bin/env bash
# Keeps docs/integration.md true to the program, both ways:
#  - the verbs, their elevation, the options, their kind and the exit statuses
#    that the guide's tables document are the ones of the verb table
#    (src/cli/front_end.cpp), the option table (src/cli/options.cpp) and the
#    exit_status enum (src/cli/front_end.h), no more and no fewer;
#  - the program itself, run under Wine, knows every documented verb and
#    option, rejects an undocumented verb and bad options with 2, and refuses
#    every verb the guide calls elevated with 3 on a token that is not elevated.
#   check_guide.sh GUIDE SOURCE_ROOT PROGRAM LAUNCHER
set -u
guide="$1"
src="$2"
program="$3"
launcher="$4"
here="$(cd "$(dirname "$0")" && pwd)"
wine_run="$here/../../testbed/wine-run.sh"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Rows of the Markdown table whose header line is exactly $1, up to the first
# line that is not a table row; the separator row is skipped.
table_rows() {
  awk -v header="$1" '
    $0 == header { inside = 1; next }
    inside && /^\|/ { if ($0 !~ /^\|[-| ]+\|$/) print; next }
    inside { exit }
  ' "$guide"
}

# Field N of a table row, without surrounding blanks and backticks.
field() { awk -F'|' -v n="$2" '{ v = $(n + 1); gsub(/^[ `]+|[ `]+$/, "", v); print v }' <<< "$1"; }

# A comma-separated list of numbers as sorted words.
numbers() { tr ',' '\n' <<< "$1" | tr -d ' ' | grep -v '^$' | sort -n | tr '\n' ' '; }

same_sets() {  # what, documented list, program list
  local documented program_side
  documented=$(tr ' ' '\n' <<< "$2" | grep -v '^$' | sort -u)
  program_side=$(tr ' ' '\n' <<< "$3" | grep -v '^$' | sort -u)
  while read -r name; do
    [ -n "$name" ] && fail "the guide documents $1 $name, which the program does not have"
  done < <(comm -23 <(echo "$documented") <(echo "$program_side"))
  while read -r name; do
    [ -n "$name" ] && fail "the program has $1 $name, which the guide does not document"
  done < <(comm -13 <(echo "$documented") <(echo "$program_side"))
}

# ---- what the guide documents ------------------------------------------------
verb_rows=$(table_rows '| Verb | Elevated | Reads | Statuses |')
option_rows=$(table_rows '| Option | Value | Read by | Kept |')
status_rows=$(table_rows '| Status | Meaning | What the caller does |')
[ -n "$verb_rows" ] || fail "no verb table in $guide"
[ -n "$option_rows" ] || fail "no option table in $guide"
[ -n "$status_rows" ] || fail "no exit status table in $guide"

declare -A doc_elevated doc_statuses doc_kind
doc_verbs=""
while IFS= read -r row; do
  verb=$(field "$row" 1)
  doc_verbs+="$verb "
  doc_elevated[$verb]=$(field "$row" 2)
  doc_statuses[$verb]=$(numbers "$(field "$row" 4)")
done <<< "$verb_rows"

doc_options=""
while IFS= read -r row; do
  option=$(field "$row" 1)
  doc_options+="$option "
  doc_kind[$option]=$(field "$row" 2)
done <<< "$option_rows"

doc_status_list=""
while IFS= read -r row; do doc_status_list+="$(field "$row" 1) "; done <<< "$status_rows"

# ---- what the program has ----------------------------------------------------
front_end="$src/src/cli/front_end.cpp"
declare -A code_elevated code_kind
code_verbs=""
while read -r verb elevated; do
  code_verbs+="$verb "
  code_elevated[$verb]=$elevated
done < <(sed -n '/^const verb_binding VERBS\[\] = {/,/^};/p' "$front_end" |
         sed -n 's/^ *{L"\([^"]*\)", *\(true\|false\),.*/\1 \2/p')
# version is answered before the table is looked at.
if grep -q 'wcscmp(verb, L"version") == 0) return STATUS_DONE' "$front_end"; then
  code_verbs+="version "
  code_elevated[version]=false
fi
[ -n "$code_verbs" ] || fail "no verb table found in $front_end"

code_options=""
while read -r option kind; do
  code_options+="$option "
  code_kind[$option]=$kind
done < <(sed -n '/^const option_spec OPTIONS\[\] = {/,/^};/p' "$src/src/cli/options.cpp" |
         sed -n -e 's/^ *\(TEXT\|NUMBER\|FLAG\)_FIELD(L"\([^"]*\)".*/\2 \1/p' \
                -e 's/^ *{L"\([^"]*\)", *PREFIX_VALUE.*/\1 TEXT/p')
[ -n "$code_options" ] || fail "no option table found in options.cpp"

code_status_list=$(sed -n 's/^ *STATUS_[A-Z_]* = \([0-9]*\),.*/\1/p' "$src/src/cli/front_end.h" | tr '\n' ' ')
[ -n "$code_status_list" ] || fail "no exit statuses found in front_end.h"

# ---- guide against program ---------------------------------------------------
same_sets "verb" "$doc_verbs" "$code_verbs"
same_sets "option" "$doc_options" "$code_options"
same_sets "exit status" "$doc_status_list" "$code_status_list"

for verb in $doc_verbs; do
  [ -n "${code_elevated[$verb]:-}" ] || continue
  case "${doc_elevated[$verb]}" in
    yes) want=true ;;
    no) want=false ;;
    *) fail "$verb: Elevated column says '${doc_elevated[$verb]}', not yes or no"; continue ;;
  esac
  [ "$want" = "${code_elevated[$verb]}" ] ||
    fail "$verb: the guide says elevated '${doc_elevated[$verb]}', the verb table says ${code_elevated[$verb]}"
  for status in ${doc_statuses[$verb]}; do
    grep -qw "$status" <<< "$code_status_list" || fail "$verb: documented status $status is no exit status of the program"
  done
  # Each verb has its own section, whose status table lists the same statuses.
  section_statuses=$(awk -v heading="### \`$verb\`" '
      $0 == heading { inside = 1; next }
      inside && /^#/ { exit }
      inside && /^\| Status \| When \|/ { table = 1; next }
      table && /^\| [0-9]+ \|/ { split($0, f, "|"); gsub(/ /, "", f[2]); print f[2]; next }
      table && !/^\|/ { table = 0 }
    ' "$guide" | sort -n | tr '\n' ' ')
  [ "$section_statuses" = "${doc_statuses[$verb]}" ] ||
    fail "$verb: its section lists statuses '$section_statuses', the verb table '${doc_statuses[$verb]}'"
done

# Every verb section belongs to a verb of the table.
while read -r heading; do
  grep -qw -- "$heading" <<< "$doc_verbs" || fail "the guide has a section for $heading, which its verb table lacks"
done < <(sed -n 's/^### `\([^`]*\)`$/\1/p' "$guide")

for option in $doc_options; do
  [ -n "${code_kind[$option]:-}" ] || continue
  case "${doc_kind[$option]}" in
    none) want=FLAG ;;
    number) want=NUMBER ;;
    *) want=TEXT ;;
  esac
  [ "$want" = "${code_kind[$option]}" ] ||
    fail "$option: the guide says its value is '${doc_kind[$option]}', the option table makes it ${code_kind[$option]}"
done

# Every option named anywhere in the guide is one of the program's.
while read -r option; do
  grep -qw -- "$option" <<< "$code_options" || fail "the guide names $option, which is no option of the program"
done < <(grep -o -- '--[a-z][a-z-]*' "$guide" | sort -u)

# ---- the program itself ------------------------------------------------------
if [ -z "${WINEPREFIX:-}" ]; then
  fail "WINEPREFIX is not set: cannot run the program"
else
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  windows_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }
  log=$(windows_path "$scratch/guide.log")
  run() { "$wine_run" "$program" "$@" </dev/null >/dev/null 2>&1; echo $?; }

  for verb in $doc_verbs; do
    status=$(run "$verb" --guide-no-such-option)
    if grep -qw 2 <<< "${doc_statuses[$verb]}"; then
      [ "$status" = 2 ] || fail "$verb with an unknown option ended with $status, not 2"
    else
      # A verb that never refuses its command line ends with one of its statuses.
      grep -qw "$status" <<< "${doc_statuses[$verb]}" ||
        fail "$verb with an unknown option ended with $status, not one of ${doc_statuses[$verb]}"
    fi
  done
  status=$(run guide-no-such-verb --log "$log")
  [ "$status" = 2 ] || fail "an undocumented verb ended with $status, not 2"

  # stop-app with no matching prefix ends nothing: 0 for a command line it takes.
  for option in $doc_options; do
    if [ "${doc_kind[$option]}" = none ]; then
      status=$(run stop-app --log "$log" "$option")
    else
      status=$(run stop-app --log "$log" "$option" 'C:\mirvo-guide-check\none')
    fi
    [ "$status" = 0 ] || fail "stop-app $option ended with $status, not 0"
  done

  # Run unelevated with a command line every verb takes and none can act on
  # (a setup program, a relaunch path and a working folder that do not
  # exist): an unknown verb would end with 2, an elevated one must end with 3,
  # the others with one of their documented statuses but 2.
  export MIRVO_GUIDE_PROGRAM='C:\mirvo-guide-check\none.exe'
  for verb in $doc_verbs; do
    status=$("$wine_run" "$launcher" --unelevated "$(windows_path "$program")" "$verb" --log "$log" \
             --setup "$(windows_path "$scratch/none.exe")" --exe-env MIRVO_GUIDE_PROGRAM \
             --cwd "$(windows_path "$scratch/none")" </dev/null >/dev/null 2>&1; echo $?)
    if [ "${doc_elevated[$verb]}" = yes ]; then
      [ "$status" = 3 ] || fail "$verb on a token that is not elevated ended with $status, not 3"
    elif [ "$status" = 2 ] || [ "$status" = 3 ] || ! grep -qw "$status" <<< "${doc_statuses[$verb]}"; then
      fail "$verb on a token that is not elevated ended with $status; expected one of its statuses ${doc_statuses[$verb]}other than 2 and 3"
    fi
  done
  # Only stop-app and vbcable-verify had anything to say.
  if [ -f "$scratch/guide.log" ] && grep -v -e 'stop-app: ' -e 'VB-CABLE setup not found at ' "$scratch/guide.log"; then
    fail "a refused run wrote to the log"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures difference(s) between $guide and the program"
  exit 1
fi
echo "the guide documents $(wc -w <<< "$doc_verbs") verbs, $(wc -w <<< "$doc_options") options and $(wc -w <<< "$doc_status_list") exit statuses, as the program has them"
