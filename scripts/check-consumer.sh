#!/usr/bin/env bash
# Checks the library as an application meets it: installs BUILD_DIR into a
# temporary prefix, builds examples/consumer against it with find_package
# and runs it (offline; Windows programs under Wine), builds a host with
# nothing but pkg-config (Linux), and makes the package (.deb or zip) and
# checks what it holds.
#   scripts/check-consumer.sh BUILD_DIR PRESET
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-env.sh"
build=$(cd "$1" && pwd)
preset=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
  echo "check-consumer: $*" >&2
  exit 1
}
# Every name must appear in the listing given on stdin.
expect_in_listing() {
  local listing
  listing=$(cat)
  for name in "$@"; do
    grep -q -- "$name" <<< "$listing" || fail "the package lacks $name"
  done
}

cmake --install "$build" --prefix "$prefix" >/dev/null
consumer=(cmake -S "$root/examples/consumer" -B "$work/consumer" -G Ninja
  -DCMAKE_PREFIX_PATH="$prefix")

case "$preset" in
  windows-*)
    processor=${preset#windows-}
    # Boost is header-only; the cross compiler sees it through the build's
    # folder that holds nothing but boost/.
    "${consumer[@]}" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$processor.cmake" \
      -DBoost_NO_BOOST_CMAKE=ON -DBoost_INCLUDE_DIR="$build/boost-include" >/dev/null
    cmake --build "$work/consumer" >/dev/null
    # Shipped as a host ships: the program beside the DLL and the runtime.
    mkdir -p "$work/host/bin"
    cp "$work/consumer/consumer.exe" "$prefix"/bin/*.dll "$work/host/bin/"
    arch=win64
    [ "$processor" = i686 ] && arch=win32
    if [ "$arch" = win32 ] && ! vx_can_run_win32; then
      echo "check-consumer: 32-bit code cannot run here; the consumer is built, not run"
    else
      VX_WINEPREFIX=$build/wineprefix bash "$root/scripts/offline.sh" \
        bash "$root/scripts/wine-run.sh" "$arch" "$work/host/bin/consumer.exe"
    fi
    (cd "$build" && cpack -G ZIP -B "$work/packages" >/dev/null)
    zip=$(ls "$work"/packages/*.zip)
    unzip -l "$zip" | expect_in_listing bin/VexloTool.dll lib/libVexloTool.dll.a \
      include/VexloTool/FuncDispatch.h include/vxplatform.h include/vxplatform/extras.h \
      lib/cmake/VexloTool/VexloToolConfig.cmake bin/libstdc++-6.dll bin/libwinpthread-1.dll \
      "bin/libgcc_s_"
    echo "check-consumer: $(basename "$zip") holds the DLL, import library, headers and runtime"
    ;;
  *)
    "${consumer[@]}" >/dev/null
    cmake --build "$work/consumer" >/dev/null
    bash "$root/scripts/offline.sh" "$work/consumer/consumer"

    export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
    [ "$(pkg-config --modversion vexlotool)" = 1.0.0 ] || fail "pkg-config does not know vexlotool"
    # shellcheck disable=SC2046 # the flags are words
    g++ -std=c++17 -o "$work/pc-host" "$root/examples/consumer/pkgconfig_check.cpp" \
      $(pkg-config --cflags --libs vexlotool) -Wl,-rpath,"$prefix/lib"
    "$work/pc-host"

    (cd "$build" && cpack -G DEB -B "$work/packages" >/dev/null)
    deb=$(ls "$work"/packages/*.deb)
    dpkg-deb -c "$deb" | expect_in_listing ./usr/lib/libVexloTool.so \
      ./usr/include/VexloTool/FuncDispatch.h ./usr/include/vxplatform.h \
      ./usr/include/vxplatform/winuser.h ./usr/lib/cmake/VexloTool/VexloToolConfig.cmake \
      ./usr/lib/pkgconfig/vexlotool.pc
    depends=$(dpkg-deb -f "$deb" Depends)
    for package in libcurl4 libstdc++6 libc6; do
      grep -q "$package" <<< "$depends" || fail "the .deb does not depend on $package"
    done
    echo "check-consumer: $(basename "$deb") holds the library, headers and both package files;" \
      "Depends: $depends"
    ;;
esac
echo "check-consumer: OK ($preset)"
