#!/usr/bin/env bash
# The shipped program carries no debug information, names its debug file
# through a debug link whose checksum matches that file, and holds the very
# code and resources of the program as linked.
#   check_stripped.sh SHIPPED DEBUG_FILE LINKED
set -u
shipped="$1"
debug="$2"
linked="$3"
objdump=x86_64-w64-mingw32-objdump
objcopy=x86_64-w64-mingw32-objcopy
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

sections() { "$objdump" -h "$1" | awk '$1 ~ /^[0-9]+$/ { print $2 }'; }

debug_in_shipped=$(sections "$shipped" | grep '^\.debug_')
[ -z "$debug_in_shipped" ] || fail "$shipped still holds $(echo $debug_in_shipped)"
"$objdump" -t "$shipped" 2>/dev/null | grep -q '^\[ *[0-9]*\]' && fail "$shipped still holds a symbol table"
sections "$debug" | grep -qx '\.debug_info' || fail "$debug holds no .debug_info"
sections "$debug" | grep -qx '\.debug_line' || fail "$debug holds no .debug_line"

# The link: the debug file's name, 0-padded to 4 bytes, then the CRC-32 of the
# whole debug file (the one gzip keeps in its trailer), little-endian.
"$objcopy" --dump-section .gnu_debuglink="$scratch/link" "$shipped" "$scratch/copy" 2>/dev/null
if [ -s "$scratch/link" ]; then
  name=$(tr -d '\0' < <(head -c -4 "$scratch/link"))
  [ "$name" = "$(basename "$debug")" ] || fail "the debug link names '$name', not $(basename "$debug")"
  linked_crc=$(tail -c 4 "$scratch/link" | od -An -tx1 | tr -d ' \n')
  file_crc=$(gzip -c < "$debug" | tail -c 8 | head -c 4 | od -An -tx1 | tr -d ' \n')
  [ "$linked_crc" = "$file_crc" ] || fail "the debug link's checksum $linked_crc is not the debug file's $file_crc"
else
  fail "$shipped has no debug link"
fi

# What runs and what Windows reads before it runs is what was linked.
for section in .text .rdata .data .idata .rsrc; do
  "$objcopy" -O binary --only-section="$section" "$shipped" "$scratch/shipped$section"
  "$objcopy" -O binary --only-section="$section" "$linked" "$scratch/linked$section"
  cmp -s "$scratch/shipped$section" "$scratch/linked$section" || fail "$section differs from the linked program's"
done

[ "$status" -eq 0 ] && echo "shipped program: $(stat -c %s "$shipped") bytes; debug file: $(stat -c %s "$debug") bytes"
exit "$status"
