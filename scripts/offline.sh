#!/usr/bin/env bash
# Runs a command in a private network namespace that has only loopback, so
# no test can send a packet off this machine. Needs root (CI runs as root);
# elsewhere the command runs as it is, with a warning.
#   scripts/offline.sh COMMAND [ARG...]
set -euo pipefail
if [ "${VX_OFFLINE:-}" = 1 ]; then exec "$@"; fi
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  exec unshare -n bash -c 'ip link set lo up && VX_OFFLINE=1 exec "$@"' offline "$@"
fi
echo "offline: cannot make a network namespace (not root?); running without one" >&2
exec "$@"
