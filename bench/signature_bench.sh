#!/usr/bin/env bash
# What a signature costs an install. The agent installs the same payload
# unsigned and signed with each kind of key, from nginx on loopback into a
# fresh ext4 file system each time, agent start to post_sync; every signed
# install is printed as a ratio against the unsigned install of the same
# payload measured in the same run (best of the rounds, kinds interleaved).
#   payloads: many small files (~200 MB in 20,000 files) and few large ones
#             (~200 MB in 10 files);
#   keys:     ECDSA P-256 and RSA 2048, checked over the SHA-256 the agent
#             takes while the body is spooled; signify (Ed25519), whose
#             signature is fetched before the body and whose SHA-512 is taken
#             while the body is spooled.
# Targets: signed/unsigned <= 1.05 for ECDSA and RSA, <= 1.25 for signify.
# Needs root (loop mounts). Usage: bench/signature_bench.sh [rounds]
# QS_AGENT names the agent binary to measure (default: build/src/quillstead,
# built here).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
[ "$(id -u)" -eq 0 ] || { echo "run as root (loop devices)" >&2; exit 1; }
scripts/install-deps.sh
agent=${QS_AGENT:-}
if [ -z "$agent" ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target quillstead >/dev/null
  agent=$PWD/build/src/quillstead
fi

source bench/lib.sh
bench_init signature
mkdir -p "$work/www" "$work/fs" "$work/keys"

payloads=(small large)
declare -A files=([small]=20000 [large]=10)
for p in "${payloads[@]}"; do
  echo "generating the $p-file payload..." >&2
  python3 bench/make_bundle.py "$work/www/$p.tar.gz" 200 "${files[$p]}"
done

# The publisher's side: one key pair of each kind and, beside each payload,
# one signature per key, named for the agent's signature_url.
kinds=(p256 rsa signify)
declare -A kind_name=([p256]="ECDSA P-256" [rsa]="RSA 2048" [signify]="signify Ed25519")
declare -A target=([p256]=1.05 [rsa]=1.05 [signify]=1.25)
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/keys/p256.sec" 2>/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/keys/rsa.sec" 2>/dev/null
for k in p256 rsa; do openssl pkey -in "$work/keys/$k.sec" -pubout -out "$work/keys/$k.pub"; done
signify-openbsd -G -n -p "$work/keys/signify.pub" -s "$work/keys/signify.sec"
for p in "${payloads[@]}"; do
  for k in p256 rsa; do
    openssl dgst -sha256 -sign "$work/keys/$k.sec" -out "$work/www/$p.tar.gz.$k.sig" "$work/www/$p.tar.gz"
  done
  signify-openbsd -S -s "$work/keys/signify.sec" -m "$work/www/$p.tar.gz" -x "$work/www/$p.tar.gz.signify.sig"
done

port=$(bench_free_port)
bench_nginx_conf <<CONF
  access_log off;
  sendfile on;
  server { listen 127.0.0.1:$port; root $work/www; }
CONF
bench_nginx_start "http://127.0.0.1:$port/small.tar.gz"

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

# install PAYLOAD KIND: seconds from the agent's start to its post_sync;
# KIND "none" installs unsigned.
install() {
  local p=$1 k=$2
  {
    echo "[bundle.bench]"
    echo "url = http://127.0.0.1:$port/$p.tar.gz"
    echo "target_dir = $work/fs/out"
    echo "poll_interval = 0"
    echo "post_sync = /usr/bin/date +%s.%N > $work/stamp; kill -TERM \$PPID"
    if [ "$k" != none ]; then
      echo "public_key = $work/keys/$k.pub"
      echo "signature_url = $p.tar.gz.$k.sig"
    fi
  } > "$work/agent.conf"
  local start; start=$(now)
  # A failed install would be retried for ever: give up after two minutes.
  timeout 120 "$agent" -c "$work/agent.conf" 2>"$work/agent.log" || true
  [ -L "$work/fs/out/current" ] && [ -f "$work/stamp" ] ||
    { echo "agent did not install:" >&2; tail "$work/agent.log" >&2; exit 1; }
  if [ "$k" != none ] && ! grep -q 'signature verified' "$work/agent.log"; then
    echo "signed install without its check" >&2; exit 1
  fi
  local end; end=$(cat "$work/stamp")
  rm -f "$work/stamp"
  echo "$start $end" | awk '{printf "%.3f", $2-$1}'
}

declare -A best
for r in $(seq "$rounds"); do
  for p in "${payloads[@]}"; do
    for k in none "${kinds[@]}"; do
      fresh_fs
      t=$(install "$p" "$k")
      echo "round $r $p $k: ${t}s" >&2
      key="$p/$k"
      if [ -z "${best[$key]:-}" ] || awk "BEGIN{exit !($t < ${best[$key]})}"; then best[$key]=$t; fi
    done
  done
done
umount "$work/fs"

printf '\n%-44s %10s %10s %8s\n' "install (best of $rounds rounds)" "time" "ratio" "target"
for p in "${payloads[@]}"; do
  size=$(stat -c %s "$work/www/$p.tar.gz")
  label="${files[$p]} files, $((size / 1000000)) MB gzip"
  printf '%-44s %9ss %10s %8s\n' "$label, unsigned" "${best[$p/none]}" "1.000" "-"
  for k in "${kinds[@]}"; do
    printf '%-44s %9ss %10s %8s\n' "$label, ${kind_name[$k]}" "${best[$p/$k]}" \
      "$(awk "BEGIN{printf \"%.3f\", ${best[$p/$k]}/${best[$p/none]}}")" "<= ${target[$k]}"
  done
done
