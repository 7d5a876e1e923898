#!/usr/bin/env bash
# One scenario with the reference installer, as a user's machine and a
# deployment tool see it, in the Wine prefix named by WINEPREFIX (its
# wineserver running):
#   installer_flow.sh SETUP_EXE BUILD [SCENARIO]
# BUILD is the Windows build the prefix reports for the run (22000 and later:
# the Windows 11 camera; older: the DirectShow camera); it is put back when the
# run ends. SCENARIO:
#   fresh (the default)  install, the Add/Remove Programs entry, both
#                        signatures, the app's restart, the uninstall through
#                        the registered QuietUninstallString
#   declined             the elevation declined at install (1602), setup run
#                        again offering the machine part, the uninstall
#   uninstall-declined   install accepted, uninstall declined (1602: the
#                        machine part stays), a second uninstall removes it
#   upgrade              an earlier version installed and its app running;
#                        setup.exe /S /RELAUNCH asks it to exit, replaces the
#                        files and starts it again
#   held                 an earlier version installed, a helper holding
#                        mirvo.exe with share mode 0 (stands in for the running
#                        image Windows locks): 1603, the old file stays
#   vbcable-before       VB-CABLE on the machine before MIRVO: it stays
#   foreign-camera       camera DLLs of another signer: 1603, as setup.log says
#   machine-part         the machine-part installer (mirvo_machine_setup.exe
#                        beside SETUP_EXE) silent, its HKLM entry, its quiet
#                        uninstall through the registered string
#   machine-part-novbcable  the same with /NOVBCABLE: no VB-CABLE
#   machine-part-unelevated the machine-part installer not elevated (the
#                        launcher's --unelevated): 1603, nothing changed
#   user-on-machine-part a per-user install (the earlier version) and
#                        uninstall on a machine that has the machine part
#                        (1.0.0.0): no elevated run (the
#                        /ELEVATION_DECLINED stand-in would make a prompt that
#                        was asked for 1602), the camera stays
# The earlier version and the foreign camera come from SETUP_EXE's folder
# (old/, foreign_camera/), as tests/nsis/build_test_installers.sh lays them out.
# HELPER is tests/nsis's elevated_standin.exe (it runs a command line as a
# deployment tool does and holds files); CA the test root that signed
# setup.exe (its signatures are checked when set); LAUNCHER mirvo_launch.exe
# (--unelevated).
# Prints what it looks at, one "PASS: ..." or "FAIL: ..." line per expectation
# (appended to the file RESULTS too, when set), and ends with 1 when one failed.
set -u
setup="$1"
build="$2"
scenario="${3:-fresh}"
here="$(cd "$(dirname "$0")" && pwd)"
helper="${HELPER:-$here/../build/bin/nsis_parts/nsis_elevated_standin.exe}"
launcher="${LAUNCHER:-$here/../build/bin/mirvo_launch.exe}"
ca="${CA:-}"
nsis_out="$(cd "$(dirname "$setup")" && pwd)"
wine_run="$here/wine-run.sh"
results="${RESULTS:-/dev/null}"
failed=0

user="$(id -un)"
drive_c="$WINEPREFIX/drive_c"
install_win="C:\\users\\$user\\AppData\\Local\\Programs\\MIRVO"
install="$drive_c/users/$user/AppData/Local/Programs/MIRVO"
temp="$drive_c/users/$user/Temp"
camera="$drive_c/Program Files/mirvo/Camera"
presence="$drive_c/Program Files/VB/CABLE/VBCABLE_ControlPanel.exe"
logs="$temp/MIRVO-logs"
machine_setup="$nsis_out/mirvo_machine_setup.exe"
machine="$drive_c/Program Files/mirvo/Machine"
machine_win='C:\Program Files\mirvo\Machine'
machine_entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\MIRVO.MachinePart'
machine_logs="$logs/machine"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\MIRVO'
mirvo_key='HKCU\Software\MIRVO'
vcam_class='{3A91D6F0-5B27-4C8E-A1D3-6F0B2E94C7A5}'
dshow_class='{E2C5A817-40DB-4B9F-96E1-2D7A3C58F0B6}'
version_key='HKLM\Software\Microsoft\Windows NT\CurrentVersion'

