#!/usr/bin/env bash
# Configures (once) and builds everything into build/ at the repository root.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ ! -f "$root/build/build.ninja" ]; then
  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/testbed/mingw-w64-x86_64.cmake"
fi
cmake --build "$root/build"
