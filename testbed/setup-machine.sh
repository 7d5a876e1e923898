#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build and the Wine test bed need
# and this machine lacks. Needs root (or sudo) only when something is missing.
set -eu
packages="cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 wine64 googletest osslsigncode openssl nsis"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "== installing:$missing"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q $missing
fi
