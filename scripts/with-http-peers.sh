#!/usr/bin/env bash
# Runs a command with the HTTP peers (nginx, the Python peer) started on
# loopback for it, and VX_HTTP_PEERS naming their folder; stops them after.
#   scripts/with-http-peers.sh DIR COMMAND [ARG...]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$1
shift
bash "$here/../tests/http/peers.sh" start "$dir" >/dev/null || exit 1
VX_HTTP_PEERS=$(cd "$dir" && pwd) "$@"
status=$?
bash "$here/../tests/http/peers.sh" stop "$dir"
exit $status
