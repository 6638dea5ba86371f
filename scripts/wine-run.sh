#!/usr/bin/env bash
# Runs a Windows program under Wine: wine-run.sh win32|win64 PROGRAM [ARGS].
# The prefix (VX_WINEPREFIX, or wineprefix beside the program's bin folder)
# is made on first use.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
arch=$1
shift
build=$(cd "$(dirname "$1")/.." && pwd)
vx_wine_env "$arch" "$build"
vx_wine_prefix
exec "$VX_WINE" "$@"
