#!/usr/bin/env bash
# Builds every target and runs the whole test suite:
#   Linux (plain), Linux under ASan+UBSan, Windows 32-bit under Wine,
#   and a short replay of the fuzzers.
# Every suite runs in a network namespace with only loopback (scripts/offline.sh).
# Usage: scripts/test.sh [preset...]   (default: all of them)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

. scripts/wine-env.sh
presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then
  presets=(linux linux-asan windows-i686 windows-x86_64 linux-fuzz)
fi
jobs=$(nproc)

run_preset() {
  local preset=$1
  echo "=== $preset: configure and build"
  cmake --preset "$preset" -DVX_WERROR=ON >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  case "$preset" in
    windows-*) bash scripts/check-runtime.sh "build/$preset" ;;
  esac
  echo "=== $preset: test"
  case "$preset" in
    windows-i686)
      if vx_can_run_win32; then
        bash scripts/offline.sh bash scripts/wine-ctest.sh build/windows-i686
      else
        echo "32-bit code cannot run on this kernel: the 32-bit DLL and suite are"
        echo "built; the Windows suite runs under 64-bit Wine (windows-x86_64)."
        echo "scripts/win32-vm.sh runs the 32-bit suite in an emulated machine."
      fi ;;
    windows-x86_64) bash scripts/offline.sh bash scripts/wine-ctest.sh build/windows-x86_64 ;;
    linux-fuzz) bash scripts/fuzz-replay.sh build/linux-fuzz ;;
    *) bash scripts/offline.sh ctest --preset "$preset" -j "$jobs" ;;
  esac
  case "$preset" in linux | windows-*) bash scripts/check-consumer.sh "build/$preset" "$preset" ;; esac
}

bash scripts/check-platform.sh
for preset in "${presets[@]}"; do run_preset "$preset"; done
echo "=== all suites passed: ${presets[*]}"
