#!/bin/sh
# Runs a Windows test program under Wine with the test prefix (code page 936). A 64-bit
# program gets the 64-bit loader and, unless WINEPREFIX names one, the 64-bit prefix
# (/usr/bin/wine would take the 32-bit loader whenever it is installed).
machine=
if [ -f "$1" ]; then
    # The PE header's machine field: 8664 for x86-64, 14c for i386.
    pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    [ -n "$pe" ] && machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
fi
if [ "$machine" = 8664 ]; then
    loader=/usr/lib/wine/wine64 default_prefix=wineprefix-x64
    export WINELOADER=$loader
else
    loader=/usr/lib/wine/wine default_prefix=wineprefix
fi
: "${WINEPREFIX:=${ORDANE_WINEPREFIX:-$HOME/.cache/ordane/$default_prefix}}"
export WINEPREFIX LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
export PATH="/usr/lib/wine:$PATH"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX" && "$loader" wineboot -i >/dev/null 2>&1
fi
exec "$loader" "$@"
