#!/usr/bin/env bash
# Compares bandwidth throttling and proxied throughput of the request engine (bench driver
# fetch) with curl, against one nginx and one squid on 127.0.0.1 started here:
#   1. one 5 MB download with a limit of 500,000 bytes/s (target: 10 s within 10%)
#   2. four 2 MB downloads at once under the same limit, shared (curl: four transfers of a
#      quarter of the limit each) (target: 16 s)
#   3. one 2 MB upload (PUT, body read from disk through the throttled body stream) (target: 4 s)
#   4. one large download through squid without a limit (target: >= 0.9 of curl's throughput)
# For 1-3 it prints the wall time of both and fetch's CPU time (user+system) as a share of the
# wall time; for 4 MB/s of both and the ratio.
#
#   bench/compare_throttle.sh [BUILD_DIR]        (default build; needs <BUILD_DIR>/bench/fetch)
#
# Environment: LIMIT (bytes/s, default 500000), LARGE_MB (default 256), RUNS (best of, default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

build="${1:-build}"
fetch="$(realpath "$build/bench/fetch" 2>/dev/null || true)"
if [ ! -x "$fetch" ]; then
  echo "missing $build/bench/fetch; build it with: cmake --build $build --target fetch" >&2
  exit 2
fi
for tool in nginx squid curl; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "$tool is not installed" >&2; exit 2; }
done
squid_bin="$(command -v squid || echo /usr/sbin/squid)"

limit="${LIMIT:-500000}"
large_mb="${LARGE_MB:-256}"
runs="${RUNS:-3}"