pass() { echo "   PASS: $*"; echo "PASS: $*" >> "$results"; }
fail() { echo "   FAIL: $*"; echo "FAIL: $*" >> "$results"; failed=1; }
# expect TEXT COMMAND...: PASS when COMMAND succeeds.
expect() { local text="$1"; shift; if "$@"; then pass "$text"; else fail "$text"; fi; }
step() { echo; echo "-- $*"; }
# show FILE [utf16]: the file, indented.
show() {
  if [ ! -f "$1" ]; then echo "   (no file $1)"; return; fi
  if [ "${2:-}" = utf16 ]; then iconv -f UTF-16 -t UTF-8 "$1"; else cat "$1"; fi | tr -d '\r' | sed 's/^/   | /'
}
text_of() { if [ "${2:-}" = utf16 ]; then iconv -f UTF-16 -t UTF-8 "$1" 2>/dev/null; else cat "$1" 2>/dev/null; fi | tr -d '\r'; }
has_line() { text_of "$1" "${3:-}" | grep -qF -- "$2"; }
wine_quiet() { "$wine_run" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
reg_value() { wine_quiet reg query "$version_key" /v "$1" | awk -v n="$1" '$1 == n { print $3 }'; }
# reg_get KEY VALUE: the value's data as reg query prints it, "" when missing.
reg_get() { wine_quiet reg query "$1" /v "$2" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
windows_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }
# run_line COMMAND_LINE: runs it as a deployment tool does (CreateProcessW,
# waiting) and prints its exit code, read through the process handle: the Unix
# exit status of a Wine process keeps only 8 bits (1603 would read 67). A run
# that waits for a person ends as "hung" after 5 minutes.
# The helper prints into a file, not a pipe: an app that setup starts
# (/RELAUNCH) inherits that output and would hold a pipe open for as long as it
# runs.
run_line() {
  local printed status=0
  printed="$(mktemp)"
  timeout 300 "$wine_run" "$helper" run "$1" </dev/null >"$printed" 2>/dev/null || status=$?
  if [ "$status" -eq 124 ]; then echo hung; rm -f "$printed"; return; fi
  sed -n 's/^exit code \([0-9]*\).*/\1/p' "$printed" | tr -d '\r'
  rm -f "$printed"
}
# run_setup SETUP_EXE ARGUMENTS...: the installer's exit code, as run_line.
run_setup() {
  local command
  command="\"$(windows_path "$(realpath "$1")")\""
  shift
  for argument in "$@"; do command+=" $argument"; done
  run_line "$command"
}
# app_lines TEXT: how many lines of the sample app's log hold TEXT.
app_lines() { text_of "$temp/mirvo_sample_app.log" | grep -cF -- "$1"; }
wait_for_app_line() {  # TEXT COUNT: up to 20 s for COUNT lines holding TEXT
  for _ in $(seq 100); do [ "$(app_lines "$1")" -ge "$2" ] && return 0; sleep 0.2; done
  return 1
}
folder_gone() { for _ in $(seq 50); do [ -e "$install" ] || return 0; sleep 0.2; done; return 1; }
same_file() { cmp -s "$1" "$2"; }
# class_server CLASS VIEW: the file the class's InprocServer32 names in the
# 64 or 32-bit registry view, empty when the key is not there.
class_server() {
  wine_quiet reg query "HKLM\\Software\\Classes\\CLSID\\$1\\InprocServer32" /ve "/reg:$2" |
    sed -n 's/.*REG_[A-Z_]*SZ *//p'
}
show_class() {
  local server
  server="$(class_server "$1" "$2")"
  echo "   $2-bit view, CLSID\\$1\\InprocServer32: ${server:-(no such key)}"
}
set_build() {
  "$wine_run" reg add "$version_key" /v CurrentBuild /d "$1" /f >/dev/null 2>&1 </dev/null
  "$wine_run" reg add "$version_key" /v CurrentBuildNumber /d "$1" /f >/dev/null 2>&1 </dev/null
  "$wine_run" reg add "$version_key" /v CurrentVersion /d 6.3 /f >/dev/null 2>&1 </dev/null
  "$wine_run" reg add "$version_key" /v CurrentMajorVersionNumber /t REG_DWORD /d 10 /f >/dev/null 2>&1 </dev/null
}

# The Windows build for this run, and the prefix's own put back afterwards.
saved_build="$(reg_value CurrentBuild)"
saved_number="$(reg_value CurrentBuildNumber)"
saved_version="$(reg_value CurrentVersion)"
# What the run puts in Program Files goes again afterwards when it was not there
# before, and after a failed expectation the camera's class keys too: the test
# prefix is shared.
vb_folder="$drive_c/Program Files/VB"
mirvo_folder="$drive_c/Program Files/mirvo"
[ -e "$vb_folder" ] && vb_before=1 || vb_before=0
[ -e "$presence" ] && presence_before=1 || presence_before=0
[ -e "$mirvo_folder" ] && mirvo_before=1 || mirvo_before=0
restore() {
  if [ "$failed" -eq 1 ]; then
    for class in "$vcam_class" '{B4E07C2D-9A16-4F53-8D2A-C71E5B3F0964}' "$dshow_class" \
                 '{6D19F3B4-E82A-4705-B4C6-9A0F1E27D835}'; do
      for view in 64 32; do
        "$wine_run" reg delete "HKLM\\Software\\Classes\\CLSID\\$class" "/reg:$view" /f >/dev/null 2>&1 </dev/null
      done
    done
  fi
  [ "$presence_before" -eq 1 ] || rm -f "$presence"
  [ "$vb_before" -eq 1 ] || rm -rf "$vb_folder"
  [ "$mirvo_before" -eq 1 ] || rm -rf "$mirvo_folder"
  "$wine_run" reg add "$version_key" /v CurrentBuild /d "$saved_build" /f >/dev/null 2>&1 </dev/null
  "$wine_run" reg add "$version_key" /v CurrentBuildNumber /d "$saved_number" /f >/dev/null 2>&1 </dev/null
  "$wine_run" reg add "$version_key" /v CurrentVersion /d "$saved_version" /f >/dev/null 2>&1 </dev/null
  "$wine_run" reg delete "$version_key" /v CurrentMajorVersionNumber /f >/dev/null 2>&1 </dev/null
  rm -rf "$install" "$logs"
  "$wine_run" reg delete "$uninstall_key" /f >/dev/null 2>&1 </dev/null
  "$wine_run" reg delete "$mirvo_key" /f >/dev/null 2>&1 </dev/null
  "$wine_run" reg delete "$machine_entry" /f >/dev/null 2>&1 </dev/null
  "$wine_run" reg delete 'HKLM\Software\MIRVO' /f >/dev/null 2>&1 </dev/null
  rm -rf "$temp"/mirvo-machine-cleanup-*
}
trap restore EXIT
set_build "$build"
rm -rf "$install" "$logs"
rm -f "$temp/mirvo_uninstall.log" "$temp/mirvo_sample_app.log"
if [ "$build" -ge 22000 ]; then windows="Windows 11"; else windows="Windows 10"; fi
w="$windows, $scenario"

# ---- steps the scenarios share -------------------------------------------------

# install SETUP EXPECTED ARGUMENTS...: one silent install as a deployment tool runs it.
install() {
  local exe="$1" expected="$2"
  shift 2
  step "$w: the installer, silent: $(basename "$(dirname "$exe")")/$(basename "$exe") /S $*"
  status=$(run_setup "$exe" /S "$@")
  echo "   installer exit code $status"
  expect "$w: the installer ends with $expected" [ "$status" = "$expected" ]
  echo "   setup.log (the installer's own log, in the install folder), this run:"
  show_run "$install/setup.log"
}
# show_run SETUP_LOG: the lines of its last run (it is appended across runs).
show_run() {
  text_of "$1" utf16 | awk '/^==== /{ n = 0 } { line[n++] = $0 } END { for (i = 0; i < n; i++) print "   | " line[i] }'
}

# installed_machine_part: what a successful elevated part leaves, as install.log and the machine show it.
installed_machine_part() {
  echo "   install.log (mirvo_machine.exe's log, in the install folder):"
  show "$install/install.log"
  local nonce
  nonce="$(text_of "$install/setup.log" utf16 | sed -n 's/^elevated machine-setup started with nonce //p' | tail -n 1)"
  expect "$w: machine-setup waited for the files" has_line "$install/install.log" "files ready; continuing"
  expect "$w: .elevated_done holds this run's nonce ($nonce)" \
         [ -n "$nonce" -a "$(cat "$install/.elevated_done" 2>/dev/null)" = "$nonce" ]
  expect "$w: .elevated_ready was taken away" test ! -e "$install/.elevated_ready"
  camera_and_vbcable "$install/install.log"
}

# camera_and_vbcable INSTALL_LOG: the camera for this build and VB-CABLE, as the log and the machine show them.
camera_and_vbcable() {
  if [ "$build" -ge 22000 ]; then
    show_class "$vcam_class" 64
    expect "$w: the Windows 11 camera is registered" \
           has_line "$1" "MIRVO Camera registered from C:\\Program Files\\mirvo\\Camera"
    expect "$w: the 64-bit view names the placed camera DLL" \
           [ "$(class_server "$vcam_class" 64)" = 'C:\Program Files\mirvo\Camera\mirvo_vcam.dll' ]
    expect "$w: the 32-bit view has no virtual-camera class" [ -z "$(class_server "$vcam_class" 32)" ]
  else
    show_class "$dshow_class" 64
    show_class "$dshow_class" 32
    expect "$w: the DirectShow camera is registered" \
           has_line "$1" "machine-wide camera classes registered OK"
    expect "$w: the 64-bit view names the 64-bit DLL" \
           [ "$(class_server "$dshow_class" 64)" = 'C:\Program Files\mirvo\Camera\mirvo_dshow64.dll' ]
    expect "$w: the 32-bit view names the 32-bit DLL" \
           [ "$(class_server "$dshow_class" 32)" = 'C:\Program Files\mirvo\Camera\mirvo_dshow32.dll' ]
  fi
  echo "   VB-CABLE presence file: $( [ -f "$presence" ] && echo present || echo absent)"
  if [ "${2:-present}" = present ]; then
    expect "$w: VB-CABLE's presence file is there" test -f "$presence"
  else
    expect "$w: VB-CABLE was not installed" test ! -e "$presence"
  fi
}

# registered_uninstall EXPECTED: runs the QuietUninstallString read back from
# the registry, as Settings or a deployment tool does.
registered_uninstall() {
  local quiet
  quiet="$(reg_get "$uninstall_key" QuietUninstallString)"
  step "$w: the uninstall through the registered QuietUninstallString: $quiet"
  status=$(run_line "$quiet")
  echo "   uninstaller exit code $status"
  expect "$w: the registered uninstall ends with $1, its real outcome" [ "$status" = "$1" ]
}

# uninstall EXPECTED ARGUMENTS...: uninstall.exe run in place, silent.
uninstall() {
  local expected="$1"
  shift
  step "$w: the uninstaller, silent, in place: uninstall.exe /S $* _?=$install_win"
  status=$(run_setup "$install/uninstall.exe" /S "$@" "_?=$install_win")
  echo "   uninstaller exit code $status"
  expect "$w: the uninstaller ends with $expected" [ "$status" = "$expected" ]
}

# removed_all VBCABLE: the machine and the install folder after a full removal;
# VBCABLE "gone" or "stays".
removed_all() {
  echo "   setup.log and install.log, copied to %TEMP%\\MIRVO-logs before the install folder went:"
  show_run "$logs/setup.log"
  show "$logs/install.log" | sed -n '/stop-app/,$p'
  expect "$w: machine-remove finished" has_line "$logs/install.log" "uninstall done"
  expect "$w: the install folder is gone" folder_gone
  expect "$w: the Add/Remove Programs entry is gone" [ -z "$(reg_get "$uninstall_key" DisplayName)" ]
  expect "$w: the camera folder is gone" test ! -e "$camera"
  expect "$w: no camera class in either view" \
         [ -z "$(class_server "$vcam_class" 64)$(class_server "$dshow_class" 64)$(class_server "$dshow_class" 32)" ]
  if [ "$1" = gone ]; then
    expect "$w: VB-CABLE, which this install put there, is removed" has_line "$logs/install.log" "VB-CABLE removed (exit 0)"
    expect "$w: VB-CABLE's presence file is gone" test ! -e "$presence"
  else
    expect "$w: VB-CABLE, which was there before MIRVO, is kept" \
           has_line "$logs/install.log" "VB-CABLE: kept (the uninstaller was told to keep it)"
    expect "$w: VB-CABLE's presence file is still there" test -f "$presence"
  fi
}

# install_machine_part EXPECTED ARGUMENTS...: the machine-part installer, silent,
# as a deployment tool runs it (elevated: Wine runs everything elevated).
install_machine_part() {
  local expected="$1"
  shift
  step "$w: the machine-part installer, silent: mirvo_machine_setup.exe /S $*"
  status=$(run_setup "$machine_setup" /S "$@")
  echo "   machine-part installer exit code $status"
  expect "$w: the machine-part installer ends with $expected" [ "$status" = "$expected" ]
  echo "   setup.log (in the machine folder), this run:"
  show_run "$machine/setup.log"
  echo "   install.log (mirvo_machine.exe's log, in the machine folder):"
  show "$machine/install.log"
  echo "   $machine_win holds: $(cd "$machine" 2>/dev/null && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')"
  for file in mirvo_machine.exe cmp/vcm/mirvo_vcam.dll cmp/dsc/mirvo_dshow64.dll cmp/dsc/mirvo_dshow32.dll \
              audio-driver/VBCABLE_Setup_x64.exe uninstall.exe; do
    expect "$w: $file is in %ProgramFiles%\\mirvo\\Machine" test -f "$machine/$file"
  done
  expect "$w: machine-setup ran on the machine folder, without a hand-shake" \
         has_line "$machine/setup.log" "machine-setup --install-dir \"$machine_win\" --log \"$machine_win\\install.log\"" utf16
  expect "$w: nothing of the app and nothing of a user (no mirvo.exe, no per-user folder, no HKCU entry)" \
         test ! -e "$machine/mirvo.exe" -a ! -e "$install" -a -z "$(reg_get "$uninstall_key" DisplayName)"
}

# machine_entry_shown: the HKLM entry, as reg query shows it.
machine_entry_shown() {
  step "$w: the machine part's Add/Remove Programs entry, as reg query shows it"
  wine_quiet reg query "$machine_entry" | sed -n 's/^ \{4\}/   /p'
  expect "$w: DisplayName is \"MIRVO camera and audio driver\"" \
         [ "$(reg_get "$machine_entry" DisplayName)" = "MIRVO camera and audio driver" ]
  expect "$w: QuietUninstallString runs it in place, silent" \
         [ "$(reg_get "$machine_entry" QuietUninstallString)" = "\"$machine_win\\uninstall.exe\" /S _?=$machine_win" ]
  expect "$w: DisplayVersion is the setup's version resource's" \
         [ "$(reg_get "$machine_entry" DisplayVersion)" = \
           "$(strings -el -n 4 "$machine_setup" | grep -A1 -x ProductVersion | tail -n 1)" ]
}

# machine_part_removed VBCABLE: the registered quiet uninstall, then a clean
# machine; VBCABLE "gone" or "stays".
machine_part_removed() {
  local quiet
  quiet="$(reg_get "$machine_entry" QuietUninstallString)"
  step "$w: the machine part's uninstall through the registered QuietUninstallString: $quiet"
  status=$(run_line "$quiet")
  echo "   uninstaller exit code $status"
  expect "$w: the registered uninstall ends with 0, its real outcome" [ "$status" = 0 ]
  echo "   setup.log and install.log, copied to %TEMP%\\MIRVO-logs\\machine:"
  show_run "$machine_logs/setup.log"
  show "$machine_logs/install.log" | sed -n '/elevated removal/,$p'
  expect "$w: machine-remove finished" has_line "$machine_logs/install.log" "uninstall done"
  local gone=1
  for _ in $(seq 50); do [ -e "$drive_c/Program Files/mirvo" ] || { gone=0; break; }; sleep 0.2; done
  expect "$w: %ProgramFiles%\\mirvo is gone (Machine and Camera)" [ "$gone" -eq 0 ]
  expect "$w: the HKLM entry and the ownership record are gone" \
         [ -z "$(reg_get "$machine_entry" DisplayName)$(reg_get 'HKLM\Software\MIRVO\Machine' VBCableInstalledBySetup)" ]
  expect "$w: no camera class in either view" \
         [ -z "$(class_server "$vcam_class" 64)$(class_server "$dshow_class" 64)$(class_server "$dshow_class" 32)" ]
  if [ "$1" = gone ]; then
    expect "$w: VB-CABLE, which the machine part put there, is removed" \
           has_line "$machine_logs/install.log" "VB-CABLE removed (exit 0)"
    expect "$w: VB-CABLE's presence file is gone" test ! -e "$presence"
  else
    expect "$w: VB-CABLE is not removed (machine-remove was not given --vbcable)" \
           has_line "$machine_logs/install.log" "VB-CABLE: kept (the uninstaller was told to keep it)"
  fi
}

# start_app: the installed app, as the user starts it.
start_app() {
  "$wine_run" "$install/mirvo.exe" </dev/null >/dev/null 2>&1 &
  wait_for_app_line "started: process" 1
}

# ---- the scenarios -------------------------------------------------------------

case "$scenario" in
fresh)
  install "$setup" 0
  expect "$w: setup.log ends with success" has_line "$install/setup.log" "done: the elevated part finished" utf16
  installed_machine_part
  expect "$w: this install put VB-CABLE there, recorded in HKCU\\Software\\MIRVO" \
         [ "$(reg_get "$mirvo_key" VBCableInstalledBySetup)" = 0x1 ]
  step "$w: the Add/Remove Programs entry, as reg query shows it"
  wine_quiet reg query "$uninstall_key" | sed -n 's/^ \{4\}/   /p'
  for value in DisplayName DisplayVersion Publisher DisplayIcon EstimatedSize InstallLocation NoModify NoRepair; do
    expect "$w: the entry has $value" [ -n "$(reg_get "$uninstall_key" "$value")" ]
  done
  expect "$w: UninstallString runs it in place" \
         [ "$(reg_get "$uninstall_key" UninstallString)" = "\"$install_win\\uninstall.exe\" _?=$install_win" ]
  expect "$w: QuietUninstallString adds /S" \
         [ "$(reg_get "$uninstall_key" QuietUninstallString)" = "\"$install_win\\uninstall.exe\" /S _?=$install_win" ]
  version="$(strings -el -n 4 "$setup" | grep -A1 -x ProductVersion | tail -n 1)"
  echo "   setup.exe's version resource: ProductVersion ${version:-(none)}"
  expect "$w: setup.exe carries a version resource with the entry's version" \
         [ "$version" = "$(reg_get "$uninstall_key" DisplayVersion)" ]
  if [ -n "$ca" ]; then
    step "$w: the signatures of setup.exe and of the uninstaller it wrote (osslsigncode verify)"
    for file in "$setup" "$install/uninstall.exe"; do
      # The subject is read only from a run that verified the whole chain.
      subject="$(osslsigncode verify -CAfile "$ca" -in "$file" 2>/dev/null |
                 sed -n 's/^[[:space:]]*Subject: \/CN=//p' | head -n 1)"
      osslsigncode verify -CAfile "$ca" -in "$file" >/dev/null 2>&1 || subject=""
      echo "   $(basename "$file"): signed by \"${subject:-nobody}\""
      expect "$w: $(basename "$file") carries a valid signature by MIRVO Test Signer" \
             [ "$subject" = "MIRVO Test Signer" ]
    done
  fi

  step "$w: the app updates itself: mirvo.exe --update hands its restart to mirvo_machine.exe relaunch"
  status=0
  "$wine_run" "$install/mirvo.exe" --update </dev/null >/dev/null 2>&1 || status=$?
  wait_for_app_line "relaunched: process" 1
  show "$temp/mirvo_sample_app.log"
  expect "$w: the old app process exits with 0" [ "$status" -eq 0 ]
  expect "$w: the app was started again, after the old process had ended" \
         has_line "$temp/mirvo_sample_app.log" "the previous process $(sed -n 's/^update: process \([0-9]*\) .*/\1/p' \
                  "$temp/mirvo_sample_app.log" | tr -d '\r' | head -n 1) had ended"

  registered_uninstall 0
  expect "$w: the running app was asked to exit and did" \
         has_line "$temp/mirvo_sample_app.log" "app: asked to exit (MIRVO.ExitForUninstall); exiting"
  removed_all gone
  ;;

