#!/usr/bin/env bash
# Signs one file in place with Authenticode (osslsigncode cannot write over its
# input): the signing command the reference installer's build gives makensis
# for setup.exe and its uninstaller.
#   sign_file.sh KEY FILE
# KEY.chain.pem holds the certificate chain, KEY.key the private key. Set
# TIMESTAMP_URL to the timestamp server of your certificate's issuer: a
# timestamped signature stays valid after the certificate expires. The demo's
# throwaway certificate has no timestamp server, so it signs without one.
set -eu
key="$1"
file="$2"
timestamp=()
if [ -n "${TIMESTAMP_URL:-}" ]; then timestamp=(-ts "$TIMESTAMP_URL"); fi
osslsigncode sign -certs "$key.chain.pem" -key "$key.key" -h sha256 "${timestamp[@]}" \
             -in "$file" -out "$file.signed" >/dev/null
mv -f "$file.signed" "$file"
