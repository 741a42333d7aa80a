#!/usr/bin/env bash
# Compares uploads through the request engine (the development driver fetch) with curl, both
# against one nginx on 127.0.0.1 started here (WebDAV PUT storing bodies, a location that reads
# and drops POST bodies):
#   1. PUT of a large file streamed from disk: fetch -X PUT --data-file vs curl -T, interleaved,
#      best of RUNS each (target: fetch throughput >= 0.9 of curl's);
#   2. peak resident memory of fetch uploading a huge file, as a PUT from disk and as a
#      multipart form with one file part (target: under 48 MiB each; needs /usr/bin/time);
#   3. many small URL-encoded POSTs, 4 at a time (fetch saves the answers on /dev/shm when there
#      is one; curl drops them): fetch -i LIST -j 4 vs curl --parallel
#      --parallel-max 4 with the same bodies (target: fetch time <= curl's). POSTs never reuse
#      connections in the engine, so every POST opens a connection of its own, while curl
#      reuses its four: curl is also measured with "Connection: close", which makes it open one
#      connection per POST as the engine does.
#
#   bench/compare_upload.sh [BUILD_DIR]     (default build; needs <BUILD_DIR>/bench/fetch)
#
# Environment: LARGE_MB (default 300), HUGE_MB (default 1024), SMALL_COUNT (default 1000),
# RUNS (default 3). Run it at low priority on one core, as every long run here:
#   nice -n 19 taskset -c 1 bench/compare_upload.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

build="${1:-build}"
fetch="$(pwd)/$build/bench/fetch"
if [ ! -x "$fetch" ]; then
  echo "missing $fetch; build it with: cmake --build $build --target fetch" >&2
  exit 2
fi
for tool in nginx curl; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "$tool is not installed" >&2; exit 2; }
done

large_mb="${LARGE_MB:-300}"
huge_mb="${HUGE_MB:-1024}"
small_count="${SMALL_COUNT:-1000}"
runs="${RUNS:-3}"

work="$(mktemp -d)"
cleanup() {
  bench_nginx_stop
  rm -rf "$work"
}
trap cleanup EXIT
# fetch's temporary body files go here too, and are removed with it.
export TMPDIR="$work/tmp"
mkdir -p "$TMPDIR" "$work/www/upload"

# ---- nginx on a free port
bench_nginx_start "$work" /ping "keepalive_requests 100000;
  client_max_body_size 0;" "location /upload/ { dav_methods PUT DELETE; create_full_put_path on; }
    location = /post { return 200 \"ok\\n\"; }
    location = /ping { return 204; }" || exit 1
base="http://127.0.0.1:$port"

# seconds CMD... : wall time of one run (fails loudly).
seconds() {
  local t
  t=$( { TIMEFORMAT='%R'; time "$@" >"$work/last.out" 2>"$work/last.err"; } 2>&1 ) || {
    echo "failed: $*" >&2; cat "$work/last.err" "$work/last.out" >&2; exit 1; }
  echo "$t"
}
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }

# ---- 1. large PUT from disk
head -c "$((large_mb * 1024 * 1024))" /dev/urandom > "$work/large.bin"
curl_large="" ours_large=""
for _ in $(seq 1 "$runs"); do
  t=$(seconds curl -s -f --noproxy '*' -T "$work/large.bin" -o /dev/null "$base/upload/curl.bin")
  curl_large=$(min "$curl_large" "$t")
  t=$(seconds "$fetch" -X PUT --data-file "$work/large.bin" "$base/upload/ours.bin")
  grep -q "summary: status=20[14] sent=$((large_mb * 1024 * 1024)) .*error=0" "$work/last.out" || {
    echo "fetch did not send the whole file:" >&2; tail -1 "$work/last.out" >&2; exit 1; }
  ours_large=$(min "$ours_large" "$t")
done
cmp -s "$work/large.bin" "$work/www/upload/ours.bin" || { echo "the stored upload differs" >&2; exit 1; }
rm -f "$work/www/upload/"*.bin

