#!/usr/bin/env bash
# The test command: installs what is missing, builds, and runs every test under
# Wine in the throwaway prefix build/wineprefix.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/testbed/setup-machine.sh"
bash "$root/testbed/build.sh"
cd "$root/build"
ctest --output-on-failure -j2 "$@"
