#!/usr/bin/env bash
# Installs what is missing, builds the agent and runs it against a local
# nginx on 127.0.0.1 that publishes a sample site bundle and a raw motd file.
# Watch it install a version behind `current`, run the post_sync hook, record
# the ETag, then answer "unchanged"; after ~15 s the demo publishes a new
# version of the site, which the agent installs while removing the old one.
# Stop it with Ctrl-C; the demo then prints "quillstead status".
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target quillstead

demo=$(mktemp -d /tmp/quillstead-demo-XXXXXX)
port=${QUILLSTEAD_DEMO_PORT:-8421}
mkdir -p "$demo/www" "$demo/nginx" "$demo/src"
cp -r examples/demo-site/. "$demo/src/"

publish() {
  # Write the archive beside its final name, then rename, so nginx never
  # serves a half-written bundle.
  tar -czf "$demo/www/.site.tar.gz" -C "$demo/src" .
  mv "$demo/www/.site.tar.gz" "$demo/www/site.tar.gz"
}
publish
echo "Welcome to a quillstead demo host." > "$demo/www/motd.txt"

cat > "$demo/nginx/nginx.conf" <<CONF
worker_processes 1;
error_log $demo/nginx/error.log;
pid $demo/nginx/nginx.pid;
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
events { worker_connections 64; }
http {
  access_log $demo/nginx/access.log;
  client_body_temp_path $demo/nginx/body;
  proxy_temp_path $demo/nginx/proxy;
  fastcgi_temp_path $demo/nginx/fastcgi;
  uwsgi_temp_path $demo/nginx/uwsgi;
  scgi_temp_path $demo/nginx/scgi;
  server { listen 127.0.0.1:$port; root $demo/www; }
}
CONF
sed -e "s#@DEMO@#$demo#g" -e "s#@PORT@#$port#g" examples/demo.conf > "$demo/quillstead.conf"

/usr/sbin/nginx -p "$demo/nginx/" -c "$demo/nginx/nginx.conf" -g "daemon off; master_process off;" &
nginx_pid=$!
agent_pid=""
updater_pid=""
cleanup() {
  kill "$updater_pid" 2>/dev/null || true
  kill "$nginx_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  echo "demo files left in $demo" >&2
}
trap cleanup EXIT
trap 'kill -INT "$agent_pid" 2>/dev/null || true' INT TERM

# The agent starts only once nginx answers, so its first poll finds the
# bundles instead of a refused connection.
tries=0
until curl -fsS -o /dev/null "http://127.0.0.1:$port/motd.txt" 2>/dev/null; do
  tries=$((tries + 1))
  if [ "$tries" -ge 100 ] || ! kill -0 "$nginx_pid" 2>/dev/null; then
    echo "demo: nginx does not answer on 127.0.0.1:$port; see $demo/nginx/error.log" >&2
    exit 1
  fi
  sleep 0.1
done

echo "demo directory: $demo (configuration: $demo/quillstead.conf)" >&2
(
  sleep 15
  echo "<p>Version two, published at $(date -u +%H:%M:%S).</p>" >> "$demo/src/index.html"
  publish
  echo "demo: published a new site bundle" >&2
  sleep 7
  echo "demo: $demo/site now holds:" >&2
  ls -la "$demo/site" >&2
  echo "demo: .etag record: $(cat "$demo/site/.etag")" >&2
) &
updater_pid=$!

build/src/quillstead -c "$demo/quillstead.conf" &
agent_pid=$!
wait "$agent_pid" || true
echo "demo: quillstead status" >&2
build/src/quillstead -c "$demo/quillstead.conf" status 2>/dev/null || true
