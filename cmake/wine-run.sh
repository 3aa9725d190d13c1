#!/bin/sh
# Runs a Windows test program under Wine with the test prefix (code page 936).
: "${WINEPREFIX:=${ORDANE_WINEPREFIX:-$HOME/.cache/ordane/wineprefix}}"
export WINEPREFIX LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
export PATH="/usr/lib/wine:$PATH"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX" && wineboot -i >/dev/null 2>&1
fi
exec wine "$@"