declined)
  install "$setup" 1602 /ELEVATION_DECLINED
  expect "$w: setup.log says elevation was declined" \
         has_line "$install/setup.log" "elevation declined: installing MIRVO without the camera and VB-CABLE" utf16
  expect "$w: the app and the payload are installed" \
         test -f "$install/mirvo.exe" -a -f "$install/cmp/vcm/mirvo_vcam.dll" -a -f "$install/audio-driver/VBCABLE_Setup_x64.exe"
  expect "$w: nothing elevated ran (no install.log, no done marker)" \
         test ! -e "$install/install.log" -a ! -e "$install/.elevated_done"
  expect "$w: no camera folder, no VB-CABLE" test ! -e "$camera" -a ! -e "$presence"
  install "$setup" 0
  echo "   (setup run again offers the machine part again)"
  installed_machine_part
  registered_uninstall 0
  removed_all gone
  ;;

uninstall-declined)
  install "$setup" 0
  installed_machine_part
  uninstall 1602 /ELEVATION_DECLINED
  show_run "$install/setup.log"
  echo "   install folder holds: $(ls -A "$install" | tr '\n' ' ')"
  expect "$w: setup.log says the camera and VB-CABLE stay" \
         has_line "$install/setup.log" "Elevation declined: the camera and VB-CABLE stay on this machine." utf16
  expect "$w: uninstall.exe, mirvo_machine.exe and the audio-driver payload stay; the app is gone" \
         test -f "$install/uninstall.exe" -a -f "$install/mirvo_machine.exe" \
              -a -f "$install/audio-driver/VBCABLE_Setup_x64.exe" -a ! -e "$install/mirvo.exe"
  echo "   DisplayName: $(reg_get "$uninstall_key" DisplayName)"
  expect "$w: the entry stays and says what is still installed" \
         [ "$(reg_get "$uninstall_key" DisplayName)" = "MIRVO (the camera and audio driver are still installed)" ]
  expect "$w: the camera and VB-CABLE are still on the machine" test -e "$camera" -a -f "$presence"
  echo "   (the user uninstalls again and accepts the prompt)"
  registered_uninstall 0
  removed_all gone
  ;;

