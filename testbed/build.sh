#!/usr/bin/env bash
# Configures (once) and builds into build/ at the repository root: everything,
# or only the targets named (build.sh mirvo_machine mirvo_release ...).
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
# A build tree copied or moved here from another checkout still names that
# checkout's folders: its binaries (and its Wine prefix) are not this
# checkout's. Start from an empty tree rather than test stale code.
cache="$build/CMakeCache.txt"
if [ -f "$cache" ]; then
  source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache")
  cache_dir=$(sed -n 's/^CMAKE_CACHEFILE_DIR:INTERNAL=//p' "$cache")
  if [ "$source_dir" != "$root" ] || [ "$cache_dir" != "$build" ]; then
    echo "== build/ was configured for ${source_dir:-another checkout}, not $root: configuring a fresh build tree"
    [ -d "$build/wineprefix" ] && WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true
    rm -rf "$build"
  fi
fi
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/testbed/mingw-w64-x86_64.cmake"
fi
if [ "$#" -gt 0 ]; then
  cmake --build "$build" --target "$@"
else
  cmake --build "$build"
fi
