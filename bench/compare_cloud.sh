#!/usr/bin/env bash
# Compares object transfers through the cloud storage clients (the cloudstore tool) with curl,
# both against one object store on 127.0.0.1 started here (tests/support/swift_peer.py):
#   1. S3: PUT of a large file streamed from disk and GET of it to a file; curl signs the same
#      requests (signature version 2) with openssl;
#   2. Cloud Files: the same PUT and GET with the token protocol.
# Interleaved, best of RUNS each; the ratio is curl's time over cloudstore's (throughput of
# cloudstore relative to curl's; target >= 0.9).
#   3. a listing of LIST_COUNT objects through "cloudstore s3 ls", one page of 1000 at a time:
#      every key must come back, and the peak resident memory is shown (needs /usr/bin/time).
#
#   bench/compare_cloud.sh [BUILD_DIR]     (default build; needs <BUILD_DIR>/bench/cloudstore)
#
# Environment: SIZE_MB (default 200), RUNS (default 3), LIST_COUNT (default 5000; 0 skips it). Run it at low priority on one core:
#   nice -n 19 taskset -c 1 bench/compare_cloud.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build}"
tool="$(pwd)/$build/bench/cloudstore"
[ -x "$tool" ] || { echo "missing $tool; build it with: cmake --build $build --target cloudstore" >&2; exit 2; }
size_mb="${SIZE_MB:-200}"
runs="${RUNS:-3}"
list_count="${LIST_COUNT:-5000}"

work="$(mktemp -d)"
peer="$work/peer"
cleanup() { /usr/bin/python3 tests/support/swift_peer.py stop "$peer" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
/usr/bin/python3 tests/support/swift_peer.py start "$peer"
. "$peer/peer.env"
endpoint="http://127.0.0.1:$SWIFT_PROXY_PORT"

export S3_HOST="127.0.0.1:$SWIFT_PROXY_PORT" S3_ACCESS_KEY=test:tester S3_SECRET_KEY=testing S3_PATH_STYLE=1
export CF_AUTH_URL="$endpoint/auth/v1.0" CF_USER=test:tester CF_KEY=testing
head -c "$((size_mb * 1024 * 1024))" /dev/urandom > "$work/object.bin"

# nanoseconds taken by a command
elapsed() { local t0; t0=$(date +%s%N); "$@" >/dev/null; echo $(( $(date +%s%N) - t0 )); }
best() { sort -n | head -1; }

# curl with a version-2 signature: METHOD PATH CONTENT-TYPE [curl options...]
s3curl() {
  local method=$1 path=$2 type=$3; shift 3
  local date sig
  date=$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT')
  sig=$(printf '%s\n\n%s\n%s\n%s' "$method" "$type" "$date" "$path" | openssl dgst -sha1 -hmac testing -binary | base64)
  curl -sSf -X "$method" -H "Date: $date" -H "Content-Type: $type" -H "Authorization: AWS test:tester:$sig" "$@" "$endpoint$path"
}

"$tool" s3 mb bench-s3
"$tool" cf mk bench-cf
token=$(curl -sSf -D - -o /dev/null -H "X-Auth-User: test:tester" -H "X-Auth-Key: testing" "$endpoint/auth/v1.0" \
        | tr -d '\r' | awk -F': ' 'tolower($1)=="x-auth-token"{print $2}')

declare -A times
for i in $(seq 1 "$runs"); do
  times[s3_put_tool]+="$(elapsed "$tool" s3 put "$work/object.bin" bench-s3/object.bin)"$'\n'
  times[s3_put_curl]+="$(elapsed s3curl PUT /bench-s3/curl.bin application/octet-stream -T "$work/object.bin")"$'\n'
  times[s3_get_tool]+="$(elapsed "$tool" s3 get bench-s3/object.bin "$work/got-tool.bin")"$'\n'
  times[s3_get_curl]+="$(elapsed s3curl GET /bench-s3/curl.bin "" -o "$work/got-curl.bin")"$'\n'
  times[cf_put_tool]+="$(elapsed "$tool" cf put "$work/object.bin" bench-cf/object.bin)"$'\n'
  times[cf_put_curl]+="$(elapsed curl -sSf -T "$work/object.bin" -H "X-Auth-Token: $token" "$endpoint/v1/AUTH_test/bench-cf/curl.bin")"$'\n'
  times[cf_get_tool]+="$(elapsed "$tool" cf get bench-cf/object.bin "$work/got-tool.bin")"$'\n'
  times[cf_get_curl]+="$(elapsed curl -sSf -H "X-Auth-Token: $token" -o "$work/got-curl.bin" "$endpoint/v1/AUTH_test/bench-cf/curl.bin")"$'\n'
done
cmp -s "$work/object.bin" "$work/got-tool.bin" || { echo "cloudstore read back different bytes" >&2; exit 1; }

echo "object of $size_mb MiB, best of $runs (seconds; ratio = curl / cloudstore, target >= 0.9)"
for t in s3_put s3_get cf_put cf_get; do
  tool_s=$(printf '%s' "${times[${t}_tool]}" | best)
  curl_s=$(printf '%s' "${times[${t}_curl]}" | best)
  awk -v t="$t" -v a="$tool_s" -v b="$curl_s" \
    'BEGIN { printf "%-7s cloudstore %7.2f  curl %7.2f  ratio %.2f\n", t, a / 1e9, b / 1e9, b / a }'
done

if [ "$list_count" -gt 0 ]; then
  "$tool" s3 mb bench-list
  # empty objects, 8 connections at a time
  /usr/bin/python3 - "$SWIFT_PROXY_PORT" "$token" "$list_count" <<'PY'
import concurrent.futures, http.client, sys
port, token, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
def put(indexes):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    for i in indexes:
        c.request("PUT", f"/v1/AUTH_test/bench-list/object-{i:06d}", body=b"", headers={"X-Auth-Token": token})
        r = c.getresponse(); r.read()
        if r.status != 201: sys.exit(f"PUT object-{i:06d}: {r.status}")
with concurrent.futures.ThreadPoolExecutor(8) as pool:
    list(pool.map(put, [range(k, count + 1, 8) for k in range(1, 9)]))
PY
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -v "$tool" s3 ls bench-list > "$work/listing.txt" 2> "$work/time.txt" ||
      { cat "$work/time.txt" >&2; exit 1; }
    peak=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
  else
    "$tool" s3 ls bench-list > "$work/listing.txt"; peak="?"
  fi
  echo "listing of $list_count objects in pages of 1000: $(wc -l < "$work/listing.txt") keys, peak memory ${peak} KiB"
fi
