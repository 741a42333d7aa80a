#!/usr/bin/env bash
# Compares GETs answered from the response cache with the same GETs from nginx on 127.0.0.1
# (started here), both through the request engine's driver `fetch`, one after another in one
# process: COUNT files of SIZE bytes, served with "expires 1h" so that stored entries are current.
#
#   bench/compare_cache.sh [BUILD_DIR]        (default build; needs <BUILD_DIR>/bench/fetch)
#
# Environment: COUNT (default 1000), SIZE (default 10240), RUNS (best of, default 5).
# Prints wall and CPU time of both runs and the ratio network/cache (target >= 5), and the same
# per GET without the process's start-up (measured as a run with one cached GET).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

build="${1:-build}"
driver="$(pwd)/$build/bench/fetch"
if [ ! -x "$driver" ]; then
  echo "missing $driver; build it with: cmake --build $build --target fetch" >&2
  exit 2
fi
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || { echo "nginx is not installed" >&2; exit 2; }

count="${COUNT:-1000}"
size="${SIZE:-10240}"
runs="${RUNS:-5}"

work="$(mktemp -d)"
cleanup() {
  bench_nginx_stop
  rm -rf "$work"
}
trap cleanup EXIT
# The driver keeps its cookies under the data folder: keep them in the work folder.
export XDG_DATA_HOME="$work/data"

mkdir -p "$work/www/c"
for i in $(seq 1 "$count"); do head -c "$size" /dev/urandom > "$work/www/c/f$i.bin"; done

# ---- nginx on a free port
bench_nginx_start "$work" /c/f1.bin "sendfile on;
  keepalive_requests 100000;" "location /c/ { expires 1h; }" || exit 1

urls=()
for i in $(seq 1 "$count"); do urls+=("http://127.0.0.1:$port/c/f$i.bin"); done
cache_args=(--cache "$work/cache" --cache-storage 1 --cache-policy 4)

# Fill the cache (permanent store: a new process keeps it), then check every answer comes from it.
"$driver" "${cache_args[@]}" "${urls[@]}" >/dev/null 2>&1
from_cache=$("$driver" "${cache_args[@]}" "${urls[@]}" 2>/dev/null | grep -c 'cached=1' || true)
if [ "$from_cache" -ne "$count" ]; then
  echo "only $from_cache of $count GETs were answered from the cache" >&2
  exit 1
fi

read -r net_t net_cpu < <(bench_measure network "$driver" --cache-policy 1 "${urls[@]}")
read -r cache_t cache_cpu < <(bench_measure cache "$driver" "${cache_args[@]}" "${urls[@]}")
# The same process with one cached GET: what both runs spend besides their GETs (start-up).
read -r one_t one_cpu < <(bench_measure one "$driver" "${cache_args[@]}" "${urls[0]}")

awk -v n="$count" -v size="$size" -v runs="$runs" -v nt="$net_t" -v nc="$net_cpu" \
    -v ct="$cache_t" -v cc="$cache_cpu" -v ot="$one_t" -v oc="$one_cpu" 'BEGIN {
  printf "%d GETs of %d bytes one after another in one process (best of %d runs)\n", n, size, runs
  printf "  from nginx   %7.3f s   CPU %6.3f s\n", nt, nc
  printf "  from cache   %7.3f s   CPU %6.3f s\n", ct, cc
  printf "  one cached GET (start-up) %7.3f s   CPU %6.3f s\n", ot, oc
  printf "  ratio network/cache: time %.2f, CPU %.2f (target >= 5)\n", nt / ct, nc / cc
  if (ct > ot && cc > oc) {
    printf "  per GET without start-up: network %.0f us, cache %.0f us, ratio %.2f\n",
           (nt - ot) / (n - 1) * 1e6, (ct - ot) / (n - 1) * 1e6, (nt - ot) / (ct - ot)
  }
}'
