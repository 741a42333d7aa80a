#!/usr/bin/env bash
# Compares downloads through our HTTP transport (bench driver transport_fetch) with curl, both
# against one nginx on 127.0.0.1 started here: many small files 4 at a time, and one large file.
#
#   bench/compare_download.sh [BUILD_DIR]        (default build; needs <BUILD_DIR>/bench/transport_fetch)
#
# Environment: SMALL_COUNT (files, default 600), LARGE_MB (default 512), RUNS (best of, default 5).
# Prints wall and client CPU time (user+system) for the small files, MB/s for the large file, and
# the ratios transport/curl (targets: small time and CPU <= 1.0, large throughput >= 0.9).
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build}"
driver="$build/bench/transport_fetch"
if [ ! -x "$driver" ]; then
  echo "missing $driver; build it with: cmake --build $build --target transport_fetch" >&2
  exit 2
fi
for tool in nginx curl; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "$tool is not installed" >&2; exit 2; }
done
nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"

small_count="${SMALL_COUNT:-600}"
large_mb="${LARGE_MB:-512}"
runs="${RUNS:-5}"

work="$(mktemp -d)"
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# ---- content: add-on sized small files (1 to 96 KiB, fixed pattern of sizes) and one large file
mkdir -p "$work/www/small"
small_bytes=0
for i in $(seq 1 "$small_count"); do
  size=$(( ((i * 7919) % 96 + 1) * 1024 ))
  head -c "$size" /dev/urandom > "$work/www/small/f$i.bin"
  small_bytes=$((small_bytes + size))
done
head -c "$((large_mb * 1024 * 1024))" /dev/urandom > "$work/www/large.bin"

# ---- nginx on a free port (a taken port makes nginx exit at once: try another)
start_nginx() {
  local port="$1"
  cat > "$work/nginx.conf" <<CONF
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
worker_processes 1;
daemon off;
master_process off;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/client_body;
  proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi;
  scgi_temp_path $work/scgi;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 60s;
  keepalive_requests 100000;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
  }
}
CONF
  "$nginx_bin" -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
  nginx_pid=$!
  for _ in $(seq 1 100); do
    if ! kill -0 "$nginx_pid" 2>/dev/null; then nginx_pid=""; return 1; fi
    if curl -s --noproxy '*' -o /dev/null "http://127.0.0.1:$port/small/f1.bin"; then return 0; fi
    sleep 0.05
  done
  return 1
}
port=""
for _ in $(seq 1 10); do
  candidate=$((20000 + RANDOM % 40000))
  if start_nginx "$candidate"; then port="$candidate"; break; fi
done
[ -n "$port" ] || { echo "nginx did not start:" >&2; cat "$work/error.log" >&2; exit 1; }
base="http://127.0.0.1:$port"

# ---- URL lists
: > "$work/small.urls"
: > "$work/small.curl"
for i in $(seq 1 "$small_count"); do
  echo "$base/small/f$i.bin" >> "$work/small.urls"
  printf 'url = "%s"\noutput = "/dev/null"\n' "$base/small/f$i.bin" >> "$work/small.curl"
done

# measure LABEL CMD... : best wall time of $runs runs, and the CPU time of that run.
measure() {
  local label="$1"; shift
  local best_real="" best_cpu=""
  for _ in $(seq 1 "$runs"); do
    local t
    t=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>"$work/$label.err"; } 2>&1 ) || {
      echo "$label failed:" >&2; cat "$work/$label.err" >&2; exit 1; }
    local real cpu
    real=$(echo "$t" | awk '{print $1}')
    cpu=$(echo "$t" | awk '{printf "%.3f", $2 + $3}')
    if [ -z "$best_real" ] || awk "BEGIN{exit !($real < $best_real)}"; then
      best_real="$real"; best_cpu="$cpu"
    fi
  done
  echo "$best_real $best_cpu"
}

read -r curl_small_t curl_small_cpu < <(measure curl_small curl -s -f --noproxy '*' --parallel --parallel-max 4 -K "$work/small.curl")
read -r ours_small_t ours_small_cpu < <(measure ours_small "$driver" --parallel 4 --list "$work/small.urls")
read -r curl_large_t curl_large_cpu < <(measure curl_large curl -s -f --noproxy '*' -o /dev/null "$base/large.bin")
read -r ours_large_t ours_large_cpu < <(measure ours_large "$driver" --parallel 1 "$base/large.bin")

awk -v n="$small_count" -v sb="$small_bytes" -v mb="$large_mb" -v runs="$runs" \
    -v cst="$curl_small_t" -v csc="$curl_small_cpu" -v ost="$ours_small_t" -v osc="$ours_small_cpu" \
    -v clt="$curl_large_t" -v clc="$curl_large_cpu" -v olt="$ours_large_t" -v olc="$ours_large_cpu" 'BEGIN {
  printf "small files: %d files, %.1f MiB, 4 at a time (best of %d runs)\n", n, sb / 1048576, runs
  printf "  curl       %7.3f s   client CPU %6.3f s\n", cst, csc
  printf "  transport  %7.3f s   client CPU %6.3f s\n", ost, osc
  printf "  ratio transport/curl: time %.2f, CPU %.2f (targets <= 1.00)\n", ost / cst, osc / csc
  printf "large file: %d MiB (best of %d runs)\n", mb, runs
  printf "  curl       %8.1f MB/s  (%.3f s, client CPU %.3f s)\n", mb * 1.048576 / clt, clt, clc
  printf "  transport  %8.1f MB/s  (%.3f s, client CPU %.3f s)\n", mb * 1.048576 / olt, olt, olc
  printf "  ratio transport/curl throughput: %.2f (target >= 0.90)\n", clt / olt
}'
