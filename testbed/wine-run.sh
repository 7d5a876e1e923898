#!/usr/bin/env bash
# Runs a Windows program under Wine in the test prefix named by WINEPREFIX.
# Refuses to run without one, so nothing ever lands in ~/.wine.
set -u
if [ -z "${WINEPREFIX:-}" ]; then
  echo "wine-run.sh: WINEPREFIX is not set; refusing to use the default prefix" >&2
  exit 125
fi
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
exec wine "$@"
