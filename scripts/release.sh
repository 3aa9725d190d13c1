#!/usr/bin/env bash
# Builds what we ship, from the release preset:
#   dist/Ordane-<version>-setup.exe     the installer (NSIS)
#   dist/Ordane-<version>-portable.zip  Ordane.exe and a README in Chinese
# The registration server is fixed into the program, so it must be named:
#   scripts/release.sh --server host[:port]     (or ORDANE_REGISTRATION_SERVER=host[:port])
#   --arch x64      the 64-bit program, for a site whose sdtapi.dll is 64-bit (release-x64
#                   preset; Ordane-<version>-x64-setup.exe and -x64-portable.zip)
#   --out folder    the packages go there instead of dist/
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

server="${ORDANE_REGISTRATION_SERVER:-}"
dist="$root/dist"
arch=x86
while [ $# -gt 0 ]; do
    case "$1" in
        --server) server="${2:-}"; shift 2 || { shift; server=""; } ;;
        --server=*) server="${1#--server=}"; shift ;;
        --out) dist="${2:?--out needs a folder}"; shift 2 ;;
        --arch) arch="${2:-}"; shift 2 || shift ;;
        -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
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
case "$arch" in
    x86) preset=release suffix="" ;;
    x64) preset=release-x64 suffix="-x64"; export ORDANE_ARCH=x64 ;;  # its compiler
    *) echo "release.sh: --arch is x86 (the default) or x64, not '$arch'" >&2; exit 2 ;;
esac

. scripts/lib/env.sh
ordane_install_packages

echo "== building Ordane.exe and the installer ($preset preset, server $server)"
rm -rf "build/$preset"
log="$ordane_log_dir/$preset.log"
mkdir -p "$ordane_log_dir"
cmake --preset "$preset" -DORDANE_REGISTRATION_SERVER="$server" >"$log" 2>&1 &&
    cmake --build --preset "$preset" >>"$log" 2>&1 ||
    { ordane_step_failed "release build (cmake --build --preset $preset)" "$log"; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/$preset/CMakeCache.txt")
name="Ordane-$version$suffix"
mkdir -p "$dist"
rm -f "$dist/$name-setup.exe" "$dist/$name-portable.zip"
cp "build/$preset/bin/$name-setup.exe" "$dist/"

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
PY
echo "== $dist"
ls -l "$dist/$name-setup.exe" "$dist/$name-portable.zip" | awk '{print "   " $5 "  " $9}'
echo "   Ordane.exe ($arch) $(stat -c %s "build/$preset/bin/Ordane.exe") bytes, server $server"
