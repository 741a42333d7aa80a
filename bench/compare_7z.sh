#!/usr/bin/env bash
# Compares our 7z extraction with libarchive reading the same archives in-process. Archives are
# made by bsdtar (lzma1, lzma2, store): one solid archive of an add-on-like corpus, and one small
# archive per file of that corpus. Both extractors write every file flat into an empty folder;
# their outputs are compared, then timed. A last step measures the heap peak (valgrind massif)
# while extracting one folder of about 200 MB.
#
# usage: bench/compare_7z.sh [BUILD_DIR] [CORPUS_MB] [RUNS] [BIG_MB]
#   defaults: build, 40, 5, 200 (BIG_MB 0 skips the memory step)
# MB/s is corpus megabytes (10^6 bytes) per CPU second (user + system) of the extracting process.
# Both write their files under OUT_BASE (default /dev/shm when writable, else the work folder), so
# that file creation, equal for both, does not swamp the comparison; the cache file of large
# folders stays in the temporary folder as in the program.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
mb="${2:-40}"
runs="${3:-5}"
big_mb="${4:-200}"
ours="$build/bench/extract_7z"
theirs="$build/bench/libarchive_extract"
for b in "$ours" "$theirs"; do [ -x "$b" ] || { echo "missing $b"; exit 1; }; done

work="$(mktemp -d)"
out_base="${OUT_BASE:-/dev/shm}"
[ -d "$out_base" ] && [ -w "$out_base" ] || out_base="$work"
out_base="$(mktemp -d "$out_base/compare7z.XXXXXX")"
trap 'rm -rf "$work" "$out_base"' EXIT
python3 "$here/make_addon_corpus.py" "$work/corpus" "$mb" > /dev/null
size=$(du -sb --apparent-size "$work/corpus" | cut -f1)
mapfile -t files < <(cd "$work/corpus" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
echo "corpus: $size bytes in ${#files[@]} files; output under $out_base"

cpu() { python3 "$here/cpu_time.py" 1 --cwd "$1" -- "${@:2}"; }
fresh() { rm -rf "${out_base:?}/out-$1"; mkdir -p "$out_base/out-$1"; echo "$out_base/out-$1"; }
min() { awk -v x="$1" -v y="$2" 'BEGIN{print (x<y)?x:y}'; }

# Runs both extractors on the given archives, checks equal output, prints the best CPU times.
compare() {
  local label="$1" count="$2"; shift 2
  local a b
  a=$(fresh ours); b=$(fresh theirs)
  (cd "$a" && "$ours" "$@") || { echo "$label: extract_7z failed"; exit 1; }
  (cd "$b" && "$theirs" "$@") || { echo "$label: libarchive_extract failed"; exit 1; }
  diff -r "$a" "$b" > /dev/null || { echo "$label: outputs differ"; exit 1; }
  local t_ours=999 t_theirs=999
  for _ in $(seq "$runs"); do
    a=$(fresh ours); t_ours=$(min "$(cpu "$a" "$ours" "$@")" "$t_ours")
    b=$(fresh theirs); t_theirs=$(min "$(cpu "$b" "$theirs" "$@")" "$t_theirs")
  done
  awk -v l="$label" -v s="$size" -v n="$count" -v a="$t_ours" -v b="$t_theirs" 'BEGIN{
    printf "%-22s %9.1f %9.1f %6.2fx %10.0f %10.0f %6.2fx\n", l, s/a/1e6, s/b/1e6, b/a, n/a, n/b, b/a}'
}

printf "%-22s %9s %9s %7s %10s %10s %7s\n" "archives" "ours MB/s" "lib MB/s" "ratio" "ours f/s" "lib f/s" "ratio"
for m in lzma1 lzma2 store; do
  bsdtar --format 7zip --options "7zip:compression=$m" -cf "$work/solid-$m.7z" -C "$work/corpus" .
  compare "solid $m" "${#files[@]}" "$work/solid-$m.7z"
  mkdir -p "$work/per-$m"
  archives=()
  for f in "${files[@]}"; do
    a="$work/per-$m/$(echo "$f" | tr '/' '_').7z"
    bsdtar --format 7zip --options "7zip:compression=$m" -cf "$a" -C "$work/corpus/$(dirname "$f")" "$(basename "$f")"
    archives+=("$a")
  done
  compare "per-file $m" "${#archives[@]}" "${archives[@]}"
done

if [ "$big_mb" != 0 ] && command -v valgrind > /dev/null; then
  python3 "$here/make_addon_corpus.py" "$work/big" "$big_mb" > /dev/null
  bsdtar --format 7zip --options "7zip:compression=lzma2,7zip:compression-level=1" -cf "$work/big.7z" -C "$work/big" .
  out=$(fresh big)
  (cd "$out" && valgrind --tool=massif --massif-out-file="$work/massif.out" "$ours" "$work/big.7z" 2> /dev/null)
  peak=$(grep -E '^mem_heap_B=' "$work/massif.out" | cut -d= -f2 | sort -n | tail -1)
  folder=$(du -sb --apparent-size "$work/big" | cut -f1)
  awk -v p="$peak" -v f="$folder" 'BEGIN{printf "heap peak extracting one %.0f MB folder: %.2f MiB\n", f/1e6, p/1048576}'
fi
