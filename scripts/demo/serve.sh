#!/usr/bin/env bash
# Serves an add-on set (made by make_addon_set.py) with nginx on 127.0.0.1 from a configuration
# generated into the set's own folder: started in the background, stopped, or run in the foreground.
#
#   serve.sh start DIR PORT   background; returns once the update manifest is served
#   serve.sh stop DIR         stops the nginx started by "start" for DIR (no error if none runs)
#   serve.sh run DIR PORT     foreground, until interrupted
#
# DIR/www is the document root; configuration, pid file, logs and temporary folders go to
# DIR/nginx. The access log names each request's connection and its index on that connection.
# Exit status: 0 on success, 2 on wrong usage or a missing nginx, 3 when PORT is already taken,
# 1 when nginx did not start for another reason (its error log is printed).
set -euo pipefail

usage() {
  sed -n '4,6p' "$0" | sed 's/^# *//' >&2
  exit 2
}

nginx_bin="$(command -v nginx || true)"
[ -n "$nginx_bin" ] || { [ -x /usr/sbin/nginx ] && nginx_bin=/usr/sbin/nginx; } || true
[ -n "$nginx_bin" ] || { echo "serve.sh: nginx is not installed" >&2; exit 2; }

[ $# -ge 2 ] || usage
command="$1"
dir="$(cd "$2" && pwd)"
state="$dir/nginx"
pid_file="$state/nginx.pid"

# True when something accepts connections on 127.0.0.1:$1.
port_taken() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

write_config() {
  local port="$1" foreground="$2"
  mkdir -p "$state"
  {
    [ "$(id -u)" -eq 0 ] && echo "user root;"
    echo "worker_processes 1;"
    if [ "$foreground" = yes ]; then echo "daemon off;"; fi
    cat <<CONF
pid $pid_file;
error_log $state/error.log warn;
events { worker_connections 1024; }
http {
  log_format reuse '\$connection \$connection_requests \$status "\$request"';
  access_log $state/access.log reuse;
  client_body_temp_path $state/client_body;
  proxy_temp_path $state/proxy;
  fastcgi_temp_path $state/fastcgi;
  uwsgi_temp_path $state/uwsgi;
  scgi_temp_path $state/scgi;
  types { application/json json; }
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 60s;
  keepalive_requests 100000;
  server {
    listen 127.0.0.1:$port;
    server_name localhost;
    root $dir/www;
  }
}
CONF
  } > "$state/nginx.conf"
  : > "$state/error.log"
}

check_port() {
  local port="$1"
  case "$port" in ''|*[!0-9]*) echo "serve.sh: bad port '$port'" >&2; exit 2 ;; esac
  if port_taken "$port"; then
    echo "serve.sh: port $port on 127.0.0.1 is already in use (another update server running?)" >&2
    exit 3
  fi
}

running_pid() {
  [ -s "$pid_file" ] || return 1
  local pid
  pid="$(cat "$pid_file")"
  kill -0 "$pid" 2>/dev/null || return 1
  echo "$pid"
}

case "$command" in
  start)
    [ $# -eq 3 ] || usage
    port="$3"
    [ -f "$dir/www/wowplugin/AddonsUpdater.json" ] || {
      echo "serve.sh: $dir/www/wowplugin/AddonsUpdater.json is missing" >&2; exit 2; }
    if pid="$(running_pid)"; then
      echo "serve.sh: nginx (pid $pid) already serves $dir; stop it first" >&2
      exit 3
    fi
    check_port "$port"
    write_config "$port" no
    rm -f "$pid_file"
    # nginx binds its port before it detaches, so a port taken in the meantime fails here.
    if ! "$nginx_bin" -p "$state" -c "$state/nginx.conf" -e "$state/error.log" 2>>"$state/error.log"; then
      if grep -q "Address already in use" "$state/error.log"; then
        echo "serve.sh: port $port on 127.0.0.1 is already in use" >&2
        exit 3
      fi
      echo "serve.sh: nginx did not start:" >&2
      cat "$state/error.log" >&2
      exit 1
    fi
    for _ in $(seq 1 100); do
      if running_pid >/dev/null && port_taken "$port"; then exit 0; fi
      sleep 0.05
    done
    echo "serve.sh: nginx did not come up on port $port:" >&2
    cat "$state/error.log" >&2
    exit 1
    ;;
  stop)
    [ $# -eq 2 ] || usage
    pid="$(running_pid)" || { rm -f "$pid_file"; exit 0; }
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || exit 0
      sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
    ;;
  run)
    [ $# -eq 3 ] || usage
    check_port "$3"
    write_config "$3" yes
    echo "serving $dir/www on http://127.0.0.1:$3/ (Ctrl-C stops)"
    exec "$nginx_bin" -p "$state" -c "$state/nginx.conf" -e "$state/error.log"
    ;;
  *)
    usage
    ;;
esac
