#!/usr/bin/env bash
# The reference installer's and uninstaller's exit codes, each case a silent run
# as a deployment tool starts it, with the elevated part played by
# elevated_standin.exe (it logs the lines each case gives it to install.log, as
# mirvo_machine.exe would, and writes the done marker or not). Every run has a
# time limit: a silent run that waits for a person fails the case instead of
# hanging the test.
#   installer_exit_codes.sh NSIS_OUT STANDIN_EXE
# NSIS_OUT is the folder build_test_installers.sh made.
set -u
out="$1"
standin="$2"
setup="$out/failing/mirvo_setup.exe"
here="$(cd "$(dirname "$0")" && pwd)"
wine_run="$here/../../testbed/wine-run.sh"
user="$(id -un)"
install="$WINEPREFIX/drive_c/users/$user/AppData/Local/Programs/MIRVO"
install_win="C:\\users\\$user\\AppData\\Local\\Programs\\MIRVO"
other="$WINEPREFIX/drive_c/users/$user/AppData/Local/Programs/MIRVO-other"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\MIRVO'
mirvo_key='HKCU\Software\MIRVO'
temp_logs="$WINEPREFIX/drive_c/users/$user/Temp/MIRVO-logs"
failures=0

reg_delete() { "$wine_run" reg delete "$1" /f </dev/null >/dev/null 2>&1; }
reg_get() {
  "$wine_run" reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
clean() { rm -rf "$install" "$other"; reg_delete "$uninstall_key"; reg_delete "$mirvo_key"; }
trap clean EXIT

setup_log() { iconv -f UTF-16 -t UTF-8 "${1:-$install}/setup.log" 2>/dev/null | tr -d '\r'; }
windows_path() { case "$1" in /*) printf 'Z:%s' "$1" | tr '/' '\\' ;; *) printf '%s' "$1" ;; esac; }
# run LIMIT PROGRAM ARGS...: PROGRAM's exit code, read through a Windows process
# handle by the stand-in's "run" (the Unix exit status keeps only 8 bits), or
# "hung" after LIMIT seconds.
run() {
  local limit="$1" command
  command="\"$(windows_path "$2")\""
  shift 2
  for argument in "$@"; do command+=" $argument"; done
  run_string "$limit" "$command"
}
# run_string LIMIT COMMAND_LINE: the same for a command line as it is. The
# stand-in prints into a file, not a pipe, which a program the run leaves
# behind would inherit and hold open.
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
  log="$(setup_log "${5:-$install}")"
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
# fresh BEHAVIOUR...: an empty install folder holding the stand-in's orders.
fresh() { clean; mkdir -p "$install"; printf '%s\r\n' "$@" > "$install/elevated_standin.txt"; }
install_with() { fresh "$@"; run 120 "$setup" /S; }
# The only file of the test's own that stays: the stand-in's orders.
folder_is_empty() {
  for _ in $(seq 50); do [ "$(ls -A "$install" 2>/dev/null)" = elevated_standin.txt ] && return 0; sleep 0.2; done
  return 1
}

echo "-- install: the bytes install.log gains during the elevated part decide the code"
# Each case: expected code | a setup.log line | the stand-in's orders, split by "^".
while IFS='|' read -r code text orders; do
  IFS='^' read -ra list <<<"$orders"
  status=$(install_with "${list[@]}")
  check "install [${orders//^/, }]" "$code" "$status" "$text"
done <<'EOF'
0|exit code 0|done=nonce^exit=0^line=VB-CABLE installed (exit 0)
1603|the camera was NOT registered - the app installs it before going live|done=nonce^exit=0^line=the camera was NOT registered - the app installs it before going live
1603|is signed by "QUARN ELIDORE", not by "MIRVO Test Signer" - refusing to register it|done=nonce^exit=0^line=C:\x\mirvo_vcam.dll is signed by "QUARN ELIDORE", not by "MIRVO Test Signer" - refusing to register it
1603|VB-CABLE reported exit 5 but the driver is not present|done=nonce^exit=0^line=VB-CABLE reported exit 5 but the driver is not present
1603|VB-CABLE setup not found at|done=nonce^exit=0^line=VB-CABLE setup not found at C:\x\VBCABLE_Setup_x64.exe
1603|did not finish within 300 s|done=nonce^exit=0^line=C:\x\VBCABLE_Setup_x64.exe did not finish within 300 s
3010|a restart of Windows finishes the installation|done=nonce^exit=0^line=VB-CABLE installed (exit 3010)
3010|a restart of Windows finishes the installation|done=nonce^exit=0^line=C:\Program Files\mirvo\Camera is still there (a camera DLL that is loaded somewhere); the next restart of Windows frees it
1618|another MIRVO run was changing this machine: MIRVO is installed without its camera and audio driver|done=nonce^exit=0^line=-------- MIRVO elevated setup --------^line=another MIRVO run is changing this machine - waiting^line=another MIRVO run is still changing this machine - giving up
1603|is not owned by the administrators - not changing this machine|done=nonce^exit=0^line=the machine lock Global\MIRVO.MachineChange is not owned by the administrators - not changing this machine
1603|the machine lock cannot be had (5) - not changing this machine|done=nonce^exit=0^line=another MIRVO run is still changing this machine - giving up^line=the machine lock cannot be had (5) - not changing this machine
1603|FAILED: the elevated part ended without writing .elevated_done|done=none^exit=0
1603|FAILED: .elevated_done holds|done=lower^exit=0
1603|FAILED: .elevated_done holds 'OTHER', not this run's nonce|done=other^exit=0
1603|FAILED: the elevated part ended with status 1|done=nonce^exit=1
EOF

# A failure line an earlier run left in install.log does not count again.
fresh done=nonce exit=0 "line=VB-CABLE installed (exit 0)"
printf '[01:02:03] [elevated] the camera was NOT registered - the app installs it before going live\r\n' > "$install/install.log"
check "install after an earlier run's failure line" 0 "$(run 120 "$setup" /S)" "exit code 0"

fresh done=nonce exit=0
check "install, elevation declined (stands in for No at the UAC prompt)" 1602 "$(run 120 "$setup" /S /ELEVATION_DECLINED)" \
      "elevation declined: installing MIRVO without the camera and VB-CABLE"
expect "declined: the app and the payload are installed, nothing elevated ran" \
       test -f "$install/mirvo.exe" -a -f "$install/audio-driver/VBCABLE_Setup_x64.exe" -a ! -e "$install/.elevated_done"
# Running setup again offers the machine part again.
check "install again after the declined one" 0 "$(run 120 "$setup" /S)" "elevated machine-setup started with nonce"

echo "-- install: the switches"
fresh done=nonce exit=0
check "install /NOCAMERA /NOVBCABLE: machine-setup is told" 0 "$(run 120 "$setup" /S /NOCAMERA /NOVBCABLE)" \
      "elevated machine-setup started with nonce"
expect "  with --no-camera --no-vbcable" grep -qE "started with nonce [-0-9A-F]+ --no-camera --no-vbcable\$" <(setup_log)
fresh done=nonce exit=0
check "install /USERONLY: the app alone" 0 "$(run 120 "$setup" /S /USERONLY /ELEVATION_DECLINED)" \
      "/USERONLY: installing the app alone, without the camera and VB-CABLE"
expect "  nothing elevated was asked for (/ELEVATION_DECLINED would have made it 1602), the app is there" \
       test -f "$install/mirvo.exe" -a ! -e "$install/install.log" -a ! -e "$install/.elevated_done"

echo "-- install: what refuses the run before or while copying"
fresh done=nonce exit=0
check "installer without mirvo_machine.exe ends" 1603 "$(run 120 "$out/no_program/mirvo_setup.exe" /S)" \
      "mirvo_machine.exe is missing: the camera and VB-CABLE cannot be installed"

# An earlier install, then a setup told to install into another folder.
install_with done=nonce exit=0 >/dev/null
other_win="${install_win}-other"
check "install with /D= naming another folder than the installed one" 1603 \
      "$(run 120 "$setup" /S "/D=$other_win")" "MIRVO is installed in $install_win; this setup was told to install into $other_win"
expect "the other folder was not created" test ! -e "$other"

# A file in use: a helper holds mirvo.exe with share mode 0 (stands in for the
# running image that Windows locks; Wine does not lock it).
install_with done=nonce exit=0 >/dev/null
ready="$install/../held.ready" stop="$install/../held.stop"
rm -f "$ready" "$stop"
"$wine_run" "$standin" hold-file "$install_win\\mirvo.exe" "$install_win\\..\\held.ready" "$install_win\\..\\held.stop" \
    </dev/null >/dev/null 2>&1 &
holder=$!
for _ in $(seq 100); do [ -e "$ready" ] && break; sleep 0.1; done
check "upgrade while another program holds mirvo.exe (share mode 0): no dialog" 1603 "$(run 120 "$setup" /S)" \
      "cannot replace $install_win\\mirvo.exe: another program holds it"
touch "$stop"
wait "$holder"
rm -f "$ready" "$stop"

echo "-- two setups at once: the second ends with 1618"
fresh done=nonce exit=0 delay=5000
first_out="$(mktemp)"
"$wine_run" "$standin" run "\"$(windows_path "$setup")\" /S" </dev/null >"$first_out" 2>/dev/null &
first=$!
for _ in $(seq 100); do setup_log | grep -qF "files ready; waiting" && break; sleep 0.1; done
check "a second setup while the first waits for its elevated part" 1618 "$(run 60 "$setup" /S)"
check "a second uninstall while the first setup runs" 1618 "$(run 60 "$install/uninstall.exe" /S "_?=$install_win")"
wait "$first"
first_status="$(sed -n 's/^exit code \([0-9]*\).*/\1/p' "$first_out" | tr -d '\r')"
rm -f "$first_out"
check "the first setup ends as if alone" 0 "$first_status" "exit code 0"
expect "the first setup's log has one run in it" [ "$(setup_log | grep -c '^==== ')" -eq 1 ]

echo "-- uninstall: the code comes through the registered QuietUninstallString"
# uninstall_with INSTALL_LINE REMOVE_ORDERS...: installs, then runs the
# registered QuietUninstallString the way a deployment tool does.
uninstall_with() {
  local installed="$1"
  shift
  fresh done=nonce exit=0 "line=$installed" "$@"
  run 120 "$setup" /S >/dev/null
  quiet="$(reg_get "$uninstall_key" QuietUninstallString)"
  run_string 120 "$quiet"
}
status=$(uninstall_with "VB-CABLE installed (exit 0)" "remove_line=uninstall done")
check "uninstall, all removed" 0 "$status" "exit code 0" "$temp_logs"
expect "  this install's VB-CABLE is removed with it (--vbcable)" \
       grep -qF "stand-in machine-remove: --vbcable given" "$temp_logs/install.log"
expect "  nothing of MIRVO's stays in the install folder" folder_is_empty
expect "  the Add/Remove Programs entry and the ownership record are gone" \
       [ -z "$(reg_get "$uninstall_key" DisplayName)$(reg_get "$mirvo_key" VBCableInstalledBySetup)" ]
expect "  the logs are copied to %TEMP%\\MIRVO-logs" grep -qF "exit code 0" <(iconv -f UTF-16 -t UTF-8 "$temp_logs/setup.log")

status=$(uninstall_with "VB-CABLE already installed; skipping" "remove_line=uninstall done")
check "uninstall where VB-CABLE was there before MIRVO" 0 "$status" "VB-CABLE was not installed by this user's MIRVO setup: it stays" \
      "$temp_logs"
expect "  machine-remove is not told to remove VB-CABLE" \
       grep -qF "stand-in machine-remove: --vbcable not given" "$temp_logs/install.log"

status=$(uninstall_with "VB-CABLE installed (exit 0)" \
         "remove_line=C:\\Program Files\\mirvo\\Camera is still there (a camera DLL that is loaded somewhere); the next restart of Windows frees it" \
         "remove_line=uninstall done")
check "uninstall, the camera folder held until a restart" 3010 "$status" "a restart of Windows frees the camera folder" \
      "$temp_logs"
expect "  the install folder goes all the same" folder_is_empty

# keeps_machine_part: what finishes the removal stays, the app goes.
keeps_machine_part() {
  test -f "$install/uninstall.exe" -a -f "$install/mirvo_machine.exe" -a -f "$install/audio-driver/VBCABLE_Setup_x64.exe" \
       -a ! -e "$install/mirvo.exe" &&
    [ "$(reg_get "$uninstall_key" DisplayName)" = "MIRVO (the camera and audio driver are still installed)" ]
}
while IFS='|' read -r code name orders; do
  IFS='^' read -ra list <<<"$orders"
  status=$(uninstall_with "VB-CABLE installed (exit 0)" "${list[@]}")
  check "uninstall, $name" "$code" "$status" "kept uninstall.exe, mirvo_machine.exe and the audio-driver payload"
  expect "  $name: the machine part's means and the entry stay" keeps_machine_part
done <<'EOF'
1603|machine-remove ends with 1|remove_exit=1^remove_line=uninstall done
1603|machine-remove ends without its last line|remove_exit=0
1603|VB-CABLE stays|remove_line=VB-CABLE reported exit 5 but the driver is still present^remove_line=uninstall done
1618|another run held the machine lock for 10 minutes|remove_line=another MIRVO run is changing this machine - waiting^remove_line=another MIRVO run is still changing this machine - giving up^remove_line=uninstall done
1603|the machine lock is not the administrators'|remove_line=the machine lock Global\MIRVO.MachineChange is not owned by the administrators - not changing this machine^remove_line=uninstall done
EOF

fresh done=nonce exit=0 "line=VB-CABLE installed (exit 0)" "remove_line=uninstall done"
run 120 "$setup" /S >/dev/null
check "uninstall, elevation declined (stands in for No at the UAC prompt)" 1602 \
      "$(run 120 "$install/uninstall.exe" /S /ELEVATION_DECLINED "_?=$install_win")" "Elevation declined: the camera and VB-CABLE stay"
expect "  declined: the machine part's means and the entry stay" keeps_machine_part
check "uninstall again, accepted, finishes the job" 0 "$(run 120 "$install/uninstall.exe" /S "_?=$install_win")" \
      "exit code 0" "$temp_logs"
expect "  nothing of MIRVO's stays" folder_is_empty

fresh done=nonce exit=0
run 120 "$setup" /S >/dev/null
rm -f "$install/mirvo_machine.exe"
check "uninstall with mirvo_machine.exe missing ends" 1603 "$(run 120 "$install/uninstall.exe" /S "_?=$install_win")" \
      "mirvo_machine.exe is missing: the camera and VB-CABLE cannot be removed"
expect "  its entry stays" [ -n "$(reg_get "$uninstall_key" DisplayName)" ]

if [ "$failures" -ne 0 ]; then echo "$failures case(s) failed"; exit 1; fi
echo "every exit code as expected"
