#!/usr/bin/env bash
# Signs one Windows program in place with SHA-256 (Authenticode), for scripts/release.sh and
# the installer's makensis (which signs its uninstaller and itself through it), and verifies
# the signature it made: any failure is this script's exit code, and so the release's.
#   ORDANE_SIGN_PFX        the certificate and key (PKCS#12)
#   ORDANE_SIGN_PASSWORD   its password (read through a pipe, never on a command line)
#   ORDANE_SIGN_TIMESTAMP  an RFC 3161 time-stamp server's URL: required, so that signatures
#                          outlive the certificate, unless ORDANE_SIGN_UNSTAMPED=1 (a throw-away
#                          certificate's test build)
set -euo pipefail
file="$1"
: "${ORDANE_SIGN_PFX:?no certificate (ORDANE_SIGN_PFX)}"
timestamp=()
if [ -n "${ORDANE_SIGN_TIMESTAMP:-}" ]; then
    timestamp=(-ts "$ORDANE_SIGN_TIMESTAMP")
elif [ "${ORDANE_SIGN_UNSTAMPED:-}" != 1 ]; then
    echo "sign.sh: no time-stamp server (ORDANE_SIGN_TIMESTAMP)" >&2
    exit 2
fi
signed="$file.signed"
rm -f "$signed"
printf '%s' "${ORDANE_SIGN_PASSWORD:-}" |
    osslsigncode sign -pkcs12 "$ORDANE_SIGN_PFX" -readpass - -h sha256 -n Ordane \
        "${timestamp[@]}" -in "$file" -out "$signed" >/dev/null
"$(dirname "$0")/verify_signature.sh" "$signed"
mv -f "$signed" "$file"
