#!/usr/bin/env bash
# One whole install and removal with the reference installer, as a user's machine
# sees it, in the Wine prefix named by WINEPREFIX (its wineserver running):
#   installer_flow.sh SETUP_EXE BUILD [declined]
# BUILD is the Windows build the prefix reports for the run (22000 and later:
# the Windows 11 camera; older: the DirectShow camera); it is put back when the
# run ends. "declined" plays a user who says No to the elevation prompt.
# Prints what it looks at, one "PASS: ..." or "FAIL: ..." line per expectation
# (appended to the file RESULTS too, when set), and ends with 1 when one failed.
set -u
setup="$1"
build="$2"
mode="${3:-}"
here="$(cd "$(dirname "$0")" && pwd)"
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
  [ "$vb_before" -eq 1 ] || rm -rf "$vb_folder"
  [ "$mirvo_before" -eq 1 ] || rm -rf "$mirvo_folder"
  "$wine_run" reg add "$version_key" /v CurrentBuild /d "$saved_build" /f >/dev/null 2>&1 </dev/null
  "$wine_run" reg add "$version_key" /v CurrentBuildNumber /d "$saved_number" /f >/dev/null 2>&1 </dev/null
  "$wine_run" reg add "$version_key" /v CurrentVersion /d "$saved_version" /f >/dev/null 2>&1 </dev/null
  "$wine_run" reg delete "$version_key" /v CurrentMajorVersionNumber /f >/dev/null 2>&1 </dev/null
  rm -rf "$install"
}
trap restore EXIT
set_build "$build"
rm -rf "$install"
rm -f "$temp/mirvo_uninstall.log" "$temp/mirvo_uninstaller.log" "$temp/mirvo_sample_app.log"
if [ "$build" -ge 22000 ]; then windows="Windows 11"; else windows="Windows 10"; fi

if [ "$mode" = declined ]; then
  step "$windows (build $build): the installer, silent, the user declining elevation: setup.exe /S /ELEVATION_DECLINED"
else
  step "$windows (build $build): the installer, silent: setup.exe /S"
fi
status=0
if [ "$mode" = declined ]; then
  "$wine_run" "$setup" /S /ELEVATION_DECLINED </dev/null >/dev/null 2>&1 || status=$?
else
  "$wine_run" "$setup" /S </dev/null >/dev/null 2>&1 || status=$?
fi
echo "   installer exit status $status"
expect "$windows: the installer ends with status 0" [ "$status" -eq 0 ]
echo "   setup.log (the installer's own log):"
show "$install/setup.log" utf16

if [ "$mode" = declined ]; then
  expect "$windows, declined: setup.log says elevation was declined" \
         has_line "$install/setup.log" "elevation declined: installing MIRVO without the camera and VB-CABLE" utf16
  expect "$windows, declined: the app and the payload are installed" \
         test -f "$install/mirvo.exe" -a -f "$install/cmp/vcm/mirvo_vcam.dll" -a -f "$install/audio-driver/VBCABLE_Setup_x64.exe"
  expect "$windows, declined: nothing elevated ran (no install.log, no done marker)" \
         test ! -e "$install/install.log" -a ! -e "$install/.elevated_done"
  expect "$windows, declined: no camera folder" test ! -e "$camera"
  expect "$windows, declined: no VB-CABLE" test ! -e "$presence"
  step "$windows: the uninstaller, silent, declined as well: uninstall.exe /S /ELEVATION_DECLINED _?=$install_win"
  status=0
  "$wine_run" "$install/uninstall.exe" /S /ELEVATION_DECLINED "_?=$install_win" </dev/null >/dev/null 2>&1 || status=$?
  echo "   uninstaller exit status $status"
  show "$temp/mirvo_uninstaller.log" utf16
  expect "$windows, declined: the uninstaller ends with status 0" [ "$status" -eq 0 ]
  expect "$windows, declined: the uninstaller says the camera and VB-CABLE stay" \
         has_line "$temp/mirvo_uninstaller.log" "elevation declined: the camera and VB-CABLE stay on this machine" utf16
  remaining="$(ls -A "$install" 2>/dev/null | tr '\n' ' ')"
  expect "$windows, declined: only the running uninstaller is left in the install folder ($remaining)" \
         [ "$remaining" = "uninstall.exe " ]
  exit "$failed"
fi

nonce="$(text_of "$install/setup.log" utf16 | sed -n 's/^elevated machine-setup started with nonce //p')"
expect "$windows: setup.log ends with success" \
       has_line "$install/setup.log" "done: the elevated part finished" utf16
echo "   install.log (the elevated machine-setup's log):"
show "$install/install.log"
expect "$windows: machine-setup waited for the files" has_line "$install/install.log" "files ready; continuing"
if [ "$build" -ge 22000 ]; then
  expect "$windows: the Windows 11 camera is registered" \
         has_line "$install/install.log" "MIRVO Camera registered from C:\\Program Files\\mirvo\\Camera"
else
  expect "$windows: the DirectShow camera is registered" \
         has_line "$install/install.log" "machine-wide camera classes registered OK"
fi
expect "$windows: VB-CABLE is installed" has_line "$install/install.log" "VB-CABLE installed (exit 0)"
echo "   .elevated_done holds: $(cat "$install/.elevated_done" 2>/dev/null || echo '(no file)')"
expect "$windows: .elevated_done holds this run's nonce ($nonce)" \
       [ -n "$nonce" -a "$(cat "$install/.elevated_done" 2>/dev/null)" = "$nonce" ]
