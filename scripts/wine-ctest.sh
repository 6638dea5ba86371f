#!/usr/bin/env bash
# Runs ctest for a Windows build under one long-lived wineserver, so each
# test process starts in milliseconds instead of seconds.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
build=$(cd "$1" && pwd)
processor=$(grep -q "toolchain-mingw-x86_64" "$build/CMakeCache.txt" && echo x86_64 || echo i686)
arch=win32
if [ "$processor" = x86_64 ]; then arch=win64; fi
if [ "$arch" = win32 ] && ! vx_can_run_win32; then
  echo "wine-ctest: this kernel cannot run 32-bit programs (32-bit emulation disabled);"
  echo "wine-ctest: run the Windows suite from the windows-x86_64 preset instead."
  exit 2
fi
vx_wine_env "$arch" "$build"
# The wineserver holds a descriptor for every socket of every test process
# running at once (one test alone opens a thousand): lift the soft limit,
# which is often 1024, to the hard one.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
export VX_WINEPREFIX=$WINEPREFIX
vx_wine_prefix
"$VX_WINESERVER" -p >/dev/null 2>&1 &
trap '"$VX_WINESERVER" -k >/dev/null 2>&1 || true' EXIT
"$VX_WINE" cmd /c exit >/dev/null 2>&1 || true
# Wine starts its desktop process (explorer.exe) for the first program that
# makes a window, and ends it a moment after the last program using the
# desktop ends. Started by a test, it would inherit that test's output, and
# ctest would wait for the output's end for as long as other tests keep the
# desktop in use (a 20 s test was seen to take 78 s, and to time out). So an
# idle program holds the desktop for the whole run, and the desktop process
# is started here, before any test, with none of their output.
keeper=$(mktemp -u)
mkfifo "$keeper"
"$VX_WINE" cmd <"$keeper" >/dev/null 2>&1 &
exec 3>"$keeper"  # cmd waits for input until this script ends
rm -f "$keeper"
"$VX_WINE" rundll32.exe user32.dll,GetDesktopWindow >/dev/null 2>&1 3>&- || true
cd "$build"
ctest -j "$(nproc)" --output-on-failure "${@:2}" 3>&-
