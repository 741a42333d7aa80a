#!/usr/bin/env bash
# The updater's window under a virtual X display, used like a person with the mouse and keyboard:
# the picker for a missing game folder (cancelled, then a folder typed in), a whole update, the files.
#
#   window_test.sh --app PATH --probe PATH --manifest-url URL --artifacts DIR
#
# The demo update server (scripts/demo) serves the demo add-on set on the address the program was
# built for, which must be http://127.0.0.1:<port>/wowplugin/AddonsUpdater.json. The window probe
# library is preloaded into the program to learn where its controls are. Screenshots and, on a
# failure, the logs are left in the artifacts folder. Exit status: 0 passed, 1 failed, 77 skipped
# (no Xvfb, xdotool or ImageMagick; another manifest address; the default game folder exists).
set -euo pipefail
export LC_ALL=C.UTF-8

repo="$(cd "$(dirname "$0")/../.." && pwd)"
demo_scripts="$repo/scripts/demo"
default_game="/Applications/World of Warcraft"

app="" probe="" manifest_url="" artifacts=""
while [ $# -gt 0 ]; do
  case "$1" in
    --app) app="$2"; shift 2 ;;
    --probe) probe="$2"; shift 2 ;;
    --manifest-url) manifest_url="$2"; shift 2 ;;
    --artifacts) artifacts="$2"; shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -x "$app" ] && [ -f "$probe" ] && [ -n "$manifest_url" ] && [ -n "$artifacts" ] || {
  sed -n '5p' "$0" | sed 's/^# *//' >&2; exit 2; }

skip() { echo "SKIPPED: $*"; exit 77; }
fail() {
  echo "FAILED: $*" >&2
  failed=1
  exit 1
}

