#!/usr/bin/env bash
# Compares a whole update (update_headless, 4 downloads at once) with a shell pipeline doing the same
# job (curl --parallel, then bsdtar -x and rm per archive), and with download plus extraction alone.
#
#   bench/compare_update.sh [BUILD_DIR]     (default build)
#
# Needs <BUILD_DIR>/bench/update_headless and <BUILD_DIR>/bench/extract_all. The add-on set (about
# 1500 files, 60 MB, one 7z archive per file) is made once by scripts/demo/make_addon_set.py into
# <BUILD_DIR>/bench-data/update-set and served by nginx on 127.0.0.1 (a free port). One run of each:
#   update     wall time of update_headless MANIFEST GAME 4 into an empty game folder
#   pipeline   curl --parallel --parallel-max 4 of every archive, then bsdtar -x of each into its
#              folder and its removal (a process per archive)
#   download   the pipeline's curl stage alone
#   extraction extract_all over the same downloaded archives, in one process (its own timer)
#   re-update  update_headless again into the game folder the update just filled: nothing changed,
#              so every archive request is answered 304 (archive bodies counted in nginx's log)
# Targets: update/pipeline <= 0.15, update/(download + extraction) <= 1.3, re-update < 0.3 s plus
# the 0.5 s wait before "下载完成", with no archive body transferred.
# Environment: RUNS (default 1): best of that many runs for update, download and extraction (the
# pipeline's bsdtar stage, the slowest by far, runs once).
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"

build="${1:-build}"
driver="$build/bench/update_headless"
extractor="$build/bench/extract_all"
for binary in "$driver" "$extractor"; do
  [ -x "$binary" ] || {
    echo "missing $binary; build it with: cmake --build $build --target update_headless extract_all" >&2
    exit 2; }
done
for tool in curl bsdtar python3; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done
driver="$(cd "$(dirname "$driver")" && pwd)/update_headless"
extractor="$(cd "$(dirname "$extractor")" && pwd)/extract_all"

# ---- the add-on set, made again only when its generator changed
set_dir="$build/bench-data/update-set"
stamp="$(sha1sum scripts/demo/make_addon_set.py | cut -d' ' -f1)"
if [ "$(cat "$set_dir/.stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "making the add-on set (once; a few minutes)..."
  mkdir -p "$set_dir"
  python3 scripts/demo/make_addon_set.py "$set_dir" --size bench --base-url http://127.0.0.1:1/
  echo "$stamp" > "$set_dir/.stamp"
  echo "http://127.0.0.1:1/" > "$set_dir/.base"
fi
set_dir="$(cd "$set_dir" && pwd)"

runs="${RUNS:-1}"
work="$(mktemp -d)"
# The updater's install records and kept copies go below HOME: a scratch one.
export HOME="$work/home"
unset XDG_STATE_HOME XDG_CONFIG_HOME
mkdir -p "$HOME"
cleanup() {
  scripts/demo/serve.sh stop "$set_dir" || true
  rm -rf "$work"
}
trap cleanup EXIT

# ---- nginx on a free port; the manifests and the plan are pointed at it
port=""
for _ in $(seq 1 10); do
  candidate=$((20000 + RANDOM % 40000))
  rc=0
  scripts/demo/serve.sh start "$set_dir" "$candidate" 2>"$work/serve.err" || rc=$?
  if [ "$rc" -eq 0 ]; then port="$candidate"; break; fi
  [ "$rc" -eq 3 ] || { cat "$work/serve.err" >&2; exit 1; }
done
[ -n "$port" ] || { echo "no free port for nginx" >&2; exit 1; }
old_base="$(cat "$set_dir/.base")"
new_base="http://127.0.0.1:$port/"
for f in www/wowplugin/AddonsUpdater.json www/wowplugin/AddonsList.json plan.tsv; do
  sed -i "s|$old_base|$new_base|g" "$set_dir/$f"
done
echo "$new_base" > "$set_dir/.base"
manifest_url="${new_base}wowplugin/AddonsUpdater.json"

files=$(wc -l < "$set_dir/plan.tsv")
source_bytes=$(du -sb "$set_dir/source" | cut -f1)
archive_bytes=$(du -sb "$set_dir/www/wowplugin/addons" | cut -f1)

# ---- curl's list: every archive to its place under a game folder
curl_config() {
  local addons="$1"
  while IFS=$'\t' read -r url rel; do
    printf 'url = "%s"\noutput = "%s/%s"\n' "$url" "$addons" "$rel"
  done < "$set_dir/plan.tsv"
}
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# Untimed pass so that every run finds the set in the page cache.
curl_config "$work/warm" > "$work/warm.curl"
curl -s -f --no-progress-meter --noproxy '*' --create-dirs --parallel --parallel-max 4 -K "$work/warm.curl"
rm -rf "$work/warm"

# min A B: the smaller of two times.
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }

