#!/usr/bin/env bash
# The test command: installs what is missing, builds, and runs every test under
# Wine in the throwaway prefix build/wineprefix.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/testbed/setup-machine.sh"
bash "$root/testbed/build.sh"
cd "$root/build"
# Every test program runs once: one that fails fails the command. (The one
# failure of Wine's own that a test may meet, a process start that ends with
# 1359, is tried again at that start only: tests/support/start_process.h.)
ctest --output-on-failure -j2 "$@"
