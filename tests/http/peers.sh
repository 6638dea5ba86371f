#!/usr/bin/env bash
# Starts (or stops) the HTTP peers of the HTTP suite and benchmark on free
# loopback ports: nginx (plain and HTTPS with a self-signed certificate made
# here) and a scripted Python server. Writes the ports to DIR/ports.
#   peers.sh start DIR | peers.sh stop DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
action=$1
dir=$(mkdir -p "$2" && cd "$2" && pwd)

stop() {
  for pidfile in "$dir/nginx.pid" "$dir/python.pid"; do
    if [ -s "$pidfile" ]; then
      kill "$(cat "$pidfile")" 2>/dev/null || true
      rm -f "$pidfile"
    fi
  done
}

if [ "$action" = stop ]; then
  stop
  exit 0
fi
stop

nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
mkdir -p "$dir/www" "$dir/tmp"
printf 'hello from nginx\n' > "$dir/www/small.txt"
python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 4096)' > "$dir/www/1m.bin"
[ -f "$dir/www/big.bin" ] || truncate -s 256M "$dir/www/big.bin"
if [ ! -s "$dir/cert.pem" ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
    -keyout "$dir/key.pem" -out "$dir/cert.pem" >/dev/null 2>&1
fi

# Writes nginx.conf for the ports in $plain and $tls.
write_nginx_conf() {
  big=$(printf 'v%.0s' $(seq 1 3000))
  cat > "$dir/nginx.conf" <<CONF
daemon off;
worker_processes 1;
user root;
pid $dir/nginx.pid;
error_log $dir/nginx-error.log;
events { worker_connections 2048; }
http {
  access_log off;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  keepalive_requests 1000000;
  sendfile on;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$plain;
    listen 127.0.0.1:$tls ssl;
    ssl_certificate $dir/cert.pem;
    ssl_certificate_key $dir/key.pem;
    root $dir/www;
    location = /missing { return 404 "missing"; }
    location = /fail { return 500 "fail"; }
    location = /redirect-loop { return 302 /redirect-loop; }
    location = /bigheaders {
      add_header X-Big-1 "$big";
      add_header X-Big-2 "$big";
      add_header X-Big-3 "$big";
      return 200 "big";
    }
  }
}
CONF
}

rm -f "$dir/python.port"
setsid python3 "$here/peer.py" "$dir/python.port" "$dir/cert.pem" "$dir/key.pem" >"$dir/python.out" 2>&1 </dev/null &
echo $! > "$dir/python.pid"
# A free port may be taken by a test running beside this setup before nginx
# binds it; nginx then ends at once, and a new pair of ports is tried.
for _ in 1 2 3; do
  plain=$(free_port)
  tls=$(free_port)
  write_nginx_conf
  setsid "$nginx_bin" -c "$dir/nginx.conf" -p "$dir" >"$dir/nginx.out" 2>&1 </dev/null &
  nginx=$!
  for _ in $(seq 1 100); do
    if [ -s "$dir/python.port" ] && [ -s "$dir/nginx.pid" ] &&
       curl -fs -o /dev/null "http://127.0.0.1:$plain/small.txt" --noproxy '*'; then
      read -r python python_tls < "$dir/python.port" || true
      echo "nginx=$plain nginx_tls=$tls python=$python python_tls=$python_tls" > "$dir/ports"
      cat "$dir/ports"
      exit 0
    fi
    kill -0 "$nginx" 2>/dev/null || break
    sleep 0.1
  done
  kill "$nginx" 2>/dev/null || true
  rm -f "$dir/nginx.pid"
done
echo "peers: could not start nginx or the Python peer" >&2
cat "$dir/nginx.out" "$dir/nginx-error.log" "$dir/python.out" >&2 2>/dev/null || true
stop
exit 1
