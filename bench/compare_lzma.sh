#!/usr/bin/env bash
# Compares our LZMA/LZMA2 decoding speed with xz (liblzma, single thread) on the same streams:
# an add-on-like corpus is made, compressed by xz into .lzma, raw LZMA1 and raw LZMA2 streams,
# decoded by bench/lzma_cat and by `xz -d`, both to /dev/null, and their MB/s printed.
#
# usage: bench/compare_lzma.sh [BUILD_DIR] [CORPUS_MB] [RUNS]
#   BUILD_DIR  build folder holding bench/lzma_cat (default: build)
#   CORPUS_MB  corpus size (default 40); RUNS: timed runs per tool and stream, best kept (default 7)
# MB/s is uncompressed megabytes (10^6 bytes) per CPU second of the decoding process.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-build}"
mb="${2:-40}"
runs="${3:-7}"
lzma_cat="$(cd "$build" && pwd)/bench/lzma_cat"
[ -x "$lzma_cat" ] || { echo "missing $lzma_cat (build the lzma_cat target)"; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
python3 "$here/make_addon_corpus.py" "$work/corpus" "$mb" > /dev/null
tar -C "$work" --sort=name --mtime=@0 --owner=0 --group=0 -cf "$work/corpus.tar" corpus
size=$(stat -c %s "$work/corpus.tar")
echo "corpus: $size bytes (add-on-like: generated Lua/XML/locales/textures plus real text, XML, fonts, icons)"

# name | xz encode options | xz decode options | lzma_cat options
streams=(
  "lzma-alone -6|--format=lzma -6|--format=lzma|"
  "raw LZMA1 lc3 lp0 pb2 8MiB|--format=raw --lzma1=preset=6|--format=raw --lzma1=preset=6|--raw1 5d00008000"
  "raw LZMA2 8MiB|--format=raw --lzma2=preset=6|--format=raw --lzma2=preset=6|--raw2 22"
  "raw LZMA2 -9 64MiB|--format=raw --lzma2=preset=9|--format=raw --lzma2=preset=9|--raw2 28"
)
printf "%-28s %10s %10s %8s\n" "stream" "ours MB/s" "xz MB/s" "ratio"
for s in "${streams[@]}"; do
  IFS='|' read -r name enc dec ours <<< "$s"
  f="$work/stream"
  # shellcheck disable=SC2086
  xz -c $enc "$work/corpus.tar" > "$f"
  # shellcheck disable=SC2086
  "$lzma_cat" $ours "$f" | cmp -s - "$work/corpus.tar" || { echo "$name: lzma_cat output differs"; exit 1; }
  # Interleave the two tools so that changing machine load hits both alike.
  t_ours=999; t_xz=999
  for _ in $(seq "$runs"); do
    # shellcheck disable=SC2086
    a=$(python3 "$here/cpu_time.py" 1 -- "$lzma_cat" $ours "$f")
    # shellcheck disable=SC2086
    b=$(python3 "$here/cpu_time.py" 1 -- xz -d -c $dec "$f")
    t_ours=$(awk -v x="$a" -v y="$t_ours" 'BEGIN{print (x<y)?x:y}')
    t_xz=$(awk -v x="$b" -v y="$t_xz" 'BEGIN{print (x<y)?x:y}')
  done
  awk -v n="$name" -v s="$size" -v a="$t_ours" -v b="$t_xz" \
    'BEGIN{printf "%-28s %10.1f %10.1f %7.2fx\n", n, s/a/1e6, s/b/1e6, b/a}'
done
