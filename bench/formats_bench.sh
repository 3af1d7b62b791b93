#!/usr/bin/env bash
# Decode-and-walk throughput of the archive path with each inflate engine,
# beside gzip -dc and pigz -dc of the same file, all measured in this run.
# Usage: bench/formats_bench.sh [build dir]   (env: BENCH_MB, BENCH_ENTRIES, BENCH_REPEATS)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
mb=${BENCH_MB:-200}
entries=${BENCH_ENTRIES:-20000}
repeats=${BENCH_REPEATS:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target quillstead_formats_bench >/dev/null

echo "generating a ${mb} MB archive in ${entries} entries..."
python3 bench/make_archive.py "$work/bundle.tar" $((mb * 1000000)) "$entries"
gzip -6 -c "$work/bundle.tar" > "$work/bundle.tar.gz"
tar_bytes=$(stat -c %s "$work/bundle.tar")
gz_bytes=$(stat -c %s "$work/bundle.tar.gz")
rm -f "$work/bundle.tar"

# Best of $repeats wall-clock runs of a command, in seconds.
best_of() {
  local best="" t0 t1 took
  for _ in $(seq "$repeats"); do
    t0=$(date +%s.%N)
    "$@" > /dev/null
    t1=$(date +%s.%N)
    took=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
    if [ -z "$best" ] || awk -v t="$took" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$took; fi
  done
  echo "$best"
}

cat "$work/bundle.tar.gz" > /dev/null  # into the page cache
gzip_s=$(best_of gzip -dc "$work/bundle.tar.gz")
pigz_s=$(best_of pigz -dc "$work/bundle.tar.gz")
"$build/bench/quillstead_formats_bench" "$work/bundle.tar.gz" "$repeats" > "$work/engines"

printf '\narchive: %s bytes of tar, %s bytes gzipped (gzip -6), best of %s runs\n\n' \
  "$tar_bytes" "$gz_bytes" "$repeats"
printf '%-34s %10s %12s %14s\n' "decoder" "seconds" "MB/s (tar)" "vs gzip -dc"
row() { # name seconds
  awk -v name="$1" -v s="$2" -v bytes="$tar_bytes" -v g="$gzip_s" \
    'BEGIN { printf "%-34s %10.3f %12.1f %13.2fx\n", name, s, bytes / s / 1e6, g / s }'
}
row "gzip -dc > /dev/null" "$gzip_s"
row "pigz -dc > /dev/null" "$pigz_s"
while read -r engine seconds data_bytes count; do
  row "Inflater($engine) + TarReader walk" "$seconds"
  walked_entries=$count
done < "$work/engines"
printf '\nentries walked: %s\n' "$walked_entries"
