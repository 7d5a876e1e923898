#!/usr/bin/env bash
# The guide's detection rules (docs/integration.md, "Detection rules") are the
# program's and the machine-part installer's, both ways:
#  - the class key table holds every camera class id of src/camera/
#    camera_constants.h in each view the program writes it in (the Windows 11
#    camera's in the 64-bit view, the DirectShow ones in both), with the file
#    of that view (mirvo_vcam.dll; mirvo_dshow64.dll in the 64-bit view,
#    mirvo_dshow32.dll in the 32-bit one) in the camera folder, and nothing
#    else;
#  - the camera folder, VB-CABLE's presence file, the machine part's entry and
#    program are the program's (src/base/paths.cpp, src/audio/
#    vbcable_constants.h) and mirvo_common.nsh's;
#  - every class id written anywhere in the guide is one of the program's.
#   check_detection_rules.sh SOURCE_ROOT
set -u
export LC_ALL=C
root="$1"
guide="$root/docs/integration.md"
constants="$root/src/camera/camera_constants.h"
common="$root/examples/nsis/mirvo_common.nsh"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

table_rows() {
  awk -v header="$1" '
    $0 == header { inside = 1; next }
    inside && /^\|/ { if ($0 !~ /^\|[-| ]+\|$/) print; next }
    inside { exit }
  ' "$guide"
}
field() { awk -F'|' -v n="$2" '{ v = $(n + 1); gsub(/^[ `]+|[ `]+$/, "", v); print v }' <<< "$1"; }
# The class ids of one constant array of camera_constants.h, one a line.
class_ids() { sed -n "/^constexpr const wchar_t\\* $1\\[2\\] = {/,/^};/p" "$constants" | grep -o '{[0-9A-F-]*}'; }
# A C string literal's text (\\ read as \).
literal() { sed -n "s/.*$1 = L\"\\([^\"]*\\)\".*/\\1/p" "$2" | sed 's/\\\\/\\/g'; }

camera_folder="%ProgramFiles%\\$(sed -n 's/.*join_path(destination, program_files, L"\(mirvo[^"]*\)").*/\1/p' \
                "$root/src/base/paths.cpp" | sed 's/\\\\/\\/g')"
[ "$camera_folder" = '%ProgramFiles%\mirvo\Camera' ] || fail "the camera folder in src/base/paths.cpp is not %ProgramFiles%\\mirvo\\Camera ($camera_folder)"
vcam_dll=$(literal VCAM_DLL_NAME "$constants")
dshow64_dll=$(literal DSHOW64_DLL_NAME "$constants")
dshow32_dll=$(literal DSHOW32_DLL_NAME "$constants")

# What the program writes: path|class key|view|file.
expected=$({
  for id in $(class_ids vcam_class_ids); do
    echo "vcam|SOFTWARE\\Classes\\CLSID\\$id|64-bit|$camera_folder\\$vcam_dll"
  done
  for id in $(class_ids dshow_class_ids); do
    echo "dshow|SOFTWARE\\Classes\\CLSID\\$id|64-bit|$camera_folder\\$dshow64_dll"
    echo "dshow|SOFTWARE\\Classes\\CLSID\\$id|32-bit|$camera_folder\\$dshow32_dll"
  done; } | sort)
[ "$(wc -l <<< "$expected")" -eq 6 ] || fail "expected 2 + 2 class ids in $constants"

documented=$(
  while IFS= read -r row; do
    case "$(field "$row" 1)" in
      Windows\ 11*) path=vcam ;;
      older*) path=dshow ;;
      *) path="unknown path '$(field "$row" 1)'" ;;
    esac
    echo "$path|$(field "$row" 2)|$(field "$row" 3)|$(field "$row" 4)"
  done < <(table_rows '| Camera path | Class key | View | InprocServer32 names |') | sort)
[ -n "$documented" ] || fail "no class key table \"| Camera path | Class key | View | InprocServer32 names |\" in $guide"

while IFS= read -r row; do
  [ -n "$row" ] && fail "the program writes [$row], which the guide's detection table lacks"
done < <(comm -23 <(echo "$expected") <(echo "$documented"))
while IFS= read -r row; do
  [ -n "$row" ] && fail "the guide's detection table lists [$row], which the program does not write"
done < <(comm -13 <(echo "$expected") <(echo "$documented"))

# The other places, by their row's first column.
declare -A where
while IFS= read -r row; do where[$(field "$row" 1)]=$(field "$row" 2); done < <(table_rows '| What | Where |')
machine_folder=$(sed -n 's/^!define MACHINE_FOLDER "\$PROGRAMFILES64\\\(.*\)"$/%ProgramFiles%\\\1/p' "$common")
machine_key=$(sed -n 's/^!define MACHINE_UNINSTALL_KEY "\(.*\)"$/\1/p' "$common")
[ -n "$machine_folder" ] && [ -n "$machine_key" ] || fail "MACHINE_FOLDER or MACHINE_UNINSTALL_KEY not found in $common"
check_place() {  # WHAT EXPECTED
  [ "${where[$1]:-}" = "$2" ] || fail "the guide gives \"$1\" as '${where[$1]:-(no row)}', the code '$2'"
}
check_place "the camera folder" "$camera_folder"
check_place "VB-CABLE (the presence file the program itself judges by)" \
            "%ProgramFiles%\\$(literal VBCABLE_PRESENCE_PATH "$root/src/audio/vbcable_constants.h")"
check_place "the machine part's entry" "HKEY_LOCAL_MACHINE\\$machine_key"
check_place "the machine part's program" "$machine_folder\\mirvo_machine.exe"

# Every class id anywhere in the guide (the winget or Intune text included).
known=$(class_ids vcam_class_ids; class_ids dshow_class_ids)
while read -r id; do
  grep -qxF -- "$id" <<< "$known" || fail "the guide names the class id $id, which is none of the program's"
done < <(grep -oE '\{[0-9A-Fa-f]{8}-[0-9A-Fa-f-]{27}\}' "$guide" | sort -u)

if [ "$failures" -ne 0 ]; then echo "$failures difference(s)"; exit 1; fi
echo "the guide's detection rules name the program's $(wc -l <<< "$known") class ids in $(wc -l <<< "$expected") keys, its camera folder, VB-CABLE's file and the machine part's entry and program"
