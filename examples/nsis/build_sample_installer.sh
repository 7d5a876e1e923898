#!/usr/bin/env bash
# Builds the reference installer for a sample MIRVO build. The payloads are
# stand-ins built from this project's own sources (a camera DLL and DirectShow
# DLLs of the tests, a stand-in for VB-Audio's setup program, the sample app),
# signed here with a throwaway test PKI, never with a real certificate:
#   "MIRVO Test Signer"  the shipped mirvo_machine.exe, the camera DLLs, the app
#   "QUARN ELIDORE"      the VB-CABLE setup stand-in
#   build_sample_installer.sh BUILD_DIR KEYS OUT [makensis options...]
# BUILD_DIR is the CMake build tree, KEYS the keys folder that
# tests/trust/make_test_pki.sh made; OUT gets payload/, mirvo_setup.exe (the
# per-user installer, installer.nsi) and mirvo_machine_setup.exe (the machine
# part alone, machine_part.nsi), each signed with its uninstaller (makensis
# -DSIGN_CMD). The makensis options go to both.
# MIRVO_MACHINE_EXE names a mirvo_machine.exe signed elsewhere (a release
# pipeline's) to package instead of signing build/release/mirvo_machine.exe
# here. A mirvo_machine.exe without a valid signature is refused: unsigned, it
# would accept any camera DLL.
set -eu
build="$(cd "$1" && pwd)"
keys="$(cd "$2" && pwd)"
mkdir -p "$3"
out="$(cd "$3" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
bin="$build/bin"

sign() {
  osslsigncode sign -certs "$keys/$1.chain.pem" -key "$keys/$1.key" -h sha256 -in "$2" -out "$3" >/dev/null
}

rm -rf "$out"
payload="$out/payload"
mkdir -p "$payload/cmp/vcm" "$payload/cmp/dsc" "$payload/audio-driver"

# The shipped program is stripped already; it is signed last and never changed after.
if [ -n "${MIRVO_MACHINE_EXE:-}" ]; then
  cp "$MIRVO_MACHINE_EXE" "$payload/mirvo_machine.exe"
else
  sign program "$build/release/mirvo_machine.exe" "$payload/mirvo_machine.exe"
fi
if ! osslsigncode verify -CAfile "$keys/ca.pem" -in "$payload/mirvo_machine.exe" >/dev/null 2>&1; then
  echo "build_sample_installer.sh: ${MIRVO_MACHINE_EXE:-$payload/mirvo_machine.exe} carries no valid signature; refusing to package it" >&2
  exit 1
fi
sign program "$bin/mirvo_sample_app.exe" "$payload/mirvo.exe"
sign program "$bin/camera_parts/test_camera_good.dll" "$payload/cmp/vcm/mirvo_vcam.dll"
sign program "$bin/camera_parts/test_dshow64.dll" "$payload/cmp/dsc/mirvo_dshow64.dll"
sign program "$bin/camera_parts/test_dshow32.dll" "$payload/cmp/dsc/mirvo_dshow32.dll"
sign vb_exact "$bin/audio_parts/vbcable_setup_standin.exe" "$payload/audio-driver/VBCABLE_Setup_x64.exe"

# The stand-in reads what to do from this file beside it: install (-i) creates
# VB-CABLE's presence file, removal (-u) deletes it.
presence='C:\Program Files\VB\CABLE\VBCABLE_ControlPanel.exe'
printf -- '-i:create=%s\r\n-u:delete=%s\r\n' "$presence" "$presence" > "$out/standin_behaviour.txt"

# %1 is the file makensis has just written; a real build also sets TIMESTAMP_URL.
for script in installer.nsi:mirvo_setup.exe machine_part.nsi:mirvo_machine_setup.exe; do
  makensis -V2 -DPAYLOAD="$payload" -DOUT_FILE="$out/${script#*:}" \
           -DSIGN_CMD="bash \"$here/sign_file.sh\" \"$keys/program\" \"%1\"" \
           -DSTANDIN_BEHAVIOUR="$out/standin_behaviour.txt" "${@:4}" "$here/${script%%:*}"
done
echo "sample installers: $out/mirvo_setup.exe, $out/mirvo_machine_setup.exe"
