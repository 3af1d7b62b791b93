#!/usr/bin/env bash
# CPU cost of the trust-store load and of one https exchange on loopback,
# each beside a peer measured in the same run (see bench/tls/tls_bench.cpp):
#   1. loadTrustStore over this machine's /etc/ssl/certs, beside a plain
#      OpenSSL PEM_read_bio_X509 loop over the same files (target <= 0.50);
#   2. fresh client + store (system certificates plus a bench CA) + handshake
#      + GET against nginx, beside curl --cacert (target <= 1.00), answered
#      200 and answered 304 (target <= 0.50).
# Usage: bench/tls_bench.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-30}
build=${QS_BUILD_DIR:-build}
# QS_TLS_BENCH names an already built bench program (for instance one linked
# against an older tree, to compare); otherwise it is built here.
bench=${QS_TLS_BENCH:-}
if [ -z "$bench" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLSTEAD_BENCH=ON >/dev/null
  cmake --build "$build" --target quillstead_tls_bench >/dev/null
  bench=$PWD/$build/bench/tls/quillstead_tls_bench
fi

source bench/lib.sh
bench_init tls-bench
mkdir -p "$work/www"
head -c 4096 /dev/urandom > "$work/www/bundle.tar.gz"

bench_pki "$work/pki"
bench_system_store "$work/certs" "$work/pki"

port=$(bench_free_port)
bench_nginx_conf 64 <<CONF
  access_log off;
  server { listen 127.0.0.1:$port ssl; root $work/www;
           ssl_certificate $work/pki/server.pem; ssl_certificate_key $work/pki/server.key; }
CONF
url=https://localhost:$port/bundle.tar.gz
bench_nginx_start "$url" --cacert "$work/pki/bundle.pem"
etag=$(curl -sI --cacert "$work/pki/bundle.pem" "$url" | tr -d '\r' | awk -F': ' 'tolower($1)=="etag"{print $2}')
[ -n "$etag" ] || { echo "nginx did not answer over https" >&2; exit 1; }

echo "CPU time per operation, mean of $rounds rounds after one warm-up; $(nproc) CPUs, load $(cut -d' ' -f1 /proc/loadavg)"
"$bench" /etc/ssl/certs "$rounds" "$work/certs" "$work/pki/bundle.pem" "$url" "$etag"
