#!/usr/bin/env bash
# start PREFIX: makes the throwaway test prefix when missing (null display
# driver, no Mono or Gecko prompts) and starts a persistent wineserver in it.
# stop PREFIX: ends that wineserver and every program still running in it.
set -eu
action="$1"
export WINEPREFIX="$2"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

case "$action" in
  start)
    if [ ! -f "$WINEPREFIX/.mirvo-ready" ]; then
      rm -rf "$WINEPREFIX"
      mkdir -p "$WINEPREFIX"
      wine wineboot --init </dev/null >/dev/null 2>&1
      # Without a display, creating a window would hang; the null driver lets
      # window-message tests run headless.
      wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
      wineserver -w
      touch "$WINEPREFIX/.mirvo-ready"
    fi
    # Detached from our output: ctest waits for every holder of its pipe. A
    # server that already runs in this prefix is as good.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    # The first program in a new server starts Wine's own services, which stay
    # for the whole run: start them here, detached, or they keep a test's
    # output pipe open and ctest waits on it until its time-out.
    wine wineboot </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k || true
    ;;
  *)
    echo "usage: wine-prefix.sh start|stop PREFIX" >&2
    exit 2
    ;;
esac
