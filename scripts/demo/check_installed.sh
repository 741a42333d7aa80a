#!/usr/bin/env bash
# Compares the add-ons installed in a game folder with the add-on set's sources and prints a
# summary: files and bytes installed, a few paths, and every missing, differing or leftover file.
#
#   check_installed.sh SET_DIR GAME_DIR
#
# SET_DIR is a folder made by make_addon_set.py (its source/ tree is the expected content);
# GAME_DIR is the game folder the update ran into (add-ons under GAME_DIR/Interface/AddOns).
# Exit status 0 when every source file is installed byte for byte and no archive is left over,
# 1 otherwise, 2 on wrong usage.
set -euo pipefail

[ $# -eq 2 ] || { sed -n '4p' "$0" | sed 's/^# *//' >&2; exit 2; }
source_dir="$1/source"
addons="$2/Interface/AddOns"
[ -d "$source_dir" ] || { echo "check_installed.sh: $source_dir is missing" >&2; exit 2; }

count=0
bytes=0
missing=()
differing=()
while IFS= read -r -d '' rel; do
  rel="${rel#./}"
  if [ ! -f "$addons/$rel" ]; then
    missing+=("$rel")
  elif ! cmp -s "$source_dir/$rel" "$addons/$rel"; then
    differing+=("$rel")
  else
    count=$((count + 1))
    bytes=$((bytes + $(stat -c %s "$addons/$rel")))
  fi
done < <(cd "$source_dir" && find . -type f -print0 | sort -z)

leftovers=()
if [ -d "$addons" ]; then
  while IFS= read -r -d '' rel; do
    leftovers+=("${rel#./}")
  done < <(cd "$addons" && find . -type f -name '*.7z' -print0 | sort -z)
fi

echo "installed: $count files, $bytes bytes under $addons"
if [ -d "$addons" ]; then
  # A few paths: the largest files, then the most deeply nested ones.
  (cd "$addons" && {
     find . -type f ! -name '*.7z' -printf '%s\t%P\n' | sort -t$'\t' -k1,1nr | awk 'NR <= 3'
     find . -type f ! -name '*.7z' -printf '%d\t%s\t%P\n' | sort -t$'\t' -k1,1nr -k3 | awk 'NR <= 2' | cut -f2-
   } | awk -F'\t' '{ printf "  %10d  %s\n", $1, $2 }')
fi
status=0
for rel in "${missing[@]}"; do echo "MISSING   $rel"; status=1; done
for rel in "${differing[@]}"; do echo "DIFFERENT $rel"; status=1; done
for rel in "${leftovers[@]}"; do echo "LEFTOVER  $rel"; status=1; done
if [ "$status" -eq 0 ]; then
  echo "every file matches its source; no archive left over"
fi
exit "$status"