# ---- 2. peak memory with a huge body (PUT from disk; multipart form with one file part)
rss_put="-" rss_form="-"
if [ -x /usr/bin/time ]; then
  head -c "$((huge_mb * 1024 * 1024))" /dev/zero > "$work/huge.bin"
  /usr/bin/time -v "$fetch" -X PUT --data-file "$work/huge.bin" "$base/upload/huge.bin" \
    >"$work/last.out" 2>"$work/put.time"
  rss_put=$(awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' "$work/put.time")
  rm -f "$work/www/upload/huge.bin"
  /usr/bin/time -v "$fetch" --form "name=value" --form-file "file=$work/huge.bin" "$base/post" \
    >"$work/last.out" 2>"$work/form.time"
  grep -q "summary: status=200 .*error=0" "$work/last.out" || { echo "the form upload failed" >&2; exit 1; }
  rss_form=$(awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' "$work/form.time")
  rm -f "$work/huge.bin"
fi

# ---- 3. small URL-encoded POSTs, 4 at a time
: > "$work/small.urls"
: > "$work/small.curl"
body="name=small%20form&value=42&k=$(head -c 96 /dev/zero | tr '\0' 'x')"
for i in $(seq 1 "$small_count"); do
  echo "$base/post?i=$i" >> "$work/small.urls"
  printf 'url = "%s"\noutput = "/dev/null"\ndata = "%s"\n' "$base/post?i=$i" "$body" >> "$work/small.curl"
done
# curl drops the answers ("ok"); fetch must save each in a file: on /dev/shm when there is one
# (with its temporary files beside), so that the disk's file creation time is not counted.
answers="$work/out"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then answers="$(mktemp -d /dev/shm/compare_upload.XXXXXX)"; fi
trap 'cleanup; [ "$answers" = "$work/out" ] || rm -rf "$answers"' EXIT
mkdir -p "$answers/out" "$answers/tmp"
curl_small="" curl_close="" ours_small=""
for _ in $(seq 1 "$runs"); do
  t=$(seconds curl -s -f --noproxy '*' --parallel --parallel-max 4 -H "Content-Type: application/x-www-form-urlencoded" -K "$work/small.curl")
  curl_small=$(min "$curl_small" "$t")
  t=$(seconds curl -s -f --noproxy '*' --parallel --parallel-max 4 -H "Content-Type: application/x-www-form-urlencoded" -H "Connection: close" -K "$work/small.curl")
  curl_close=$(min "$curl_close" "$t")
  t=$(seconds env TMPDIR="$answers/tmp" "$fetch" -i "$work/small.urls" -j 4 -d "$answers/out" -H "Content-Type: application/x-www-form-urlencoded" --data "$body")
  grep -q "finished $small_count failed 0" "$work/last.out" || { echo "some POSTs failed" >&2; exit 1; }
  ours_small=$(min "$ours_small" "$t")
done

awk -v mb="$large_mb" -v runs="$runs" -v cl="$curl_large" -v ol="$ours_large" \
    -v hmb="$huge_mb" -v rp="$rss_put" -v rf="$rss_form" \
    -v n="$small_count" -v cs="$curl_small" -v cc="$curl_close" -v os="$ours_small" 'BEGIN {
  printf "large PUT from disk: %d MiB (best of %d, interleaved)\n", mb, runs
  printf "  curl -T  %8.1f MB/s  (%.3f s)\n", mb * 1.048576 / cl, cl
  printf "  fetch    %8.1f MB/s  (%.3f s)\n", mb * 1.048576 / ol, ol
  printf "  ratio fetch/curl throughput: %.2f (target >= 0.90)\n", cl / ol
  if (rp != "-") {
    printf "peak resident memory of fetch with a %d MiB body (target < 48 MiB)\n", hmb
    printf "  PUT from disk            %6.1f MiB\n", rp / 1024
    printf "  multipart, one file part %6.1f MiB\n", rf / 1024
  } else {
    printf "peak memory not measured: /usr/bin/time is missing\n"
  }
  printf "small URL-encoded POSTs: %d, 4 at a time (best of %d)\n", n, runs
  printf "  curl --parallel, connections reused  %7.3f s\n", cs
  printf "  curl --parallel, one connection each  %7.3f s\n", cc
  printf "  fetch queue, one connection each      %7.3f s\n", os
  printf "  ratio fetch/curl time: %.2f against reused connections, %.2f against one connection each (target <= 1.00)\n", os / cs, os / cc
}'
