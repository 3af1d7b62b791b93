# Sourced by the bench scripts: the scratch directory, free loopback ports,
# a test PKI and a private nginx, each set up once here so the scripts only
# say what they measure. Source it after `cd` to the source tree.

# bench_init NAME: makes the scratch directory `work` and arranges for it,
# nginx and whatever was registered with bench_at_exit to go at exit.
bench_exit_hooks=()
nginx_pid=""
bench_init() {
  work=$(mktemp -d "/tmp/quillstead-$1-XXXXXX")
  trap bench_cleanup EXIT
}
bench_at_exit() { bench_exit_hooks+=("$1"); }
bench_cleanup() {
  local hook
  for hook in "${bench_exit_hooks[@]}"; do eval "$hook" || true; done
  bench_nginx_stop
  if mountpoint -q "$work/fs" 2>/dev/null; then umount "$work/fs" || true; fi
  rm -rf "$work"
}

# bench_free_port: a TCP port on 127.0.0.1 that nothing listens on now.
bench_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# bench_pki DIR: a CA (ca.pem, ca.key) and a certificate for localhost
# signed by it (server.pem, server.key), as the end-to-end tests make them.
bench_pki() {
  local dir=$1
  mkdir -p "$dir"
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 7 -subj '/CN=quillstead bench CA' \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -sha256 -subj '/CN=localhost' \
    -keyout "$dir/server.key" -out "$dir/server.csr" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nsubjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' > "$dir/ext"
  openssl x509 -req -sha256 -days 7 -in "$dir/server.csr" -CA "$dir/ca.pem" \
    -CAkey "$dir/ca.key" -CAcreateserial -extfile "$dir/ext" -out "$dir/server.pem" 2>/dev/null
}

# bench_system_store DIR PKI: the machine's certificate directory as it is
# plus the bench CA, for the agent (DIR, links kept) and for curl (PKI/bundle.pem).
bench_system_store() {
  mkdir -p "$1"
  cp -a /etc/ssl/certs/. "$1/"
  cp "$2/ca.pem" "$1/quillstead-bench-ca.pem"
  cat /etc/ssl/certs/ca-certificates.crt "$2/ca.pem" > "$2/bundle.pem"
}

# bench_nginx_conf [WORKER_CONNECTIONS] < HTTP_BLOCK: writes
# $work/nginx/nginx.conf, the given lines inside its http block, with every
# path nginx writes kept under $work/nginx.
bench_nginx_conf() {
  mkdir -p "$work/nginx"
  local user_line=""
  [ "$(id -u)" -ne 0 ] || user_line="user root;"
  {
    cat <<CONF
worker_processes 1;
error_log $work/nginx/error.log;
pid $work/nginx/nginx.pid;
$user_line
events { worker_connections ${1:-1024}; }
http {
  client_body_temp_path $work/nginx/body; proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi; uwsgi_temp_path $work/nginx/uwsgi; scgi_temp_path $work/nginx/scgi;
CONF
    cat
    echo "}"
  } > "$work/nginx/nginx.conf"
}

# bench_nginx_start [PROBE_URL [CURL_OPTION...]]: starts nginx in the
# foreground of a background job (stopped by bench_nginx_stop or at exit)
# and, given a URL, waits until it answers there.
bench_nginx_start() {
  /usr/sbin/nginx -p "$work/nginx/" -c "$work/nginx/nginx.conf" -g "daemon off; master_process off;" &
  nginx_pid=$!
  if [ $# -eq 0 ]; then sleep 0.5; return; fi
  local url=$1; shift
  local _
  for _ in $(seq 50); do
    curl -s -o /dev/null "$@" "$url" && return
    sleep 0.1
  done
  echo "nginx did not answer at $url" >&2
  exit 1
}
bench_nginx_stop() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  nginx_pid=""
}
