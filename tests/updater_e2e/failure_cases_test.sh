#!/usr/bin/env bash
# Updates that must not end as a success, run through update_headless against the demo add-on set
# served by nginx on a free port:
#   - a read-only game folder: every file fails, the status says how many, nothing is written;
#   - symbolic links planted at an archive's and a file's destination (the temporary folder on
#     another file system when there is one): the links' targets stay untouched;
#     and update_headless --rollback of that update removes what it created;
#   - an add-on list named as file:///dev/zero: the failure text, a normal exit.
#
#   failure_cases_test.sh UPDATE_HEADLESS      (KEEP_WORK=1 keeps the scratch folder for a look)
set -euo pipefail
export LC_ALL=C.UTF-8

repo="$(cd "$(dirname "$0")/../.." && pwd)"
demo_scripts="$repo/scripts/demo"
driver="${1:?usage: failure_cases_test.sh UPDATE_HEADLESS}"
[ -x "$driver" ] || { echo "missing $driver" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/updater-failures.XXXXXX")"
cleanup() {
  [ -n "${KEEP_WORK:-}" ] && return 0
  "$demo_scripts/serve.sh" stop "$work/set" 2>/dev/null || true
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# The updater keeps its records, kept copies and settings below HOME: a scratch one.
export HOME="$work/home"
unset XDG_STATE_HOME XDG_CONFIG_HOME
mkdir -p "$HOME"
fail() { echo "FAILED: $*" >&2; exit 1; }

python3 "$demo_scripts/make_addon_set.py" "$work/set" --size demo --base-url "http://127.0.0.1:1/" >/dev/null
port=""
for _ in $(seq 1 10); do
  candidate=$((20000 + RANDOM % 40000))
  rc=0
  "$demo_scripts/serve.sh" start "$work/set" "$candidate" 2>"$work/serve.err" || rc=$?
  if [ "$rc" -eq 0 ]; then port="$candidate"; break; fi
  [ "$rc" -eq 3 ] || { cat "$work/serve.err" >&2; exit 1; }
done
[ -n "$port" ] || fail "no free port for nginx"
sed -i "s|http://127.0.0.1:1/|http://127.0.0.1:$port/|g" "$work/set/www/wowplugin/"*.json
manifest="http://127.0.0.1:$port/wowplugin/AddonsUpdater.json"
files=$(wc -l < "$work/set/plan.tsv")

# run NAME [PREFIX...]: the driver into $work/NAME with the prefix command; status in $work/NAME.out.
run() {
  local name="$1"; shift
  local rc=0
  timeout 120 "$@" "$driver" "$manifest" "$work/$name" 4 > "$work/$name.out" 2> "$work/$name.log" || rc=$?
  echo "$rc"
}
snapshot() { (cd "$1" && find . -printf '%p %y %s %l\n' | sort && find . -type f -exec md5sum {} + | sort); }

# ---- a read-only game folder
game="$work/readonly"
mkdir -p "$game/Interface/AddOns/RaidAlerts"
echo "-- installed" > "$game/Interface/AddOns/RaidAlerts/Core.lua"
before="$(snapshot "$game")"
if [ "$(id -u)" -eq 0 ]; then
  # Permissions do not stop root: a read-only bind mount in a private namespace does.
  if unshare -rm true 2>/dev/null; then
    rc=$(run readonly unshare -rm sh -c 'mount --bind -o ro "$0" "$0" && exec "$@"' "$game")
  else
    rc=skip
  fi
else
  chmod -R a-w "$game"
  rc=$(run readonly)
fi
if [ "$rc" = skip ]; then
  echo "read-only game folder: skipped (root without private mount namespaces)"
else
  [ "$rc" -eq 1 ] || fail "read-only game folder: exit status $rc, expected 1"
  last="$(tail -n 1 "$work/readonly.out")"
  [ "$last" = "下载完成，$files 个文件失败" ] || fail "read-only game folder: last status \"$last\""
  grep -q "^下载完成$" "$work/readonly.out" && fail "read-only game folder: reported as a success"
  [ "$(snapshot "$game")" = "$before" ] || fail "read-only game folder: something was written"
  [ "$(grep -c 'Not installed: ' "$work/readonly.log")" -eq "$files" ] || fail "read-only game folder: not every failure logged"
  echo "read-only game folder: \"$last\", nothing written"
fi

# ---- symbolic links at destinations, the temporary folder on another file system when possible
game="$work/links"
outside="$work/outside"
mkdir -p "$game/Interface/AddOns/RaidAlerts" "$outside"
echo "precious archive" > "$outside/archive"
echo "precious file" > "$outside/file"
ln -s "$outside/archive" "$game/Interface/AddOns/RaidAlerts/Core.lua.7z"
ln -s "$outside/file" "$game/Interface/AddOns/RaidAlerts/Frames.xml"
tmp="$work/tmp"
if [ -d /dev/shm ] && [ -w /dev/shm ] && [ "$(stat -c %d /dev/shm)" != "$(stat -c %d "$work")" ]; then
  tmp="$(mktemp -d /dev/shm/updater-failures.XXXXXX)"
  trap 'rm -rf "$tmp"; cleanup' EXIT
fi
mkdir -p "$tmp"
rc=$(run links env TMPDIR="$tmp")
[ "$rc" -eq 0 ] || fail "links: exit status $rc; $(tail -n 3 "$work/links.log")"
[ "$(cat "$outside/archive")" = "precious archive" ] || fail "links: the archive link's target was overwritten"
[ "$(cat "$outside/file")" = "precious file" ] || fail "links: the file link's target was overwritten"
[ ! -L "$game/Interface/AddOns/RaidAlerts/Frames.xml" ] || fail "links: the installed file is still a link"
"$demo_scripts/check_installed.sh" "$work/set" "$game" > "$work/links.check" || fail "links: $(tail -n 3 "$work/links.check")"
echo "links at destinations: targets untouched, every file installed (temporary folder $tmp)"
# The rollback of that update removes what it created and still leaves the links' targets alone.
rc=0
"$driver" --rollback "$game" > "$work/rollback.out" 2> "$work/rollback.log" || rc=$?
[ "$rc" -eq 0 ] || fail "rollback: exit status $rc; $(tail -n 3 "$work/rollback.log")"
[ "$(cat "$work/rollback.out")" = "已恢复上次版本" ] || fail "rollback: \"$(cat "$work/rollback.out")\""
[ -z "$(find "$game" -type f)" ] || fail "rollback: files the update created are still there"
[ "$(cat "$outside/archive")" = "precious archive" ] && [ "$(cat "$outside/file")" = "precious file" ] ||
  fail "rollback: a link's target was touched"
rc=0
"$driver" --rollback "$game" > "$work/rollback2.out" 2>&1 || rc=$?
[ "$rc" -eq 1 ] || fail "a rollback with nothing left to restore: exit status $rc, expected 1"
echo "rollback: \"已恢复上次版本\", then nothing left to restore"

# ---- an add-on list that is a local device
printf '{"plughttpaddr":"http://127.0.0.1:%s/wowplugin/addons/","plugjsonaddr":"file:///dev/zero"}' "$port" \
  > "$work/set/www/wowplugin/zero.json"
manifest="http://127.0.0.1:$port/wowplugin/zero.json"
rc=$(run zero)
[ "$rc" -eq 1 ] || fail "file:///dev/zero: exit status $rc, expected 1 (not a crash)"
[ "$(tail -n 1 "$work/zero.out")" = "更新服务器连接失败" ] || fail "file:///dev/zero: last status \"$(tail -n 1 "$work/zero.out")\""
[ -z "$(find "$work/zero" -type f)" ] || fail "file:///dev/zero: files were written"
echo "add-on list file:///dev/zero: \"更新服务器连接失败\""
echo "failure cases passed"
