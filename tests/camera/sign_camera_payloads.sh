#!/usr/bin/env bash
# Signs the camera test parts with the throwaway test PKI made by
# tests/trust/make_test_pki.sh:
#   sign_camera_payloads.sh KEYS PARTS MACHINE_EXE OUT
# OUT/<part>.dll          signed by "MIRVO Test Signer" (the program's own)
# OUT/another/<part>.dll  signed by "Another Signer"
# OUT/unsigned/<part>.dll not signed
# OUT/machine/signed/mirvo_machine.exe, .../another/..., .../unsigned/...
#                         the program under test signed by each, and not signed
# OUT/corrupt_signer/mirvo_machine.exe
#                         signed by the program signer, then its signature
#                         bytes damaged so that no signer name can be read
set -eu
keys="$1"
parts="$2"
machine="$3"
out="$4"

rm -rf "$out"
mkdir -p "$out/another" "$out/unsigned" "$out/machine/signed" "$out/machine/another" "$out/machine/unsigned" \
         "$out/machine/corrupt_signer"

sign() {
  osslsigncode sign -certs "$keys/$1.chain.pem" -key "$keys/$1.key" -h sha256 -in "$2" -out "$3" >/dev/null
}

for part in "$parts"/*.dll; do
  name="$(basename "$part")"
  sign program "$part" "$out/$name"
  sign another "$part" "$out/another/$name"
  cp "$part" "$out/unsigned/$name"
done

sign program "$machine" "$out/machine/signed/mirvo_machine.exe"
sign another "$machine" "$out/machine/another/mirvo_machine.exe"
cp "$machine" "$out/machine/unsigned/mirvo_machine.exe"

# Signed, then its signature damaged: it still runs, but its own signer cannot be read.
corrupt="$out/machine/corrupt_signer/mirvo_machine.exe"
cp "$out/machine/signed/mirvo_machine.exe" "$corrupt"
bash "$(dirname "$0")/../trust/damage_signature.sh" "$corrupt"
echo "camera payloads in $out"
