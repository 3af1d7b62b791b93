#!/bin/sh
# The configure step refuses an include against the layers: a copy of the
# tree configures cleanly, then fails once a low folder includes a header of
# a folder above it, once a folder other than tls includes OpenSSL, and once
# a folder other than formats includes zstd.
set -eu
. "$(dirname "$0")/lib.sh"
need_tool cmake
make_scratch

copy() {
	rm -rf "$scratch/tree" "$scratch/build"
	mkdir -p "$scratch/tree"
	cp -r "$QS_SOURCE_DIR/CMakeLists.txt" "$QS_SOURCE_DIR/cmake" "$QS_SOURCE_DIR/src" \
		"$QS_SOURCE_DIR/man" "$QS_SOURCE_DIR/dist" "$QS_SOURCE_DIR/examples" "$scratch/tree/"
}

configure() {
	cmake -S "$scratch/tree" -B "$scratch/build" -DQUILLSTEAD_TESTS=OFF -DQUILLSTEAD_BENCH=OFF \
		>"$scratch/out" 2>&1
}

copy
configure || { cat "$scratch/out" >&2; fail "the tree as it stands does not configure"; }

copy
echo '#include "sync/version.hpp"' >>"$scratch/tree/src/formats/reader.hpp"
configure && fail "formats including sync/ was accepted"
grep -q 'src/formats/reader.hpp includes sync/, which formats does not stand on' "$scratch/out" ||
	{ cat "$scratch/out" >&2; fail "no line names the wrong include"; }

copy
echo '#include <openssl/ssl.h>' >>"$scratch/tree/src/http/uri.cpp"
configure && fail "http including OpenSSL was accepted"
grep -q 'src/http/uri.cpp includes <openssl/...>, which only tls may see' "$scratch/out" ||
	{ cat "$scratch/out" >&2; fail "no line names the OpenSSL include"; }
copy
echo '#include <zstd.h>' >>"$scratch/tree/src/sync/version.cpp"
configure && fail "sync including zstd was accepted"
grep -q 'src/sync/version.cpp includes <zstd...>, which only formats may see' "$scratch/out" ||
	{ cat "$scratch/out" >&2; fail "no line names the zstd include"; }
echo "layer check: refuses the wrong includes, accepts the tree"
