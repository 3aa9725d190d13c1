#!/usr/bin/env bash
# Signs one Windows program in place with SHA-256 (Authenticode), for scripts/release.sh and
# the installer's makensis (which signs its uninstaller and itself through it).
#   ORDANE_SIGN_PFX        the certificate and key (PKCS#12)
#   ORDANE_SIGN_PASSWORD   its password (read through a pipe, never on a command line)
#   ORDANE_SIGN_TIMESTAMP  an RFC 3161 time-stamp server's URL (optional)
set -euo pipefail
file="$1"
: "${ORDANE_SIGN_PFX:?no certificate (ORDANE_SIGN_PFX)}"
timestamp=()
[ -n "${ORDANE_SIGN_TIMESTAMP:-}" ] && timestamp=(-ts "$ORDANE_SIGN_TIMESTAMP")
signed="$file.signed"
rm -f "$signed"
printf '%s' "${ORDANE_SIGN_PASSWORD:-}" |
    osslsigncode sign -pkcs12 "$ORDANE_SIGN_PFX" -readpass - -h sha256 -n Ordane \
        "${timestamp[@]}" -in "$file" -out "$signed" >/dev/null
mv -f "$signed" "$file"
