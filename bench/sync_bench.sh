#!/usr/bin/env bash
# End-to-end benchmark of the agent against nginx on loopback. Prints one
# table; every row is measured in this run against the same server.
#   1. install of a ~200 MB bundle in 20,000 files, agent start to `current`
#      switched, beside curl|tar pipelines, each into a fresh ext4 file system;
#      the agent once more with the bundle signed (signify key, public_key set),
#      against the unsigned install;
#   2. the agent's peak resident memory during that install;
#   3. CPU time per poll answered 304 over HTTPS, beside curl;
#   4. CPU use while idle with 100 bundles that are not due.
# Needs root (loop mounts, private mount namespace). Usage: bench/sync_bench.sh [rounds]
# QS_BENCH_INSTALL_ONLY=1 stops after the install rows (1 and 2).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
[ "$(id -u)" -eq 0 ] || { echo "run as root (loop devices, mount namespaces)" >&2; exit 1; }
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target quillstead >/dev/null
agent=$PWD/build/src/quillstead

source bench/lib.sh
bench_init bench
mkdir -p "$work/www" "$work/fs"

echo "generating the bundle..." >&2
python3 bench/make_bundle.py "$work/www/bundle.tar.gz" 200 20000
payload=$(stat -c %s "$work/www/bundle.tar.gz")
unpacked=$(gzip -dc "$work/www/bundle.tar.gz" | wc -c)
# The publisher's side of a signed bundle: a key pair and the signature
# beside the payload, where the agent looks for it by default.
mkdir -p "$work/sign"
signify-openbsd -G -n -p "$work/sign/bench.pub" -s "$work/sign/bench.sec"
signify-openbsd -S -s "$work/sign/bench.sec" -m "$work/www/bundle.tar.gz" -x "$work/www/bundle.tar.gz.sig"

# Test PKI for https, and the machine's own store plus the bench CA, for
# the agent (as its CA directory) and for curl (as one bundle file).
bench_pki "$work/pki"
bench_system_store "$work/certs" "$work/pki"

port=$(bench_free_port)
tls_port=$(bench_free_port)
bench_nginx_conf <<CONF
  access_log off;
  sendfile on;
  server { listen 127.0.0.1:$port; root $work/www; }
  server { listen 127.0.0.1:$tls_port ssl; root $work/www;
           ssl_certificate $work/pki/server.pem; ssl_certificate_key $work/pki/server.key; }
CONF
bench_nginx_start "http://127.0.0.1:$port/bundle.tar.gz"
url=http://127.0.0.1:$port/bundle.tar.gz
tls_url=https://localhost:$tls_port/bundle.tar.gz

fresh_fs() {
  mountpoint -q "$work/fs" && umount "$work/fs"
  rm -f "$work/fs.img"
  truncate -s 4G "$work/fs.img"
  mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$work/fs.img"
  mount -o loop "$work/fs.img" "$work/fs"
  mkdir -p "$work/fs/out"
  sync
}
now() { date +%s.%N; }

run_agent_install() {
  cat > "$work/agent.conf" <<CONF
[bundle.bench]
url = $url
target_dir = $work/fs/out
poll_interval = 4294967295
post_sync = /usr/bin/date +%s.%N > $work/stamp; kill -TERM \$PPID
CONF
  [ "${1:-}" = signed ] && echo "public_key = $work/sign/bench.pub" >> "$work/agent.conf"
  # poll_interval above the clock would never poll; use 0 so it polls at once.
  sed -i 's/^poll_interval = .*/poll_interval = 0/' "$work/agent.conf"
  local start; start=$(now)
  # A failed install would be retried forever: give up after two minutes.
  timeout 120 /usr/bin/time -f '%M' -o "$work/rss" "$agent" -c "$work/agent.conf" 2>"$work/agent.log" || true
  [ -L "$work/fs/out/current" ] && [ -f "$work/stamp" ] || { echo "agent did not install:" >&2; tail "$work/agent.log" >&2; exit 1; }
  local end; end=$(cat "$work/stamp")
  rm -f "$work/stamp"
  echo "$start $end" | awk '{printf "%.3f", $2-$1}'
}
run_pipe() {
  local start; start=$(now)
  curl -s "$url" | tar -xzf - -C "$work/fs/out"
  local end; end=$(now)
  echo "$start $end" | awk '{printf "%.3f", $2-$1}'
}
run_file() {
  local start; start=$(now)
  curl -s -o "$work/fs/bundle.tar.gz" "$url" && tar -xzf "$work/fs/bundle.tar.gz" -C "$work/fs/out"
  local end; end=$(now)
  echo "$start $end" | awk '{printf "%.3f", $2-$1}'
}
run_pigz() {
  local start; start=$(now)
  curl -s "$url" | pigz -dc | tar -xf - -C "$work/fs/out"
  local end; end=$(now)
  echo "$start $end" | awk '{printf "%.3f", $2-$1}'
}

declare -A best
peak_rss=0
for r in $(seq "$rounds"); do
  for who in agent signed pipe file pigz; do
    fresh_fs
    case $who in
      agent) t=$(run_agent_install); rss=$(cat "$work/rss"); ((rss > peak_rss)) && peak_rss=$rss ;;
      signed) t=$(run_agent_install signed)
              grep -q 'signature verified' "$work/agent.log" || { echo "signed install without its check" >&2; exit 1; } ;;
      pipe) t=$(run_pipe) ;;
      file) t=$(run_file) ;;
      pigz) t=$(run_pigz) ;;
    esac
    echo "round $r $who: ${t}s" >&2
    if [ -z "${best[$who]:-}" ] || awk "BEGIN{exit !($t < ${best[$who]})}"; then best[$who]=$t; fi
  done
