#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's 32-bit prefix.
# The prefix lives in the build tree (VX_WINEPREFIX) and is made on first use.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${VX_WINEPREFIX:-$here/../build/wineprefix}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
fi
exec wine "$@"
