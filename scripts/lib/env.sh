# Shared by test.sh and demo.sh: packages, the virtual display and the Wine prefix.
# shellcheck shell=bash

ordane_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export PATH="/usr/lib/wine:$PATH"
export ORDANE_WINEPREFIX="${ORDANE_WINEPREFIX:-$ordane_root/build/wineprefix}"
export WINEPREFIX="$ORDANE_WINEPREFIX"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

ordane_install_packages() {
    local need=()
    command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix)
    [ -x /usr/lib/wine/wine ] || need+=(wine32:i386)
    command -v wine >/dev/null || need+=(wine wine64)
    command -v Xvfb >/dev/null || need+=(xvfb)
    command -v cmake >/dev/null || need+=(cmake)
    command -v python3 >/dev/null || need+=(python3)
    command -v import >/dev/null || need+=(imagemagick)
    [ -f /usr/share/fonts/truetype/wqy/wqy-microhei.ttc ] || need+=(fonts-wqy-microhei)
    [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
    [ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || need+=(libgtest-dev libgmock-dev)
    command -v g++ >/dev/null || need+=(g++ make)
    command -v clang++-14 >/dev/null || need+=(clang-14)  # sanitizers and libFuzzer
    ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
        need+=(libclang-rt-14-dev)
    command -v locale-gen >/dev/null || need+=(locales)
    command -v makensis >/dev/null || need+=(nsis)
    command -v chromium >/dev/null || need+=(chromium)  # a real browser for the bridge's test
    if [ ${#need[@]} -gt 0 ]; then
        echo "== installing: ${need[*]}"
        export DEBIAN_FRONTEND=noninteractive
        dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
        apt-get update -qq || return 1
        apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null || return 1
    fi
    if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
        sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
        grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >>/etc/locale.gen
        locale-gen >/dev/null || return 1
    fi
    export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
}

# The test build's registration server listens on a loopback port of its own per checkout, so
# two test runs on one machine (two checkouts) never answer each other's requests.
ordane_configure_windows() {
    local port=$((20000 + $(printf '%s' "$ordane_root" | cksum | cut -d' ' -f1) % 20000))
    cmake --preset windows -DORDANE_REGISTRATION_SERVER="127.0.0.1:$port" >/dev/null
}

# Ordane.exe and the programs of the end-to-end ring (build log in build/windows-build.log).
ordane_build_windows() {
    mkdir -p "$ordane_root/build"
    echo "== building Ordane.exe (windows preset)"
    { ordane_configure_windows && cmake --build --preset windows; } \
        >"$ordane_root/build/windows-build.log" 2>&1 && return 0
    tail -30 "$ordane_root/build/windows-build.log"
    echo "windows build failed"
    return 1
}

# One virtual display for the whole run.
ordane_start_display() {
    if [ -n "${ORDANE_DISPLAY_PID:-}" ]; then return 0; fi
    local n
    for n in $(seq 91 120); do
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        ORDANE_DISPLAY_PID=$!
        for _ in $(seq 1 50); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            sleep 0.1
        done
        if kill -0 "$ORDANE_DISPLAY_PID" 2>/dev/null; then
            export DISPLAY=":$n" ORDANE_DISPLAY_PID
            trap 'ordane_stop' EXIT
            return 0
        fi
    done
    echo "no virtual display could be started" >&2
    return 1
}

ordane_prepare_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== preparing the Wine prefix (code page 936)"
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1 || return 1
        wineserver -w
    fi
}

ordane_stop() {
    wineserver -k >/dev/null 2>&1 || true
    [ -n "${ORDANE_DISPLAY_PID:-}" ] && kill "$ORDANE_DISPLAY_PID" 2>/dev/null
    true
}

# Everything the demo and the benchmark need before they run Ordane.exe under Wine.
ordane_ready_for_wine() {
    ordane_install_packages && ordane_build_windows && ordane_start_display &&
        ordane_prepare_prefix
}
