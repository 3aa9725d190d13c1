# Shared by the scripts: packages, the virtual display and the Wine prefix. Sourcing it only
# defines functions; the scripts call them (ordane_install_packages chooses the architecture).
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

# ordane_choose_arch: which Windows program the tests build and run: x86 (32-bit, the one
# that ships) where 32-bit programs run, else x64. ORDANE_ARCH=x64 forces the 64-bit one on
# any machine. Each package's installer is a program of its Ordane.exe's bitness, tested with
# it. ordane_install_packages may still move an automatic choice to x64 (no 32-bit Wine).
ordane_choose_arch() {
    local no_wine32=$ordane_root/build/no-wine32.txt
    if ordane_can_run_32bit; then
        ORDANE_RUNS_32BIT=yes
        # An earlier run of this checkout found that the 32-bit Wine cannot be installed.
        if [ -z "${ORDANE_ARCH:-}" ] && [ ! -x /usr/lib/wine/wine ] && [ -s "$no_wine32" ]; then
            ORDANE_RUNS_32BIT=no ORDANE_32BIT_ERROR=$(cat "$no_wine32")
            export ORDANE_32BIT_ERROR
            ORDANE_ARCH=x64
            echo "== $ORDANE_32BIT_ERROR (an earlier run found; remove $no_wine32 to try" \
                "again): the 64-bit Ordane.exe is built and tested (ORDANE_ARCH=x64)"
        fi
    else
        ORDANE_RUNS_32BIT=no ORDANE_32BIT_ERROR=$ordane_32bit_error
        export ORDANE_32BIT_ERROR
    fi
    export ORDANE_RUNS_32BIT
    ordane_arch_forced=no
    case "${ORDANE_ARCH:-}" in
        x86|x64) ordane_arch_forced=yes ;;
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
            return 2
            ;;
    esac
    ordane_use_arch "$ORDANE_ARCH"
}

# ordane_arch_chosen: chooses the architecture unless a call before did.
ordane_arch_chosen() {
    [ -n "${ordane_preset:-}" ] || ordane_choose_arch
}

# ordane_use_arch x86|x64: the preset, Wine loader, prefix and bin folder of that program.
# ORDANE_BIN and ORDANE_WINEPREFIX given by the caller are kept.
ordane_use_arch() {
    ORDANE_ARCH=$1
    export ORDANE_ARCH
    : "${ordane_bin_given=${ORDANE_BIN:+yes}}" "${ordane_prefix_given=${ORDANE_WINEPREFIX:+yes}}"
    if [ "$ORDANE_ARCH" = x64 ]; then
        # /usr/bin/wine prefers the 32-bit loader whenever it is installed, so the 64-bit one
        # is named; a 64-bit program needs a 64-bit prefix of its own.
        ordane_preset=windows-x64
        export ORDANE_WINE=/usr/lib/wine/wine64 WINELOADER=/usr/lib/wine/wine64
        ordane_default_prefix=$ordane_root/build/wineprefix-x64
    else
        ordane_preset=windows
        export ORDANE_WINE=/usr/lib/wine/wine
        unset WINELOADER
        ordane_default_prefix=$ordane_root/build/wineprefix
    fi
    [ "$ordane_bin_given" = yes ] || ORDANE_BIN=$ordane_root/build/$ordane_preset/bin
    [ "$ordane_prefix_given" = yes ] || ORDANE_WINEPREFIX=$ordane_default_prefix
    export ORDANE_BIN ORDANE_WINEPREFIX WINEPREFIX="$ORDANE_WINEPREFIX"
    case ":$PATH:" in *:/usr/lib/wine:*) ;; *) export PATH="/usr/lib/wine:$PATH" ;; esac
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

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

