#!/usr/bin/env bash
# Compares downloads through our HTTP transport (bench driver transport_fetch) with curl, both
# against one nginx on 127.0.0.1 started here: many small files 4 at a time, and one large file.
# Then the whole request engine (the development driver fetch: requests through a queue, each body
# saved to a temporary file and moved into place) against curl saving the same nested paths.
#
#   bench/compare_download.sh [BUILD_DIR]   (default build; needs <BUILD_DIR>/bench/transport_fetch
#                                            and <BUILD_DIR>/bench/fetch)
#
# Environment: SMALL_COUNT (files, default 600), LARGE_MB (default 512), RUNS (best of, default 5),
# ENGINE_COUNT (add-on sized archives for the engine comparison, default 1500; 0 skips it),
# ENGINE_OUT (where both sides save those archives: default a folder in /dev/shm when there is
# one, so that the comparison measures the programs rather than the disk; fetch's temporary
# files go to the same file system, where moving a finished download is a rename).
# Prints wall and client CPU time (user+system) for the small files, MB/s for the large file, and
# the ratios transport/curl (targets: small time and CPU <= 1.0, large throughput >= 0.9).
# The engine comparison runs `fetch -j N -d DIR -i LIST` and `curl --create-dirs --parallel
# --parallel-max N -K LIST` for N = 4 and 8, both including process start, runs interleaved, and
# reports the minima with the machine's load average (targets at N = 4: time <= 1.0x curl,
# CPU <= 1.2x curl; fetch at N = 8 no slower than at N = 4).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

build="${1:-build}"
driver="$build/bench/transport_fetch"
engine="$build/bench/fetch"
for binary in "$driver" "$engine"; do
  if [ ! -x "$binary" ]; then
    echo "missing $binary; build it with: cmake --build $build --target transport_fetch fetch" >&2
    exit 2
  fi
done
for tool in nginx curl; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "$tool is not installed" >&2; exit 2; }
done

small_count="${SMALL_COUNT:-600}"
large_mb="${LARGE_MB:-512}"
runs="${RUNS:-5}"
engine_count="${ENGINE_COUNT:-1500}"

