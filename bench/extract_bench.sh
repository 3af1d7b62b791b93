#!/usr/bin/env bash
# Extraction of a ~200 MB bundle in 20,000 files: extractArchive from memory
# (quillstead_extract_bench) beside GNU tar -xzf of the same file, in the same
# run, several rounds, each side into a fresh empty directory. As root the
# directories live on a fresh ext4 file system on a loop device made here, so
# neither side meets a file system aged by the other; otherwise in a temporary
# directory. Prints wall time, CPU time and peak RSS per side, the time ratio
# and the extractor's peak RSS beyond the payload it holds in memory. Times
# are whole processes: the extractor's includes reading the file into memory,
# tar's includes its gzip child (which runs beside it on another core).
# Usage: bench/extract_bench.sh [rounds] [build dir]
#        (env: BENCH_MB, BENCH_FILES, BENCH_ARCHIVE=an existing .tar.gz)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
build=${2:-build}
mb=${BENCH_MB:-200}
files=${BENCH_FILES:-20000}

[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target quillstead_extract_bench >/dev/null
extractor=$PWD/$build/bench/quillstead_extract_bench

source bench/lib.sh
bench_init extract-bench
mkdir -p "$work/fs"

archive=${BENCH_ARCHIVE:-}
if [ -z "$archive" ]; then
  echo "generating a ${mb} MB bundle in ${files} files..." >&2
  archive=$work/bundle.tar.gz
  python3 bench/make_bundle.py "$archive" "$mb" "$files"
fi
payload=$(stat -c %s "$archive")
unpacked=$(gzip -dc "$archive" | wc -c)
cat "$archive" > /dev/null  # into the page cache, for both sides alike

where="directory $work/fs (no loop device: not root)"
# fresh_fs: a new, empty ext4 for the next timed run (as root), so that no run
# competes with the write-back of an earlier one.
fresh_fs() {
  [ "$(id -u)" -eq 0 ] || return 0
  if mountpoint -q "$work/fs"; then umount "$work/fs"; fi
  rm -f "$work/fs.img"
  image_mb=$(( unpacked / 1000000 * 2 + 400 ))
  truncate -s "${image_mb}M" "$work/fs.img"
  # Inode tables and journal written now, not by a background thread that
  # would compete with the timed run.
  mkfs.ext4 -q -F -N $(( files * 3 / 2 + 10000 )) \
    -E lazy_itable_init=0,lazy_journal_init=0 "$work/fs.img"
  mount -o loop "$work/fs.img" "$work/fs"
  where="a fresh ext4 on a loop device for every run (${image_mb} MB)"
}

# run NAME DEST COMMAND...: one timed run; appends "name wall user sys rss_kb".
run() {
  local name=$1 dest=$2
  shift 2
  fresh_fs
  mkdir "$dest"
  sync
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" > "$work/out.$name"
  echo "$name $(cat "$work/time")" >> "$work/results"
  # Untimed: what the run wrote, to check both sides did the same work.
  (cd "$dest" && find . -type f -print0 | sort -z | xargs -0 md5sum) > "$work/sums.$name"
}

: > "$work/results"
for round in $(seq "$rounds"); do
  q=$work/fs/q$round
  t=$work/fs/t$round
  # Alternate who goes first, so that neither side always finds the other's
  # dirty pages still being written back.
  if [ $((round % 2)) -eq 1 ]; then
    run quillstead "$q" "$extractor" "$archive" "$q"
    run tar "$t" tar -xzf "$archive" -C "$t"
  else
    run tar "$t" tar -xzf "$archive" -C "$t"
    run quillstead "$q" "$extractor" "$archive" "$q"
  fi
  read -r count inner _ < "$work/out.quillstead"
  echo "round $round: quillstead $(grep '^quillstead' "$work/results" | tail -1 | cut -d' ' -f2)s" \
       "(extractArchive ${inner}s, $count files), tar $(grep '^tar' "$work/results" | tail -1 | cut -d' ' -f2)s" >&2
  # Same files, same bytes: the comparison is only fair if both did the work.
  cmp -s "$work/sums.quillstead" "$work/sums.tar" || { echo "extracted trees differ" >&2; exit 1; }
done

printf '\nbundle: %s bytes gzipped (payload), %s bytes of tar, %s files; %s rounds into %s\n\n' \
  "$payload" "$unpacked" "$count" "$rounds" "$where"
# Wall-clock seconds of one side, sorted (mawk has no sort of its own).
walls() { grep "^$1 " "$work/results" | cut -d' ' -f2 | sort -n; }
# best and median of sorted numbers on standard input
best_median() {
  awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print v[1], m }'
}
read -r q_best q_median < <(walls quillstead | best_median)
read -r t_best t_median < <(walls tar | best_median)

printf '%-30s %8s %9s %8s %8s %12s\n' "extractor" "best s" "median s" "user s" "sys s" "peak RSS MB"
summary() { # name label best median
  grep "^$1 " "$work/results" | awk -v label="$2" -v best="$3" -v median="$4" '
    { user += $3; sys += $4; if ($5 > rss) rss = $5 }
    END { printf "%-30s %8.2f %9.2f %8.2f %8.2f %12.1f\n", label, best, median, user / NR, sys / NR, rss / 1024 }'
}
summary quillstead "extractArchive (from memory)" "$q_best" "$q_median"
summary tar "tar -xzf (GNU tar + gzip)" "$t_best" "$t_median"
rss_kb=$(grep '^quillstead ' "$work/results" | cut -d' ' -f5 | sort -n | tail -1)
awk -v payload="$payload" -v rss="$rss_kb" -v qb="$q_best" -v qm="$q_median" -v tb="$t_best" -v tm="$t_median" 'BEGIN {
  printf "\ntime ratio quillstead/tar: best %.2f, median %.2f (target <= 1.00)\n", qb / tb, qm / tm
  printf "extractor peak RSS %.1f MiB = payload %.1f MiB + %.1f MiB (target: + 16 MiB at most)\n",
    rss / 1024, payload / 1048576, (rss * 1024 - payload) / 1048576
}'
