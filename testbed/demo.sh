#!/usr/bin/env bash
# The demo command: installs what is missing, builds, builds the reference NSIS
# installer (examples/nsis) for a sample MIRVO build and its variants (an
# earlier version, a camera of another signer), and in a new throwaway Wine
# prefix (build/demo-prefix) runs one scenario per block, as a user's machine
# and a deployment tool would see it (testbed/installer_flow.sh). Every step
# prints what it looks at and checks what it expects; the summary counts them,
# and the command ends with 1 when one failed.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/testbed/setup-machine.sh"
echo "== building (the program, the sample app and the stand-in payloads)"
bash "$root/testbed/build.sh" mirvo_release mirvo_sample_app mirvo_launch test_camera_good test_dshow64 \
     test_dshow32 vbcable_setup_standin trust_sample same_signer_probe nsis_elevated_standin >/dev/null

bin="$root/build/bin"
results="$root/build/demo-results.txt"
: > "$results"
pass() { echo "   PASS: $*"; echo "PASS: $*" >> "$results"; }
fail() { echo "   FAIL: $*"; echo "FAIL: $*" >> "$results"; }

echo
echo "== the sample installer"
echo "   The payloads are STAND-INS built from this project's own sources (a test camera"
echo "   DLL, DirectShow stand-ins, a stand-in for VB-Audio's setup program, a sample app),"
echo "   signed just now with a THROWAWAY TEST CERTIFICATE made in build/demo-pki, never"
echo "   with a real one. The installer carries the shipped build/release/mirvo_machine.exe,"
echo "   signed the same way by the camera DLLs' signer; setup.exe and its uninstaller too."
pki="$root/build/demo-pki"
bash "$root/tests/trust/make_test_pki.sh" "$pki" "$bin/trust_parts/trust_sample.dll" \
     "$bin/trust_parts/same_signer_probe.exe" >/dev/null
bash "$root/tests/nsis/build_test_installers.sh" "$root/build" "$pki/keys" "$root/build/nsis" \
     "$bin/nsis_parts/nsis_elevated_standin.exe" >/dev/null
setup="$root/build/nsis/mirvo_setup.exe"
echo "   built $setup ($(stat -c %s "$setup") bytes) with makensis $(makensis -VERSION)"
payload="$root/build/nsis/payload"
for entry in "mirvo_machine.exe:MIRVO Test Signer" "cmp/vcm/mirvo_vcam.dll:MIRVO Test Signer" \
             "cmp/dsc/mirvo_dshow64.dll:MIRVO Test Signer" "cmp/dsc/mirvo_dshow32.dll:MIRVO Test Signer" \
             "audio-driver/VBCABLE_Setup_x64.exe:QUARN ELIDORE"; do
  file="${entry%%:*}" signer="${entry#*:}"
  subject="$(osslsigncode verify -CAfile "$pki/keys/ca.pem" -in "$payload/$file" 2>/dev/null |
             sed -n 's/^[[:space:]]*Subject: \/CN=//p' | head -n 1)"
  if osslsigncode verify -CAfile "$pki/keys/ca.pem" -in "$payload/$file" >/dev/null 2>&1 &&
     [ "$subject" = "$signer" ]; then
    pass "$file carries a valid signature by \"$signer\" (test certificate)"
  else
    fail "$file: expected a valid signature by \"$signer\", got \"$subject\""
  fi
done

export WINEPREFIX="$root/build/demo-prefix"
rm -f "$WINEPREFIX/.mirvo-ready"
echo
echo "== making the throwaway Wine prefix $WINEPREFIX"
bash "$root/testbed/wine-prefix.sh" start "$WINEPREFIX"
trap 'bash "$root/testbed/wine-prefix.sh" stop "$WINEPREFIX"' EXIT

