#!/usr/bin/env bash
# The program's own headless mode against the demo update server on the address it was built for:
# an update, a second one that fetches no archive body, a rollback; the output without a terminal
# (no carriage returns, no colour) and on a terminal (progress redrawn in place, colour unless
# NO_COLOR is set).
#
#   headless_mode_test.sh APP MANIFEST_URL
#
# Exit status: 0 passed, 1 failed, 77 skipped (another manifest address).
set -euo pipefail
export LC_ALL=C.UTF-8

repo="$(cd "$(dirname "$0")/../.." && pwd)"
demo_scripts="$repo/scripts/demo"
app="${1:?usage: headless_mode_test.sh APP MANIFEST_URL}"
manifest_url="${2:?usage: headless_mode_test.sh APP MANIFEST_URL}"
if [[ "$manifest_url" =~ ^http://127\.0\.0\.1:([0-9]+)/wowplugin/AddonsUpdater\.json$ ]]; then
  port="${BASH_REMATCH[1]}"
else
  echo "SKIPPED: the program is built for $manifest_url"; exit 77
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/updater-headless.XXXXXX")"
trap '"$demo_scripts/serve.sh" stop "$work/set" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
export HOME="$work/home"
unset XDG_STATE_HOME XDG_CONFIG_HOME DISPLAY WAYLAND_DISPLAY NO_COLOR
mkdir -p "$HOME"

python3 "$demo_scripts/make_addon_set.py" "$work/set" --size demo --base-url "http://127.0.0.1:$port/" >/dev/null
"$demo_scripts/serve.sh" start "$work/set" "$port" || fail "the update server did not start on port $port"
files=$(wc -l < "$work/set/plan.tsv")
game="$work/game"
archive_bodies() { awk '$3 == 200 && $0 ~ /\/addons\//' "$work/set/nginx/access.log" | wc -l; }

# ---- first update, standard error not a terminal
rc=0
"$app" --headless "$game" --concurrency 3 > "$work/first.out" 2> "$work/first.err" || rc=$?
[ "$rc" -eq 0 ] || fail "first update: exit status $rc; $(tail -n 3 "$work/first.err")"
[ ! -s "$work/first.out" ] || fail "first update: something on standard output"
for expected in "查询更新服务器" "构建目录" "下载完成" "$files/$files 个文件 · "; do
  grep -qF -- "$expected" "$work/first.err" || fail "first update: no \"$expected\" on standard error"
done
grep -q $'\r' "$work/first.err" && fail "first update: carriage returns without a terminal"
grep -q $'\033' "$work/first.err" && fail "first update: colour without a terminal"
"$demo_scripts/check_installed.sh" "$work/set" "$game" > /dev/null || fail "first update: files differ"
[ -s "$HOME/.local/state/AddonsUpdater/updater.log" ] || fail "no log file in the XDG state folder"
bodies_first=$(archive_bodies)

# ---- second update, on a terminal (script gives it one): nothing changed, no body fetched
script -qec "\"$app\" --headless \"$game\"" /dev/null > "$work/second.tty" 2>&1 || fail "second update failed"
[ "$(archive_bodies)" -eq "$bodies_first" ] || fail "second update: $(( $(archive_bodies) - bodies_first )) archive bodies fetched"
grep -q $'\r' "$work/second.tty" || fail "second update: the progress line is not redrawn in place on a terminal"
grep -q $'\033\\[1m下载完成' "$work/second.tty" || fail "second update: no colour on a terminal"
NO_COLOR=1 script -qec "\"$app\" --headless \"$game\"" /dev/null > "$work/third.tty" 2>&1 || fail "third update failed"
grep -q $'\033\\[1' "$work/third.tty" && fail "third update: colour despite NO_COLOR"
"$demo_scripts/check_installed.sh" "$work/set" "$game" > /dev/null || fail "re-updates changed files"

# ---- rollback of the last update that changed something (the first: it created every file)
rc=0
"$app" --headless "$game" --rollback 2> "$work/rollback.err" || rc=$?
[ "$rc" -eq 0 ] || fail "rollback: exit status $rc"
[ "$(tail -n 1 "$work/rollback.err")" = "已恢复上次版本" ] || fail "rollback: \"$(tail -n 1 "$work/rollback.err")\""
[ -z "$(find "$game" -type f)" ] || fail "rollback: files the update created are still there"
echo "headless mode test passed: $files files, second update without bodies, rollback"
