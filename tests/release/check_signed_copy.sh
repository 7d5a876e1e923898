#!/usr/bin/env bash
# Signs a copy of the shipped program as a release would (the test PKI's
# program signer) and checks that copy: its signature verifies against the
# test root, names the signer, and the signed copy still runs. A copy signed
# before it was stripped must fail the same verification, or the check would
# not catch the release step done in the wrong order.
#   check_signed_copy.sh SHIPPED LINKED PKI_KEYS
set -u
shipped="$1"
linked="$2"
keys="$3"
here="$(cd "$(dirname "$0")" && pwd)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

sign() {
  osslsigncode sign -certs "$keys/program.chain.pem" -key "$keys/program.key" -h sha256 \
                    -in "$1" -out "$2" >/dev/null
}
verify() { osslsigncode verify -CAfile "$keys/ca.pem" -in "$1" > "$2" 2>&1; }

sign "$shipped" "$scratch/signed.exe" || { echo "FAIL: osslsigncode cannot sign $shipped"; exit 1; }
if verify "$scratch/signed.exe" "$scratch/verify.txt"; then
  grep -q 'Subject: /CN=MIRVO Test Signer' "$scratch/verify.txt" ||
    fail "the signature does not name the program's signer: $(grep Subject "$scratch/verify.txt")"
else
  fail "the signed copy does not verify:"; cat "$scratch/verify.txt"
fi

run_status=0
"$here/../../testbed/wine-run.sh" "$scratch/signed.exe" version </dev/null >/dev/null 2>&1 || run_status=$?
[ "$run_status" -eq 0 ] || fail "the signed copy's version run ended with $run_status"

# The wrong order: sign, then strip.
sign "$linked" "$scratch/signed_first.exe" || fail "osslsigncode cannot sign $linked"
x86_64-w64-mingw32-strip --strip-all -o "$scratch/stripped_after.exe" "$scratch/signed_first.exe" ||
  fail "strip failed on the signed copy"
verify "$scratch/stripped_after.exe" "$scratch/verify_wrong.txt" &&
  fail "a copy stripped after signing still verifies: the check could not tell"

[ "$status" -eq 0 ] && echo "signed copy verified ($(stat -c %s "$scratch/signed.exe") bytes) and runs; a strip after signing is caught"
exit "$status"
