#!/usr/bin/env bash
# The layer check must fail on the arrows it exists to catch: each case copies
# src/ into a scratch folder, adds one include, and expects the check's reason.
#   check_layers_catches.sh ARCHITECTURE_PAGE SOURCE_ROOT SCRATCH
set -u
here="$(cd "$(dirname "$0")" && pwd)"
page="$1"
src="$2"
scratch="$3"
failures=0

expect_refusal() {  # name, file to change, line to add, words of the reason
  rm -rf "$scratch" && mkdir -p "$scratch" && cp -r "$src" "$scratch/src"
  echo "$3" >> "$scratch/src/$2"
  out=$(bash "$here/check_layers.sh" "$page" "$scratch/src")
  status=$?
  if [ "$status" -eq 0 ] || ! grep -qF "$4" <<< "$out"; then
    echo "FAIL: $1: status $status, output: $out"
    failures=$((failures + 1))
  else
    echo "ok: $1"
  fi
}

expect_refusal "base reaches up to log" base/paths.h '#include "log/log.h"' 'includes "log/log.h" from level 2 above it'
expect_refusal "a building block reaches up to a flow" trust/signature.h '#include "camera/camera.h"' 'from level 4 above it'
expect_refusal "a flow reaches up to the front end" app/app.h '#include "cli/options.h"' 'from level 5 above it'
expect_refusal "an unlisted neighbour" camera/camera.h '#include "audio/vbcable.h"' 'a pair the page does not list'
expect_refusal "a header outside every folder" camera/camera.h '#include "owners.h"' 'names no folder'
rm -rf "$scratch" && mkdir -p "$scratch" && cp -r "$src" "$scratch/src" && mkdir "$scratch/src/extra"
out=$(bash "$here/check_layers.sh" "$page" "$scratch/src")
if [ $? -eq 0 ] || ! grep -qF 'src/extra/ has no level' <<< "$out"; then
  echo "FAIL: a folder without a level: $out"; failures=$((failures + 1))
else
  echo "ok: a folder without a level"
fi
rm -rf "$scratch"
[ "$failures" -eq 0 ]
