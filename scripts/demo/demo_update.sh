#!/usr/bin/env bash
# Runs the demo: makes the demo add-on set, serves it on 127.0.0.1:18080 (the update server the
# program is built for), then opens the window, or without a display runs the update headless.
#
#   demo_update.sh BUILD_DIR
#
# Needs BUILD_DIR/app/addon_updater (with a display) or BUILD_DIR/bench/update_headless (without).
# Everything it makes lies under BUILD_DIR/demo: server/ (the set and nginx's files), game/ (the
# game folder to pick in the window), window.log and update.log (the program's log in each mode).
# nginx is stopped on exit.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

[ $# -eq 1 ] || { sed -n '4p' "$0" | sed 's/^# *//' >&2; exit 2; }
build="$(cd "$1" && pwd)"
port=18080
manifest_url="http://127.0.0.1:$port/wowplugin/AddonsUpdater.json"
demo="$build/demo"
set_dir="$demo/server"
game="$demo/game"

mkdir -p "$demo"
# An nginx left behind by an interrupted earlier run of this demo would hold the port.
[ -d "$set_dir" ] && "$here/serve.sh" stop "$set_dir"

echo "== making the demo add-on set"
python3 "$here/make_addon_set.py" "$set_dir" --size demo --base-url "http://127.0.0.1:$port/"
rm -rf "$game"
mkdir -p "$game"

echo "== starting the demo update server on 127.0.0.1:$port"
rc=0
"$here/serve.sh" start "$set_dir" "$port" || rc=$?
if [ "$rc" -eq 3 ]; then
  echo "Port $port is taken by another program; the updater is built to read its manifest from" >&2
  echo "$manifest_url. Stop that program and run again." >&2
  exit 1
elif [ "$rc" -ne 0 ]; then
  exit "$rc"
fi
trap '"$here/serve.sh" stop "$set_dir"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -n "${DISPLAY:-}" ]; then
  app="$build/app/addon_updater"
  [ -x "$app" ] || { echo "missing $app" >&2; exit 1; }
  echo
  echo "== opening the window"
  if [ -e "/Applications/World of Warcraft" ]; then
    echo "The default game folder /Applications/World of Warcraft exists: pressing 更新 updates"
    echo "the add-ons there from the demo server."
  else
    echo "Press 更新. The default game folder /Applications/World of Warcraft does not exist, so a"
    echo "folder picker opens: choose the demo game folder"
    echo
    echo "    $game"
    echo
    echo "(type the path into the picker's name field and press Enter)."
  fi
  echo "Close the window to stop the demo server. (The program's log: $demo/window.log)"
  app_rc=0
  "$app" 2>"$demo/window.log" || app_rc=$?
  echo
  echo "== the demo game folder after the window closed"
  "$here/check_installed.sh" "$set_dir" "$game" || true
  exit "$app_rc"
fi

driver="$build/bench/update_headless"
[ -x "$driver" ] || { echo "missing $driver" >&2; exit 1; }
echo
echo "== no display: running the update headless into $game (4 downloads at once)"
echo "status texts:"
update_rc=0
"$driver" "$manifest_url" "$game" 4 2>"$demo/update.log" | sed 's/^/  /' || update_rc=$?
echo
echo "== installed add-ons"
check_rc=0
"$here/check_installed.sh" "$set_dir" "$game" || check_rc=$?
echo "(the update's log: $demo/update.log)"
if [ "$update_rc" -ne 0 ]; then
  echo "the update failed (exit status $update_rc); last log lines:" >&2
  tail -n 20 "$demo/update.log" >&2
  exit "$update_rc"
fi
exit "$check_rc"
