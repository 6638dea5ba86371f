#!/usr/bin/env bash
# Builds and runs the demo host: a UI thread with a real message loop driving
# the library's services, then a few commands of vexlo, the command-line
# host. Offline; any peers they need run on 127.0.0.1.
# Usage: scripts/demo.sh [linux|windows]   (default: linux)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
. scripts/wine-env.sh
target=${1:-linux}
case "$target" in
  linux)
    cmake --preset linux >/dev/null
    cmake --build build/linux --target vx_demo_host vexlo -j "$(nproc)"
    exec bash scripts/offline.sh bash scripts/with-http-peers.sh build/linux/http-peers \
      bash -c 'build/linux/bin/vx_demo_host && bash scripts/vexlo-demo.sh build/linux/bin/vexlo' ;;
  windows)
    preset=windows-i686 arch=win32
    if ! vx_can_run_win32; then preset=windows-x86_64 arch=win64; fi
    cmake --preset "$preset" >/dev/null
    cmake --build "build/$preset" --target vx_demo_host vexlo -j "$(nproc)"
    exec bash scripts/offline.sh bash scripts/with-http-peers.sh "build/$preset/http-peers" \
      bash -c 'scripts/wine-run.sh "$1" "build/$2/bin/vx_demo_host.exe" &&
        bash scripts/vexlo-demo.sh "build/$2/bin/vexlo.exe" scripts/wine-run.sh "$1"' \
      demo "$arch" "$preset" ;;
  *) echo "usage: $0 [linux|windows]" >&2; exit 2 ;;
esac
