#!/usr/bin/env bash
# The demo that scripts/run.sh runs on a machine without a display: the demo add-on set served on
# the program's update address, installed headless by update_headless, every file checked.
#
#   demo_headless_test.sh UPDATE_HEADLESS
#
# Runs scripts/demo/demo_update.sh on a scratch build folder holding only the driver. Fails when the
# update or the check of the installed files fails, or when the update address's port is taken.
set -euo pipefail
export LC_ALL=C.UTF-8

repo="$(cd "$(dirname "$0")/../.." && pwd)"
driver="${1:?usage: demo_headless_test.sh UPDATE_HEADLESS}"
[ -x "$driver" ] || { echo "missing $driver" >&2; exit 1; }

scratch="$(mktemp -d "${TMPDIR:-/tmp}/updater-demo.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
# The updater keeps its records, kept copies and settings below HOME: a scratch one.
export HOME="$scratch/home"
unset XDG_STATE_HOME XDG_CONFIG_HOME
mkdir -p "$HOME"
mkdir -p "$scratch/bench"
ln -s "$(cd "$(dirname "$driver")" && pwd)/$(basename "$driver")" "$scratch/bench/update_headless"

rc=0
env -u DISPLAY "$repo/scripts/demo/demo_update.sh" "$scratch" > "$scratch/out.txt" 2>&1 || rc=$?
cat "$scratch/out.txt"
[ "$rc" -eq 0 ] || { echo "FAILED: the headless demo ended with status $rc" >&2; exit 1; }

# What a user reads: the statuses from the first to the last, the file with a space shown escaped.
for expected in "查询更新服务器" "构建目录" "正在下载Status%20Bar.blp" "下载完成" \
                "every file matches its source; no archive left over"; do
  grep -qF -- "$expected" "$scratch/out.txt" || { echo "FAILED: no \"$expected\" in the output" >&2; exit 1; }
done
[ "$(tail -n 1 < <(grep -E '^  (查询|构建|正在|下载|解压|更新)' "$scratch/out.txt"))" = "  下载完成" ] ||
  { echo "FAILED: the last status is not 下载完成" >&2; exit 1; }
[ -f "$scratch/demo/game/Interface/AddOns/SharedMediaPack/Media/Textures/Status Bar.blp" ] ||
  { echo "FAILED: the file with a space in its name is not installed under its own name" >&2; exit 1; }
echo "demo headless test passed"
