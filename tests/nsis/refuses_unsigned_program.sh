#!/usr/bin/env bash
# build_sample_installer.sh refuses to package a mirvo_machine.exe without a
# valid signature (unsigned, the program accepts any camera DLL): the shipped
# build as it comes from the compiler, and a signed copy with one byte changed.
#   refuses_unsigned_program.sh BUILD_DIR KEYS
set -u
build="$1"
keys="$2"
here="$(cd "$(dirname "$0")" && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
failures=0

osslsigncode sign -certs "$keys/program.chain.pem" -key "$keys/program.key" -h sha256 \
    -in "$build/release/mirvo_machine.exe" -out "$scratch/signed.exe" >/dev/null
cp "$scratch/signed.exe" "$scratch/damaged.exe"
# One byte of the code (well before the signature at the end) changed.
printf '\xff' | dd of="$scratch/damaged.exe" bs=1 seek=4096 conv=notrunc status=none

for case in "unsigned:$build/release/mirvo_machine.exe" "damaged signature:$scratch/damaged.exe"; do
  name="${case%%:*}" program="${case#*:}"
  status=0
  message=$(MIRVO_MACHINE_EXE="$program" bash "$here/../../examples/nsis/build_sample_installer.sh" \
            "$build" "$keys" "$scratch/out" 2>&1 >/dev/null) || status=$?
  if [ "$status" -ne 0 ] && grep -qF "carries no valid signature; refusing to package it" <<<"$message" &&
     [ ! -e "$scratch/out/mirvo_setup.exe" ]; then
    echo "ok: $name mirvo_machine.exe refused: $message"
  else
    echo "FAIL: $name mirvo_machine.exe: status $status, no refusal ($message)"; failures=$((failures + 1))
  fi
done
exit $((failures > 0))
