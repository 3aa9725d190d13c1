#!/usr/bin/env bash
# Builds what we ship, from the release preset:
#   dist/Ordane-<version>-setup.exe     the installer (NSIS)
#   dist/Ordane-<version>-portable.zip  Ordane.exe and a README in Chinese
#   dist/Ordane-<version>-policies.zip  the Group Policy templates (Ordane.admx, zh-CN and
#                                       en-US Ordane.adml, as PolicyDefinitions holds them)
#   dist/Ordane-<version>-release.txt   the registration server built in, publisher, and each
#                                       file's SHA-256 and verified signature
#   dist/SHA256SUMS                     of every package of this version there, both
#                                       architectures when both were built (sha256sum -c)
# The registration server is fixed into the program, so it must be named:
#   scripts/release.sh --server host[:port]     (or ORDANE_REGISTRATION_SERVER=host[:port])
#   --publisher NAME  CompanyName, LegalCopyright, the installer's Publisher (or ORDANE_PUBLISHER)
#   --sign FILE.pfx   signs Ordane.exe, the setup helper, the uninstaller and the setup
#                     (password in ORDANE_SIGN_PASSWORD, time stamp URL in ORDANE_SIGN_TIMESTAMP,
#                     required); any signing or verification failure fails the release (exit 1)
#   --unstamped       with --sign: no time stamp (a throw-away certificate's test build only;
#                     release.txt says so)
#   --arch x64        the 64-bit program, for a site whose sdtapi.dll is 64-bit (release-x64
#                     preset; Ordane-<version>-x64-setup.exe and -x64-portable.zip)
#   --out folder      the packages go there instead of dist/
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

server="${ORDANE_REGISTRATION_SERVER:-}"
publisher="${ORDANE_PUBLISHER:-Ordane}"
pfx=""
dist="$root/dist"
arch=x86
while [ $# -gt 0 ]; do
    case "$1" in
        --server) server="${2:-}"; shift 2 || { shift; server=""; } ;;
        --server=*) server="${1#--server=}"; shift ;;
        --publisher) publisher="${2:-}"; shift 2 || shift ;;
        --sign) pfx="${2:-}"; shift 2 || shift ;;
        --out) dist="${2:?--out needs a folder}"; shift 2 ;;
        --arch) arch="${2:-}"; shift 2 || shift ;;
        --unstamped) export ORDANE_SIGN_UNSTAMPED=1; shift ;;
        -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
        *) echo "unknown argument: $1 (use --server host[:port] [--publisher NAME] [--sign FILE.pfx [--unstamped]] [--arch x64] [--out folder])" >&2; exit 2 ;;
    esac
done
if [ -z "$server" ]; then
    cat >&2 <<'MSG'
release.sh: no registration server given; nothing was built.
Ordane reports the card reader's id to a registration server whose address is fixed into the
program when it is built. Name the real one:
    scripts/release.sh --server host[:port]
or  ORDANE_REGISTRATION_SERVER=host[:port] scripts/release.sh
MSG
    exit 2
fi
if ! [[ "$server" =~ ^[A-Za-z0-9.-]+(:[0-9]+)?$ ]]; then
    echo "release.sh: '$server' is not host or host:port" >&2
    exit 2
fi
case "$arch" in
    x86) preset=release suffix="" ;;
    x64) preset=release-x64 suffix="-x64"; export ORDANE_ARCH=x64 ;;  # its compiler
    *) echo "release.sh: --arch is x86 (the default) or x64, not '$arch'" >&2; exit 2 ;;
esac

# Signing: the certificate must be readable before anything is built.
sign_option=()
if [ -n "$pfx" ]; then
    [ -r "$pfx" ] || { echo "release.sh: cannot read the certificate '$pfx'" >&2; exit 2; }
    if [ -z "${ORDANE_SIGN_PASSWORD+set}" ]; then
        echo "release.sh: --sign needs the certificate's password in ORDANE_SIGN_PASSWORD" >&2
        exit 2
    fi
    if [ -z "${ORDANE_SIGN_TIMESTAMP:-}" ] && [ "${ORDANE_SIGN_UNSTAMPED:-}" != 1 ]; then
        echo "release.sh: --sign needs a time-stamp server's URL in ORDANE_SIGN_TIMESTAMP" \
            "(signatures must outlive the certificate)" >&2
        exit 2
    fi
    export ORDANE_SIGN_PFX ORDANE_SIGN_PASSWORD
    ORDANE_SIGN_PFX=$(cd "$(dirname "$pfx")" && pwd)/$(basename "$pfx")
    sign_option=(-DORDANE_SIGN_SCRIPT="$root/scripts/lib/sign.sh")
fi

. scripts/lib/env.sh
ordane_install_packages
if [ -n "$pfx" ] && ! command -v osslsigncode >/dev/null; then
    echo "== installing: osslsigncode"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends osslsigncode \
        >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends osslsigncode >/dev/null; } || exit 1
fi

echo "== building Ordane.exe and the installer ($preset preset, server $server)"
rm -rf "build/$preset"
log="$ordane_log_dir/$preset.log"
mkdir -p "$ordane_log_dir"
bin="build/$preset/bin"
cmake --preset "$preset" -DORDANE_REGISTRATION_SERVER="$server" -DORDANE_PUBLISHER="$publisher" \
    "${sign_option[@]}" >"$log" 2>&1 ||
    { ordane_step_failed "release configuration (cmake --preset $preset)" "$log"; exit 1; }
