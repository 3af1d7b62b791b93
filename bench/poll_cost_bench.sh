#!/usr/bin/env bash
# What a poll answered 304 costs the agent, and what it costs while idle,
# beside a peer build of the agent measured in the same run against the
# same nginx (for example the binary of an earlier commit), so a change to
# the network waits or the poll loop shows up as a ratio.
#   1. CPU per 304 poll, plain HTTP and HTTPS: 100 bundles polled every pass;
#   2. CPU while idle with 100 bundles that are not due;
#   3. CPU per poll of a bundle with signed metadata (the metadata answered
#      304, so the payload is not asked for) beside a plain 304 poll, both
#      of this build: what metadata_url costs in the steady state.
# Needs root for HTTPS (the bench CA is bind-mounted over /etc/ssl/certs in a
# private mount namespace). Usage: bench/poll_cost_bench.sh PEER_BINARY [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
peer=${1:?usage: bench/poll_cost_bench.sh PEER_BINARY [seconds]}
seconds=${2:-20}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target quillstead >/dev/null
agent=$PWD/build/src/quillstead

source bench/lib.sh
bench_init pollcost
mkdir -p "$work/www/site" "$work/certs"
echo "poll cost" > "$work/www/site/index.html"
tar -czf "$work/www/b.tar.gz" -C "$work/www/site" .

bench_pki "$work/pki"
cp "$work/pki/ca.pem" "$work/certs/bench-ca.pem"

port=$(bench_free_port)
tls_port=$(bench_free_port)
bench_nginx_conf <<CONF
  access_log off;
  server { listen 127.0.0.1:$port; root $work/www; }
  server { listen 127.0.0.1:$tls_port ssl; root $work/www;
           ssl_certificate $work/pki/server.pem; ssl_certificate_key $work/pki/server.key; }
CONF
bench_nginx_start "http://127.0.0.1:$port/b.tar.gz"
etag=$(curl -sI "http://127.0.0.1:$port/b.tar.gz" | tr -d '\r' | awk -F': ' 'tolower($1)=="etag"{print $2}')

# config URL INTERVAL: 100 bundles, each with the server's ETag recorded.
config() {
  local dir=$work/run
  rm -rf "$dir"
  mkdir -p "$dir"
  for i in $(seq 1 100); do
    mkdir -p "$dir/$i"
    printf '%s' "$etag" > "$dir/$i/.etag"
    printf '[bundle.b%d]\nurl = %s\ntarget_dir = %s/%d\npoll_interval = %s\n' "$i" "$1" "$dir" "$i" "$2"
  done > "$work/run.conf"
}

# Signed metadata for the payload, signed with an Ed25519 key by openssl.
openssl genpkey -algorithm ed25519 -out "$work/meta.key" 2>/dev/null
openssl pkey -in "$work/meta.key" -pubout -out "$work/meta.pub"
"$agent" metadata --bundle b --serial 1 --expires 7d "$work/www/b.tar.gz" > "$work/www/b.meta"
openssl pkeyutl -sign -rawin -inkey "$work/meta.key" -in "$work/www/b.meta" -out "$work/www/b.meta.sig"

# metadata_config URL: 100 bundles with signed metadata, polled every pass;
# the first pass installs, every later one gets 304 for the metadata.
metadata_config() {
  local dir=$work/run
  rm -rf "$dir"
  mkdir -p "$dir"
  for i in $(seq 1 100); do
    printf '[bundle.b%d]\nurl = %s\ntarget_dir = %s/%d\npoll_interval = 0\npublic_key = %s\nmetadata_url = b.meta\nmetadata_name = b\n' \
      "$i" "$1" "$dir" "$i" "$work/meta.pub"
  done > "$work/run.conf"
}

# cpu_per_poll BINARY URL [metadata]: CPU milliseconds per 304 poll.
cpu_per_poll() {
  if [ "${3:-}" = metadata ]; then metadata_config "$2"; else config "$2" 0; fi
  unshare -m --propagation private sh -c "mount --bind '$work/certs' /etc/ssl/certs && exec '$1' -c '$work/run.conf'" \
    2>"$work/poll.log" &
  local pid=$!
  sleep 2
  local child
  child=$(pgrep -P "$pid" || echo "$pid")
  local start
  start=$(awk '{print $14+$15}' "/proc/$child/stat")
  local polls_before
  polls_before=$(grep -c '] unchanged' "$work/poll.log" || true)
  sleep "$seconds"
  local ticks=$(( $(awk '{print $14+$15}' "/proc/$child/stat") - start ))
  local polls=$(( $(grep -c '] unchanged' "$work/poll.log" || true) - polls_before ))
  kill -TERM "$child" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  awk -v t="$ticks" -v p="$polls" -v hz="$(getconf CLK_TCK)" 'BEGIN{printf "%.3f %d\n", 1000*t/hz/p, p}'
}

# idle_cpu BINARY: percent of one CPU over the run, 100 bundles not due.
idle_cpu() {
  config "http://127.0.0.1:$port/b.tar.gz" 4294967295
  "$1" -c "$work/run.conf" 2>/dev/null &
  local pid=$!
  sleep 1
  local start
  start=$(awk '{print $14+$15}' "/proc/$pid/stat")
  sleep "$seconds"
  local ticks=$(( $(awk '{print $14+$15}' "/proc/$pid/stat") - start ))
  kill -TERM "$pid"
  wait "$pid" || true
  awk -v t="$ticks" -v s="$seconds" -v hz="$(getconf CLK_TCK)" 'BEGIN{printf "%.3f\n", 100*t/hz/s}'
}

printf '%-44s %14s %14s %8s\n' "measure" "this build" "peer" "ratio"
for kind in http https; do
  if [ "$kind" = http ]; then url="http://127.0.0.1:$port/b.tar.gz"; else url="https://localhost:$tls_port/b.tar.gz"; fi
  read -r ours ours_polls < <(cpu_per_poll "$agent" "$url")
  read -r theirs theirs_polls < <(cpu_per_poll "$peer" "$url")
  printf '%-44s %12sms %12sms %8s\n' "CPU per 304 poll over $kind ($ours_polls/$theirs_polls polls)" \
    "$ours" "$theirs" "$(awk -v a="$ours" -v b="$theirs" 'BEGIN{printf "%.2f", a/b}')"
done
ours=$(idle_cpu "$agent")
theirs=$(idle_cpu "$peer")
printf '%-44s %13s%% %13s%% %8s\n' "idle CPU, 100 bundles not due (${seconds} s)" "$ours" "$theirs" \
  "$(awk -v a="$ours" -v b="$theirs" 'BEGIN{if (b == 0) print "-"; else printf "%.2f", a/b}')"
read -r plain plain_polls < <(cpu_per_poll "$agent" "http://127.0.0.1:$port/b.tar.gz")
read -r meta meta_polls < <(cpu_per_poll "$agent" "http://127.0.0.1:$port/b.tar.gz" metadata)
printf '%-44s %12sms %12sms %8s\n' "this build: metadata 304 poll vs plain 304 ($meta_polls/$plain_polls)" \
  "$meta" "$plain" "$(awk -v a="$meta" -v b="$plain" 'BEGIN{printf "%.2f", a/b}')"
