#!/usr/bin/env bash
# Signs copies of the tests' VB-CABLE setup stand-in with the throwaway PKI that
# make_test_pki.sh made (its keys in KEYS): the expected signer, another signer,
# and the expected signer with one byte changed afterwards.
#   sign_setup_standin.sh OUT STANDIN_EXE KEYS
set -eu
out="$1"
standin="$2"
keys="$3"

rm -rf "$out"
mkdir -p "$out"

# sign ID INPUT OUTPUT
sign() {
  osslsigncode sign -certs "$keys/$1.chain.pem" -key "$keys/$1.key" -h sha256 -in "$2" -out "$3" >/dev/null
}

# Changes one byte inside the signed image (past the headers), leaving the
# signature itself as it was.
tamper() {
  local file="$1" at=1100
  local old
  old=$(od -An -tu1 -j "$at" -N1 "$file" | tr -d ' ')
  printf "$(printf '\\%03o' $(( (old ^ 0xff) & 0xff )))" | dd of="$file" bs=1 seek="$at" conv=notrunc 2>/dev/null
}

sign vb_exact "$standin" "$out/setup_signed.exe"
sign another "$standin" "$out/setup_another_signer.exe"
sign vb_exact "$standin" "$out/setup_tampered.exe"
tamper "$out/setup_tampered.exe"
cp "$standin" "$out/setup_unsigned.exe"

echo "signed setup stand-ins in $out"
