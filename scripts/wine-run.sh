#!/usr/bin/env bash
# Runs a Windows program under Wine:
#   wine-run.sh [--retry-if-silent] win32|win64 PROGRAM [ARGS]
# The prefix (VX_WINEPREFIX, or wineprefix beside the program's bin folder)
# is made on first use.
#
# --retry-if-silent is for the test suites' programs, which print before
# their first test: Wine has been seen, rarely and under a full parallel
# run, to end such a program at once without a word. A run that fails having
# printed nothing is started once more, saying so; a run that printed
# anything is never repeated.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
retry=false
if [ "$1" = --retry-if-silent ]; then
  retry=true
  shift
fi
arch=$1
shift
build=$(cd "$(dirname "$1")/.." && pwd)
vx_wine_env "$arch" "$build"
vx_wine_prefix
$retry || exec "$VX_WINE" "$@"

out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
set +e
for attempt in 1 2; do
  "$VX_WINE" "$@" 2> >(tee "$err" >&2) | tee "$out"
  rc=${PIPESTATUS[0]}
  if [ $rc -eq 0 ] || [ -s "$out" ] || [ -s "$err" ] || [ $attempt -eq 2 ]; then break; fi
  echo "wine-run: $1 ended with status $rc before printing anything; starting it again"
done
exit $rc
