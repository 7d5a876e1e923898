#!/usr/bin/env bash
# The reference installer fails visibly (status 2 in a silent run, the reason in
# setup.log) when the elevated part does not end as it must. The elevated part
# is played by elevated_standin.exe; each case tells it what to do.
#   installer_failures.sh FAILING_SETUP_EXE
set -u
setup="$1"
here="$(cd "$(dirname "$0")" && pwd)"
wine_run="$here/../../testbed/wine-run.sh"
install="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Programs/MIRVO"
trap 'rm -rf "$install"' EXIT
failures=0

# case BEHAVIOUR EXPECTED_LINE
check_case() {
  rm -rf "$install"
  mkdir -p "$install"
  printf '%s\r\n' $1 > "$install/elevated_standin.txt"
  local status=0
  "$wine_run" "$setup" /S </dev/null >/dev/null 2>&1 || status=$?
  local log
  log="$(iconv -f UTF-16 -t UTF-8 "$install/setup.log" 2>/dev/null | tr -d '\r')"
  if [ "$status" -ne 2 ] || ! grep -qF -- "$2" <<<"$log"; then
    echo "FAIL: [$1] status $status, setup.log:"; echo "$log"; failures=$((failures + 1))
  else
    echo "ok: [$1] status 2, setup.log: $(grep FAILED <<<"$log")"
  fi
}

check_case "done=none exit=0" "FAILED: the elevated part ended without writing .elevated_done"
# The nonce in another letter case is another text.
check_case "done=lower exit=0" "FAILED: .elevated_done holds"
check_case "done=other exit=0" "FAILED: .elevated_done holds 'OTHER', not this run's nonce"
check_case "done=nonce exit=1" "FAILED: the elevated part ended with status 1"
exit $((failures > 0))
