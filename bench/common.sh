# Pieces shared by the compare_*.sh scripts (sourced): their own nginx, and the best of several
# timed runs.
#
# The nginx: one process on 127.0.0.1 serving WORK/www, on a free port (a taken port makes
# nginx exit at once: another is tried).
#   bench_nginx_start WORK READY_PATH [HTTP_LINES [SERVER_LINES]]
#     Writes WORK/nginx.conf and starts nginx; returns once READY_PATH answers. Sets `port` and
#     `nginx_pid`. HTTP_LINES are extra directives of the http block (sendfile, limits...),
#     SERVER_LINES extra lines of the server block (locations). On failure prints nginx's error
#     log and returns 1.
#   bench_nginx_stop
#     Stops it (safe to call when it is not running).
#
#   bench_measure LABEL CMD...
#     Runs CMD `runs` times (the caller's variable), its output dropped and its errors kept in
#     `work`/LABEL.err; prints the best wall time and the CPU time (user + system) of that run.
#     A failing run prints the end of its errors and ends the script.

nginx_pid=""
port=""

bench_nginx_start() {
  local work="$1" ready="$2" http_lines="${3:-}" server_lines="${4:-}"
  local nginx_bin candidate
  nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"
  for _ in $(seq 1 10); do
    candidate=$((20000 + RANDOM % 40000))
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
  keepalive_timeout 60s;
  $http_lines
  server {
    listen 127.0.0.1:$candidate;
    root $work/www;
    $server_lines
  }
}
CONF
    "$nginx_bin" -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
    nginx_pid=$!
    for _ in $(seq 1 100); do
      if ! kill -0 "$nginx_pid" 2>/dev/null; then nginx_pid=""; break; fi
      if curl -s --noproxy '*' -o /dev/null "http://127.0.0.1:$candidate$ready"; then
        port="$candidate"
        return 0
      fi
      sleep 0.05
    done
    bench_nginx_stop
  done
  echo "nginx did not start:" >&2
  cat "$work/error.log" >&2
  return 1
}

bench_nginx_stop() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  nginx_pid=""
}

bench_measure() {
  local label="$1"; shift
  local best_real="" best_cpu=""
  for _ in $(seq 1 "$runs"); do
    local t
    t=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>"$work/$label.err"; } 2>&1 ) || {
      echo "$label failed:" >&2; tail -20 "$work/$label.err" >&2; exit 1; }
    local real cpu
    real=$(echo "$t" | awk '{print $1}')
    cpu=$(echo "$t" | awk '{printf "%.3f", $2 + $3}')
    if [ -z "$best_real" ] || awk "BEGIN{exit !($real < $best_real)}"; then
      best_real="$real"; best_cpu="$cpu"
    fi
  done
  echo "$best_real $best_cpu"
}