# ---- download only (the pipeline's first stage)
downloads="$work/downloads/Interface/AddOns"
curl_config "$downloads" > "$work/downloads.curl"
download_t=""
for _ in $(seq 1 "$runs"); do
  rm -rf "$work/downloads"
  t0=$(now)
  curl -s -f --no-progress-meter --noproxy '*' --create-dirs --parallel --parallel-max 4 -K "$work/downloads.curl"
  t1=$(now)
  download_t=$(min "$download_t" "$(elapsed "$t0" "$t1")")
done
cp -r "$work/downloads" "$work/archives"

# ---- the pipeline's second stage on a copy of the same archives: bsdtar and rm per archive
cp -r "$work/downloads" "$work/pipeline"
pipeline_addons="$work/pipeline/Interface/AddOns"
t0=$(now)
while IFS=$'\t' read -r _ rel; do
  archive="$pipeline_addons/$rel"
  bsdtar -x -f "$archive" -C "${archive%/*}"
  rm "$archive"
done < "$set_dir/plan.tsv"
t1=$(now)
bsdtar_t=$(elapsed "$t0" "$t1")
scripts/demo/check_installed.sh "$set_dir" "$work/pipeline" > "$work/pipeline.check" ||
  { echo "the pipeline did not install the set:" >&2; tail "$work/pipeline.check" >&2; exit 1; }
pipeline_t=$(awk -v a="$download_t" -v b="$bsdtar_t" 'BEGIN { printf "%.3f", a + b }')

# ---- our extraction alone, in one process, over the downloaded archives
extract_t=""
for _ in $(seq 1 "$runs"); do
  rm -rf "$work/extracted"
  cp -r "$work/archives" "$work/extracted"
  "$extractor" "$work/extracted" > "$work/extract.out"
  extract_t=$(min "$extract_t" "$(awk '{ print $(NF - 1) }' "$work/extract.out")")
done
scripts/demo/check_installed.sh "$set_dir" "$work/extracted" > "$work/extract.check" ||
  { echo "extract_all did not install the set:" >&2; tail "$work/extract.check" >&2; exit 1; }

# ---- the whole update
update_t=""
for _ in $(seq 1 "$runs"); do
  rm -rf "$work/game"
  mkdir -p "$work/game"
  t0=$(now)
  "$driver" "$manifest_url" "$work/game" 4 > "$work/update.status" 2> "$work/update.log" ||
    { echo "the update failed; last status: $(tail -n 1 "$work/update.status")" >&2; tail "$work/update.log" >&2; exit 1; }
  t1=$(now)
  update_t=$(min "$update_t" "$(elapsed "$t0" "$t1")")
done
scripts/demo/check_installed.sh "$set_dir" "$work/game" > "$work/update.check" ||
  { echo "the update did not install the set:" >&2; tail "$work/update.check" >&2; exit 1; }

# ---- the re-update of the unchanged set (each run finds the records of the previous one)
access_log="$set_dir/nginx/access.log"
reupdate_t=""
bodies=0
for _ in $(seq 1 "$runs"); do
  logged=$(wc -l < "$access_log")
  t0=$(now)
  "$driver" "$manifest_url" "$work/game" 4 > "$work/reupdate.status" 2> "$work/reupdate.log" ||
    { echo "the re-update failed; last status: $(tail -n 1 "$work/reupdate.status")" >&2; tail "$work/reupdate.log" >&2; exit 1; }
  t1=$(now)
  reupdate_t=$(min "$reupdate_t" "$(elapsed "$t0" "$t1")")
  bodies=$(( bodies + $(tail -n +"$((logged + 1))" "$access_log" | awk '$3 == 200 && $0 ~ /\/addons\//' | wc -l) ))
done
scripts/demo/check_installed.sh "$set_dir" "$work/game" > "$work/reupdate.check" ||
  { echo "the re-update changed the installed set:" >&2; tail "$work/reupdate.check" >&2; exit 1; }

awk -v n="$files" -v runs="$runs" -v sb="$source_bytes" -v ab="$archive_bytes" -v port="$port" \
    -v re="$reupdate_t" -v bodies="$bodies" \
    -v up="$update_t" -v dl="$download_t" -v bt="$bsdtar_t" -v pl="$pipeline_t" -v ex="$extract_t" 'BEGIN {
  printf "update of %d add-on files, %.1f MB installed from %.1f MB of 7z archives (nginx on 127.0.0.1:%s, best of %d)\n",
         n, sb / 1e6, ab / 1e6, port, runs
  printf "  whole update, update_headless, 4 downloads at once     %8.3f s\n", up
  printf "  pipeline: curl --parallel-max 4, bsdtar -x + rm each    %8.3f s  (download %.3f s, extract %.3f s)\n", pl, dl, bt
  printf "  ratio update / pipeline                                 %8.3f   (target <= 0.15)\n", up / pl
  printf "  curl download only                                      %8.3f s\n", dl
  printf "  our extraction only (extract_all, one process)          %8.3f s\n", ex
  printf "  ratio update / (download + extraction)                  %8.3f   (target <= 1.30)\n", up / (dl + ex)
  printf "  re-update of the unchanged set, update_headless          %8.3f s  (target < 0.8 s: 0.3 s + the 0.5 s wait), archive bodies transferred: %d\n", re, bodies
}'
