#!/bin/sh
# The manual pages are clean mdoc, render with man(1), and document every key
# that the shipped configurations use.
set -eu
. "$(dirname "$0")/lib.sh"
need_tool mandoc
make_scratch

pages="$QS_SOURCE_DIR/man/quillstead.8 $QS_SOURCE_DIR/man/quillstead.conf.5"

for page in $pages; do
	# Cross references to FreeBSD's pages (daemon(8), newsyslog(8), ...)
	# cannot resolve on other systems, and mandoc's note about its own stale
	# database says nothing about the page: everything else must be silent.
	mandoc -T lint "$page" >"$scratch/lint" 2>&1 || true
	if grep -v -e 'STYLE: referenced manual not found' -e 'outdated mandoc.db' "$scratch/lint" >"$scratch/lint.left"; then
		cat "$scratch/lint.left" >&2
		fail "mandoc -T lint $page"
	fi
	mandoc -T utf8 "$page" >"$scratch/rendered" || fail "mandoc -T utf8 $page"
	[ -s "$scratch/rendered" ] || fail "mandoc rendered $page empty"
	if command -v man >/dev/null 2>&1; then
		MANWIDTH=80 man -l "$page" >"$scratch/man.out" 2>"$scratch/man.err" || fail "man -l $page"
		[ ! -s "$scratch/man.err" ] || { cat "$scratch/man.err" >&2; fail "man -l $page warned"; }
		grep -q '^NAME' "$scratch/man.out" || fail "man -l $page rendered no NAME section"
	fi
done

# Every key set in a shipped configuration, commented-out ones included, has
# its own entry in quillstead.conf(5).
sed -n 's/^[;#]\{0,1\}[[:space:]]*\([a-z_][a-z_]*\)[[:space:]]*=.*/\1/p' \
	"$QS_SOURCE_DIR"/examples/*.conf "$QS_SOURCE_DIR"/examples/quillstead.conf.sample |
	sort -u >"$scratch/keys"
[ -s "$scratch/keys" ] || fail "found no keys in examples/"
while IFS= read -r key; do
	grep -q "^\.It Cm $key No = " "$QS_SOURCE_DIR/man/quillstead.conf.5" ||
		fail "quillstead.conf(5) has no entry for the key $key"
done <"$scratch/keys"

echo "manual pages ok"