upgrade)
  install "$nsis_out/old/mirvo_setup.exe" 0
  expect "$w: the earlier version is installed (DisplayVersion 0.9.0.0)" \
         [ "$(reg_get "$uninstall_key" DisplayVersion)" = 0.9.0.0 ]
  step "$w: the user starts the app"
  start_app
  show "$temp/mirvo_sample_app.log"
  expect "$w: the app runs" [ "$(app_lines "started: process")" -eq 1 ]
  install "$setup" 0 /RELAUNCH
  wait_for_app_line "started: process" 2
  echo "   mirvo_sample_app.log:"
  show "$temp/mirvo_sample_app.log"
  expect "$w: the running app was asked to exit first (stop-app)" \
         has_line "$temp/mirvo_sample_app.log" "app: asked to exit (MIRVO.ExitForUninstall); exiting"
  expect "$w: the new mirvo.exe is in place, not the old one" \
         same_file "$install/mirvo.exe" "$nsis_out/payload/mirvo.exe"
  expect "$w: DisplayVersion is the new one (1.0.0.0)" [ "$(reg_get "$uninstall_key" DisplayVersion)" = 1.0.0.0 ]
  expect "$w: /RELAUNCH started the app again" [ "$(app_lines "started: process")" -eq 2 ]
  expect "$w: setup.log says so" has_line "$install/setup.log" "starting the app again (/RELAUNCH)" utf16
  registered_uninstall 0
  removed_all gone
  ;;

