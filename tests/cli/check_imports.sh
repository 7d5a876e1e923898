#!/usr/bin/env bash
# Fails unless the Windows program given imports only KnownDLLs and API sets and
# is a GUI-subsystem x64 image: Windows looks for any other statically imported
# DLL in the program's own folder first, where a planted copy would hijack an
# elevated run.
set -u
exe="$1"
dump=$(x86_64-w64-mingw32-objdump -p "$exe") || { echo "cannot read $exe"; exit 1; }
allowed='^(kernel32|user32|advapi32|ole32|oleaut32|shell32|msvcrt|api-ms-win-[a-z0-9-]+)\.dll$'
status=0
names=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
if [ -z "$names" ]; then
  echo "no import table found in $exe"
  exit 1
fi
while read -r name; do
  lower=$(printf '%s' "$name" | tr 'A-Z' 'a-z')
  if [[ ! "$lower" =~ $allowed ]]; then
    echo "imports $name, which is not a KnownDLL"
    status=1
  fi
done <<< "$names"
printf '%s\n' "$dump" | grep -q 'Subsystem[[:space:]]*00000002' || { echo "not a GUI-subsystem program"; status=1; }
printf '%s\n' "$dump" | grep -q '^Magic[[:space:]]*020b' || { echo "not a PE32+ (x64) image"; status=1; }
[ "$status" -eq 0 ] && echo "imports: $(echo $names)"
exit "$status"