work="$(mktemp -d)"
chmod 755 "$work"
squid_pid=""
cleanup() {
  bench_nginx_stop
  if [ -n "$squid_pid" ]; then kill "$squid_pid" 2>/dev/null || true; wait "$squid_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

mkdir -p "$work/www/upload" "$work/out"
head -c 5000000 /dev/urandom > "$work/www/five.bin"
head -c 2000000 /dev/urandom > "$work/www/two.bin"
head -c "$((large_mb * 1024 * 1024))" /dev/urandom > "$work/www/large.bin"

# ---- nginx (downloads, and PUT into /upload/)
bench_nginx_start "$work" /two.bin "sendfile on;" \
  "location /upload/ { dav_methods PUT; create_full_put_path on; client_max_body_size 100m; }" || exit 1
base="http://127.0.0.1:$port"

# ---- squid (no cache, no authentication)
squid_port="$(free_port)"
mkdir -p "$work/squid"
cat > "$work/squid/squid.conf" <<CONF
http_port 127.0.0.1:$squid_port
pid_filename $work/squid/squid.pid
cache_effective_user proxy
cache deny all
cache_mem 8 MB
shutdown_lifetime 0 seconds
dns_nameservers 127.0.0.1
logfile_rotate 0
cache_log $work/squid/cache.log
access_log none
netdb_filename none
http_access allow all
CONF
[ "$(id -u)" -eq 0 ] && chown -R proxy:proxy "$work/squid"
"$squid_bin" -N -f "$work/squid/squid.conf" > "$work/squid/out.log" 2>&1 &
squid_pid=$!
for _ in $(seq 1 200); do
  curl -s -o /dev/null -x "http://127.0.0.1:$squid_port" "$base/two.bin" && break
  sleep 0.05
done

# Prints "<wall seconds> <CPU seconds (user+system) of the command>"; its output goes to
# $work/last.log. (bash's `times` must run in this same shell to see the command's time.)
timed() {
  local start end before after
  times > "$work/times.before"
  start=$(date +%s.%N)
  "$@" > "$work/last.log" 2>&1 || { echo "failed: $*" >&2; cat "$work/last.log" >&2; exit 1; }
  end=$(date +%s.%N)
  times > "$work/times.after"
  before=$(cpu_of "$work/times.before")
  after=$(cpu_of "$work/times.after")
  awk -v s="$start" -v e="$end" -v b="$before" -v a="$after" 'BEGIN { printf "%.2f %.2f", e - s, a - b }'
}
# The children's user+system seconds from a saved `times` output.
cpu_of() { tail -1 "$1" | awk '{ split($1, u, "m"); split($2, s, "m"); printf "%.3f", u[1]*60 + u[2] + s[1]*60 + s[2] }'; }

report() {  # name ours(wall cpu) curl(wall) target
  local name="$1" ours="$2" curl_wall="$3" target="$4"
  local wall cpu
  read -r wall cpu <<< "$ours"
  awk -v n="$name" -v w="$wall" -v c="$cpu" -v cw="$curl_wall" -v t="$target" \
    'BEGIN { printf "%-34s fetch %6.2f s (cpu %4.1f%%)  curl %6.2f s  target %5.1f s  fetch/target %.3f\n", n, w, 100 * c / w, cw, t, w / t }'
}

echo "limit ${limit} bytes/s; load before: $(cut -d' ' -f1-3 /proc/loadavg)"

# 1. one 5 MB download
ours=$(timed nice -n 19 "$fetch" --limit-rate "$limit" -o "$work/out/five.bin" "$base/five.bin")
cmp -s "$work/out/five.bin" "$work/www/five.bin" || { echo "five.bin differs" >&2; exit 1; }
grep -o 'avg-bps=[0-9]*' "$work/last.log" | head -1 | sed 's/^/  fetch /'
# curl writes to /dev/null: curl 7.88 lets a limited transfer into a regular file run unlimited.
theirs=$(timed nice -n 19 curl -s --limit-rate "$limit" -o /dev/null "$base/five.bin")
report "5 MB download" "$ours" "${theirs% *}" "$(awk -v l="$limit" 'BEGIN { print 5000000 / l }')"

# 2. four 2 MB downloads at once
# One process, four requests at once through a queue, sharing the class-wide limit; each is
# saved under its own folder (the list's paths differ).
for i in 1 2 3 4; do mkdir -p "$work/www/q$i"; ln -f "$work/www/two.bin" "$work/www/q$i/two.bin"; done
for i in 1 2 3 4; do echo "$base/q$i/two.bin"; done > "$work/list.txt"
ours=$(timed nice -n 19 "$fetch" --limit-rate "$limit" -j 4 -d "$work/out" -i "$work/list.txt")
for i in 1 2 3 4; do
  cmp -s "$work/out/q$i/two.bin" "$work/www/two.bin" || { echo "queued two.bin $i differs" >&2; exit 1; }
done
quarter=$((limit / 4))
theirs=$(timed nice -n 19 bash -c "for i in 1 2 3 4; do curl -s --limit-rate $quarter -o /dev/null $base/two.bin & done; wait")
report "4 x 2 MB downloads at once" "$ours" "${theirs% *}" "$(awk -v l="$limit" 'BEGIN { print 8000000 / l }')"

# 3. one 2 MB upload
ours=$(timed nice -n 19 "$fetch" --limit-rate "$limit" --throttle-put "$work/www/two.bin" "$base/upload/ours.bin")
cmp -s "$work/www/upload/ours.bin" "$work/www/two.bin" || { echo "uploaded file differs" >&2; exit 1; }
theirs=$(timed nice -n 19 curl -s --limit-rate "$limit" -T "$work/www/two.bin" "$base/upload/curl.bin")
report "2 MB upload" "$ours" "${theirs% *}" "$(awk -v l="$limit" 'BEGIN { print 2000000 / l }')"

# 4. throughput through squid without a limit, best of RUNS
best_ours=999999; best_curl=999999
for _ in $(seq 1 "$runs"); do
  t=$(timed nice -n 19 "$fetch" --proxy "127.0.0.1:$squid_port" -o "$work/out/large.bin" "$base/large.bin")
  grep -q "proxy=127.0.0.1:$squid_port" "$work/last.log" || { echo "fetch did not use squid" >&2; exit 1; }
  best_ours=$(awk -v a="$best_ours" -v b="${t% *}" 'BEGIN { print (b < a) ? b : a }')
  t=$(timed nice -n 19 curl -s -x "http://127.0.0.1:$squid_port" -o "$work/out/large.curl" "$base/large.bin")
  best_curl=$(awk -v a="$best_curl" -v b="${t% *}" 'BEGIN { print (b < a) ? b : a }')
done
cmp -s "$work/out/large.bin" "$work/www/large.bin" || { echo "large.bin differs" >&2; exit 1; }
awk -v mb="$large_mb" -v o="$best_ours" -v c="$best_curl" \
  'BEGIN { printf "%-34s fetch %7.1f MB/s  curl %7.1f MB/s  fetch/curl %.3f\n", mb " MB through squid", mb / o, mb / c, c / o }'
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
