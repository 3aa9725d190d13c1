#!/usr/bin/env bash
# Verifies one program's Authenticode signature: SHA-256, a chain to the release certificate
# (ORDANE_SIGN_PFX, its password in ORDANE_SIGN_PASSWORD) or to a root the system trusts, and a
# time stamp unless ORDANE_SIGN_UNSTAMPED=1. Exit 0 only when all hold; the reason on stderr.
set -euo pipefail
file="$1"
trusted=$(mktemp)
trap 'rm -f "$trusted"' EXIT
{
    cat /etc/ssl/certs/ca-certificates.crt 2>/dev/null || true
    openssl pkcs12 -in "$ORDANE_SIGN_PFX" -nokeys -passin env:ORDANE_SIGN_PASSWORD 2>/dev/null ||
        openssl pkcs12 -legacy -in "$ORDANE_SIGN_PFX" -nokeys -passin env:ORDANE_SIGN_PASSWORD
} >"$trusted"
report=$(osslsigncode verify -CAfile "$trusted" -TSA-CAfile "$trusted" -in "$file" 2>&1) || {
    echo "verify_signature.sh: $file does not verify:" >&2
    echo "$report" >&2
    exit 1
}
if ! grep -q "Message digest algorithm *: SHA256" <<<"$report"; then
    echo "verify_signature.sh: $file is not signed with SHA-256" >&2
    exit 1
fi
# osslsigncode names a time stamp's time ("Timestamp time: …") only for one it decoded; it says
# "Timestamp is not available" without one, and warns of one it could not decode or found
# corrupt: only the time itself, and no such warning, count.
if [ "${ORDANE_SIGN_UNSTAMPED:-}" != 1 ] &&
    { ! grep -Eq '^[[:space:]]*Timestamp time: [^[:space:]]' <<<"$report" ||
        grep -Eqi '^warning:.*timestamp' <<<"$report"; }; then
    echo "verify_signature.sh: $file has no time stamp" >&2
    echo "$report" >&2
    exit 1
fi
