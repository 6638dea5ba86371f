#!/usr/bin/env bash
# A few vexlo commands against the loopback peers of with-http-peers.sh and
# a vexlo echo server; run by demo.sh after the demo host. Offline.
#   scripts/vexlo-demo.sh VEXLO [RUNNER...]   (RUNNER: scripts/wine-run.sh win64)
set -euo pipefail
vexlo_bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
runner=()
for arg in "$@"; do
  if [ -e "$arg" ]; then runner+=("$(cd "$(dirname "$arg")" && pwd)/$(basename "$arg")"); else runner+=("$arg"); fi
done
read -r nginx_field _ python_field _ < "$VX_HTTP_PEERS/ports"
nginx=${nginx_field#nginx=}
python=${python_field#python=}
work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"   # Wine sees relative names through its drive of the current folder
vexlo() { echo "\$ vexlo $*" >&2; "${runner[@]}" "$vexlo_bin" "$@"; }

vexlo get "http://127.0.0.1:$nginx/1m.bin" -o 1m.bin
vexlo crc32 1m.bin
vexlo upload "http://127.0.0.1:$python/upload" 1m.bin --field media -q; echo
printf 'hello, vexlo\n' > greeting.txt
vexlo base64 greeting.txt
vexlo ini set demo.ini Demo Greeting "hello from vexlo"
vexlo ini get demo.ini demo greeting

"${runner[@]}" "$vexlo_bin" serve --port 0 -q > serve.out &
server=$!
for _ in $(seq 1 200); do grep -q listening serve.out 2>/dev/null && break; sleep 0.05; done
port=$(sed -n 's/.*://p' serve.out | tr -d '\r')
echo "\$ vexlo serve --port 0   -> $(tr -d '\r' < serve.out)" >&2
printf 'echoed through vexlo serve\n' | vexlo connect 127.0.0.1 "$port"
kill -INT "$server"
wait "$server"
echo "\$ vexlo get http://127.0.0.1:1/ (nothing listens there)" >&2
if "${runner[@]}" "$vexlo_bin" get -q http://127.0.0.1:1/; then exit 1; else echo "exit code $?" >&2; fi
echo "vexlo demo finished"
