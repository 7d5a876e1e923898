#!/usr/bin/env bash
# Builds the reference installer twice for the tests, with the trust tests'
# throwaway PKI: OUT/mirvo_setup.exe as the demo builds it, and
# OUT/failing/mirvo_setup.exe, the same with the elevated part played by
# elevated_standin.exe (which fails as elevated_standin.txt in the install
# folder tells it).
#   build_test_installers.sh BUILD_DIR KEYS OUT ELEVATED_STANDIN
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
bash "$here/../../examples/nsis/build_sample_installer.sh" "$1" "$2" "$3"
out="$(cd "$3" && pwd)"
rm -rf "$out/failing"
cp -r "$out/payload" "$out/failing"
cp "$4" "$out/failing/mirvo_machine.exe"
makensis -V2 -DPAYLOAD="$out/failing" -DOUT_FILE="$out/failing/mirvo_setup.exe" \
         -DSTANDIN_BEHAVIOUR="$out/standin_behaviour.txt" "$here/../../examples/nsis/installer.nsi"
