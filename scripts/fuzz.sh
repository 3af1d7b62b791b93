#!/usr/bin/env bash
# Builds the libFuzzer target for the archive path (gzip/zlib decoding and
# the tar reader) with clang under AddressSanitizer and UBSan, separately
# from the GCC build, and runs it for 60 seconds from a seed corpus made
# here by the real tools. Fails on any crash, hang, leak or engine mismatch.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${FUZZ_SECONDS:-60}
out=${FUZZ_BUILD_DIR:-$root/build-fuzz}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -z "${FUZZ_KEEP:-}" ] || trap - EXIT

script=fuzz.sh
# shellcheck source=lib/fuzz_toolchain.sh
source "$root/scripts/lib/fuzz_toolchain.sh"

fuzz_build formats_fuzz metadata_fuzz

# Seeds: small archives from GNU tar, gzipped by gzip and pigz, each behind
# the byte that selects how the target reads it.
seeds=$work/seeds
mkdir -p "$seeds" "$work/tree/dir"
printf 'hello\n' > "$work/tree/dir/file.txt"
head -c 3000 /dev/zero | tr '\0' 'x' > "$work/tree/dir/block"
ln -s file.txt "$work/tree/dir/link"
long=$(printf 'n%.0s' $(seq 1 150))
printf 'long' > "$work/tree/$long"
(cd "$work/tree" && tar --format=gnu -cf "$work/gnu.tar" . \
  && tar --format=posix -cf "$work/posix.tar" . \
  && tar --format=ustar -cf "$work/ustar.tar" dir)
i=0
for t in "$work"/gnu.tar "$work"/posix.tar "$work"/ustar.tar; do
  gzip -c "$t" > "$work/t.gz"
  pigz -c -z "$t" > "$work/t.zz"
  for selector in 0 1 3; do { printf "\\x0$selector"; cat "$work/t.gz"; } > "$seeds/$i-$selector"; done
  { printf '\x02'; cat "$t"; } > "$seeds/$i-2"
  { printf '\x04'; cat "$work/t.zz"; } > "$seeds/$i-4"
  i=$((i + 1))
done

# Two runs of half the time each, with different random seeds, sharing the
# corpus; every input goes through one engine or both (see the target).
corpus=$work/corpus
mkdir -p "$corpus"
half=$((seconds / 2))
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for run in 1 2; do
  echo "== fuzzing, run $run of 2 (${half}s)"
  "$out/formats_fuzz" -max_total_time="$half" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
    -seed="$run" -print_final_stats=1 -artifact_prefix="$out/" "$corpus" "$seeds" 2>"$work/log" || {
    tail -60 "$work/log" >&2
    echo "fuzz.sh: the fuzz target failed; the input is in $out/" >&2
    exit 1
  }
  grep -E '^(stat::number_of_executed_units|Done)' "$work/log" || true
done

# The signed-metadata reader, from a file the agent accepts and a few it
# refuses; a quarter of the time.
meta_seeds=$work/meta-seeds
mkdir -p "$meta_seeds" "$work/meta-corpus"
good='bundle: site
serial: 1733822400
expires: 2026-12-17T00:00:00Z
size: 104857600
sha256: 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08
'
printf '%s' "$good" > "$meta_seeds/good"
printf '%sextra: 1\n' "$good" > "$meta_seeds/unknown"
printf 'expires: 2000-02-29T23:59:59.5z\n' > "$meta_seeds/time"
echo "== fuzzing the metadata reader ($((seconds / 4 + 1))s)"
"$out/metadata_fuzz" -max_total_time=$((seconds / 4 + 1)) -timeout=10 -max_len=4096 \
  -print_final_stats=1 -artifact_prefix="$out/" "$work/meta-corpus" "$meta_seeds" 2>"$work/log" || {
  tail -60 "$work/log" >&2
  echo "fuzz.sh: the metadata fuzz target failed; the input is in $out/" >&2
  exit 1
}
echo "fuzz.sh: no crash, hang, leak or engine mismatch"
