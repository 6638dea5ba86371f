#!/usr/bin/env bash
# Runs ctest for the Windows build under one long-lived wineserver, so each
# test process starts in milliseconds instead of seconds.
set -euo pipefail
build=$(cd "$1" && pwd)
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
export WINEPREFIX=$build/wineprefix VX_WINEPREFIX=$build/wineprefix
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine-ctest: creating the 32-bit prefix"
  wineboot -i >/dev/null 2>&1 || true
fi
wineserver -p >/dev/null 2>&1 &
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine cmd /c exit >/dev/null 2>&1 || true
cd "$build"
ctest -j "$(nproc)" --output-on-failure