held)
  install "$nsis_out/old/mirvo_setup.exe" 0
  step "$w: a helper opens mirvo.exe with share mode 0 (stands in for the running app's file, which Windows locks and Wine does not)"
  rm -f "$install/../held.ready" "$install/../held.stop"
  "$wine_run" "$helper" hold-file "$install_win\\mirvo.exe" "$install_win\\..\\held.ready" "$install_win\\..\\held.stop" \
      </dev/null >/dev/null 2>&1 &
  holder=$!
  for _ in $(seq 100); do [ -e "$install/../held.ready" ] && break; sleep 0.1; done
  expect "$w: the helper holds mirvo.exe" test -e "$install/../held.ready"
  install "$setup" 1603
  expect "$w: setup.log names the file in use" \
         has_line "$install/setup.log" "FAILED: cannot replace $install_win\\mirvo.exe: another program holds it" utf16
  expect "$w: the old mirvo.exe is still there, unchanged" same_file "$install/mirvo.exe" "$nsis_out/old/payload/mirvo.exe"
  touch "$install/../held.stop"
  wait "$holder"
  rm -f "$install/../held.ready" "$install/../held.stop"
  echo "   (the helper lets go; the same setup runs again)"
  install "$setup" 0
  expect "$w: now the new mirvo.exe is in place" same_file "$install/mirvo.exe" "$nsis_out/payload/mirvo.exe"
  registered_uninstall 0
  removed_all gone
  ;;

