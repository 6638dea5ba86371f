#!/usr/bin/env bash
# Checks a Windows build without running it, so it holds where 32-bit code
# cannot run:
#  - VexloTool.dll and every program in bin/ import the shared unwinder
#    (libgcc_s_dw2-1.dll on 32-bit): with a static copy in each module, an
#    exception thrown in one module and caught in another ends the process;
#  - every DLL they import that is not part of Windows lies beside them in
#    bin/, so a host shipped with that folder starts;
#  - the DLL exports each service's SingletonImpl<T, 0>::Instance(), which a
#    host built without optimisation calls.
#   scripts/check-runtime.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
bin=$build/bin
if grep -q "toolchain-mingw-x86_64" "$build/CMakeCache.txt"; then
  objdump=x86_64-w64-mingw32-objdump unwinder=libgcc_s_seh-1.dll
else
  objdump=i686-w64-mingw32-objdump unwinder=libgcc_s_dw2-1.dll
fi
# DLLs of Windows itself (and of Wine), which a host never ships.
system='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|msvcrt|ws2_32|wininet|iphlpapi|mswsock|shlwapi|rpcrt4|ntdll|api-ms-win-.*)\.dll$'
status=0
fail() {
  echo "check-runtime: $*"
  status=1
}

imports() { "$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p'; }

modules=("$bin/VexloTool.dll" "$bin"/*.exe)
for module in "${modules[@]}"; do
  [ -f "$module" ] || { fail "missing $module"; continue; }
  names=$(imports "$module")
  grep -qix "$unwinder" <<< "$names" || fail "$(basename "$module") does not import $unwinder"
  while IFS= read -r dll; do
    [ -z "$dll" ] && continue
    grep -Eqi "$system" <<< "$dll" && continue
    [ -f "$bin/$dll" ] || fail "$(basename "$module") imports $dll, which is not in bin/"
  done <<< "$names"
done

exports=$("$objdump" -p "$bin/VexloTool.dll")
for service in CFuncDispatch CThreadPool CVXLogWrapper CHttpFactory CNetworkMonitorWrapper; do
  symbol="_ZN9VexloTool13SingletonImplINS_[0-9]+${service}ELi0EE8InstanceEv"
  grep -Eq "\] $symbol\$" <<< "$exports" ||
    fail "VexloTool.dll does not export SingletonImpl<$service, 0>::Instance()"
done

[ "$status" -eq 0 ] && echo "check-runtime: OK (${#modules[@]} modules, unwinder $unwinder)"
exit "$status"
