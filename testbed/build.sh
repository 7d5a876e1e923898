#!/usr/bin/env bash
# Configures (once) and builds into build/ at the repository root: everything,
# or only the targets named (build.sh mirvo_machine mirvo_release ...).
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ ! -f "$root/build/build.ninja" ]; then
  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/testbed/mingw-w64-x86_64.cmake"
fi
if [ "$#" -gt 0 ]; then
  cmake --build "$root/build" --target "$@"
else
  cmake --build "$root/build"
fi