vbcable-before)
  step "$w: VB-CABLE is on the machine before MIRVO (its presence file)"
  mkdir -p "$(dirname "$presence")"
  : > "$presence"
  install "$setup" 0
  installed_machine_part
  expect "$w: machine-setup skipped VB-CABLE" has_line "$install/install.log" "VB-CABLE already installed; skipping"
  expect "$w: no VB-CABLE ownership recorded in HKCU\\Software\\MIRVO" \
         [ -z "$(reg_get "$mirvo_key" VBCableInstalledBySetup)" ]
  registered_uninstall 0
  removed_all stays
  ;;

foreign-camera)
  install "$nsis_out/foreign_camera/mirvo_setup.exe" 1603
  show "$install/install.log"
  expect "$w: setup.log says why, with the program's own line" \
         has_line "$install/setup.log" 'FAILED: the camera or VB-CABLE is not installed:' utf16
  expect "$w: install.log names the other signer" has_line "$install/install.log" 'is signed by "Another Signer", not by "MIRVO Test Signer" - refusing to register it'
  expect "$w: no camera class was written" \
         [ -z "$(class_server "$vcam_class" 64)$(class_server "$dshow_class" 64)" ]
  registered_uninstall 0
  removed_all gone
  ;;

machine-part)
  install_machine_part 0
  camera_and_vbcable "$machine/install.log"
  machine_entry_shown
  expect "$w: VB-CABLE's ownership is recorded under HKLM\\Software\\MIRVO\\Machine" \
         [ "$(reg_get 'HKLM\Software\MIRVO\Machine' VBCableInstalledBySetup)" = 0x1 ]
  machine_part_removed gone
  ;;

