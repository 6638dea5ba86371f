#!/usr/bin/env bash
# Builds and runs the demo host: a UI thread with a real message loop driving
# the library's services. Offline; any peers it needs run on 127.0.0.1.
# Usage: scripts/demo.sh [linux|windows]   (default: linux)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
. scripts/wine-env.sh
target=${1:-linux}
case "$target" in
  linux)
    cmake --preset linux >/dev/null
    cmake --build build/linux --target vx_demo_host -j "$(nproc)"
    exec bash scripts/offline.sh bash scripts/with-http-peers.sh build/linux/http-peers \
      build/linux/bin/vx_demo_host ;;
  windows)
    preset=windows-i686 arch=win32
    if ! vx_can_run_win32; then preset=windows-x86_64 arch=win64; fi
    cmake --preset "$preset" >/dev/null
    cmake --build "build/$preset" --target vx_demo_host -j "$(nproc)"
    exec bash scripts/offline.sh bash scripts/with-http-peers.sh "build/$preset/http-peers" \
      scripts/wine-run.sh "$arch" "build/$preset/bin/vx_demo_host.exe" ;;
  *) echo "usage: $0 [linux|windows]" >&2; exit 2 ;;
esac
