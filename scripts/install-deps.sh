#!/usr/bin/env bash
# Installs every Debian package both targets need. Idempotent: packages
# already present are skipped, and apt runs only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git clang clang-format
  libclang-rt-14-dev
  libboost-dev libcurl4-openssl-dev libgtest-dev libgmock-dev googletest
  libbenchmark-dev zlib1g-dev libssl-dev libspdlog-dev
  g++-mingw-w64-i686-posix mingw-w64-i686-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine64 wine32:i386
  iproute2 util-linux
  nginx-light python3 openssl curl  # HTTP suite peers (tests/http/peers.sh)
  socat  # sockets: peers the socket tests and the demo start on loopback
  qtbase5-dev libglib2.0-dev  # event-loop peers: benchmarks and integration examples
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# When a mirror is in the middle of a sync, the i386 security index can fail
# its size check, and then i386 and amd64 versions of multi-arch libraries
# disagree. The fallback serves that index from a local folder and fetches
# the few packages it names straight from the pool.
local_repo=/var/lib/vexlo-apt/i386-security
security_base=http://deb.debian.org/debian-security
security_fallback() {
  "${sudo_cmd[@]}" mkdir -p "$local_repo"
  curl -fsS "$security_base/dists/bookworm-security/main/binary-i386/Packages.xz" |
    xz -dc > /tmp/vexlo-sec-i386 || return 1
  sed -E 's#^Filename: .*/([^/]+)$#Filename: ./\1#' /tmp/vexlo-sec-i386 |
    "${sudo_cmd[@]}" tee "$local_repo/Packages" >/dev/null
  echo "deb [arch=i386 trusted=yes] file:$local_repo ./" |
    "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/vexlo-i386-security.list >/dev/null
  "${sudo_cmd[@]}" apt-get update -q || true
  apt-get install --print-uris -y -q --no-install-recommends "${missing[@]}" |
    sed -nE "s#^'file:$local_repo/\./([^']+)' .*#\1#p" | while read -r encoded; do
      deb=$(printf '%b' "${encoded//%/\\x}")
      path=$(awk -v f="$deb" '$1 == "Filename:" && substr($2, length($2) - length(f) + 1) == f { print $2; exit }' /tmp/vexlo-sec-i386)
      [ -n "$path" ] && [ -s "$local_repo/$deb" ] && continue
      [ -n "$path" ] && "${sudo_cmd[@]}" curl -fsS -o "$local_repo/$deb" "$security_base/$path"
    done
}

for attempt in 1 2 3 4; do
  "${sudo_cmd[@]}" apt-get update -q || echo "install-deps: apt-get update reported errors"
  if "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    exit 0
  fi
  echo "install-deps: install failed (attempt $attempt), trying the local index fallback"
  security_fallback || true
  sleep $((attempt * 5))
done
exit 1
