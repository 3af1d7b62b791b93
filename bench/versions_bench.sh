#!/usr/bin/env bash
# What staging and durable = yes cost a versioned install, on two shapes of
# bundle: many small files (BENCH_SMALL_FILES files, ~BENCH_SMALL_MB MB) and
# few large ones (8 files, ~BENCH_LARGE_MB MB). For each, the daemon's
# install is timed beside its peer in the same run (quillstead_versions_bench):
# staged vs in place, durable (syncfs) vs not, and one fsync per file and
# directory. As root the installs run on a fresh ext4 file system on a loop
# device made here, so the flushes meet no other writer's dirty pages;
# otherwise in a temporary directory.
# Usage: bench/versions_bench.sh [rounds] [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-7}
build=${2:-build}
small_mb=${BENCH_SMALL_MB:-20}
small_files=${BENCH_SMALL_FILES:-5000}
large_mb=${BENCH_LARGE_MB:-64}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target quillstead_versions_bench >/dev/null
bench=$PWD/$build/bench/quillstead_versions_bench

source bench/lib.sh
bench_init versions-bench
mkdir -p "$work/fs"

python3 bench/make_bundle.py "$work/small.tar.gz" "$small_mb" "$small_files"
python3 - "$work/large.tar.gz" "$large_mb" <<'PY'
import gzip, random, sys, tarfile, io
out, mb = sys.argv[1], int(sys.argv[2])
rng = random.Random(20261210)
with open(out, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=1, mtime=0) as gz, \
        tarfile.open(fileobj=gz, mode="w|", format=tarfile.GNU_FORMAT) as tar:
    for i in range(8):
        data = rng.randbytes(mb * 1_000_000 // 8)
        info = tarfile.TarInfo("blob%d.bin" % i)
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
PY

where="directory $work/fs (no loop device: not root)"
if [ "$(id -u)" -eq 0 ]; then
  image_mb=$(( (small_mb + large_mb) * 12 + 600 ))
  truncate -s "${image_mb}M" "$work/fs.img"
  mkfs.ext4 -q -F -N $(( small_files * 16 + 60000 )) \
    -E lazy_itable_init=0,lazy_journal_init=0 "$work/fs.img"
  if mount -o loop "$work/fs.img" "$work/fs" 2>/dev/null; then
    where="a fresh ext4 on a loop device (${image_mb} MB)"
  fi
fi
echo "file system: $where; $rounds rounds per side"
for shape in small large; do
  case $shape in
    small) echo "== many small: $small_files files, ~$small_mb MB";;
    large) echo "== few large: 8 files, ~$large_mb MB";;
  esac
  mkdir "$work/fs/$shape"
  "$bench" "$work/$shape.tar.gz" "$work/fs/$shape" "$rounds"
  rm -rf "${work:?}/fs/$shape"
done
