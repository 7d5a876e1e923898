#!/usr/bin/env bash
# Signs the kill sweep's build of the program with the test PKI's program signer:
#   sign_killable.sh KEYS PROGRAM OUT_FOLDER
set -eu
keys="$1"
program="$2"
out="$3"
mkdir -p "$out"
rm -f "$out/mirvo_machine.exe"
osslsigncode sign -certs "$keys/program.chain.pem" -key "$keys/program.key" -h sha256 \
  -in "$program" -out "$out/mirvo_machine.exe" >/dev/null
echo "signed kill sweep program in $out"
