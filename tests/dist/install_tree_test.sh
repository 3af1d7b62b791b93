#!/bin/sh
# "cmake --install" into a scratch prefix, and into DESTDIR with the /usr
# prefix that distributions use: every file lands below the prefix (or in
# /etc for /usr), with the right modes, and the service definition names
# the installed paths.
set -eu
. "$(dirname "$0")/lib.sh"
need_tool cmake
make_scratch

prefix="$scratch/prefix"
cmake --install "$QS_BUILD_DIR" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
	{ cat "$scratch/install.log" >&2; fail "cmake --install --prefix"; }

expect_file "$prefix/sbin/quillstead" 755
expect_file "$prefix/$QS_MANDIR/man8/quillstead.8" 644
expect_file "$prefix/$QS_MANDIR/man5/quillstead.conf.5" 644
expect_file "$prefix/etc/quillstead/quillstead.conf.sample" 644
# Every example but the demo's.
for path in "$QS_SOURCE_DIR"/examples/*.conf; do
	example=$(basename "$path")
	[ "$example" = demo.conf ] && continue
	expect_file "$prefix/share/doc/quillstead/examples/$example" 644
done
expect_file "$prefix/share/doc/quillstead/examples/signed-bundle.pub" 644
# The demo configuration holds placeholders only the demo script fills in.
[ ! -e "$prefix/share/doc/quillstead/examples/demo.conf" ] || fail "demo.conf installed"

version=$("$prefix/sbin/quillstead" -v) || fail "installed binary failed on -v"
[ "$version" = "quillstead 0.3.1" ] || fail "installed binary printed '$version' for -v"

if [ "$(uname -s)" = Linux ]; then
	unit="$prefix/lib/systemd/system/quillstead.service"
	expect_file "$unit" 644
	expect_line "$unit" "ExecStart=$prefix/sbin/quillstead -c $prefix/etc/quillstead/quillstead.conf"
	! grep -v '^#' "$unit" | grep -q /usr/local || fail "$unit still names /usr/local"
fi

# Through DESTDIR every installed file shows up, also one that escaped the
# prefix: with any prefix but /usr, all of them stay below it.
root="$scratch/opt-root"
DESTDIR="$root" cmake --install "$QS_BUILD_DIR" --prefix /opt/quillstead >"$scratch/install-opt.log" 2>&1 ||
	{ cat "$scratch/install-opt.log" >&2; fail "cmake --install --prefix /opt/quillstead"; }
escaped=$(find "$root" ! -type d | grep -v "^$root/opt/quillstead/" || true)
[ -z "$escaped" ] || fail "installed outside the prefix: $escaped"
expect_file "$root/opt/quillstead/etc/quillstead/quillstead.conf.sample"

# A /usr prefix keeps its configuration in /etc, as GNUInstallDirs has it;
# DESTDIR stays outside every path written into the files.
root="$scratch/destdir"
DESTDIR="$root" cmake --install "$QS_BUILD_DIR" --prefix /usr >"$scratch/install-usr.log" 2>&1 ||
	{ cat "$scratch/install-usr.log" >&2; fail "cmake --install --prefix /usr"; }
expect_file "$root/usr/sbin/quillstead" 755
expect_file "$root/etc/quillstead/quillstead.conf.sample" 644
[ ! -e "$root/usr/etc" ] || fail "a /usr prefix installed into /usr/etc"
if [ "$(uname -s)" = Linux ]; then
	unit="$root/usr/lib/systemd/system/quillstead.service"
	expect_line "$unit" "ExecStart=/usr/sbin/quillstead -c /etc/quillstead/quillstead.conf"
	! grep -q "$root" "$unit" || fail "$unit names the DESTDIR"
fi

echo "install tree ok"
