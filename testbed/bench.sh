#!/usr/bin/env bash
# The benchmark: builds what it needs and measures, in the throwaway prefix
# build/bench-prefix, what the program's own work costs on this machine beside
# the bound it cannot beat or the platform's own way. Prints medians and whether
# each aim was met; not a test (nothing fails on a missed aim).
# Usage: bash testbed/bench.sh [REPETITIONS [ONLY]]   (default 5 repetitions)
# ONLY runs just the camera rows whose label holds it, e.g. "signed/large/vcam";
# ONLY=steps times each step of a signed camera install alone instead.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
repetitions="${1:-5}"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/testbed/mingw-w64-x86_64.cmake"
fi
cmake --build "$build" --target mirvo_machine mirvo_release mirvo_bench bench_floor bench_steps test_camera_good test_dshow64 \
      test_dshow32 test_camera_large test_dshow64_large test_dshow32_large trust_sample same_signer_probe

# The shipped configuration: the program and its camera DLLs signed by one
# signer, here a THROWAWAY TEST CERTIFICATE made anew in build/bench-pki by the
# trust tests' own script, and signed by the camera tests' own.
pki="$build/bench-pki"
bash "$root/tests/trust/make_test_pki.sh" "$pki" "$build/bin/trust_parts/trust_sample.dll" \
     "$build/bin/trust_parts/same_signer_probe.exe" >/dev/null
signed_parts() {  # SIZE CAMERA_DLL DSHOW64_DLL DSHOW32_DLL
  local staged="$pki/$1-parts"
  mkdir -p "$staged"
  cp "$2" "$staged/mirvo_vcam.dll"
  cp "$3" "$staged/mirvo_dshow64.dll"
  cp "$4" "$staged/mirvo_dshow32.dll"
  bash "$root/tests/camera/sign_camera_payloads.sh" "$pki/keys" "$staged" "$build/release/mirvo_machine.exe" \
       "$pki/$1" >/dev/null
}
parts="$build/bin/camera_parts"
large="$build/bin/bench_parts"
signed_parts small "$parts/test_camera_good.dll" "$parts/test_dshow64.dll" "$parts/test_dshow32.dll"
signed_parts large "$large/test_camera_large.dll" "$large/test_dshow64_large.dll" "$large/test_dshow32_large.dll"

prefix="$build/bench-prefix"
bash "$root/testbed/wine-prefix.sh" start "$prefix"
trap 'bash "$root/testbed/wine-prefix.sh" stop "$prefix"' EXIT
export WINEPREFIX="$prefix"

# The program runs from inside the prefix, as an installed copy would.
work="$prefix/drive_c/mirvo-bench"
rm -rf "$work"
mkdir -p "$work/signed" "$work/unsigned"
cp "$pki/small/machine/signed/mirvo_machine.exe" "$work/signed/"
cp "$pki/small/machine/unsigned/mirvo_machine.exe" "$work/unsigned/"
cp "$build/bin/bench_floor.exe" "$work/"
for size in small large; do
  for config in signed unsigned; do
    from="$pki/$size"
    [ "$config" = unsigned ] && from="$pki/$size/unsigned"
    mkdir -p "$work/$size/$config/vcam" "$work/$size/$config/dshow"
    cp "$from/mirvo_vcam.dll" "$work/$size/$config/vcam/"
    cp "$from/mirvo_dshow64.dll" "$from/mirvo_dshow32.dll" "$work/$size/$config/dshow/"
  done
done

win() { echo "Z:$(echo "$1" | tr / '\\')"; }
if [ "${2:-}" = steps ]; then
  # Each step alone, timed inside fresh processes through the program's own code.
  mkdir -p "$work/steps"
  echo "milliseconds per step in a fresh process; in place, then fresh (the placed DLL removed first)"
  echo "size  state     own-signer verify-1 verify-2    place     load"
  for size in small large; do
    for state in in-place fresh; do
      cp "$work/$size/signed/vcam/mirvo_vcam.dll" "$work/steps/mirvo_vcam.dll"
      for i in $(seq "$repetitions"); do
        [ "$state" = fresh ] && rm -f "$work/steps/mirvo_vcam.dll"
        printf '%-5s %-9s' "$size" "$state"
        bash "$root/testbed/wine-run.sh" "$build/bin/bench_steps.exe" "$(win "$work/signed/mirvo_machine.exe")" \
             "$(win "$work/$size/signed/vcam/mirvo_vcam.dll")" "$(win "$work/steps")"
      done
    done
  done
  rm -rf "$work"
  exit 0
fi

echo "== mirvo_machine.exe benchmark on $(uname -n), $(nproc) cores, $(wine --version 2>/dev/null) =="
echo "load average before: $(uptime | sed 's/.*load average: //')"
echo "camera DLL sizes: small $(stat -c %s "$work/small/signed/vcam/mirvo_vcam.dll") bytes," \
     "large $(stat -c %s "$work/large/signed/vcam/mirvo_vcam.dll") bytes (signed)"
bash "$root/testbed/wine-run.sh" "$build/bin/mirvo_bench.exe" 'C:\mirvo-bench' "$repetitions" ${2:+"$2"}
echo "load average after: $(uptime | sed 's/.*load average: //')"

shipped="$build/release/mirvo_machine.exe"
echo "shipped program: $shipped, $(stat -c %s "$shipped") bytes (stripped; signed here for the run)"
echo "imported DLLs: $(x86_64-w64-mingw32-objdump -p "$shipped" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')"
rm -rf "$work"