echo
echo "== a few single runs of the program, as a caller sees them"
# run EXPECTED MODE WHAT ARGUMENTS...: MODE is --elevated or --unelevated.
run() {
  local expected="$1" mode="$2" what="$3"
  shift 3
  local status=0
  "$root/testbed/wine-run.sh" "$bin/mirvo_launch.exe" "$mode" "$payload/mirvo_machine.exe" "$@" \
      </dev/null >/dev/null 2>&1 || status=$?
  if [ "$status" -eq "$expected" ]; then pass "$what: status $status"; else fail "$what: status $status, expected $expected"; fi
}
run 0 --unelevated "version" version
run 2 --elevated "unknown verb" install-everything
run 2 --elevated "bad command line (--Log is not an option)" stop-app --Log x.log
run 3 --unelevated "camera-remove not elevated (refused)" camera-remove
run 0 --unelevated "vbcable-verify on the signed VB-CABLE stand-in" \
    vbcable-verify --setup "$payload/audio-driver/VBCABLE_Setup_x64.exe"
run 1 --unelevated "vbcable-verify on a camera DLL (another signer)" \
    vbcable-verify --setup "$payload/cmp/vcm/mirvo_vcam.dll"

export CA="$pki/keys/ca.pem" HELPER="$bin/nsis_parts/nsis_elevated_standin.exe" LAUNCHER="$bin/mirvo_launch.exe"
# scenario TITLE WHAT_IS_CHECKED BUILD NAME: one block of the demo.
scenario() {
  echo
  echo "== $1"
  echo "   checks: $2"
  RESULTS="$results" bash "$root/testbed/installer_flow.sh" "$setup" "$3" "$4" || true
}
scenario "install, app restart and removal on the Windows 11 path" \
         "exit codes, install.log, the camera, VB-CABLE, the Add/Remove Programs entry (reg query), both signatures, the uninstall through the registered QuietUninstallString" \
         22000 fresh
scenario "install and removal on the Windows 10 path" "the same with the DirectShow camera" 19045 fresh
scenario "install with the elevation declined (the /ELEVATION_DECLINED switch stands in for No at the UAC prompt)" \
         "1602, the app without the machine part, setup run again offering it" 22000 declined
scenario "install accepted, uninstall declined, uninstall again" \
         "1602 and the machine part kept with the means to remove it, then a full removal" 22000 uninstall-declined
scenario "upgrade over an installed earlier version while the sample app runs: setup.exe /S /RELAUNCH" \
         "the app is asked to exit, the new files are in place, /RELAUNCH starts it again" 22000 upgrade
scenario "upgrade while a helper holds mirvo.exe with share mode 0 (stands in for the file of a running app, which Windows locks)" \
         "1603, the setup.log line, no dialog, the old file unchanged; then the same setup succeeds" 22000 held
scenario "VB-CABLE on the machine before MIRVO" "install skips it, no ownership recorded, the uninstall keeps it" 22000 vbcable-before
scenario "a failure as a user meets it: camera DLLs signed by another signer" \
         "1603 and what setup.log says" 22000 foreign-camera
scenario "an administrator deploys the machine part alone (mirvo_machine_setup.exe /S), then removes it, Windows 11 path" \
         "files in %ProgramFiles%\\mirvo\\Machine, the camera, VB-CABLE, the HKLM entry (reg query), the quiet uninstall through the registered string, a clean machine" \
         22000 machine-part
scenario "the machine part alone, Windows 10 path" "the same with the DirectShow camera" 19045 machine-part
scenario "the machine part with /NOVBCABLE" "the camera without the audio driver; the uninstall leaves VB-CABLE alone" 22000 machine-part-novbcable
scenario "the machine-part installer not elevated (started with the linked, non-elevated token)" \
         "1603, the setup.log line, nothing changed" 22000 machine-part-unelevated
scenario "a user installs and uninstalls MIRVO on a machine that has the machine part" \
         "no elevated run (/ELEVATION_DECLINED would turn an asked prompt into 1602), the version found, the administrator's camera stays" \
         22000 user-on-machine-part

passed=$(grep -c '^PASS' "$results" || true)
failed=$(grep -c '^FAIL' "$results" || true)
echo
echo "== summary: $passed expectations passed, $failed failed"
grep '^FAIL' "$results" | sed 's/^/   /' || true
echo "   (the payloads were stand-ins signed with a throwaway test certificate)"
echo "   Only Windows shows: the UAC prompt, the rights %ProgramFiles%\\mirvo\\Machine inherits"
echo "   (Wine derives folder rights from Unix mode bits), requireAdministrator (Wine runs"
echo "   everything elevated), SYSTEM's temporary folder and the deployment tools themselves."
[ "$failed" -eq 0 ]
