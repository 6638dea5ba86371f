# Sourced by the Wine scripts: sets the environment for one Wine flavour.
#   vx_wine_env win32|win64 BUILD_DIR
# 32-bit Windows programs need a kernel that runs 32-bit code (the 32-bit
# Wine loader is a 32-bit Linux program); vx_can_run_win32 tells.
vx_can_run_win32() {
  /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

vx_wine_env() {
  local arch=$1 build=$2
  export WINEARCH=$arch WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
  export WINEPREFIX=${VX_WINEPREFIX:-$build/wineprefix}
  if [ "$arch" = win64 ]; then
    VX_WINE=/usr/lib/wine/wine64
    VX_WINESERVER=/usr/lib/wine/wineserver64
  else
    VX_WINE=/usr/lib/wine/wine
    VX_WINESERVER=/usr/lib/wine/wineserver32
  fi
  export WINELOADER=$VX_WINE WINESERVER=$VX_WINESERVER
}

vx_wine_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$VX_WINE" wineboot -i >/dev/null 2>&1 || true
  fi
}