# ordane_needed_packages: the Debian packages this machine still lacks for ORDANE_ARCH.
ordane_needed_packages() {
    ordane_need=()
    # The i686 compiler builds the release on every machine (it is a 64-bit host program).
    command -v i686-w64-mingw32-g++-posix >/dev/null || ordane_need+=(g++-mingw-w64-i686-posix)
    if [ "$ORDANE_ARCH" = x64 ]; then
        command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
            ordane_need+=(g++-mingw-w64-x86-64-posix)
    else
        [ -x /usr/lib/wine/wine ] || ordane_need+=(wine32:i386)
    fi
    command -v wine >/dev/null || ordane_need+=(wine)
    [ -x /usr/lib/wine/wine64 ] || ordane_need+=(wine64)
    command -v Xvfb >/dev/null || ordane_need+=(xvfb)
    command -v cmake >/dev/null || ordane_need+=(cmake)
    command -v python3 >/dev/null || ordane_need+=(python3)
    command -v import >/dev/null || ordane_need+=(imagemagick)
    [ -f /usr/share/fonts/truetype/wqy/wqy-microhei.ttc ] || ordane_need+=(fonts-wqy-microhei)
    [ -f /usr/src/googletest/CMakeLists.txt ] || ordane_need+=(googletest)
    [ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] ||
        ordane_need+=(libgtest-dev libgmock-dev)
    command -v g++ >/dev/null || ordane_need+=(g++ make)
    command -v clang++-14 >/dev/null || ordane_need+=(clang-14)  # sanitizers and libFuzzer
    ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
        ordane_need+=(libclang-rt-14-dev)
    command -v locale-gen >/dev/null || ordane_need+=(locales)
    command -v makensis >/dev/null || ordane_need+=(nsis)
    command -v chromium >/dev/null || ordane_need+=(chromium)  # a real browser for the bridge's test
    command -v osslsigncode >/dev/null || ordane_need+=(osslsigncode)  # the signed release's test
    command -v openssl >/dev/null || ordane_need+=(openssl)
}

# ordane_apt_install package...: installs them; on failure says which and apt's own reasons.
ordane_apt_install() {
    local log=$ordane_log_dir/apt-install.log
    echo "== installing: $*"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" \
        >"$log" 2>&1 && return 0
    cat "$log" >>"$ordane_log_dir/packages.log"
    echo "== FAILED: apt-get install $*; apt said (all of it in $log):" >&2
    { grep -E '^E:|^ [^ ].* : Depends:|not installable|no installation candidate' "$log" ||
        tail -n 10 "$log"; } | tail -n 15 | sed 's/^/   | /' >&2
    return 1
}

# ordane_install_packages: what the build and the tests need. A package index that fails to
# download (a mirror in sync, one architecture's security updates) is said and passed over:
# the run stops only when an install fails. Where the 32-bit Wine cannot be installed although
# the machine runs 32-bit programs, that is said in one line and the 64-bit path taken.
ordane_install_packages() {
    local log=$ordane_log_dir/packages.log
    mkdir -p "$ordane_log_dir"
    ordane_arch_chosen || return 1
    ordane_needed_packages
    if [ ${#ordane_need[@]} -gt 0 ]; then
        : >"$log"
        if [[ " ${ordane_need[*]} " == *:i386* ]] &&
            ! dpkg --print-foreign-architectures | grep -qx i386; then
            dpkg --add-architecture i386 >>"$log" 2>&1 ||
                { ordane_step_failed "dpkg --add-architecture i386" "$log"; return 1; }
        fi
        if ! apt-get update -qq >>"$log" 2>&1; then
            echo "== apt-get update failed for some package index; going on with the others:"
            grep -E '^(E|W): ' "$log" | grep -v 'have been ignored' | head -n 3 |
                cut -c1-200 | sed 's/^/   | /'
        fi
        if ! ordane_apt_install "${ordane_need[@]}"; then
            [[ " ${ordane_need[*]} " == *" wine32:i386 "* ]] && [ "$ordane_arch_forced" != yes ] ||
                return 1
            ORDANE_RUNS_32BIT=no
            ORDANE_32BIT_ERROR="32-bit Wine (wine32:i386) cannot be installed ($(grep -E "^E:" \
                "$ordane_log_dir/apt-install.log" | tail -n 1 | cut -c4-160))"
            export ORDANE_RUNS_32BIT ORDANE_32BIT_ERROR
            printf '%s\n' "$ORDANE_32BIT_ERROR" >"$ordane_root/build/no-wine32.txt"
            echo "== this machine runs 32-bit programs, but $ORDANE_32BIT_ERROR; the 64-bit" \
                "Ordane.exe is built and tested instead (ORDANE_ARCH=x64)"
            ordane_use_arch x64
            ordane_needed_packages
            [ ${#ordane_need[@]} -eq 0 ] || ordane_apt_install "${ordane_need[@]}" || return 1
        fi
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
    ordane_arch_chosen || return 1
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
    ordane_arch_chosen || return 1
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
