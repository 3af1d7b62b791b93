#!/bin/sh
# The installed systemd unit passes "systemd-analyze verify": its directives
# are known to this systemd and its ExecStart names the installed binary.
set -eu
. "$(dirname "$0")/lib.sh"
need_tool cmake
need_tool systemd-analyze
make_scratch

prefix="$scratch/prefix"
cmake --install "$QS_BUILD_DIR" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
	{ cat "$scratch/install.log" >&2; fail "cmake --install --prefix"; }
unit="$prefix/lib/systemd/system/quillstead.service"
expect_file "$unit"

# verify reports unknown keys and a missing binary as warnings while still
# succeeding, so anything it prints counts as a failure. It also looks up the
# pages that Documentation= names, here the ones just installed.
MANPATH="$prefix/$QS_MANDIR" systemd-analyze verify "$unit" >"$scratch/verify" 2>&1 || { cat "$scratch/verify" >&2; fail "systemd-analyze verify"; }
if [ -s "$scratch/verify" ]; then
	cat "$scratch/verify" >&2
	fail "systemd-analyze verify printed diagnostics"
fi

expect_line "$unit" 'ExecReload=/bin/kill -HUP $MAINPID'
# The agent reports readiness and keep-alives; a configuration is checked
# before a start and before a reload signal.
expect_line "$unit" 'Type=notify'
expect_line "$unit" 'WatchdogSec=15min'
expect_line "$unit" "ExecStartPre=$prefix/sbin/quillstead -c $prefix/etc/quillstead/quillstead.conf check"
expect_line "$unit" "ExecReload=$prefix/sbin/quillstead -c $prefix/etc/quillstead/quillstead.conf check"

echo "systemd unit ok"
