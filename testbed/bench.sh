#!/usr/bin/env bash
# The benchmark: builds what it needs and measures, in the throwaway prefix
# build/bench-prefix, what the program's own work costs on this machine beside
# the bound it cannot beat or the platform's own way. Prints medians and whether
# each aim was met; not a test (nothing fails on a missed aim).
# Usage: bash testbed/bench.sh [REPETITIONS]   (default 5)
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
repetitions="${1:-5}"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/testbed/mingw-w64-x86_64.cmake"
fi
cmake --build "$build" --target mirvo_machine mirvo_release mirvo_bench test_camera_good test_dshow64 test_dshow32

prefix="$build/bench-prefix"
bash "$root/testbed/wine-prefix.sh" start "$prefix"
trap 'bash "$root/testbed/wine-prefix.sh" stop "$prefix"' EXIT
export WINEPREFIX="$prefix"

# The program runs from inside the prefix, as an installed copy would.
work="$prefix/drive_c/mirvo-bench"
rm -rf "$work"
mkdir -p "$work"
cp "$build/release/mirvo_machine.exe" "$work/mirvo_machine.exe"
parts="$build/bin/camera_parts"
win() { echo "Z:$(echo "$1" | tr / '\\')"; }

echo "== mirvo_machine.exe benchmark on $(uname -n), $(nproc) cores, $(wine --version 2>/dev/null) =="
bash "$root/testbed/wine-run.sh" "$build/bin/mirvo_bench.exe" \
  'C:\mirvo-bench\mirvo_machine.exe' "$(win "$parts/test_camera_good.dll")" \
  "$(win "$parts/test_dshow64.dll")" "$(win "$parts/test_dshow32.dll")" 'C:\mirvo-bench\work' "$repetitions"

shipped="$build/release/mirvo_machine.exe"
echo "shipped program: $shipped, $(stat -c %s "$shipped") bytes (stripped, unsigned)"
echo "imported DLLs: $(x86_64-w64-mingw32-objdump -p "$shipped" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')"
rm -rf "$work"