work="$(mktemp -d)"
cleanup() {
  bench_nginx_stop
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
# Add-on sized archives in nested folders for the engine comparison: 38 files per add-on, two
# levels deep, sizes from 0.4 to 12 KB around a median of about 2.5 KB (fixed pattern).
for i in $(seq 0 $((engine_count - 1))); do
  dir="$work/www/addons/Addon$((i / 38))"
  [ $((i % 3)) -ne 0 ] && dir="$dir/Sub$((i % 4))"
  mkdir -p "$dir"
  size=$(( 400 + (i * 7919) % 2600 + ((i * 104729) % 97 == 0 ? 9000 : 0) ))
  head -c "$size" /dev/urandom > "$dir/File$i.lua.7z"
done

# ---- nginx on a free port
bench_nginx_start "$work" /small/f1.bin "sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;" || exit 1
base="http://127.0.0.1:$port"

# ---- URL lists
: > "$work/small.urls"
: > "$work/small.curl"
for i in $(seq 1 "$small_count"); do
  echo "$base/small/f$i.bin" >> "$work/small.urls"
  printf 'url = "%s"\noutput = "/dev/null"\n' "$base/small/f$i.bin" >> "$work/small.curl"
done

# ---- the engine: the same nested paths from both; runs interleaved, minima of each
engine_report=""
if [ "$engine_count" -gt 0 ]; then
  if [ -n "${ENGINE_OUT:-}" ]; then
    out="$ENGINE_OUT"
  elif [ -d /dev/shm ] && [ -w /dev/shm ]; then
    out="$(mktemp -d /dev/shm/compare_download.XXXXXX)"
    trap 'cleanup; rm -rf "$out"' EXIT
  else
    out="$work/out"
  fi
  mkdir -p "$out/tmp"
  : > "$work/engine.urls"
  : > "$work/engine.curl"
  (cd "$work/www" && find addons -type f | sort) > "$work/engine.paths"
  while read -r path; do
    echo "$base/$path" >> "$work/engine.urls"
    printf 'url = "%s"\noutput = "%s"\n' "$base/$path" "$out/curl/$path" >> "$work/engine.curl"
  done < "$work/engine.paths"
  # One run: wall, user+system CPU (seconds), from a clean output folder.
  engine_run() {
    local t
    rm -rf "$out/curl" "$out/fetch"
    t=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>"$work/engine.err"; } 2>&1 ) || {
      echo "engine comparison failed: $*" >&2; cat "$work/engine.err" >&2; exit 1; }
    local saved
    saved=$( (find "$out/curl" "$out/fetch" -type f 2>/dev/null || true) | wc -l)
    [ "$saved" -eq "$engine_count" ] || { echo "engine comparison saved $saved of $engine_count files: $*" >&2; exit 1; }
    echo "$t" | awk '{ printf "%s %.3f\n", $1, $2 + $3 }'
  }
  declare -A best_t best_cpu
  load_before=$(cut -d' ' -f1 /proc/loadavg)
  for _ in $(seq 1 "$runs"); do
    for jobs in 4 8; do
      for side in fetch curl; do
        if [ "$side" = fetch ]; then
          read -r t c < <(engine_run env TMPDIR="$out/tmp" "$engine" -j "$jobs" -d "$out/fetch" -i "$work/engine.urls")
        else
          read -r t c < <(engine_run curl -s -f --noproxy '*' --create-dirs --parallel --parallel-max "$jobs" -K "$work/engine.curl")
        fi
        [ -n "$t" ] || exit 1
        key="$side$jobs"
        if [ -z "${best_t[$key]:-}" ] || awk "BEGIN{exit !($t < ${best_t[$key]})}"; then best_t[$key]=$t; fi
        if [ -z "${best_cpu[$key]:-}" ] || awk "BEGIN{exit !($c < ${best_cpu[$key]})}"; then best_cpu[$key]=$c; fi
      done
    done
  done
  load_after=$(cut -d' ' -f1 /proc/loadavg)
  engine_report=$(awk -v n="$engine_count" -v out="$out" -v runs="$runs" -v l0="$load_before" -v l1="$load_after" \
      -v f4t="${best_t[fetch4]}" -v f4c="${best_cpu[fetch4]}" -v c4t="${best_t[curl4]}" -v c4c="${best_cpu[curl4]}" \
      -v f8t="${best_t[fetch8]}" -v f8c="${best_cpu[fetch8]}" -v c8t="${best_t[curl8]}" -v c8c="${best_cpu[curl8]}" 'BEGIN {
    printf "request engine: %d archives into nested folders under %s, process start included (minima of %d interleaved runs; load %s before, %s after)\n", n, out, runs, l0, l1
    printf "  curl  -j 4  %7.3f s   client CPU %6.3f s\n", c4t, c4c
    printf "  fetch -j 4  %7.3f s   client CPU %6.3f s\n", f4t, f4c
    printf "  curl  -j 8  %7.3f s   client CPU %6.3f s\n", c8t, c8c
    printf "  fetch -j 8  %7.3f s   client CPU %6.3f s\n", f8t, f8c
    printf "  ratio fetch/curl at 4: time %.2f (target <= 1.00), CPU %.2f (target <= 1.20)\n", f4t / c4t, f4c / c4c
    printf "  fetch at 8 / at 4: time %.2f (target <= 1.00)\n", f8t / f4t
  }')
fi

read -r curl_small_t curl_small_cpu < <(bench_measure curl_small curl -s -f --noproxy '*' --parallel --parallel-max 4 -K "$work/small.curl")
read -r ours_small_t ours_small_cpu < <(bench_measure ours_small "$driver" --parallel 4 --list "$work/small.urls")
read -r curl_large_t curl_large_cpu < <(bench_measure curl_large curl -s -f --noproxy '*' -o /dev/null "$base/large.bin")
read -r ours_large_t ours_large_cpu < <(bench_measure ours_large "$driver" --parallel 1 "$base/large.bin")

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
[ -z "$engine_report" ] || echo "$engine_report"
