#!/usr/bin/env bash
# Fleet simulation on loopback: many agents against one nginx whose origin
# is down when they start together and comes back after an outage. Run
# twice in the same session, plain and with poll_jitter + retry_backoff,
# and print for each the origin's peak requests per 100 ms after it came
# back and the time until every agent has its bundle installed; then the
# ratio of the two peaks.
#
# The model is separate agent processes (200 by default), not one agent
# with many bundles: one agent polls its bundles one after the other, so it
# can never hit the origin with more than one request at a time, whatever
# its schedule; the lock-step this bench is about only arises between
# independent agents.
#
# Usage: bench/fleet_bench.sh [agents] [poll_interval] [outage_seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
agents=${1:-200}
interval=${2:-10}
outage=${3:-30}
# How long after the origin is back a run may take to get every agent in step.
settle_limit=$((interval * 12 + 60))
jitter=10
backoff=$((interval * 8))

command -v nginx >/dev/null || /usr/sbin/nginx -v 2>/dev/null || scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target quillstead >/dev/null
agent=$PWD/build/src/quillstead

source bench/lib.sh
bench_init fleet
agent_pids=()
stop_agents() {
  for pid in "${agent_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${agent_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  agent_pids=()
}
bench_at_exit stop_agents
mkdir -p "$work/www/site"
echo "fleet bundle" > "$work/www/site/index.html"
tar -czf "$work/www/b.tar.gz" -C "$work/www/site" .

port=$(bench_free_port)
bench_nginx_conf 4096 <<CONF
  log_format fleet '\$msec \$arg_a \$status';
  server { listen 127.0.0.1:$port backlog=4096; root $work/www;
           access_log $work/nginx/access.log fleet; }
CONF

# run NAME KEYS: one fleet run; prints "NAME peak in_step requests".
run() {
  local name=$1 keys=$2
  rm -rf "$work/t" "$work/conf" "$work/nginx/access.log"
  mkdir -p "$work/t" "$work/conf"
  for i in $(seq 1 "$agents"); do
    printf '[bundle.b]\nurl = http://127.0.0.1:%s/b.tar.gz?a=%s\ntarget_dir = %s\npoll_interval = %s\n%b' \
      "$port" "$i" "$work/t/$i" "$interval" "$keys" > "$work/conf/$i.conf"
  done
  # The origin is down: every agent starts together and fails.
  for i in $(seq 1 "$agents"); do
    "$agent" -c "$work/conf/$i.conf" 2>/dev/null &
    agent_pids+=($!)
  done
  sleep "$outage"
  bench_nginx_start
  local back
  back=$(date +%s.%N)
  local waited=0
  while [ "$(find "$work/t" -maxdepth 2 -name current | wc -l)" -lt "$agents" ] &&
        [ "$waited" -lt "$settle_limit" ]; do
    sleep 1
    waited=$((waited + 1))
  done
  stop_agents
  bench_nginx_stop
  python3 - "$work/nginx/access.log" "$back" "$agents" "$name" <<'PY'
import collections, sys
log, back, agents, name = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
bins = collections.Counter()
first_ok = {}
requests = 0
for line in open(log):
    msec, agent, status = line.split()
    t = float(msec)
    requests += 1
    bins[int(t * 10)] += 1
    if status == "200" and agent not in first_ok:
        first_ok[agent] = t
peak = max(bins.values()) if bins else 0
in_step = (max(first_ok.values()) - back) if len(first_ok) == agents else float("nan")
print(f"{name} {peak} {in_step:.1f} {requests} {len(first_ok)}")
PY
}

echo "fleet: $agents agents, poll_interval $interval s, origin down for the first $outage s" >&2
plain=$(run plain "")
spread=$(run spread "poll_jitter = $jitter\nretry_backoff = $backoff\n")

printf '%-34s %10s %16s %10s %10s\n' "run" "peak/100ms" "all in step (s)" "requests" "installed"
for row in "$plain" "$spread"; do
  set -- $row
  label=$1
  [ "$label" = plain ] && label="plain"
  [ "$label" = spread ] && label="poll_jitter $jitter, retry_backoff $backoff"
  printf '%-34s %10s %16s %10s %10s\n' "$label" "$2" "$3" "$4" "$5/$agents"
done
set -- $plain
plain_peak=$2
set -- $spread
spread_peak=$2
python3 -c "import sys; p,s=int(sys.argv[1]),int(sys.argv[2]); print(f'peak ratio (spread / plain): {s/p:.3f}  (target <= 0.25)')" \
  "$plain_peak" "$spread_peak"
