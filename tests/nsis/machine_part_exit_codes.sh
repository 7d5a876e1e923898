#!/usr/bin/env bash
# The machine-part installer's and uninstaller's exit codes (machine_part.nsi),
# each case a silent run as a deployment tool starts it, with mirvo_machine.exe
# played by elevated_standin.exe (it logs the lines each case gives it to
# install.log, as the program would). Also: only an outcome of 0 or 3010
# writes the HKLM Add/Remove Programs entry; VB-CABLE's ownership is recorded
# under HKLM and decides --vbcable; a run that is not elevated changes nothing
# (1603); a second run while one runs ends with 1618.
#   machine_part_exit_codes.sh NSIS_OUT STANDIN_EXE LAUNCHER_EXE
set -u
out="$1"
standin="$2"
launcher="$3"
setup="$out/failing/mirvo_machine_setup.exe"
here="$(cd "$(dirname "$0")" && pwd)"
wine_run="$here/../../testbed/wine-run.sh"
user="$(id -un)"
machine="$WINEPREFIX/drive_c/Program Files/mirvo/Machine"
machine_win='C:\Program Files\mirvo\Machine'
temp="$WINEPREFIX/drive_c/users/$user/Temp"
outside_logs="$temp/MIRVO-logs/machine"
entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\MIRVO.MachinePart'
owned_key='HKLM\Software\MIRVO\Machine'
failures=0

reg_delete() { "$wine_run" reg delete "$1" /f </dev/null >/dev/null 2>&1; }
reg_get() {
  "$wine_run" reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
[ -e "$WINEPREFIX/drive_c/Program Files/mirvo" ] && mirvo_before=1 || mirvo_before=0
clean() {
  rm -rf "$machine" "$outside_logs" "$temp"/mirvo-machine-cleanup-*
  [ "$mirvo_before" -eq 1 ] || rm -rf "$WINEPREFIX/drive_c/Program Files/mirvo"
  reg_delete "$entry"; reg_delete "$owned_key"; reg_delete 'HKLM\Software\MIRVO'
}
trap clean EXIT

setup_log() { iconv -f UTF-16 -t UTF-8 "${1:-$machine}/setup.log" 2>/dev/null | tr -d '\r'; }
windows_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }
# run_string LIMIT COMMAND_LINE: its exit code, read through a Windows process
# handle by the stand-in's "run" (the Unix exit status keeps only 8 bits), or
# "hung" after LIMIT seconds.
run_string() {
  local printed status=0
  printed="$(mktemp)"
  timeout "$1" "$wine_run" "$standin" run "$2" </dev/null >"$printed" 2>/dev/null || status=$?
  if [ "$status" -eq 124 ]; then echo hung; rm -f "$printed"; return; fi
  sed -n 's/^exit code \([0-9]*\).*/\1/p' "$printed" | tr -d '\r'
  rm -f "$printed"
}
check() {  # NAME EXPECTED_STATUS STATUS [LOG_TEXT [LOG_FOLDER]]
  local log
  log="$(setup_log "${5:-$machine}")"
  if [ "$3" != "$2" ] || { [ -n "${4:-}" ] && ! grep -qF -- "$4" <<<"$log"; }; then
    echo "FAIL: $1: exit $3 (expected $2), setup.log:"; sed 's/^/   | /' <<<"$log"
    failures=$((failures + 1))
  else
    echo "ok: $1: exit $3${4:+, setup.log: \"$4\"}"
  fi
}
expect() {  # NAME COMMAND...
  local name="$1"
  shift
  if "$@"; then echo "ok: $name"; else echo "FAIL: $name"; failures=$((failures + 1)); fi
}
# fresh BEHAVIOUR...: an empty machine folder holding the stand-in's orders.
# The stand-in plays machine-setup of a hand-shake; the machine part has none,
# so the ready marker is there from the start and the stand-in does not wait.
fresh() {
  clean
  mkdir -p "$machine"
  printf '%s\r\n' "$@" > "$machine/elevated_standin.txt"
  : > "$machine/.elevated_ready"
}
install_with() { fresh "$@"; run_string 120 "\"$(windows_path "$setup")\" /S"; }
no_entry() { [ -z "$(reg_get "$entry" DisplayName)" ]; }

echo "-- install: the bytes install.log gains decide the code; only 0 and 3010 register"
# Each case: code | setup.log line | entry written (yes/no) | the stand-in's orders, split by "^".
while IFS='|' read -r code text registered orders; do
  IFS='^' read -ra list <<<"$orders"
  status=$(install_with "${list[@]}")
  check "install [${orders//^/, }]" "$code" "$status" "$text"
  if [ "$registered" = yes ]; then
    expect "  the entry \"MIRVO camera and audio driver\" is written" \
           [ "$(reg_get "$entry" DisplayName)" = "MIRVO camera and audio driver" ]
  else
    expect "  no entry is written" no_entry
  fi
done <<'EOF'
0|registered in Add/Remove Programs|yes|done=nonce^exit=0^line=VB-CABLE installed (exit 0)
3010|done: a restart of Windows finishes the installation|yes|done=nonce^exit=0^line=VB-CABLE installed (exit 3010)
1603|FAILED: the camera or VB-CABLE is not installed|no|done=nonce^exit=0^line=the camera was NOT registered - the app installs it before going live
1603|the machine lock Global\MIRVO.MachineChange is not owned by the administrators|no|done=nonce^exit=0^line=the machine lock Global\MIRVO.MachineChange is not owned by the administrators - not changing this machine
1618|another MIRVO run was changing this machine: nothing was installed|no|done=nonce^exit=0^line=another MIRVO run is changing this machine - waiting^line=another MIRVO run is still changing this machine - giving up
1603|FAILED: machine-setup ended without writing .elevated_done|no|done=none^exit=0
1603|FAILED: machine-setup ended with status 1|no|done=nonce^exit=1
EOF

