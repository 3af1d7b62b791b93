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

work=$(mktemp -d /tmp/quillstead-tls-bench-XXXXXX)
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/www" "$work/nginx" "$work/pki" "$work/certs"
head -c 4096 /dev/urandom > "$work/www/bundle.tar.gz"

# A CA and a certificate for localhost, as the end-to-end tests make them.
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 7 -subj '/CN=quillstead bench CA' \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
  -keyout "$work/pki/ca.key" -out "$work/pki/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -sha256 -subj '/CN=localhost' \
  -keyout "$work/pki/server.key" -out "$work/pki/server.csr" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nsubjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' > "$work/pki/ext"
openssl x509 -req -sha256 -days 7 -in "$work/pki/server.csr" -CA "$work/pki/ca.pem" \
  -CAkey "$work/pki/ca.key" -CAcreateserial -extfile "$work/pki/ext" -out "$work/pki/server.pem" 2>/dev/null
# The machine's store as it is plus the bench CA: a copy of the directory
# (links kept) for the agent, one bundle file for curl.
cp -a /etc/ssl/certs/. "$work/certs/"
cp "$work/pki/ca.pem" "$work/certs/quillstead-bench-ca.pem"
cat /etc/ssl/certs/ca-certificates.crt "$work/pki/ca.pem" > "$work/pki/bundle.pem"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/nginx/nginx.conf" <<CONF
worker_processes 1;
error_log $work/nginx/error.log;
pid $work/nginx/nginx.pid;
user root;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body; proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi; uwsgi_temp_path $work/nginx/uwsgi; scgi_temp_path $work/nginx/scgi;
  server { listen 127.0.0.1:$port ssl; root $work/www;
           ssl_certificate $work/pki/server.pem; ssl_certificate_key $work/pki/server.key; }
}
CONF
/usr/sbin/nginx -p "$work/nginx/" -c "$work/nginx/nginx.conf" -g "daemon off; master_process off;" &
nginx_pid=$!
url=https://localhost:$port/bundle.tar.gz
for _ in $(seq 50); do
  curl -s -o /dev/null --cacert "$work/pki/bundle.pem" "$url" && break
  sleep 0.1
done
etag=$(curl -sI --cacert "$work/pki/bundle.pem" "$url" | tr -d '\r' | awk -F': ' 'tolower($1)=="etag"{print $2}')
[ -n "$etag" ] || { echo "nginx did not answer over https" >&2; exit 1; }

echo "CPU time per operation, mean of $rounds rounds after one warm-up; $(nproc) CPUs, load $(cut -d' ' -f1 /proc/loadavg)"
"$bench" /etc/ssl/certs "$rounds" "$work/certs" "$work/pki/bundle.pem" "$url" "$etag"
