#!/usr/bin/env bash
# Serves the same small index.html from `solvera-pro --headless` and from nginx (one worker,
# Connection: close for both), loads both with wrk over loopback in one run, and prints both
# request rates and their ratio.
#   bash bench/server_vs_nginx.sh [build dir] [seconds]
set -euo pipefail
build=${1:-build}
seconds=${2:-10}
exe="$build/solvera-pro"
[ -x "$exe" ] || { echo "no $exe: build first" >&2; exit 1; }
command -v wrk >/dev/null && command -v nginx >/dev/null || { echo "needs wrk and nginx" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

mkdir -p "$work/resources/public" "$work/nginx/logs" "$work/xdg"
head -c 2048 /dev/zero | tr '\0' 'x' | sed 's/^/<!doctype html><title>bench<\/title><p>/' > "$work/resources/public/index.html"
cp "$build/resources/Info.json" "$work/resources/"

solvera_port=$(free_port)
XDG_DATA_HOME="$work/xdg" XDG_CONFIG_HOME="$work/xdg" \
  "$exe" --headless --port "$solvera_port" --resources "$work/resources" > "$work/ready" &
pids+=($!)

nginx_port=$(free_port)
cat > "$work/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  sendfile on;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/resources/public;
    location / { add_header Cache-Control no-store; }
  }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
pids+=($!)

# Wait until both answer.
for _ in $(seq 100); do
  if curl -sf "http://127.0.0.1:$solvera_port/" >/dev/null && curl -sf "http://127.0.0.1:$nginx_port/" >/dev/null; then
    break
  fi
  sleep 0.1
done

rate() {
  wrk -t1 -c8 -d"${seconds}s" -H "Connection: close" "http://127.0.0.1:$1/index.html" |
    awk '/Requests\/sec/ {print $2}'
}
solvera=$(rate "$solvera_port")
nginx_rate=$(rate "$nginx_port")
ratio=$(awk -v a="$solvera" -v b="$nginx_rate" 'BEGIN { printf "%.2f", a / b }')
echo "solvera-pro requests/s: $solvera"
echo "nginx       requests/s: $nginx_rate"
echo "ratio (solvera/nginx):  $ratio (target >= 0.8)"