expect "$windows: .elevated_ready was taken away" test ! -e "$install/.elevated_ready"

step "$windows: the camera folder C:\\Program Files\\mirvo\\Camera"
ls -l "$camera" 2>/dev/null | tail -n +2 | sed 's/^/   /' || echo "   (no folder)"
step "$windows: the camera's class keys in both registry views"
if [ "$build" -ge 22000 ]; then
  show_class "$vcam_class" 64
  show_class "$vcam_class" 32
  expect "$windows: the camera DLL is in the camera folder" test -f "$camera/mirvo_vcam.dll"
  expect "$windows: the 64-bit view names the placed camera DLL" \
         [ "$(class_server "$vcam_class" 64)" = 'C:\Program Files\mirvo\Camera\mirvo_vcam.dll' ]
  expect "$windows: the 32-bit view has no virtual-camera class" [ -z "$(class_server "$vcam_class" 32)" ]
else
  show_class "$dshow_class" 64
  show_class "$dshow_class" 32
  expect "$windows: both DirectShow DLLs are in the camera folder" \
         test -f "$camera/mirvo_dshow64.dll" -a -f "$camera/mirvo_dshow32.dll"
  expect "$windows: the 64-bit view names the 64-bit DLL" \
         [ "$(class_server "$dshow_class" 64)" = 'C:\Program Files\mirvo\Camera\mirvo_dshow64.dll' ]
  expect "$windows: the 32-bit view names the 32-bit DLL" \
         [ "$(class_server "$dshow_class" 32)" = 'C:\Program Files\mirvo\Camera\mirvo_dshow32.dll' ]
fi
echo "   VB-CABLE presence file: $( [ -f "$presence" ] && echo present || echo absent)"
expect "$windows: VB-CABLE's presence file is there" test -f "$presence"

step "$windows: the app updates itself: mirvo.exe --update hands its restart to mirvo_machine.exe relaunch"
status=0
"$wine_run" "$install/mirvo.exe" --update </dev/null >/dev/null 2>&1 || status=$?
echo "   mirvo.exe --update exit status $status"
for _ in $(seq 100); do
  has_line "$temp/mirvo_sample_app.log" "relaunched: process" && break
  sleep 0.2
done
echo "   mirvo_sample_app.log (the sample app's log, in the temporary folder):"
show "$temp/mirvo_sample_app.log"
expect "$windows: the old app process exits with 0" [ "$status" -eq 0 ]
expect "$windows: the app was started again, after the old process had ended" \
       has_line "$temp/mirvo_sample_app.log" "the previous process $(sed -n 's/^update: process \([0-9]*\) .*/\1/p' \
                "$temp/mirvo_sample_app.log" | tr -d '\r' | head -n 1) had ended"

step "$windows: the uninstaller, silent, run in place so it can be waited for: uninstall.exe /S _?=$install_win"
status=0
"$wine_run" "$install/uninstall.exe" /S "_?=$install_win" </dev/null >/dev/null 2>&1 || status=$?
echo "   uninstaller exit status $status"
echo "   mirvo_uninstaller.log (the uninstaller's own log, in the temporary folder):"
show "$temp/mirvo_uninstaller.log" utf16
echo "   mirvo_uninstall.log (the elevated machine-remove's log, in the temporary folder):"
show "$temp/mirvo_uninstall.log"
expect "$windows: the uninstaller ends with status 0" [ "$status" -eq 0 ]
expect "$windows: stop-app ended with 0" has_line "$temp/mirvo_uninstaller.log" "stop-app ended with status 0" utf16
expect "$windows: the running app was asked to exit and did" \
       has_line "$temp/mirvo_sample_app.log" "relaunched: asked to exit (MIRVO.ExitForUninstall); exiting"
expect "$windows: machine-remove ended with 0" \
       has_line "$temp/mirvo_uninstaller.log" "machine-remove ended with status 0" utf16
expect "$windows: machine-remove removed VB-CABLE" has_line "$temp/mirvo_uninstall.log" "VB-CABLE removed (exit 0)"
expect "$windows: machine-remove finished" has_line "$temp/mirvo_uninstall.log" "uninstall done"

step "$windows: the machine after the removal"
echo "   camera folder: $( [ -e "$camera" ] && echo 'still there' || echo gone)"
show_class "$vcam_class" 64
show_class "$dshow_class" 64
show_class "$dshow_class" 32
echo "   VB-CABLE presence file: $( [ -e "$presence" ] && echo 'still there' || echo gone)"
remaining="$(ls -A "$install" 2>/dev/null | tr '\n' ' ')"
echo "   install folder holds: ${remaining:-(nothing)}"
[ "$remaining" = "uninstall.exe " ] || (cd "$install" 2>/dev/null && find . | sed 's/^/     /')
expect "$windows: the camera folder is gone" test ! -e "$camera"
expect "$windows: no camera class in either view" \
       [ -z "$(class_server "$vcam_class" 64)$(class_server "$dshow_class" 64)$(class_server "$dshow_class" 32)" ]
expect "$windows: VB-CABLE's presence file is gone" test ! -e "$presence"
# Run in place, the uninstaller cannot delete its own file: the caller does.
expect "$windows: only the running uninstaller is left in the install folder" [ "$remaining" = "uninstall.exe " ]
exit "$failed"
