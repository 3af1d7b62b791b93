#!/usr/bin/env bash
# Builds the libFuzzer targets of the HTTP client's parsers (URLs and
# redirect resolution, the response head, body framing) and of the TLS
# Hello reader (ClientHello, ServerHello, their extensions) with clang under
# AddressSanitizer and UBSan, separately from the GCC build, and runs each
# for FUZZ_SECONDS (20) from a seed corpus written here. Fails on any
# crash, hang, leak or disagreement with the targets' own reference checks.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${FUZZ_SECONDS:-20}
out=${FUZZ_BUILD_DIR:-$root/build-fuzz}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -z "${FUZZ_KEEP:-}" ] || trap - EXIT

script=fuzz_http.sh
# shellcheck source=lib/fuzz_toolchain.sh
source "$root/scripts/lib/fuzz_toolchain.sh"

targets=(http_uri_fuzz http_head_fuzz http_chunked_fuzz tls_hello_fuzz)
fuzz_build "${targets[@]}"

# Seeds, one directory per target, in each target's input layout.
python3 - "$work/seeds" <<'EOF'
import gzip, os, sys
root = sys.argv[1]

def put(target, name, data):
    os.makedirs(os.path.join(root, target), exist_ok=True)
    with open(os.path.join(root, target, name), "wb") as f:
        f.write(data)

# URL target: scratch size byte, base URL, LF, location.
uri_pairs = [
    (b"https://h/a/b", b"/new"), (b"https://h/a/b", b"x"), (b"http://h/a/b/c?q#f", b"../../g?y#s"),
    (b"http://u:p@h:8080/a/b", b"//v@g:81/./x/../y"), (b"http://[::1]:8080/p", b"?only=query"),
    (b"http://[fe80::1%25eth0]/", b"https://%41b.example/c"), (b"http://h", b"a/./b/../../c"),
    (b"wss://h:443/x", b"#frag"), (b"http://a%40b:p%3a@h/", b"."), (b"HTTP://h/", b"ftp://x"),
]
for i, (base, ref) in enumerate(uri_pairs):
    put("http_uri_fuzz", f"pair{i}", bytes([i * 25 % 256]) + base + b"\n" + ref)

# Head target: split seed byte, then the head (and what follows it).
heads = [
    b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nETag: \"v1\"\r\n\r\nhello",
    b"HTTP/1.0 302 Found\r\nLocation: /x\r\nConnection: keep-alive\r\n\r\n",
    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\nContent-Type: a/b\r\n\r\n0\r\n\r\n",
    b"HTTP/1.1 304 Not Modified\r\nContent-Encoding: zstd\r\n\r\n",
    b"HTTP/1.1 200\r\n\r\n", b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No\r\n\r\n",
    b"HTTP/1.1 200 OK\nA: b\n\n", b"HTTP/1.1 200 OK\r\nA: b\r\n\tc\r\n\r\n",
    b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 10\r\nX: a:b\r\nnocolon\r\n\r\n",
]
for i, head in enumerate(heads):
    put("http_head_fuzz", f"head{i}", bytes([i * 37 % 256]) + head)

# Framing target: mode, trickle, capacity, read seed, then the body bytes.
gz = gzip.compress(b"payload " * 200)
bodies = [
    (0, b"5\r\nhello\r\n0\r\n\r\nNEXT"), (0, b"1a;name=value\r\n" + b"a" * 26 + b"\r\n0\r\n\r\n"),
    (1, b"1g\r\nx\r\n0\r\nX-Sum: 1\r\nY: 2\r\n\r\n"), (0, b"2\nab\r\n0\n\r\n"),
    (0, b"0" * 20 + b"1\r\nz\r\n0\r\nA: b\n\nrest"), (1, b"10000000000000000\r\n"),
    (0, b"5\r\nhello\n0\r\n\r\n"), (2, b"content-length body and the next response"),
    (3, b"".join(b"%x\r\n" % len(gz[i:i + 300]) + gz[i:i + 300] + b"\r\n" for i in range(0, len(gz), 300))
        + b"0\r\n\r\n"),
]
for i, (mode, body) in enumerate(bodies):
    put("http_chunked_fuzz", f"body{i}", bytes([mode, i % 4 * 3, (i * 2) % 5, 7 + i]) + body)
EOF

# Hello seeds: the ClientHellos Python's OpenSSL sends (TLS 1.3, and 1.2
# only) and the ServerHello a server answers with, taken from memory BIOs
# without a network, with a certificate made here.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=seed \
  -keyout "$work/seed.key" -out "$work/seed.pem" 2>/dev/null
python3 - "$work/seeds/tls_hello_fuzz" "$work/seed.pem" "$work/seed.key" <<'EOF'
import os, ssl, sys
root, cert, key = sys.argv[1:4]
os.makedirs(root, exist_ok=True)

def first_message(records):
    # The first handshake message of the first records, header included.
    data = b""
    while len(records) >= 5 and records[0] == 22:
        length = int.from_bytes(records[3:5], "big")
        data += records[5:5 + length]
        records = records[5 + length:]
    return data[:4 + int.from_bytes(data[1:4], "big")]

def hello_pair(name, maximum):
    client_context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    client_context.check_hostname = False
    client_context.verify_mode = ssl.CERT_NONE
    client_context.maximum_version = maximum
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(cert, key)
    c_in, c_out, s_in, s_out = (ssl.MemoryBIO() for _ in range(4))
    client = client_context.wrap_bio(c_in, c_out, server_hostname="seed.test")
    server = server_context.wrap_bio(s_in, s_out, server_side=True)
    try:
        client.do_handshake()
    except ssl.SSLWantReadError:
        pass
    hello = c_out.read()
    s_in.write(hello)
    try:
        server.do_handshake()
    except ssl.SSLWantReadError:
        pass
    for kind, records in (("client", hello), ("server", s_out.read())):
        with open(os.path.join(root, f"{name}-{kind}"), "wb") as f:
            f.write(first_message(records))

hello_pair("tls13", ssl.TLSVersion.TLSv1_3)
hello_pair("tls12", ssl.TLSVersion.TLSv1_2)
EOF

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in "${targets[@]}"; do
  corpus=$work/corpus/$target
  mkdir -p "$corpus"
  echo "== fuzzing $target (${seconds}s)"
  "$out/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
    -print_final_stats=1 -artifact_prefix="$out/$target-" "$corpus" "$work/seeds/$target" \
    2>"$work/log" || {
    tail -60 "$work/log" >&2
    echo "fuzz_http.sh: $target failed; the input is in $out/" >&2
    exit 1
  }
  grep -E '^(stat::number_of_executed_units|Done)' "$work/log" || true
done
echo "fuzz_http.sh: no crash, hang, leak, reference mismatch or view outside the input"
