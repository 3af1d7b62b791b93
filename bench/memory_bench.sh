#!/usr/bin/env bash
# Peak resident memory and install time of the agent for large payloads, in
# every mode, beside the agent as it was before payloads were streamed
# (built from BASELINE_REF in a temporary tree) and `curl | tar`, all
# measured in this run against one nginx on loopback, each install into a
# fresh ext4 file system:
#   few-large:  ~1 GiB archive of 4 incompressible files
#   many-small: ~200 MB archive of 20,000 files (bench/make_bundle.py)
# Modes: versioned, direct (archives) and raw (the 1 GiB archive as one file).
# Needs root (loop mounts). Usage: bench/memory_bench.sh [rounds]
#   BASELINE_REF=<commit>  the agent to compare with (default: the commit
#                          before streamed installs came in)
#   BASELINE_BIN=<path>    an agent already built from that commit
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
[ "$(id -u)" -eq 0 ] || { echo "run as root (loop devices)" >&2; exit 1; }
src=$PWD
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target quillstead >/dev/null
agent=$PWD/build/src/quillstead

source bench/lib.sh
bench_init membench
bench_at_exit 'git -C "$src" worktree remove --force "$work/baseline" 2>/dev/null'
mkdir -p "$work/www" "$work/fs"

if [ -n "${BASELINE_BIN:-}" ]; then
  baseline=$BASELINE_BIN
else
  if [ -z "${BASELINE_REF:-}" ]; then
    first=$(git log --diff-filter=A --format=%H -- src/sync/spool.cpp | tail -1)
    BASELINE_REF=$first^
  fi
  echo "building the baseline agent at $(git rev-parse --short "$BASELINE_REF")..." >&2
  git worktree add --detach "$work/baseline" "$BASELINE_REF" >/dev/null 2>&1
  cmake -S "$work/baseline" -B "$work/baseline/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLSTEAD_TESTS=OFF >/dev/null
  cmake --build "$work/baseline/build" -j2 --target quillstead >/dev/null
  baseline=$work/baseline/build/src/quillstead
fi

echo "generating the payloads..." >&2
mkdir -p "$work/large/data"
for i in 1 2 3 4; do head -c $((256 << 20)) /dev/urandom > "$work/large/data/part$i"; done
tar --format=gnu -C "$work/large" -cf - . | gzip -1 > "$work/www/large.tar.gz"
rm -rf "$work/large"
python3 bench/make_bundle.py "$work/www/small.tar.gz" 200 20000

port=$(bench_free_port)
bench_nginx_conf 64 <<CONF
  access_log off;
  sendfile on;
  server { listen 127.0.0.1:$port; root $work/www; }
CONF
bench_nginx_start "http://127.0.0.1:$port/small.tar.gz"

fresh_fs() {
  mountpoint -q "$work/fs" && umount "$work/fs"
  rm -f "$work/fs.img"
  truncate -s 6G "$work/fs.img"
  mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$work/fs.img"
  mount -o loop "$work/fs.img" "$work/fs"
  mkdir -p "$work/fs/out"
  sync
}
now() { date +%s.%N; }

# run_agent BINARY PAYLOAD MODE: prints "seconds peak_kib"; the hook stamps
# the end of the install and stops the agent.
run_agent() {
  local binary=$1 payload=$2 mode=$3 extra=""
  case $mode in
    direct) extra="mode = direct" ;;
    raw) extra=$'format = raw\nfilename = payload.bin' ;;
  esac
  cat > "$work/agent.conf" <<CONF
[bundle.bench]
url = http://127.0.0.1:$port/$payload.tar.gz
target_dir = $work/fs/out
poll_interval = 0
$extra
post_sync = /usr/bin/date +%s.%N > $work/stamp; kill -TERM \$PPID
CONF
  local start; start=$(now)
  timeout 300 /usr/bin/time -f '%M' -o "$work/rss" "$binary" -c "$work/agent.conf" 2>"$work/agent.log" || true
  [ -f "$work/stamp" ] || { echo "agent did not install:" >&2; tail "$work/agent.log" >&2; exit 1; }
  local end; end=$(cat "$work/stamp")
  rm -f "$work/stamp"
  echo "$start $end $(cat "$work/rss")" | awk '{printf "%.3f %d", $2-$1, $3}'
}
run_pipe() {
  local payload=$1 start; start=$(now)
  /usr/bin/time -f '%M' -o "$work/rss" bash -c \
    "curl -s http://127.0.0.1:$port/$payload.tar.gz | tar -xzf - -C $work/fs/out"
  local end; end=$(now)
  # bash, curl and tar each report their own peak; the largest stands for the pipeline.
  echo "$start $end $(cat "$work/rss")" | awk '{printf "%.3f %d", $2-$1, $3}'
}

declare -A best_t peak_rss
cases="large:versioned large:direct large:raw small:versioned small:direct"
for r in $(seq "$rounds"); do
  for c in $cases; do
    payload=${c%%:*} mode=${c#*:}
    for who in agent baseline pipe; do
      [ "$who" = pipe ] && [ "$mode" != versioned ] && continue
      fresh_fs
      case $who in
        agent) out=$(run_agent "$agent" "$payload" "$mode") ;;
        baseline) out=$(run_agent "$baseline" "$payload" "$mode") ;;
        pipe) out=$(run_pipe "$payload") ;;
      esac
      t=${out% *} rss=${out#* }
      key="$c:$who"
      echo "round $r $key: ${t}s ${rss}KiB" >&2
      if [ -z "${best_t[$key]:-}" ] || awk "BEGIN{exit !($t < ${best_t[$key]})}"; then best_t[$key]=$t; fi
      if [ -z "${peak_rss[$key]:-}" ] || ((rss > ${peak_rss[$key]})); then peak_rss[$key]=$rss; fi
    done
  done
done
umount "$work/fs"

large=$(stat -c %s "$work/www/large.tar.gz")
small=$(stat -c %s "$work/www/small.tar.gz")
printf '\npayloads: few-large %d MB (4 files), many-small %d MB (20,000 files); best time and highest peak RSS of %d rounds\n' \
  $((large / 1000000)) $((small / 1000000)) "$rounds"
printf '%-22s %-10s %10s %10s %12s %12s\n' "payload:mode" "who" "time" "peak RSS" "time ratio" "RSS ratio"
for c in $cases; do
  for who in agent baseline pipe; do
    key="$c:$who"
    [ -n "${best_t[$key]:-}" ] || continue
    bt=${best_t[$c:baseline]} br=${peak_rss[$c:baseline]}
    printf '%-22s %-10s %9ss %8dMB %12s %12s\n' "$c" "$who" "${best_t[$key]}" $((peak_rss[$key] / 1024)) \
      "$(awk "BEGIN{printf \"%.3f\", ${best_t[$key]}/$bt}")" \
      "$(awk "BEGIN{printf \"%.3f\", ${peak_rss[$key]}/$br}")"
  done
done
echo "(ratios are against the baseline agent in the same run; targets: agent peak RSS <= 32 MB, agent time ratio <= 1.05)"
