#!/usr/bin/env bash
# The demo command: installs what is missing, builds, and runs mirvo_machine.exe
# as its callers do in a new throwaway Wine prefix (build/demo-prefix), printing
# each exit status and then the log files the runs wrote.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/testbed/setup-machine.sh"
bash "$root/testbed/build.sh" >/dev/null

export WINEPREFIX="$root/build/demo-prefix"
rm -f "$WINEPREFIX/.mirvo-ready"
echo "== making the throwaway prefix $WINEPREFIX"
bash "$root/testbed/wine-prefix.sh" start "$WINEPREFIX"
trap 'bash "$root/testbed/wine-prefix.sh" stop "$WINEPREFIX"' EXIT

bin="$root/build/bin"
temp="$WINEPREFIX/drive_c/users/$(id -un)/Temp"
rm -f "$temp"/*.log

# run MODE WHAT ARGUMENTS...: MODE is --elevated or --unelevated.
run() {
  local mode="$1" what="$2"
  shift 2
  local status=0
  "$root/testbed/wine-run.sh" "$bin/mirvo_launch.exe" "$mode" 'C:\mirvo\mirvo_machine.exe' "$@" || status=$?
  printf '%-58s exit status %s\n' "$what" "$status"
}

# The program runs from a folder of its own inside the prefix, as after an install.
mkdir -p "$WINEPREFIX/drive_c/mirvo"
cp "$bin/mirvo_machine.exe" "$WINEPREFIX/drive_c/mirvo/"

# Stand-ins for VB-Audio's setup program, signed at demo time by a throwaway
# test PKI (keys made in build/, never kept): one by the expected signer, one by
# the same signer but altered after signing.
pki="$root/build/demo-pki"
bash "$root/tests/trust/make_test_pki.sh" "$pki" "$bin/trust_parts/trust_sample.dll" \
     "$bin/trust_parts/same_signer_probe.exe" >/dev/null
mkdir -p "$WINEPREFIX/drive_c/mirvo-install/audio-driver"
cp "$pki/vb_exact.exe" "$WINEPREFIX/drive_c/mirvo-install/audio-driver/VBCABLE_Setup_x64.exe"
cp "$pki/vb_tampered.exe" "$WINEPREFIX/drive_c/mirvo-install/audio-driver/altered_setup.exe"

echo "== runs"
run --unelevated "version" version
run --elevated "bad command line (--Log is not an option)" stop-app --Log x.log
run --elevated "unknown verb" install-everything
run --unelevated "camera-remove without elevation (refused)" camera-remove
run --elevated "camera-install without a folder" camera-install
run --unelevated "vbcable-verify, setup signed by the expected signer" \
    vbcable-verify --setup 'C:\mirvo-install\audio-driver\VBCABLE_Setup_x64.exe'
run --unelevated "vbcable-verify, same signer but altered after signing" \
    vbcable-verify --setup 'C:\mirvo-install\audio-driver\altered_setup.exe'
run --unelevated "vbcable-verify, no such file" \
    vbcable-verify --setup 'C:\mirvo-install\audio-driver\missing.exe'
run --unelevated "stop-app, nothing under C:\\mirvo-app running" stop-app --prefix 'C:\mirvo-app'

# The app is played by the tests' stand-in (build/bin/app_standin.exe), copied
# under the app's names: a "mirvo.exe" with a window that exits when asked, and
# a "python.exe" that only runs.
app="$WINEPREFIX/drive_c/mirvo-app"
rm -rf "$app"
mkdir -p "$app"
cp "$bin/app_standin.exe" "$app/mirvo.exe"
cp "$bin/app_standin.exe" "$app/python.exe"
"$root/testbed/wine-run.sh" 'C:\mirvo-app\mirvo.exe' window-app </dev/null >/dev/null 2>&1 &
app_job=$!
"$root/testbed/wine-run.sh" 'C:\mirvo-app\python.exe' wait </dev/null >/dev/null 2>&1 &
python_job=$!
sleep 2  # time for the stand-in's window to come up
run --unelevated "stop-app, the app and python.exe under C:\\mirvo-app" stop-app --prefix 'C:\mirvo-app'
app_status=0
wait "$app_job" || app_status=$?
wait "$python_job" || true
echo "   the app exited with $app_status (42: its own exit when asked); python.exe is gone (terminated)"

# relaunch reads the program path and its arguments from variables named on its
# command line; the stand-in writes down the command line and folder it got.
export MIRVO_EXE='C:\mirvo-app\mirvo.exe' MIRVO_ARGS='--restarted "after update"'
mkdir -p "$app/relaunched"
export MIRVO_STANDIN_RECORD='C:\mirvo-app\relaunched'
run --unelevated "relaunch from MIRVO_EXE and MIRVO_ARGS in C:\\mirvo-app" relaunch --exe-env MIRVO_EXE --args-env MIRVO_ARGS --cwd 'C:\mirvo-app'
unset MIRVO_EXE MIRVO_ARGS MIRVO_STANDIN_RECORD
record=""
for _ in $(seq 50); do
  record="$(ls "$app/relaunched/"*.record 2>/dev/null | head -n 1)"
  [ -n "$record" ] && break
  sleep 0.1
done
echo "   the relaunched app saw (command line, working folder, start time):"
if [ -n "$record" ]; then sed 's/^/     /' "$record"; else echo "     (nothing: it did not start)"; fi

echo "== log files in the temporary folder ($temp)"
found=0
for f in "$temp"/*.log; do
  [ -f "$f" ] || continue
  found=1
  echo "-- $(basename "$f")"
  cat "$f"
done
[ "$found" -eq 1 ] || echo "(none: refused runs write no log line)"
echo "(relaunch writes no log line on any path)"
