# Shared by test.sh and demo.sh: packages, the virtual display and the Wine prefix.
# shellcheck shell=bash

ordane_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Whether this kernel runs 32-bit x86 programs: a hand-made 96-byte i386 ELF that only exits
# with 42 is executed. Some kernels have 32-bit emulation switched off ("Exec format error"),
# and there no 32-bit Wine can start. Needs no package, so it is asked before any install.
ordane_can_run_32bit() {
    local probe rc
    mkdir -p "$ordane_root/build" && probe=$(mktemp "$ordane_root/build/.i386-probe.XXXXXX") ||
        return 1
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10'\
'\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10'\
'\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0'\
'\273\52\0\0\0\270\1\0\0\0\315\200' >"$probe" && chmod +x "$probe"
    ordane_32bit_error=$("$probe" 2>&1)
    rc=$?
    rm -f "$probe"
    ordane_32bit_error=${ordane_32bit_error##*: }
    [ -n "$ordane_32bit_error" ] || ordane_32bit_error="exit code $rc"
    [ "$rc" -eq 42 ]
}

# The Windows program the tests build and run: x86 (32-bit, the one that ships) where 32-bit
# programs run, else x64. ORDANE_ARCH=x64 forces the 64-bit one on any machine.
# Each package's installer is a program of its Ordane.exe's bitness, tested with it.
if ordane_can_run_32bit; then
    ORDANE_RUNS_32BIT=yes
else
    ORDANE_RUNS_32BIT=no ORDANE_32BIT_ERROR=$ordane_32bit_error
    export ORDANE_32BIT_ERROR
fi
export ORDANE_RUNS_32BIT
case "${ORDANE_ARCH:-}" in
    x86|x64) ;;
    "")
        if [ "$ORDANE_RUNS_32BIT" = yes ]; then
            ORDANE_ARCH=x86
        else
            ORDANE_ARCH=x64
            echo "== 32-bit x86 programs cannot run on this machine (a 32-bit test program:" \
                "$ordane_32bit_error), so 32-bit Wine cannot start the 32-bit" \
                "Ordane.exe: the 64-bit Ordane.exe is built and tested instead (ORDANE_ARCH=x64)"
        fi
        ;;
    *)
        echo "ORDANE_ARCH must be x86 or x64, not '$ORDANE_ARCH'" >&2
        case $- in *i*) return 2 ;; *) exit 2 ;; esac
        ;;
esac
export ORDANE_ARCH
if [ "$ORDANE_ARCH" = x64 ]; then
    # /usr/bin/wine prefers the 32-bit loader whenever it is installed, so the 64-bit one is
    # named; a 64-bit program needs a 64-bit prefix of its own.
    ordane_preset=windows-x64
    export ORDANE_WINE=/usr/lib/wine/wine64 WINELOADER=/usr/lib/wine/wine64
    ordane_default_prefix=$ordane_root/build/wineprefix-x64
else
    ordane_preset=windows
    export ORDANE_WINE=/usr/lib/wine/wine
    ordane_default_prefix=$ordane_root/build/wineprefix
fi
export ORDANE_BIN="${ORDANE_BIN:-$ordane_root/build/$ordane_preset/bin}"
export PATH="/usr/lib/wine:$PATH"
export ORDANE_WINEPREFIX="${ORDANE_WINEPREFIX:-$ordane_default_prefix}"
export WINEPREFIX="$ORDANE_WINEPREFIX"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# A failed step says which step it was, the end of its own output and where its whole log is.
ordane_log_dir=$ordane_root/build/logs
ordane_step_failed() {  # step, log file
    {
        echo "== FAILED: $1"
        if [ -s "$2" ]; then
            echo "   the end of its output (all of it in $2):"
            tail -n 25 "$2" | sed 's/^/   | /'
        else
            echo "   it printed nothing (log: $2)"
        fi
    } >&2
}

ordane_install_packages() {
    local need=() log="$ordane_log_dir/packages.log"
    mkdir -p "$ordane_log_dir"
    # The i686 compiler builds the release on every machine (it is a 64-bit host program).
    command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix)
    if [ "$ORDANE_ARCH" = x64 ]; then
        command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
    else
        [ -x /usr/lib/wine/wine ] || need+=(wine32:i386)
    fi
    command -v wine >/dev/null || need+=(wine)
    [ -x /usr/lib/wine/wine64 ] || need+=(wine64)
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
    command -v osslsigncode >/dev/null || need+=(osslsigncode)  # the signed release's test
    command -v openssl >/dev/null || need+=(openssl)
    if [ ${#need[@]} -gt 0 ]; then
        echo "== installing: ${need[*]}"
        export DEBIAN_FRONTEND=noninteractive
        : >"$log"
        if [[ " ${need[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386
        then
            dpkg --add-architecture i386 >>"$log" 2>&1 ||
                { ordane_step_failed "dpkg --add-architecture i386" "$log"; return 1; }
        fi
        apt-get update -qq >>"$log" 2>&1 ||
            { ordane_step_failed "apt-get update (installing the build's packages)" "$log"; return 1; }
        apt-get install -y -qq --no-install-recommends "${need[@]}" >>"$log" 2>&1 ||
            { ordane_step_failed "apt-get install ${need[*]}" "$log"; return 1; }
    fi
    if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
        sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
        grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >>/etc/locale.gen
        locale-gen >"$ordane_log_dir/locale-gen.log" 2>&1 ||
            { ordane_step_failed "locale-gen (zh_CN.UTF-8)" "$ordane_log_dir/locale-gen.log"; return 1; }
    fi
    export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
}

# The test build's registration server listens on a loopback port of its own per checkout, so
# two test runs on one machine (two checkouts) never answer each other's requests.
ordane_configure_windows() {
    local port=$((20000 + $(printf '%s' "$ordane_root" | cksum | cut -d' ' -f1) % 20000))
    cmake --preset "$ordane_preset" -DORDANE_REGISTRATION_SERVER="127.0.0.1:$port"
}

# Ordane.exe and the programs of the end-to-end ring (build log in build/logs).
ordane_build_windows() {
    local log="$ordane_log_dir/build-$ordane_preset.log"
    mkdir -p "$ordane_log_dir"
    echo "== building Ordane.exe ($ordane_preset preset, $ORDANE_ARCH)"
    { ordane_configure_windows && cmake --build --preset "$ordane_preset"; } >"$log" 2>&1 &&
        return 0
    ordane_step_failed "building Ordane.exe (cmake --build --preset $ordane_preset)" "$log"
    return 1
}

# One virtual display for the whole run.
ordane_start_display() {
    if [ -n "${ORDANE_DISPLAY_PID:-}" ]; then return 0; fi
    local n log="$ordane_log_dir/xvfb.log"
    mkdir -p "$ordane_log_dir"
    for n in $(seq 91 120); do
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$log" 2>&1 &
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
    ordane_step_failed "starting the virtual display (Xvfb on :91 to :120)" "$log"
    return 1
}

ordane_prepare_prefix() {
    local log="$ordane_log_dir/wineboot-$ORDANE_ARCH.log"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== preparing the Wine prefix (code page 936, $ORDANE_ARCH): $WINEPREFIX"
        mkdir -p "$WINEPREFIX" "$ordane_log_dir"
        if ! { "$ORDANE_WINE" wineboot -i && wineserver -w; } >"$log" 2>&1 ||
            [ ! -f "$WINEPREFIX/system.reg" ]; then
            ordane_step_failed "preparing the Wine prefix ($ORDANE_WINE wineboot -i)" "$log"
            return 1
        fi
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
