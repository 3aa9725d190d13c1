#!/usr/bin/env bash
# Builds what we ship, from the release preset:
#   dist/Ordane-<version>-setup.exe     the installer (NSIS)
#   dist/Ordane-<version>-portable.zip  Ordane.exe and a README in Chinese
# The registration server is fixed into the program, so it must be named:
#   scripts/release.sh --server host[:port]     (or ORDANE_REGISTRATION_SERVER=host[:port])
#   --out folder    the packages go there instead of dist/
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

server="${ORDANE_REGISTRATION_SERVER:-}"
dist="$root/dist"
while [ $# -gt 0 ]; do
    case "$1" in
        --server) server="${2:-}"; shift 2 || { shift; server=""; } ;;
        --server=*) server="${1#--server=}"; shift ;;
        --out) dist="${2:?--out needs a folder}"; shift 2 ;;
        -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
        *) echo "unknown argument: $1 (use --server host[:port])" >&2; exit 2 ;;
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

. scripts/lib/env.sh
ordane_install_packages

echo "== building Ordane.exe and the installer (release preset, server $server)"
rm -rf build/release
log="$ordane_log_dir/release.log"
mkdir -p "$ordane_log_dir"
cmake --preset release -DORDANE_REGISTRATION_SERVER="$server" >"$log" 2>&1 &&
    cmake --build --preset release >>"$log" 2>&1 ||
    { ordane_step_failed "release build (cmake --build --preset release)" "$log"; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
mkdir -p "$dist"
rm -f "$dist/Ordane-$version-setup.exe" "$dist/Ordane-$version-portable.zip"
cp "build/release/bin/Ordane-$version-setup.exe" "$dist/"

# The portable package: no Setting.ini (the program asks for set-up) and no sdtapi.dll.
python3 - "$root" "$version" "$dist" <<'PY'
import sys, zipfile
from pathlib import Path
root, version, dist = Path(sys.argv[1]), sys.argv[2], Path(sys.argv[3])
readme = (root / "installer" / "README-portable.txt").read_text(encoding="utf-8")
readme = readme.replace("@VERSION@", version).replace("\n", "\r\n")
with zipfile.ZipFile(dist / f"Ordane-{version}-portable.zip", "w",
                     zipfile.ZIP_DEFLATED) as z:
    z.write(root / "build" / "release" / "bin" / "Ordane.exe", f"Ordane-{version}/Ordane.exe")
    # UTF-8 with a byte-order mark: Notepad of Windows 7 reads it as such.
    z.writestr(f"Ordane-{version}/README.txt", "\ufeff" + readme)
PY
echo "== $dist"
ls -l "$dist/Ordane-$version-setup.exe" "$dist/Ordane-$version-portable.zip" | awk '{print "   " $5 "  " $9}'
echo "   Ordane.exe $(stat -c %s build/release/bin/Ordane.exe) bytes, server $server"
