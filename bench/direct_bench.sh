#!/usr/bin/env bash
# What a direct install (mode = direct) costs in time and peak memory,
# beside a peer build of the agent measured in the same run against the same
# nginx (for example the binary of an earlier commit), so that a change to
# the way files reach target_dir shows up as a ratio. Two payloads:
#   many-small: 20000 files of 256 bytes in 100 directories;
#   few-large:  4 files of 48 MiB that do not compress.
# Each round runs `quillstead once` for both agents in turn, every install
# replacing the tree its previous one wrote (the ETag record is removed
# before each run, so every run downloads and installs). The medians of wall
# time and the largest peak RSS are printed, with this tree's agent over the
# peer's. The target directories are on the file system of /tmp, or (as
# root, for comparing file systems) on a fresh one made for the run: tmpfs,
# ext4 (with its journal, as mkfs.ext4 makes it) or ext4-nojournal (no
# journal, mounted with discard): on ext4 without a journal, inodes freed in
# the last minute or more are passed over one by one when new ones are
# allocated, which an install that writes a new file before the old one
# goes pays for every file, and one that frees each old file just before
# creating its new one does not.
# Usage: bench/direct_bench.sh PEER_BINARY [rounds] [tmp|tmpfs|ext4|ext4-nojournal]
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: bench/direct_bench.sh PEER_BINARY [rounds] [tmp|tmpfs|ext4|ext4-nojournal]"
peer=${1:?$usage}
rounds=${2:-7}
on=${3:-tmp}
case $on in tmp|tmpfs|ext4|ext4-nojournal) ;; *) echo "$usage" >&2; exit 2 ;; esac
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target quillstead >/dev/null
agent=$PWD/build/src/quillstead

source bench/lib.sh
bench_init directbench
mkdir -p "$work/www" "$work/src/small" "$work/src/large"
targets=$work
if [ "$on" != tmp ]; then
  [ "$(id -u)" -eq 0 ] || { echo "run as root to make a $on file system" >&2; exit 1; }
  mkdir -p "$work/fs"
  case $on in
    tmpfs) mount -t tmpfs -o size=2g tmpfs "$work/fs" ;;
    ext4) truncate -s 4G "$work/fs.img"; mkfs.ext4 -q -F "$work/fs.img"
          mount -o loop "$work/fs.img" "$work/fs" ;;
    ext4-nojournal) truncate -s 4G "$work/fs.img"; mkfs.ext4 -q -F -O ^has_journal "$work/fs.img"
          mount -o loop,discard "$work/fs.img" "$work/fs" ;;
  esac
  targets=$work/fs
fi

python3 - "$work/src" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(100):
    directory = os.path.join(root, "small", "d%03d" % d)
    os.makedirs(directory)
    for f in range(200):
        with open(os.path.join(directory, "f%03d.conf" % f), "wb") as out:
            out.write((("%d/%d " % (d, f)) * 64)[:256].encode())
for f in range(4):
    with open(os.path.join(root, "large", "part%d.bin" % f), "wb") as out:
        out.write(os.urandom(48 << 20))
PY
tar -czf "$work/www/small.tar.gz" -C "$work/src/small" .
tar -cf - -C "$work/src/large" . | gzip -1 > "$work/www/large.tar.gz"

port=$(bench_free_port)
bench_nginx_conf 64 <<CONF
  access_log off;
  server { listen 127.0.0.1:$port; root $work/www; }
CONF
bench_nginx_start "http://127.0.0.1:$port/small.tar.gz"

# One install: prints "seconds kilobytes".
run_once() {
  local binary=$1 payload=$2 target=$3
  mkdir -p "$target"
  rm -f "$target/.etag"
  cat > "$work/$payload.conf" <<CONF
[bundle.b]
url = http://127.0.0.1:$port/$payload.tar.gz
target_dir = $target
mode = direct
CONF
  /usr/bin/time -f '%e %M' -o "$work/time" "$binary" -c "$work/$payload.conf" once >"$work/log" 2>&1 ||
    { cat "$work/log" >&2; exit 1; }
  grep -q '(direct)' "$work/log" || { cat "$work/log" >&2; exit 1; }
  cat "$work/time"
}

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
largest() { sort -n | tail -1; }

for payload in small large; do
  : > "$work/new.times"; : > "$work/peer.times"; : > "$work/new.rss"; : > "$work/peer.rss"
  # A first install of each, not counted: every counted one replaces a tree.
  run_once "$agent" "$payload" "$targets/t-new-$payload" >/dev/null
  run_once "$peer" "$payload" "$targets/t-peer-$payload" >/dev/null
  for _ in $(seq "$rounds"); do
    read -r s k < <(run_once "$agent" "$payload" "$targets/t-new-$payload")
    echo "$s" >> "$work/new.times"; echo "$k" >> "$work/new.rss"
    read -r s k < <(run_once "$peer" "$payload" "$targets/t-peer-$payload")
    echo "$s" >> "$work/peer.times"; echo "$k" >> "$work/peer.rss"
  done
  new_t=$(median < "$work/new.times"); peer_t=$(median < "$work/peer.times")
  new_m=$(largest < "$work/new.rss"); peer_m=$(largest < "$work/peer.rss")
  name=$([ "$payload" = small ] && echo "many-small (20000 x 256 B)" || echo "few-large (4 x 48 MiB)")
  awk -v n="$name" -v a="$new_t" -v b="$peer_t" -v c="$new_m" -v d="$peer_m" 'BEGIN {
    printf "%-28s time %6.2fs vs peer %6.2fs  ratio %.3f   peak RSS %6d KiB vs %6d KiB  ratio %.3f\n",
      n, a, b, (b > 0 ? a / b : 0), c, d, (d > 0 ? c / d : 0) }'
done
