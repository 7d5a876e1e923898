#!/usr/bin/env bash
# Builds the reference installer and the variants the demo and the tests run,
# with the trust tests' throwaway PKI:
#   OUT/mirvo_setup.exe                 as build_sample_installer.sh builds it
#                                       (setup.exe and uninstall.exe signed),
#                                       and OUT/mirvo_machine_setup.exe
#   OUT/old/mirvo_setup.exe             an earlier version (0.9.0.0) whose
#                                       mirvo.exe differs, for upgrades
#   OUT/foreign_camera/mirvo_setup.exe  the camera DLLs signed by another signer
#   OUT/failing/mirvo_setup.exe         mirvo_machine.exe played by
#                                       elevated_standin.exe (unsigned), which
#                                       does what elevated_standin.txt in the
#                                       install folder tells it; beside it
#                                       mirvo_machine_setup.exe, the machine
#                                       part with the same stand-in
#   OUT/no_program/mirvo_setup.exe      the same, built without mirvo_machine.exe
#   build_test_installers.sh BUILD_DIR KEYS OUT ELEVATED_STANDIN
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
nsi="$here/../../examples/nsis/installer.nsi"
keys="$(cd "$2" && pwd)"
bash "$here/../../examples/nsis/build_sample_installer.sh" "$1" "$2" "$3"
out="$(cd "$3" && pwd)"
behaviour="$out/standin_behaviour.txt"

# variant NAME [makensis options...]: OUT/NAME/mirvo_setup.exe from OUT/NAME/payload.
variant() {
  local name="$1"
  shift
  makensis -V2 -DPAYLOAD="$out/$name/payload" -DOUT_FILE="$out/$name/mirvo_setup.exe" \
           -DSTANDIN_BEHAVIOUR="$behaviour" "$@" "$nsi"
}
copy_payload() { rm -rf "$out/$1"; mkdir -p "$out/$1"; cp -r "$out/payload" "$out/$1/payload"; }
resign() {
  rm -f "$3"
  osslsigncode sign -certs "$keys/$1.chain.pem" -key "$keys/$1.key" -h sha256 "${@:4}" -in "$2" -out "$3" >/dev/null
}

copy_payload old
resign program "$1/bin/mirvo_sample_app.exe" "$out/old/payload/mirvo.exe" -n "MIRVO sample app 0.9"
variant old -DVERSION=0.9.0.0

copy_payload foreign_camera
for dll in cmp/vcm/mirvo_vcam.dll cmp/dsc/mirvo_dshow64.dll cmp/dsc/mirvo_dshow32.dll; do
  osslsigncode remove-signature -in "$out/payload/$dll" -out "$out/foreign_camera/unsigned.dll" >/dev/null
  resign another "$out/foreign_camera/unsigned.dll" "$out/foreign_camera/payload/$dll"
  rm -f "$out/foreign_camera/unsigned.dll"
done
variant foreign_camera

copy_payload failing
cp "$4" "$out/failing/payload/mirvo_machine.exe"
variant failing
makensis -V2 -DPAYLOAD="$out/failing/payload" -DOUT_FILE="$out/failing/mirvo_machine_setup.exe" \
         -DSTANDIN_BEHAVIOUR="$behaviour" "$here/../../examples/nsis/machine_part.nsi"

copy_payload no_program
variant no_program -DLEAVE_OUT_PROGRAM