# Signed, the programs are signed before the installer packs them; makensis signs the
# uninstaller it makes and the setup itself.
if [ -n "$pfx" ]; then
    cmake --build --preset "$preset" --target Ordane ordane_setup_tool >>"$log" 2>&1 &&
        scripts/lib/sign.sh "$bin/Ordane.exe" >>"$log" 2>&1 &&
        scripts/lib/sign.sh "$bin/ordane_setup_tool.exe" >>"$log" 2>&1 ||
        { ordane_step_failed "signing the programs (scripts/lib/sign.sh)" "$log"; exit 1; }
fi
cmake --build --preset "$preset" >>"$log" 2>&1 ||
    { ordane_step_failed "release build (cmake --build --preset $preset)" "$log"; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/$preset/CMakeCache.txt")
name="Ordane-$version$suffix"
mkdir -p "$dist"
rm -f "$dist/$name-setup.exe" "$dist/$name-portable.zip" "$dist/$name-release.txt" \
    "$dist/Ordane-$version-policies.zip" "$dist/SHA256SUMS"
cp "$bin/$name-setup.exe" "$dist/"

# The portable package: no Setting.ini (the program asks for set-up) and no sdtapi.dll.
python3 - "$root" "$version" "$dist" "$name" "$preset" "$arch" <<'PY'
import sys, zipfile
from pathlib import Path
root, version, dist, name, preset = Path(sys.argv[1]), sys.argv[2], Path(sys.argv[3]), *sys.argv[4:6]
bits = "64" if sys.argv[6] == "x64" else "32"
readme = (root / "installer" / "README-portable.txt").read_text(encoding="utf-8")
readme = (readme.replace("@VERSION@", version).replace("@NAME@", name).replace("@BITS@", bits)
          .replace("\n", "\r\n"))
with zipfile.ZipFile(dist / f"{name}-portable.zip", "w",
                     zipfile.ZIP_DEFLATED) as z:
    z.write(root / "build" / preset / "bin" / "Ordane.exe", f"{name}/Ordane.exe")
    # UTF-8 with a byte-order mark: Notepad of Windows 7 reads it as such.
    z.writestr(f"{name}/README.txt", "\ufeff" + readme)
# One for both architectures: the policy key is read in each program's own registry view.
policies = root / "installer" / "policies"
with zipfile.ZipFile(dist / f"Ordane-{version}-policies.zip", "w", zipfile.ZIP_DEFLATED) as z:
    for file in ("Ordane.admx", "zh-CN/Ordane.adml", "en-US/Ordane.adml"):
        z.write(policies / file, f"PolicyDefinitions/{file}")
PY
# Every signed file verified again as shipped (the uninstaller was verified as makensis signed
# it, before it was packed): a failure fails the release before release.txt and SHA256SUMS.
if [ -n "$pfx" ]; then
    for file in "$bin/Ordane.exe" "$bin/ordane_setup_tool.exe" "$dist/$name-setup.exe"; do
        scripts/lib/verify_signature.sh "$file" >>"$log" 2>&1 ||
            { ordane_step_failed "verifying the signature of $file" "$log"; exit 1; }
    done
    signer=$(openssl pkcs12 -in "$ORDANE_SIGN_PFX" -nokeys -clcerts \
        -passin env:ORDANE_SIGN_PASSWORD 2>/dev/null |
        openssl x509 -noout -subject 2>/dev/null | sed 's/^subject= *//')
    if [ "${ORDANE_SIGN_UNSTAMPED:-}" = 1 ]; then
        signed="signed (SHA-256) by $signer, NOT time-stamped (test build)"
    else
        signed="signed (SHA-256) by $signer, time-stamped by $ORDANE_SIGN_TIMESTAMP"
    fi
fi
# What a package holds that its name does not tell, and the checksums IT can verify.
{
    printf 'Ordane %s (%s)\r\n' "$version" "$arch"
    printf 'Registration server: %s\r\n' "$server"
    printf 'Publisher: %s\r\n' "$publisher"
    if [ -n "$pfx" ]; then
        for file in "$dist/$name-setup.exe" "$bin/Ordane.exe" "$bin/ordane_setup_tool.exe"; do
            printf '%s (SHA-256 %s): %s, verified\r\n' "$(basename "$file")" \
                "$(sha256sum "$file" | cut -d' ' -f1)" "$signed"
        done
        printf 'uninstall-ordane.exe (written by the setup): %s, verified before packing\r\n' \
            "$signed"
        printf 'Ordane.exe in %s-portable.zip is the one above; ordane_setup_tool.exe is installed as uninstall.exe\r\n' "$name"
    else
        printf 'Not signed\r\n'
    fi
} >"$dist/$name-release.txt"
# Of every package of this version there: both architectures when both were built into it.
(
    cd "$dist"
    packages=()
    for file in Ordane-"$version"{,-x64}-{setup.exe,portable.zip,release.txt} \
        Ordane-"$version"-policies.zip; do
        if [ -e "$file" ]; then packages+=("$file"); fi
    done
    sha256sum "${packages[@]}" >SHA256SUMS
)
echo "== $dist"
ls -l "$dist/$name-setup.exe" "$dist/$name-portable.zip" "$dist/$name-release.txt" \
    "$dist/Ordane-$version-policies.zip" "$dist/SHA256SUMS" | awk '{print "   " $5 "  " $9}'
echo "   Ordane.exe ($arch) $(stat -c %s "$bin/Ordane.exe") bytes, server $server"
