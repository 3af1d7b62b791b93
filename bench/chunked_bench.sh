#!/usr/bin/env bash
# Chunked payloads against the tar.gz path and casync itself, one nginx,
# one run. A tree (many small files and a few large ones, compressible text)
# is published as site.tar.gz and as a casync index with its store; then
# about 1 % of it changes (files edited in place, added, removed) and it is
# published again. Measured, side by side:
#   1. the update: bytes nginx sent ($body_bytes_sent summed) and wall time,
#      for the agent with format = chunked and the cache of the first
#      install, `casync extract --seed=OLD` (the old blob casync itself
#      extracted, as the seed) and the agent with the tar.gz;
#   2. the first install (cold cache): the same three;
#   3. the peak resident memory of each.
# Usage: bench/chunked_bench.sh [MiB] [tmp|ext4] [rounds]
#   MiB: the tree's size (default 1024).
#   Where the agents install and casync writes its blobs: tmp (default; the
#   machine's /tmp) or ext4, a fresh file system made for the run (journaled,
#   mounted without options, so without online discard). On a file system
#   mounted with discard, as some machines' roots are, removing the previous
#   version of a large tree costs each freed block a trim, and that removal
#   is part of an agent's update (casync writes a blob and removes nothing).
#   rounds: how often the first install and the update are measured, each
#   round from empty targets (default 3); the table shows each figure's
#   median over the rounds, and the largest peak RSS.
# QS_AGENT names the agent binary to measure (default: build/src/quillstead).
# Needs root for ext4 (a loop mount), and for nginx's `user root` line when
# run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
size_mb=${1:-1024}
on=${2:-tmp}
rounds=${3:-3}
case $on in tmp|ext4) ;; *) echo "usage: bench/chunked_bench.sh [MiB] [tmp|ext4] [rounds]" >&2; exit 2 ;; esac
scripts/install-deps.sh >/dev/null
agent=${QS_AGENT:-$PWD/build/src/quillstead}
# Built once when missing; on a shared machine build it beforehand the
# usual way and run the bench on that build.
if [ ! -x "$agent" ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target quillstead >/dev/null
fi

source bench/lib.sh
bench_init chunked-bench
mkdir -p "$work/www" "$work/tree"
dest=$work
if [ "$on" = ext4 ]; then
  mkdir -p "$work/fs"
  truncate -s $(( size_mb * 6 + 2048 ))M "$work/fs.img"
  mkfs.ext4 -q -F "$work/fs.img"
  mount -o loop "$work/fs.img" "$work/fs"
  dest=$work/fs
fi
mkdir -p "$dest/casync"

echo "generating a ${size_mb} MiB tree..." >&2
python3 - "$work/tree" "$size_mb" <<'PY'
import os, random, sys
root, size = sys.argv[1], int(sys.argv[2]) << 20
random.seed(7)
# Random bytes mapped onto a small alphabet: text that gzip and zstd shrink
# to about half, and that no two files share, so nothing dedups by chance.
alphabet = (b"etaoinshrdlucmfwypvbgkjqxz" * 10)[:236] + b"          \n\n\n\n\n\n\n\n\n\n"[:20]
table = bytes(alphabet[i % len(alphabet)] for i in range(256))
def text(n): return os.urandom(n).translate(table)
written = 0
large = size // 5          # a fifth in a few large files
for i in range(4):
    with open(f"{root}/large-{i}.log", "wb") as f:
        f.write(text(large // 4))
    written += large // 4
d = 0
while written < size:
    if d % 200 == 0: os.makedirs(f"{root}/d{d // 200}", exist_ok=True)
    n = random.randint(1024, 128 * 1024)
    with open(f"{root}/d{d // 200}/f{d}.txt", "wb") as f: f.write(text(n))
    written += n; d += 1
PY

# publish NAME: the tree as NAME.tar (kept for casync's seed), its gzip in
# www/site.tar.gz and its index in www/site.caibx, the chunks in the store.
publish() {
  tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -cf "$work/$1.tar" -C "$work/tree" .
  pigz -6 -c "$work/$1.tar" > "$work/www/site.tar.gz.new"
  casync make --store="$work/www/default.castr" "$work/$1.caibx" "$work/$1.tar" >/dev/null
  mv "$work/www/site.tar.gz.new" "$work/www/site.tar.gz"
  cp "$work/$1.caibx" "$work/www/site.caibx.new"; mv "$work/www/site.caibx.new" "$work/www/site.caibx"
}
# keep NAME: the published index and tar.gz as www/NAME.*, so that a round
# can serve either version (the store holds the chunks of both).
keep() { ln -f "$work/www/site.caibx" "$work/www/$1.caibx"; ln -f "$work/www/site.tar.gz" "$work/www/$1.tar.gz"; }
serve() { ln -f "$work/www/$1.caibx" "$work/www/site.caibx"; ln -f "$work/www/$1.tar.gz" "$work/www/site.tar.gz"; }
echo "publishing..." >&2
publish v1
keep v1
tar_bytes=$(stat -c %s "$work/v1.tar")

port=$(bench_free_port)
bench_nginx_conf <<CONF
  log_format bytes '\$body_bytes_sent';
  access_log $work/nginx/access.log bytes;
  sendfile on;
  server { listen 127.0.0.1:$port; root $work/www; }
CONF
bench_nginx_start "http://127.0.0.1:$port/site.caibx"
base=http://127.0.0.1:$port

for kind in chunked targz; do
  url=$base/site.caibx; extra="format = chunked"
  [ $kind = targz ] && { url=$base/site.tar.gz; extra=""; }
  cat > "$work/$kind.conf" <<CONF
[bundle.site]
url = $url
$extra
target_dir = $dest/agent-$kind
poll_interval = 3600
CONF
done

log_lines() { wc -l < "$work/nginx/access.log"; }
# bytes_since LINE: what nginx sent after that many log lines. nginx logs a
# request when it is done, which may be a moment after the client is.
bytes_since() { sleep 0.3; tail -n +"$(($1 + 1))" "$work/nginx/access.log" | awk '{s += $1} END {print s + 0}'; }
# measure NAME COMMAND...: wall seconds, peak RSS (KiB) and bytes sent.
declare -A walls wall rss sent
measure() {
  local name=$1; shift
  sync
  local before; before=$(log_lines)
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" > "$work/$name.out" 2>&1 ||
    { echo "$name failed:" >&2; tail "$work/$name.out" >&2; exit 1; }
  local w r
  read -r w r < "$work/time"
  walls[$name]+="$w "
  [ "${rss[$name]:-0}" -ge "$r" ] || rss[$name]=$r
  sent[$name]=$(bytes_since "$before")
  echo "round $round, $name: $w s, $r KiB, ${sent[$name]} bytes" >&2
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }


cp "$work/tree/large-0.log" "$work/large-0.v1"
echo "changing about 1 % and publishing again..." >&2
python3 - "$work/tree" "$size_mb" <<'PY'
import os, random, sys
root, size = sys.argv[1], int(sys.argv[2]) << 20
random.seed(11)
files = sorted(os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs)
small = [f for f in files if "/d" in f]
random.shuffle(small)
alphabet = b"etaoinshrdlucmfwypvbgkjqxz \n"
def text(n): return bytes(random.choice(alphabet) for _ in range(n))
budget = size // 100
# Removed: about a quarter of the change.
gone = 0
while gone < budget // 4:
    f = small.pop(); gone += os.path.getsize(f); os.remove(f)
# Added: another quarter, in a folder of its own and among the old ones.
added = 0; i = 0
while added < budget // 4:
    n = random.randint(1024, 128 * 1024)
    folder = os.path.dirname(random.choice(small))
    with open(f"{folder}/new{i}.txt", "wb") as f: f.write(os.urandom(n).translate(bytes(alphabet[b % len(alphabet)] for b in range(256))))
    added += n; i += 1
# Edited in place: files holding the other half, a few bytes in each, and
# a few places in each large file.
edited = 0
while edited < budget // 2 and small:
    f = small.pop(); n = os.path.getsize(f); edited += n
    with open(f, "r+b") as h:
        h.seek(random.randrange(max(1, n - 64))); h.write(text(32))
for i in range(4):
    p = f"{root}/large-{i}.log"; n = os.path.getsize(p)
    with open(p, "r+b") as h:
        for _ in range(3):
            h.seek(random.randrange(n - 64)); h.write(text(32))
PY
publish v2
keep v2

for round in $(seq "$rounds"); do
  rm -rf "$dest/agent-chunked" "$dest/agent-targz" "$dest/casync"
  mkdir -p "$dest/casync"
  serve v1
  measure first_chunked "$agent" -c "$work/chunked.conf" once
  measure first_targz "$agent" -c "$work/targz.conf" once
  measure first_casync casync extract --store="$base/default.castr" "$base/site.caibx" "$dest/casync/v1.tar"
  cmp -s "$dest/casync/v1.tar" "$work/v1.tar" || { echo "casync extracted another blob" >&2; exit 1; }
  cmp -s "$dest/agent-chunked/current/large-0.log" "$work/large-0.v1" || { echo "chunked install differs" >&2; exit 1; }
  serve v2
  measure update_chunked "$agent" -c "$work/chunked.conf" once
  measure update_targz "$agent" -c "$work/targz.conf" once
  measure update_casync casync extract --seed="$dest/casync/v1.tar" --store="$base/default.castr" \
    "$base/site.caibx" "$dest/casync/v2.tar"
  cmp -s "$dest/casync/v2.tar" "$work/v2.tar" || { echo "casync extracted another blob" >&2; exit 1; }
  cmp -s "$dest/agent-chunked/current/large-0.log" "$work/tree/large-0.log" || { echo "chunked update differs" >&2; exit 1; }
done
for name in "${!walls[@]}"; do wall[$name]=$(echo "${walls[$name]}" | median); done
grep -h 'chunks fetched' "$work/update_chunked.out" "$work/first_chunked.out" >&2

ratio() { awk "BEGIN{printf \"%.3f\", $1 / $2}"; }
mib() { awk "BEGIN{printf \"%.1f\", $1 / 1048576}"; }
echo
echo "tree: ${size_mb} MiB, tar $(mib "$tar_bytes") MiB, tar.gz $(mib "$(stat -c %s "$work/www/site.tar.gz")") MiB, $(find "$work/tree" -type f | wc -l) files; 2 cores; installs on $on; median of $rounds rounds"
printf '%-34s %16s %16s %16s\n' "" "agent chunked" "casync extract" "agent tar.gz"
row() { printf '%-34s %16s %16s %16s\n' "$@"; }
row "update: bytes downloaded" "${sent[update_chunked]}" "${sent[update_casync]}" "${sent[update_targz]}"
row "update: wall time (s)" "${wall[update_chunked]}" "${wall[update_casync]}" "${wall[update_targz]}"
row "update: peak RSS (KiB)" "${rss[update_chunked]}" "${rss[update_casync]}" "${rss[update_targz]}"
row "first install: bytes downloaded" "${sent[first_chunked]}" "${sent[first_casync]}" "${sent[first_targz]}"
row "first install: wall time (s)" "${wall[first_chunked]}" "${wall[first_casync]}" "${wall[first_targz]}"
row "first install: peak RSS (KiB)" "${rss[first_chunked]}" "${rss[first_casync]}" "${rss[first_targz]}"
echo
printf '%-58s %10s %10s\n' "ratio" "value" "target"
printf '%-58s %10s %10s\n' "update bytes, chunked / casync" "$(ratio "${sent[update_chunked]}" "${sent[update_casync]}")" "<= 1.1"
printf '%-58s %10s %10s\n' "update bytes, chunked / tar.gz" "$(ratio "${sent[update_chunked]}" "${sent[update_targz]}")" "<= 0.03"
printf '%-58s %10s %10s\n' "update time, chunked / casync" "$(ratio "${wall[update_chunked]}" "${wall[update_casync]}")" "<= 0.5"
printf '%-58s %10s %10s\n' "update time, chunked / tar.gz" "$(ratio "${wall[update_chunked]}" "${wall[update_targz]}")" ""
printf '%-58s %10s %10s\n' "first install time, chunked / tar.gz" "$(ratio "${wall[first_chunked]}" "${wall[first_targz]}")" "<= 1.3"
printf '%-58s %10s %10s\n' "first install time, chunked / casync" "$(ratio "${wall[first_chunked]}" "${wall[first_casync]}")" ""
printf '%-58s %10s %10s\n' "peak RSS chunked, larger of install and update (MiB)" \
  "$(mib $(( (rss[first_chunked] > rss[update_chunked] ? rss[first_chunked] : rss[update_chunked]) * 1024 )))" "<= 32"
echo "(the agents install into a version directory; casync extract writes the tar only)"