machine-part-novbcable)
  install_machine_part 0 /NOVBCABLE
  expect "$w: machine-setup was told --no-vbcable" \
         has_line "$machine/install.log" "VB-CABLE: not selected; skipping (Advanced Settings can install the virtual microphone later)"
  camera_and_vbcable "$machine/install.log" absent
  machine_entry_shown
  machine_part_removed stays
  ;;

machine-part-unelevated)
  step "$w: the machine-part installer started with the linked, non-elevated token (mirvo_launch.exe --unelevated)"
  status=$(run_line "\"$(windows_path "$launcher")\" --unelevated \"$(windows_path "$(realpath "$machine_setup")")\" /S")
  echo "   machine-part installer exit code $status"
  expect "$w: not elevated, it ends with 1603" [ "$status" = 1603 ]
  show_run "$machine_logs/setup.log"
  expect "$w: setup.log says why" has_line "$machine_logs/setup.log" "FAILED: not elevated" utf16
  expect "$w: nothing changed: no machine folder, no camera, no entry" \
         test ! -e "$machine" -a ! -e "$camera" -a -z "$(reg_get "$machine_entry" DisplayName)"
  ;;

user-on-machine-part)
  install_machine_part 0
  camera_and_vbcable "$machine/install.log"
  echo "   (a user installs an earlier per-user MIRVO, 0.9.0.0, on this machine)"
  install "$nsis_out/old/mirvo_setup.exe" 0 /ELEVATION_DECLINED
  expect "$w: setup.log names the machine part it found and its program's version" \
         has_line "$install/setup.log" "the machine part is installed for this machine by an administrator: MIRVO camera and audio driver 1.0.0.0 ($machine_win\\mirvo_machine.exe: version " utf16
  expect "$w: setup.log says the other version is the administrator's to update" \
         has_line "$install/setup.log" "the machine part's version 1.0.0.0 is not this setup's 0.9.0.0: updating it is the administrator's (the machine-part installer)" utf16
  expect "$w: no elevated part was asked for (no decline, no install.log, no done marker)" \
         test ! -e "$install/install.log" -a ! -e "$install/.elevated_done"
  expect "$w: no decline in setup.log" eval '! has_line "$install/setup.log" "elevation declined" utf16'
  expect "$w: the app is installed" test -f "$install/mirvo.exe"
  registered_uninstall 0
  show_run "$logs/setup.log"
  expect "$w: the user's uninstall did not run machine-remove" \
         has_line "$logs/setup.log" "machine-remove is not run; the camera and VB-CABLE stay for the administrator's uninstall" utf16
  expect "$w: the user's install folder and entry are gone" folder_gone
  expect "$w: the administrator's camera and VB-CABLE are still there" test -e "$camera" -a -f "$presence"
  camera_and_vbcable "$machine/install.log"
  machine_part_removed gone
  ;;

*)
  echo "installer_flow.sh: unknown scenario $scenario" >&2
  exit 2
  ;;
esac
exit "$failed"