done
umount "$work/fs"

install_rows() {
  fastest=$(printf '%s\n' "${best[pipe]}" "${best[file]}" "${best[pigz]}" | sort -g | head -1)
  printf '\n%-58s %12s %10s\n' "measure (best of $rounds rounds)" "value" "ratio"
  printf '%-58s %11ss %10s\n' "agent install, start to current switched" "${best[agent]}" \
    "$(awk "BEGIN{printf \"%.2f\", ${best[agent]}/$fastest}")"
  printf '%-58s %11ss %10s\n' "agent install, signed (ratio against unsigned)" "${best[signed]}" \
    "$(awk "BEGIN{printf \"%.3f\", ${best[signed]}/${best[agent]}}")"
  printf '%-58s %11ss %10s\n' "curl -s URL | tar -xzf - -C DIR" "${best[pipe]}" "$(awk "BEGIN{printf \"%.2f\", ${best[pipe]}/$fastest}")"
  printf '%-58s %11ss %10s\n' "curl -o FILE URL && tar -xzf FILE -C DIR" "${best[file]}" "$(awk "BEGIN{printf \"%.2f\", ${best[file]}/$fastest}")"
  printf '%-58s %11ss %10s\n' "curl -s URL | pigz -dc | tar -xf - -C DIR" "${best[pigz]}" "$(awk "BEGIN{printf \"%.2f\", ${best[pigz]}/$fastest}")"
  printf '%-58s %10sMB %10s\n' "agent peak RSS (payload $((payload/1000000)) MB, target <= payload+32 MB)" \
    "$((peak_rss/1024))" "$(awk "BEGIN{printf \"%+.1f MB\", $peak_rss/1024 - $payload/1048576}")"
}
if [ -n "${QS_BENCH_INSTALL_ONLY:-}" ]; then
  install_rows
  echo "(install ratio is against the fastest peer; the signed row against the unsigned agent: target <= 1.05)"
  exit 0
fi

# CPU time per 304 over https: 100 bundles polled every pass, each with the
# server's current ETag recorded, so every answer is 304.
etag=$(curl -sI --cacert "$work/pki/bundle.pem" "$tls_url" | tr -d '\r' | awk -F': ' 'tolower($1)=="etag"{print $2}')
polls=200
{
  echo "[global]"; echo "tls_verify = yes"
  for i in $(seq 100); do
    mkdir -p "$work/p/$i"; printf '%s' "$etag" > "$work/p/$i/.etag"
    printf '[bundle.b%d]\nurl = %s\ntarget_dir = %s\npoll_interval = 0\n' "$i" "$tls_url" "$work/p/$i"
  done
} > "$work/poll.conf"
unshare -m --propagation private sh -c "mount --bind '$work/certs' /etc/ssl/certs && exec /usr/bin/time -f '%U %S' -o '$work/poll.cpu' '$agent' -c '$work/poll.conf'" 2>"$work/poll.log" &
poller=$!
for _ in $(seq 600); do
  n=$(grep -c '\] unchanged' "$work/poll.log" || true)
  ((n >= polls)) && break
  sleep 0.1
done
# Stop the agent itself (not the time(1) process that reports its CPU).
pkill -TERM -x quillstead || true
wait $poller || true
agent_polls=$(grep -c '\] unchanged' "$work/poll.log" || true)
agent_cpu=$(awk '{print $1+$2}' "$work/poll.cpu")
/usr/bin/time -f '%U %S' -o "$work/curl.cpu" bash -c "for i in \$(seq 100); do curl -s -o /dev/null --cacert '$work/pki/bundle.pem' -H 'If-None-Match: $etag' '$tls_url'; done"
curl_cpu=$(awk '{print $1+$2}' "$work/curl.cpu")

# Idle: 100 bundles not due (interval beyond the clock), CPU over 30 s.
{
  for i in $(seq 100); do
    printf '[bundle.i%d]\nurl = %s\ntarget_dir = %s/idle/%d\npoll_interval = 4294967295\n' "$i" "$url" "$work" "$i"
  done
} > "$work/idle.conf"
"$agent" -c "$work/idle.conf" 2>/dev/null &
idle_pid=$!
sleep 3
ticks() { awk '{print $14+$15}' "/proc/$idle_pid/stat"; }
t0=$(ticks); sleep 30; t1=$(ticks)
kill -TERM $idle_pid; wait $idle_pid || true
hz=$(getconf CLK_TCK)

install_rows
printf '%-58s %10sms %10s\n' "agent CPU per 304 poll over https ($agent_polls polls)" \
  "$(awk "BEGIN{printf \"%.2f\", 1000*$agent_cpu/$agent_polls}")" \
  "$(awk "BEGIN{printf \"%.2f\", ($agent_cpu/$agent_polls)/($curl_cpu/100)}")"
printf '%-58s %10sms %10s\n' "curl CPU per 304 over https (100 runs)" "$(awk "BEGIN{printf \"%.2f\", 10*$curl_cpu}")" "1.00"
printf '%-58s %11s%% %10s\n' "agent idle CPU, 100 bundles not due (30 s)" \
  "$(awk "BEGIN{printf \"%.3f\", 100*($t1-$t0)/$hz/30}")" "-"
echo "(unpacked payload: $unpacked bytes; install ratio is against the fastest peer; targets: install <= 0.90, signed/unsigned <= 1.05, 304 CPU <= 0.50, idle < 0.1%)"
