#!/usr/bin/env bash
# Makes a throwaway code-signing PKI in the build tree and signs copies of two
# test programs with it: the files the trust tests check. Keys live only in
# OUT/keys and are made anew on every run.
#   make_test_pki.sh OUT SAMPLE_DLL PROBE_EXE
set -eu
out="$1"
sample="$2"
probe="$3"

rm -rf "$out"
mkdir -p "$out/keys"
keys="$out/keys"
serial=100

cat > "$keys/leaf.ext" <<'EXT'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
EXT

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/ca.key" -out "$keys/ca.pem" -days 30 \
        -subj "/CN=MIRVO Throwaway Test Root" -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null

# signer ID "COMMON NAME": a leaf key and certificate issued by the test root.
signer() {
  local id="$1" cn="$2"
  serial=$((serial + 1))
  openssl req -new -newkey rsa:2048 -nodes -keyout "$keys/$id.key" -out "$keys/$id.csr" \
          -utf8 -subj "/CN=$cn" 2>/dev/null
  openssl x509 -req -in "$keys/$id.csr" -CA "$keys/ca.pem" -CAkey "$keys/ca.key" -set_serial "$serial" \
          -days 30 -extfile "$keys/leaf.ext" -out "$keys/$id.pem" 2>/dev/null
  cat "$keys/$id.pem" "$keys/ca.pem" > "$keys/$id.chain.pem"
}

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

signer vb_exact "QUARN ELIDORE"
signer vb_lower "quarn elidore"
signer vb_given_first "Elidore Quarn"
signer vb_company "VB-Audio Software QUARN ELIDORE Ltd"
signer vb_ends_with_name "VB-Audio Software Elidore Quarn"
signer vb_two_spaces "QUARN  ELIDORE"
signer vb_twelve "QUARN ELIDOR"
signer vb_dotted_i "QUARN ELİDORE"
signer program "MIRVO Test Signer"
signer program_lower "mirvo test signer"
signer another "Another Signer"

for id in vb_exact vb_lower vb_given_first vb_company vb_ends_with_name vb_two_spaces vb_twelve vb_dotted_i; do
  sign "$id" "$sample" "$out/$id.exe"
done
sign vb_exact "$sample" "$out/vb_tampered.exe"
tamper "$out/vb_tampered.exe"
cp "$sample" "$out/unsigned.exe"

sign program "$sample" "$out/dll_program_signer.dll"
sign program_lower "$sample" "$out/dll_program_signer_lower.dll"
sign another "$sample" "$out/dll_another.dll"
sign program "$sample" "$out/dll_program_signer_tampered.dll"
tamper "$out/dll_program_signer_tampered.dll"
cp "$sample" "$out/unsigned.dll"

sign program "$probe" "$out/probe_signed.exe"
cp "$probe" "$out/probe_unsigned.exe"
# Signed, but its signer cannot be read: the program still runs.
cp "$out/probe_signed.exe" "$out/probe_unreadable_signer.exe"
bash "$(dirname "$0")/damage_signature.sh" "$out/probe_unreadable_signer.exe"

echo "test PKI and signed files in $out"