for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh installs it)"
done
for tool in python3 bsdtar curl; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/install-deps.sh installs it)"
done
if [[ "$manifest_url" =~ ^http://127\.0\.0\.1:([0-9]+)/wowplugin/AddonsUpdater\.json$ ]]; then
  port="${BASH_REMATCH[1]}"
else
  skip "the program is built for the manifest $manifest_url; this test serves only http://127.0.0.1:<port>/wowplugin/AddonsUpdater.json"
fi
if [ -e "$default_game" ]; then
  skip "$default_game exists on this machine: the update would run there without the picker"
fi

mkdir -p "$artifacts"
rm -rf "$artifacts"/updater_window_*
work="$(mktemp -d "${TMPDIR:-/tmp}/updater-window.XXXXXX")"
failed=0
xvfb_pid="" app_pid=""
cleanup() {
  if [ "$failed" -ne 0 ] && [ -n "${display:-}" ]; then
    DISPLAY="$display" import -window root "$artifacts/updater_window_failure.png" 2>/dev/null || true
  fi
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  "$demo_scripts/serve.sh" stop "$work/set" 2>/dev/null || true
  if [ "$failed" -ne 0 ]; then
    mkdir -p "$artifacts/updater_window_logs"
    cp "$work"/*.log "$work/set/nginx/"*.log "$artifacts/updater_window_logs/" 2>/dev/null || true
    for log in probe.log titles.log app.log xvfb.log; do
      [ -f "$work/$log" ] && { echo "---- $log"; tail -n 40 "$work/$log"; } >&2
    done
  fi
  [ -n "$app_pid" ] && wait "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap 'failed=1' ERR
trap cleanup EXIT

# wait_until SECONDS WHAT COMMAND...: polls COMMAND until it succeeds; fails with WHAT after SECONDS.
wait_until() {
  local seconds="$1" what="$2"; shift 2
  local tries=$((seconds * 5))
  for _ in $(seq 1 "$tries"); do
    if "$@"; then return 0; fi
    if [ -n "$app_pid" ] && ! kill -0 "$app_pid" 2>/dev/null; then fail "the program ended while waiting for $what"; fi
    sleep 0.2
  done
  fail "no $what within $seconds s"
}

# The probe's last report of a control: "<x> <y> <width> <height> enabled=<0|1> visible=<0|1>".
last_report() { grep "^widget $1 " "$work/probe.log" 2>/dev/null | tail -n 1 | cut -d' ' -f3-; }
is_shown() { last_report "$1" | grep -q 'visible=1$'; }
dialogs_shown() { grep -c '^dialog shown' "$work/probe.log" 2>/dev/null || true; }
dialog_count_is() { [ "$(dialogs_shown)" -eq "$1" ]; }
dialog_is_hidden() { tail -n 1 < <(grep '^dialog' "$work/probe.log") | grep -q '^dialog hidden'; }
button_enabled_is() { last_report updataButton | grep -q "enabled=$1 "; }

# Clicks the middle of a control, as the probe last reported it.
click() {
  local x y w h
  read -r x y w h _ < <(last_report "$1")
  xdotool mousemove --sync $((x + w / 2)) $((y + h / 2)) click 1
}

title() { xdotool getwindowname "$window" 2>/dev/null || true; }
# Notes every new title; succeeds once the title holds the final status text.
title_is_final() {
  local t
  t="$(title)"
  [ "$t" = "$(tail -n 1 "$work/titles.log" 2>/dev/null)" ] || echo "$t" >> "$work/titles.log"
  case "$t" in
    *更新服务器连接失败*) fail "the window reports: $t" ;;
    *下载完成*) return 0 ;;
  esac
  return 1
}

# ---- the update server on the address the program was built for
(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null &&
  fail "port $port on 127.0.0.1 is taken by another program; the test's update server needs it"
python3 "$demo_scripts/make_addon_set.py" "$work/set" --size demo --base-url "http://127.0.0.1:$port/" >/dev/null
"$demo_scripts/serve.sh" start "$work/set" "$port" || fail "the update server did not start on port $port"
requests() { grep -c '/wowplugin/' "$work/set/nginx/access.log" 2>/dev/null || true; }

# ---- a game folder from an earlier update: an old file and an old archive at their destinations
game="$work/game"
mkdir -p "$game/Interface/AddOns/RaidAlerts"
echo "-- old version" > "$game/Interface/AddOns/RaidAlerts/Core.lua"
echo "not an archive" > "$game/Interface/AddOns/RaidAlerts/Core.lua.7z"

# ---- the display and the program
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
display_known() { [ -s "$work/display" ]; }
wait_until 30 "virtual display" display_known
display=":$(head -n 1 "$work/display")"
export DISPLAY="$display"

mkdir -p "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb \
  LD_PRELOAD="$probe${LD_PRELOAD:+:$LD_PRELOAD}" UPDATER_E2E_PROBE_FILE="$work/probe.log" \
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
  "$app" >"$work/app.log" 2>&1 &
app_pid=$!
button_shown() { is_shown updataButton; }
wait_until 60 "window with the update button" button_shown
find_window() { window="$(xdotool search --onlyvisible --pid "$app_pid" --name '^AddonsUpdater' 2>/dev/null | head -n 1)"; [ -n "$window" ]; }
wait_until 30 "window titled AddonsUpdater" find_window
first_title="$(title)"
echo "window $window: \"$first_title\""
button_enabled_is 1 || fail "the update button is disabled at start"

# ---- the game folder is missing: the picker opens in the home folder; cancelling changes nothing
click updataButton
shown_one() { dialog_count_is 1; }
wait_until 30 "folder picker after the first click" shown_one
picker="$(grep '^dialog shown' "$work/probe.log" | tail -n 1)"
echo "picker: $picker"
[[ "$picker" == *"fileMode=2 "* ]] || fail "the picker does not choose folders: $picker"
[[ "$picker" == *"native=0 "* ]] || fail "the picker is not Qt's own dialog: $picker"
[[ "$picker" == *"directory=$work/home" ]] || fail "the picker does not start in the home folder: $picker"
editor_shown() { is_shown fileNameEdit; }
wait_until 30 "picker's name field" editor_shown
click fileNameEdit
xdotool key Escape
wait_until 30 "picker closing on Escape" dialog_is_hidden
enabled_again() { button_enabled_is 1; }
wait_until 30 "update button enabled after the cancelled picker" enabled_again
[ "$(title)" = "$first_title" ] || fail "the status changed after the cancelled picker: $(title)"
[ "$(requests)" -eq 0 ] || fail "the update server was asked for something after the cancelled picker"

# ---- second try: a folder typed into the picker; the update runs there
click updataButton
shown_two() { dialog_count_is 2; }
wait_until 30 "folder picker after the second click" shown_two
wait_until 30 "picker's name field" editor_shown
click fileNameEdit
xdotool key ctrl+a
xdotool type --delay 20 "$game"
DISPLAY="$display" import -window root "$artifacts/updater_window_picker.png"
xdotool key Return
# A completion list still open takes the first Enter; the picker then needs one more.
for _ in 1 2 3; do
  closed=0
  for _ in $(seq 1 25); do dialog_is_hidden && { closed=1; break; }; sleep 0.2; done
  [ "$closed" -eq 1 ] && break
  xdotool key Return
done
wait_until 30 "picker closing on Enter" dialog_is_hidden

wait_until 180 "\"下载完成\" in the window title" title_is_final
echo "titles seen:"
sed 's/^/  /' "$work/titles.log"
import -window "$window" "$artifacts/updater_window_done.png"

# ---- what the update left behind
"$demo_scripts/check_installed.sh" "$work/set" "$game" || fail "the installed add-ons differ from their sources"
button_enabled_is 0 || fail "the update button is enabled again after the update"
last_progress="$(grep '^progress ' "$work/probe.log" | tail -n 1 || true)"
read -r _ value minimum maximum <<<"${last_progress:-progress 0 0 0}"
[ "$maximum" -gt "$minimum" ] && [ "$value" -eq "$maximum" ] ||
  fail "the progress bar does not end full: ${last_progress:-no change reported}"
[ "$(requests)" -gt 0 ]

# ---- the progress line under the bar and the rollback button
files=$(wc -l < "$work/set/plan.tsv")
last_line="$(grep '^text progressLine ' "$work/probe.log" | tail -n 1 | cut -d' ' -f3-)"
echo "progress line: $last_line"
[[ "$last_line" =~ ^$files/$files\ 个文件\ ·\ [0-9]+\.[0-9]\ MB\ ·\ [0-9]+\.[0-9]\ MB/s$ ]] ||
  fail "the progress line does not show every file done: \"$last_line\""
is_shown progressLine || fail "the progress line is not shown"
is_shown rollbackButton || fail "the rollback button is not shown"
rollback_enabled() { last_report rollbackButton | grep -q "enabled=1 "; }
wait_until 10 "rollback button enabled after the update" rollback_enabled
click rollbackButton
title_is_restored() { [[ "$(title)" == *已恢复上次版本* ]]; }
wait_until 30 "\"已恢复上次版本\" in the window title" title_is_restored
import -window "$window" "$artifacts/updater_window_rollback.png"
[ "$(cat "$game/Interface/AddOns/RaidAlerts/Core.lua")" = "-- old version" ] ||
  fail "the rollback did not put back the file the update replaced"
[ ! -e "$game/Interface/AddOns/BagSorter/Core.lua" ] || fail "the rollback left a file the update created"
[ -s "$work/home/.local/state/AddonsUpdater/updater.log" ] || fail "no log file in the XDG state folder"
echo "window test passed: picker cancelled and used, $(requests) requests, files installed, progress line shown, rollback done"
