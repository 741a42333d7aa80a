#!/usr/bin/env bash
# Measures what authentication costs: the same downloads through a request queue of 4, from one
# apache2 on 127.0.0.1 started here, once from an open folder and once from a Digest-protected
# one (only the first requests are challenged; later ones send credentials from the session store
# before any challenge). Target: protected time <= 1.2 x open time.
#
#   bench/compare_auth.sh [BUILD_DIR]        (default build; needs <BUILD_DIR>/bench/fetch)
#
# Environment: COUNT (files, default 200), KIB (size of each, default 64), RUNS (best of, default 5).
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build}"
fetch="$build/bench/fetch"
[ -x "$fetch" ] || { echo "missing $fetch; build it with: cmake --build $build --target fetch" >&2; exit 2; }
[ -x /usr/sbin/apache2 ] || { echo "apache2 is not installed" >&2; exit 2; }

count="${COUNT:-200}"
kib="${KIB:-64}"
runs="${RUNS:-5}"

work="$(mktemp -d)"
chmod 755 "$work"
apache_pid=""
cleanup() {
  if [ -n "$apache_pid" ]; then kill "$apache_pid" 2>/dev/null || true; wait "$apache_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/htdocs/open" "$work/htdocs/digest" "$work/run"
for i in $(seq 1 "$count"); do
  head -c "$((kib * 1024))" /dev/urandom > "$work/htdocs/open/f$i.bin"
  cp "$work/htdocs/open/f$i.bin" "$work/htdocs/digest/f$i.bin"
done
chmod -R a+rX "$work/htdocs"
printf 'alice:bench realm:%s\n' "$(printf 'alice:bench realm:wonderland' | md5sum | cut -d' ' -f1)" > "$work/htdigest"
chmod 644 "$work/htdigest"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/httpd.conf" <<CONF
ServerRoot "/usr/lib/apache2"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile $work/run/httpd.pid
Mutex file:$work/run default
DefaultRuntimeDir $work/run
ErrorLog $work/run/error.log
LogLevel warn
User nobody
Group nogroup
LoadModule mpm_event_module modules/mod_mpm_event.so
LoadModule authn_core_module modules/mod_authn_core.so
LoadModule authn_file_module modules/mod_authn_file.so
LoadModule authz_core_module modules/mod_authz_core.so
LoadModule authz_user_module modules/mod_authz_user.so
LoadModule auth_digest_module modules/mod_auth_digest.so
LoadModule mime_module modules/mod_mime.so
LogFormat "%{c}a %k \"%r\" %>s" benchlog
CustomLog $work/run/access.log benchlog
TypesConfig /etc/mime.types
KeepAlive On
MaxKeepAliveRequests 0
StartServers 1
ServerLimit 2
ThreadsPerChild 16
MaxRequestWorkers 32
DocumentRoot $work/htdocs
<Directory $work/htdocs>
    Require all granted
</Directory>
<Location /digest/>
    AuthType Digest
    AuthName "bench realm"
    AuthDigestProvider file
    AuthUserFile $work/htdigest
    Require valid-user
</Location>
CONF
/usr/sbin/apache2 -f "$work/httpd.conf" -DFOREGROUND &
apache_pid=$!
for _ in $(seq 1 200); do
  curl -s -o /dev/null "http://127.0.0.1:$port/open/f1.bin" && break
  sleep 0.05
done

for kind in open digest; do
  for i in $(seq 1 "$count"); do echo "http://127.0.0.1:$port/$kind/f$i.bin"; done > "$work/$kind.list"
done
# Reference check: curl gets a protected file with the same credentials.
curl -s -f --digest -u alice:wonderland -o /dev/null "http://127.0.0.1:$port/digest/f1.bin" ||
  { echo "curl could not fetch a protected file: the peer is misconfigured" >&2; exit 1; }

# One timed run: milliseconds of wall time for the whole list.
run() {
  local kind="$1"; shift
  rm -rf "$work/out"
  local start end
  start=$(date +%s%N)
  "$fetch" -j 4 -d "$work/out" -i "$work/$kind.list" "$@" > "$work/fetch.log" 2>&1 ||
    { cat "$work/fetch.log" >&2; exit 1; }
  end=$(date +%s%N)
  grep -q "finished $count failed 0" "$work/fetch.log" || { cat "$work/fetch.log" >&2; exit 1; }
  cmp -s "$work/out/$kind/f$count.bin" "$work/htdocs/open/f$count.bin" || { echo "wrong body" >&2; exit 1; }
  echo $(( (end - start) / 1000000 ))
}

best_open=0; best_digest=0
for _ in $(seq 1 "$runs"); do
  t=$(run open); if [ "$best_open" -eq 0 ] || [ "$t" -lt "$best_open" ]; then best_open=$t; fi
  t=$(run digest -u alice:wonderland); if [ "$best_digest" -eq 0 ] || [ "$t" -lt "$best_digest" ]; then best_digest=$t; fi
done
printf 'files: %d x %d KiB, queue of 4, best of %d\n' "$count" "$kib" "$runs"
printf 'open:   %d ms\n' "$best_open"
printf 'digest: %d ms\n' "$best_digest"
echo "challenges answered: $(grep -c "\" 401" "$work/run/access.log" || true)"
python3 -c "print('ratio digest/open: %.3f (target <= 1.2)' % ($best_digest / $best_open))"