status=$(install_with done=nonce exit=0 "line=VB-CABLE installed (exit 0)")
expect "the registered values" [ "$(reg_get "$entry" DisplayVersion)" = 1.0.0.0 -a \
       "$(reg_get "$entry" QuietUninstallString)" = "\"$machine_win\\uninstall.exe\" /S _?=$machine_win" -a \
       "$(reg_get "$entry" UninstallString)" = "\"$machine_win\\uninstall.exe\" _?=$machine_win" -a \
       "$(reg_get "$entry" InstallLocation)" = "$machine_win" -a "$(reg_get "$entry" NoModify)" = 0x1 ]
expect "machine-setup ran on the machine folder, no hand-shake, its log there" \
       grep -qF "started \"$machine_win\\mirvo_machine.exe\" machine-setup --install-dir \"$machine_win\" --log \"$machine_win\\install.log\"" <(setup_log)
expect "VB-CABLE's ownership is recorded under HKLM" [ "$(reg_get "$owned_key" VBCableInstalledBySetup)" = 0x1 ]

fresh done=nonce exit=0 "line=VB-CABLE: not selected; skipping (Advanced Settings can install the virtual microphone later)"
check "install /NOCAMERA /NOVBCABLE" 0 "$(run_string 120 "\"$(windows_path "$setup")\" /S /NOCAMERA /NOVBCABLE")" \
      "--log \"$machine_win\\install.log\" --no-camera --no-vbcable"
expect "  no VB-CABLE ownership recorded" [ -z "$(reg_get "$owned_key" VBCableInstalledBySetup)" ]

echo "-- install: refused before anything changes"
clean
status=$(run_string 120 "\"$(windows_path "$launcher")\" --unelevated \"$(windows_path "$setup")\" /S")
check "install, not elevated (the launcher's --unelevated: the linked token)" 1603 "$status" \
      "FAILED: not elevated" "$outside_logs"
expect "  no machine folder, no entry" test ! -e "$machine" -a -z "$(reg_get "$entry" DisplayName)"

fresh done=nonce exit=0 delay=5000 "line=VB-CABLE installed (exit 0)"
first_out="$(mktemp)"
"$wine_run" "$standin" run "\"$(windows_path "$setup")\" /S" </dev/null >"$first_out" 2>/dev/null &
first=$!
for _ in $(seq 100); do setup_log | grep -qF "started " && break; sleep 0.1; done
check "a second machine-part setup while the first runs" 1618 "$(run_string 60 "\"$(windows_path "$setup")\" /S")"
wait "$first"
check "the first ends as if alone" 0 "$(sed -n 's/^exit code \([0-9]*\).*/\1/p' "$first_out" | tr -d '\r')" "exit code 0"
rm -f "$first_out"

echo "-- uninstall: through the registered QuietUninstallString"
# uninstall_with INSTALL_LINE REMOVE_ORDERS...: installs, then runs the
# registered string as a deployment tool does.
uninstall_with() {
  local installed="$1"
  shift
  install_with done=nonce exit=0 "line=$installed" "$@" >/dev/null
  run_string 120 "$(reg_get "$entry" QuietUninstallString)"
}
# The only file of the test's own that stays: the stand-in's orders.
folder_is_empty() {
  for _ in $(seq 50); do [ "$(ls -A "$machine" 2>/dev/null)" = elevated_standin.txt ] && return 0; sleep 0.2; done
  return 1
}
status=$(uninstall_with "VB-CABLE installed (exit 0)" "remove_line=uninstall done")
check "uninstall, all removed" 0 "$status" "exit code 0" "$outside_logs"
expect "  this install's VB-CABLE is removed with it (--vbcable)" \
       grep -qF "stand-in machine-remove: --vbcable given" "$outside_logs/install.log"
expect "  nothing of MIRVO's stays in the machine folder (the cleanup copy deleted uninstall.exe)" folder_is_empty
expect "  the entry and the ownership record are gone" \
       [ -z "$(reg_get "$entry" DisplayName)$(reg_get "$owned_key" VBCableInstalledBySetup)" ]

status=$(uninstall_with "VB-CABLE already installed; skipping" "remove_line=uninstall done")
check "uninstall where VB-CABLE was there before" 0 "$status" "VB-CABLE was not installed by the machine-part setup: it stays" \
      "$outside_logs"
expect "  machine-remove is not told to remove it" \
       grep -qF "stand-in machine-remove: --vbcable not given" "$outside_logs/install.log"

while IFS='|' read -r code name orders; do
  IFS='^' read -ra list <<<"$orders"
  status=$(uninstall_with "VB-CABLE installed (exit 0)" "${list[@]}")
  check "uninstall, $name" "$code" "$status" "kept $machine_win and the Add/Remove Programs entry"
  expect "  $name: the folder's means and the entry stay" \
         test -f "$machine/uninstall.exe" -a -f "$machine/mirvo_machine.exe" -a -n "$(reg_get "$entry" DisplayName)"
done <<'EOF'
1603|machine-remove ends without its last line|remove_exit=0
1603|VB-CABLE stays|remove_line=VB-CABLE reported exit 5 but the driver is still present^remove_line=uninstall done
1618|another run held the machine lock for 10 minutes|remove_line=another MIRVO run is still changing this machine - giving up^remove_line=uninstall done
EOF

if [ "$failures" -ne 0 ]; then echo "$failures case(s) failed"; exit 1; fi
echo "every exit code of the machine part as expected"
