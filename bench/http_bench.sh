#!/usr/bin/env bash
# Download throughput and peak memory of the agent's HTTP client against
# curl, both fetching the same URLs from a local nginx over loopback in this
# run: a body framed by content-length, the same body chunked, and the same
# body gzip-coded (nginx's precompressed copy; curl with --compressed).
# The client reads the whole body into memory as a sync cycle does; curl
# writes it to /dev/null.
# Usage: bench/http_bench.sh [build dir]   (env: BENCH_MB (1024), BENCH_REPEATS (3))
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
mb=${BENCH_MB:-1024}
repeats=${BENCH_REPEATS:-3}
source bench/lib.sh
bench_init http-bench

cmake -S . -B "$build" -G Ninja -DQUILLSTEAD_BENCH=ON >/dev/null
cmake --build "$build" --target quillstead_http_bench >/dev/null
bench=$build/bench/http/quillstead_http_bench

echo "generating a ${mb} MiB body..."
mkdir -p "$work/www"
# Configuration-like text: compresses about as well as typical bundles.
python3 - "$work/www/body.bin" "$mb" <<'EOF'
import random, sys
path, mb = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz_") for _ in range(rng.randint(2, 12)))
         for _ in range(4000)]
lines = []
size = 0
while size < 4 << 20:
    line = "%s = %s %d\n" % (rng.choice(words), " ".join(rng.choice(words) for _ in range(rng.randint(1, 6))),
                             rng.randint(0, 1 << 20))
    lines.append(line)
    size += len(line)
block = "".join(lines).encode()[: 4 << 20]
with open(path, "wb") as f:
    for _ in range(mb // 4):
        f.write(block)
    f.write(block[: (mb % 4) << 20])
EOF
pigz -6 -c "$work/www/body.bin" > "$work/www/body.bin.gz"
: > "$work/www/empty"
body_bytes=$(stat -c %s "$work/www/body.bin")
gz_bytes=$(stat -c %s "$work/www/body.bin.gz")

port=$(bench_free_port)
bench_nginx_conf 64 <<EOF
  access_log off;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    location /length/ { alias $work/www/; }
    # Appending an (empty) body drops the length, so nginx frames chunked.
    location /chunked/ { alias $work/www/; addition_types *; add_after_body /empty; }
    # The precompressed copy, sent with content-encoding gzip to clients
    # that accept it.
    location /gzip/ { alias $work/www/; gzip_static on; }
  }
EOF
bench_nginx_start "http://127.0.0.1:$port/empty"

base=http://127.0.0.1:$port
# Each framing must reach the client as intended, or the rows mean nothing.
check_head() { # path expected-header [curl options]
  local path=$1 want=$2; shift 2
  curl -s -D - -o /dev/null "$@" "$base$path" | tr -d '\r' | grep -qi "^$want" \
    || { echo "http_bench.sh: $path lacks '$want'" >&2; exit 1; }
}
check_head /length/body.bin "content-length: $body_bytes"
check_head /chunked/body.bin "transfer-encoding: chunked"
check_head /gzip/body.bin "content-encoding: gzip" --compressed

cat "$work/www/body.bin" "$work/www/body.bin.gz" > /dev/null  # into the page cache

# Best of $repeats runs of a command whose output starts with seconds; the
# whole line of the best run is printed.
best_of() {
  local best="" line
  for _ in $(seq "$repeats"); do
    line=$("$@" 2>"$work/run.log") || { cat "$work/run.log" >&2; echo "http_bench.sh: $* failed" >&2; exit 1; }
    if [ -z "$best" ] || awk -v t="${line%% *}" -v b="${best%% *}" 'BEGIN { exit !(t < b) }'; then
      best=$line
    fi
  done
  echo "$best"
}
shm=$(mktemp -d /dev/shm/quillstead-http-bench-XXXXXX)
bench_at_exit 'rm -rf "$shm"'
curl_null() { curl -s -o /dev/null -w '%{time_total}\n' "$@"; }
# curl storing the body in memory too (a tmpfs file), the fair peer for a
# client that keeps the whole body.
curl_memory() { curl -s -o "$shm/body" -w '%{time_total}\n' "$@"; rm -f "$shm/body"; }

printf '\nbody: %s bytes (%s bytes gzip-coded), loopback nginx, best of %s runs each\n' \
  "$body_bytes" "$gz_bytes" "$repeats"
printf "client: the agent's fetch into memory; curl: -o /dev/null (--compressed for gzip)\n\n"
printf '%-8s %8s %8s %8s %8s %9s %9s | %8s %8s | %9s %8s\n' framing "curl s" "MB/s" "client s" "MB/s" \
  "vs curl" "RSS-body" "drop s" "vs curl" "curl>shm" "vs it"
for mode in length chunked gzip; do
  url=$base/$mode/body.bin
  options=()
  [ "$mode" != gzip ] || options=(--compressed)
  "$bench" "$url" "$work/www/body.bin" >/dev/null 2>"$work/run.log" \
    || { cat "$work/run.log" >&2; echo "http_bench.sh: $mode: the body differs" >&2; exit 1; }
  curl_s=$(best_of curl_null "${options[@]}" "$url")
  curl_shm_s=$(best_of curl_memory "${options[@]}" "$url")
  read -r client_s client_bytes rss_kib < <(best_of "$bench" "$url")
  read -r drop_s drop_bytes _ < <(best_of "$bench" --discard "$url")
  [ "$client_bytes" = "$body_bytes" ] && [ "$drop_bytes" = "$body_bytes" ] \
    || { echo "http_bench.sh: $mode: $client_bytes/$drop_bytes bytes" >&2; exit 1; }
  awk -v m="$mode" -v c="$curl_s" -v q="$client_s" -v d="$drop_s" -v s="$curl_shm_s" -v b="$body_bytes" \
      -v r="$rss_kib" 'BEGIN {
    ratio = c / q; over = r * 1024 - b
    printf "%-8s %8.3f %8.0f %8.3f %8.0f %8.2fx %6.1f MB | %8.3f %7.2fx | %9.3f %7.2fx%s\n", m, c, b / c / 1e6,
      q, b / q / 1e6, ratio, over / 1048576, d, c / d, s, s / q,
      (ratio >= 0.9 && over <= 16 * 1048576) ? "" : "  (target missed)"
  }'
done
cat <<'EOF'

targets: client >= 0.9x curl's throughput; peak RSS <= body + 16 MiB
RSS-body: the client's peak resident size beyond the body it holds
drop s:   the same client calls reading the body into one reused 1 MiB buffer,
          dropping it as curl -o /dev/null does (what the framing and decoding cost)
curl>shm: curl writing the body to a tmpfs file, i.e. into fresh memory as the client does
EOF
