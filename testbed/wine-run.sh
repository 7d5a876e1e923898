#!/usr/bin/env bash
# Runs a Windows program under Wine in the test prefix named by WINEPREFIX.
# Refuses to run without one, so nothing ever lands in ~/.wine.
#   wine-run.sh [--once] PROGRAM [ARGUMENT...]
#
# `wine PROGRAM` makes PROGRAM's process itself, with no CreateProcessW in
# between, so the 1359 that a Windows caller gets when Wine cannot finish a
# start never reaches a shell. What the shell sees then is the Unix process
# ending by a signal (SIGKILL, SIGSEGV, SIGABRT or SIGBUS: status 137, 139,
# 134 or 135), a way a Windows program never ends by itself under Wine: its
# crashes and TerminateProcess end with a Windows code. Only that is tried
# again, at most twice, with one line on stderr. --once (how ctest runs the
# test programs) never tries again: a test program that ends at all has run,
# and one that fails fails the run; its own starts of programs are retried
# where they are made.
set -u
if [ -z "${WINEPREFIX:-}" ]; then
  echo "wine-run.sh: WINEPREFIX is not set; refusing to use the default prefix" >&2
  exit 125
fi
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
retries=2
if [ "${1:-}" = "--once" ]; then
  shift
  exec wine "$@"
fi
for attempt in 0 1 2; do
  status=0
  wine "$@" || status=$?
  case "$status" in
    134|135|137|139) ;;
    *) exit "$status" ;;
  esac
  [ "$attempt" -lt "$retries" ] || break
  echo "wine-run.sh: ${1:-wine} ended by signal $((status - 128)) without a Windows exit status (Wine's own);" \
       "starting it again (retry $((attempt + 1)) of $retries)" >&2
done
exit "$status"
