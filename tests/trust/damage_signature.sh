#!/usr/bin/env bash
# Damages the PKCS#7 blob inside a signed PE32+ file's certificate table (past
# its 8-byte header), so that the file still runs but no signer name can be
# read from it:   damage_signature.sh FILE
set -eu
file="$1"
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
pe=$(u32 "$file" 60)
optional=$((pe + 24))
[ "$(u16 "$file" "$optional")" = "523" ] || { echo "not a PE32+ image" >&2; exit 1; }
table=$(u32 "$file" $((optional + 112 + 32)))
[ "$table" -gt 0 ] || { echo "no certificate table" >&2; exit 1; }
# 48 bytes of the PKCS#7 blob, each turned into its complement.
for i in $(seq 0 47); do
  at=$((table + 8 + i))
  old=$(od -An -tu1 -j "$at" -N1 "$file" | tr -d ' ')
  printf "$(printf '\\%03o' $(( (old ^ 0xff) & 0xff )))" | dd of="$file" bs=1 seek="$at" conv=notrunc 2>/dev/null
done
