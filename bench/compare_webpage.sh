#!/usr/bin/env bash
# Compares saving a web page with all its resources through our request engine
# (fetch --save-page 2, resources 4 at a time through the page's queue) with
# wget --page-requisites --convert-links, both against one nginx on 127.0.0.1 started here.
#
#   bench/compare_webpage.sh [BUILD_DIR]        (default build; needs <BUILD_DIR>/bench/fetch)
#
# The page names RESOURCES small resources (default 300): a third are images in the page, a
# sixth are style sheets, and each style sheet names two background images of its own.
# Environment: RESOURCES, RUNS (best of, default 5; the two tools take turns). Pages are saved on
# /dev/shm when there is one. Prints wall and client CPU time of both and
# the ratio ours/wget (target: time <= 1.00).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

build="${1:-build}"
driver="$build/bench/fetch"
if [ ! -x "$driver" ]; then
  echo "missing $driver; build it with: cmake --build $build --target fetch" >&2
  exit 2
fi
for tool in nginx wget curl; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "$tool is not installed" >&2; exit 2; }
done

resources="${RESOURCES:-300}"
runs="${RUNS:-5}"
sheets=$((resources / 6))
images=$((resources - 3 * sheets))

work="$(mktemp -d)"
cleanup() {
  bench_nginx_stop
  rm -rf "$work"
}
trap cleanup EXIT

# ---- the page: images in the page, style sheets with two background images each (0.5-4 KiB)
mkdir -p "$work/www/img" "$work/www/css" "$work/www/bg"
{
  echo '<!DOCTYPE html><html><head><meta charset="utf-8"><title>bench</title>'
  for i in $(seq 1 "$sheets"); do echo "<link rel=\"stylesheet\" href=\"css/s$i.css\">"; done
  echo '</head><body>'
  for i in $(seq 1 "$images"); do echo "<img src=\"img/i$i.png\" alt=\"$i\">"; done
  echo '</body></html>'
} > "$work/www/index.html"
for i in $(seq 1 "$images"); do head -c $(( ((i * 7919) % 8 + 1) * 512 )) /dev/urandom > "$work/www/img/i$i.png"; done
for i in $(seq 1 "$sheets"); do
  printf '.a%d { background: url(../bg/a%d.png) } .b%d { background: url("../bg/b%d.png") }\n' "$i" "$i" "$i" "$i" \
    > "$work/www/css/s$i.css"
  head -c 1024 /dev/urandom > "$work/www/bg/a$i.png"
  head -c 2048 /dev/urandom > "$work/www/bg/b$i.png"
done

# ---- nginx on a free port
bench_nginx_start "$work" /index.html "include /etc/nginx/mime.types;
  sendfile on;
  keepalive_requests 100000;" || exit 1
url="http://127.0.0.1:$port/index.html"

# Both tools save into folders of their own on /dev/shm when there is one (else in the work
# folder), fetch's temporary files beside them: file creation on a disk that saw many recent
# deletions varies more between runs than the tools themselves do.
saves="$work"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then saves="$(mktemp -d /dev/shm/compare_webpage.XXXXXX)"; fi
trap 'cleanup; [ "$saves" = "$work" ] || rm -rf "$saves"' EXIT
mkdir -p "$saves/tmp"
export TMPDIR="$saves/tmp"
ours() { rm -rf "$saves/ours"; mkdir -p "$saves/ours"; "$driver" --save-page 2 -o "$saves/ours/index.html" "$url"; }
theirs() { rm -rf "$saves/wget"; wget -q --no-proxy --page-requisites --convert-links -P "$saves/wget" "$url"; }

# once LABEL CMD... : wall and CPU (user + system) time of one run.
once() {
  local label="$1"; shift
  local t
  t=$( { TIMEFORMAT='%R %U %S'; time "$@" >"$work/$label.out" 2>"$work/$label.err"; } 2>&1 ) || {
    echo "$label failed:" >&2; cat "$work/$label.err" >&2; exit 1; }
  echo "$t" | awk '{ printf "%s %.3f\n", $1, $2 + $3 }'
}

# Runs interleaved; the best wall time of each tool, with the CPU time of that run.
wget_t="" wget_cpu="" ours_t="" ours_cpu=""
for _ in $(seq 1 "$runs"); do
  read -r t c < <(once wget theirs)
  if [ -z "$wget_t" ] || awk "BEGIN{exit !($t < $wget_t)}"; then wget_t="$t"; wget_cpu="$c"; fi
  read -r t c < <(once ours ours)
  if [ -z "$ours_t" ] || awk "BEGIN{exit !($t < $ours_t)}"; then ours_t="$t"; ours_cpu="$c"; fi
done

# Both must have saved every resource.
summary="$(grep '^summary:' "$work/ours.out" || true)"
saved_ours=$(find "$saves/ours/index.html_files" -type f | wc -l)
saved_wget=$(find "$saves/wget" -type f ! -name index.html | wc -l)
echo "$summary"
if [ "$saved_ours" -ne "$resources" ] || [ "$saved_wget" -ne "$resources" ]; then
  echo "incomplete: ours saved $saved_ours, wget saved $saved_wget of $resources resources" >&2
  exit 1
fi

awk -v n="$resources" -v runs="$runs" -v wt="$wget_t" -v wc="$wget_cpu" -v ot="$ours_t" -v oc="$ours_cpu" 'BEGIN {
  printf "page with %d small resources (best of %d runs)\n", n, runs
  printf "  wget --page-requisites --convert-links  %7.3f s   client CPU %6.3f s\n", wt, wc
  printf "  fetch --save-page 2 (queue of 4)        %7.3f s   client CPU %6.3f s\n", ot, oc
  printf "  ratio ours/wget: time %.2f (target <= 1.00), CPU %.2f\n", ot / wt, oc / wc
}'
