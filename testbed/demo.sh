#!/usr/bin/env bash
# The demo command: installs what is missing, builds, builds the reference NSIS
# installer (examples/nsis) for a sample MIRVO build, and in a new throwaway
# Wine prefix (build/demo-prefix) installs and removes it on the Windows 11 and
# the Windows 10 path, as a user's machine would see it. Every step prints what
# it looks at and checks what it expects; the summary counts them, and the
# command ends with 1 when one failed.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/testbed/setup-machine.sh"
echo "== building (the program, the sample app and the stand-in payloads)"
bash "$root/testbed/build.sh" mirvo_release mirvo_sample_app mirvo_launch test_camera_good test_dshow64 \
     test_dshow32 vbcable_setup_standin trust_sample same_signer_probe >/dev/null

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
echo "   signed the same way by the camera DLLs' signer."
pki="$root/build/demo-pki"
bash "$root/tests/trust/make_test_pki.sh" "$pki" "$bin/trust_parts/trust_sample.dll" \
     "$bin/trust_parts/same_signer_probe.exe" >/dev/null
bash "$root/examples/nsis/build_sample_installer.sh" "$root/build" "$pki/keys" "$root/build/nsis" >/dev/null
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

echo
echo "== install, app restart and removal on the Windows 11 path"
RESULTS="$results" bash "$root/testbed/installer_flow.sh" "$setup" 22000 || true
echo
echo "== install and removal with the elevation declined (Windows 11 path)"
RESULTS="$results" bash "$root/testbed/installer_flow.sh" "$setup" 22000 declined || true
echo
echo "== install, app restart and removal on the Windows 10 path"
RESULTS="$results" bash "$root/testbed/installer_flow.sh" "$setup" 19045 || true

passed=$(grep -c '^PASS' "$results" || true)
failed=$(grep -c '^FAIL' "$results" || true)
echo
echo "== summary: $passed expectations passed, $failed failed"
grep '^FAIL' "$results" | sed 's/^/   /' || true
echo "   (the payloads were stand-ins signed with a throwaway test certificate)"
[ "$failed" -eq 0 ]
