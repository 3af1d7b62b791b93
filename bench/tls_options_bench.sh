#!/usr/bin/env bash
# What the kept trust store and the compatible TLS profile buy, each beside
# a peer measured in the same run:
#   1. CPU per https poll answered 304 with the system store (this
#      machine's /etc/ssl/certs plus a bench CA), against a peer build of
#      the agent that loads the store at every poll (target <= 0.30);
#   2. one raw 100 MiB payload over https with tls_profile = compatible,
#      against curl fetching the same file (target <= 1.00); the baseline
#      profile is shown beside it.
# Needs root (the store is bind-mounted over /etc/ssl/certs in a private
# mount namespace). Usage: bench/tls_options_bench.sh PEER_BINARY [seconds] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
peer=${1:?usage: bench/tls_options_bench.sh PEER_BINARY [seconds] [rounds]}
seconds=${2:-15}
rounds=${3:-3}
# QS_AGENT names an agent already built; otherwise it is built here.
agent=${QS_AGENT:-}
if [ -z "$agent" ]; then
  build=${QS_BUILD_DIR:-build}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target quillstead >/dev/null
  agent=$PWD/$build/src/quillstead
fi

source bench/lib.sh
bench_init tls-options
mkdir -p "$work/www/site"
echo "poll cost" > "$work/www/site/index.html"
tar -czf "$work/www/b.tar.gz" -C "$work/www/site" .
head -c $((100 * 1024 * 1024)) /dev/urandom > "$work/www/big.bin"

bench_pki "$work/pki"
bench_system_store "$work/certs" "$work/pki"
tls_port=$(bench_free_port)
bench_nginx_conf <<CONF
  access_log off;
  sendfile on;
  server { listen 127.0.0.1:$tls_port ssl; root $work/www;
           ssl_protocols TLSv1.2 TLSv1.3;
           ssl_certificate $work/pki/server.pem; ssl_certificate_key $work/pki/server.key; }
CONF
bench_nginx_start "https://localhost:$tls_port/b.tar.gz" --cacert "$work/pki/ca.pem"
url="https://localhost:$tls_port"
etag=$(curl -sI --cacert "$work/pki/ca.pem" "$url/b.tar.gz" | tr -d '\r' |
  awk -F': ' 'tolower($1)=="etag"{print $2}')

# cpu_per_poll BINARY: CPU milliseconds per 304 poll, 100 bundles due at
# every pass, the system store mounted in place.
cpu_per_poll() {
  local dir=$work/run
  rm -rf "$dir"
  mkdir -p "$dir"
  for i in $(seq 1 100); do
    mkdir -p "$dir/$i"
    printf '%s' "$etag" > "$dir/$i/.etag"
    printf '[bundle.b%d]\nurl = %s/b.tar.gz\ntarget_dir = %s/%d\npoll_interval = 0\n' "$i" "$url" "$dir" "$i"
  done > "$work/run.conf"
  unshare -m --propagation private sh -c \
    "mount --bind '$work/certs' /etc/ssl/certs && exec '$1' -c '$work/run.conf'" 2>"$work/poll.log" &
  local pid=$!
  sleep 2
  local child
  child=$(pgrep -P "$pid" || echo "$pid")
  local start polls_before
  start=$(awk '{print $14+$15}' "/proc/$child/stat")
  polls_before=$(grep -c '] unchanged' "$work/poll.log" || true)
  sleep "$seconds"
  local ticks=$(( $(awk '{print $14+$15}' "/proc/$child/stat") - start ))
  local polls=$(( $(grep -c '] unchanged' "$work/poll.log" || true) - polls_before ))
  kill -TERM "$child" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  awk -v t="$ticks" -v p="$polls" -v hz="$(getconf CLK_TCK)" 'BEGIN{printf "%.3f %d\n", 1000*t/hz/p, p}'
}

# agent_seconds PROFILE: wall seconds of one `once` pass fetching the raw
# 100 MiB file, best of the rounds.
agent_seconds() {
  local best=""
  for _ in $(seq 1 "$rounds"); do
    rm -rf "$work/raw"
    mkdir -p "$work/raw"
    printf '[bundle.big]\nurl = %s/big.bin\ntarget_dir = %s/raw\nformat = raw\nfilename = big.bin\nca_file = %s\ntls_profile = %s\n' \
      "$url" "$work" "$work/pki/bundle.pem" "$1" > "$work/raw.conf"
    local t0 t1
    t0=$(date +%s.%N)
    "$agent" -c "$work/raw.conf" once 2>"$work/raw.log" || { cat "$work/raw.log" >&2; exit 1; }
    t1=$(date +%s.%N)
    best=$(awk -v b="$best" -v t="$(awk -v a="$t0" -v z="$t1" 'BEGIN{print z-a}')" \
      'BEGIN{if (b == "" || t < b) print t; else print b}')
  done
  echo "$best"
}

curl_seconds() {
  local best=""
  for _ in $(seq 1 "$rounds"); do
    rm -f "$work/curl.bin"
    local t0 t1
    t0=$(date +%s.%N)
    curl -sf --cacert "$work/pki/bundle.pem" -o "$work/curl.bin" "$url/big.bin"
    t1=$(date +%s.%N)
    best=$(awk -v b="$best" -v t="$(awk -v a="$t0" -v z="$t1" 'BEGIN{print z-a}')" \
      'BEGIN{if (b == "" || t < b) print t; else print b}')
  done
  echo "$best"
}

printf '%-58s %12s %12s %7s\n' "measure" "this build" "peer" "ratio"
read -r ours ours_polls < <(cpu_per_poll "$agent")
read -r theirs theirs_polls < <(cpu_per_poll "$peer")
printf '%-58s %10sms %10sms %7s\n' \
  "CPU per https 304 poll, system store ($ours_polls/$theirs_polls polls)" "$ours" "$theirs" \
  "$(awk -v a="$ours" -v b="$theirs" 'BEGIN{printf "%.2f", a/b}')"
compatible=$(agent_seconds compatible)
baseline=$(agent_seconds baseline)
curl_time=$(curl_seconds)
printf '%-58s %11ss %11ss %7s\n' "raw 100 MiB over https, tls_profile = compatible vs curl" \
  "$compatible" "$curl_time" "$(awk -v a="$compatible" -v b="$curl_time" 'BEGIN{printf "%.2f", a/b}')"
printf '%-58s %11ss %11ss %7s\n' "raw 100 MiB over https, tls_profile = baseline vs curl" \
  "$baseline" "$curl_time" "$(awk -v a="$baseline" -v b="$curl_time" 'BEGIN{printf "%.2f", a/b}')"
