#!/bin/sh
# The FreeBSD rc.d script: valid sh, installed executable with the paths of
# its prefix, and run through a stand-in for rc.subr(8) it hands daemon(8)
# the command line that rc.conf asks for.
set -eu
. "$(dirname "$0")/lib.sh"
need_tool cmake
make_scratch

script="$QS_SOURCE_DIR/dist/freebsd/quillstead"
sh -n "$script" || fail "sh -n $script"

# Run the install step that FreeBSD builds use, with a scratch prefix.
prefix="$scratch/prefix"
cmake -DCMAKE_INSTALL_PREFIX="$prefix" -DQUILLSTEAD_SOURCE_DIR="$QS_SOURCE_DIR" \
	-DQUILLSTEAD_STAGING_DIR="$scratch/staging" -DQUILLSTEAD_SBINDIR=sbin -DQUILLSTEAD_SYSCONFDIR=etc \
	-DQUILLSTEAD_SYSTEMD_UNITDIR=lib/systemd/system -DQUILLSTEAD_SERVICE=rc.d \
	-P "$QS_SOURCE_DIR/cmake/install_prefixed.cmake" >"$scratch/install.log" 2>&1 ||
	{ cat "$scratch/install.log" >&2; fail "installing the rc.d script"; }
installed="$prefix/etc/rc.d/quillstead"
expect_file "$installed" 755
sh -n "$installed" || fail "sh -n $installed"
[ ! -e "$prefix/lib/systemd" ] || fail "a FreeBSD install got a systemd unit"

# rc.subr stand-in: load_rc_config reads the test's rc.conf, run_rc_command
# prints what the real one would act on.
cat >"$scratch/rc.subr" <<'STUB'
load_rc_config() {
	if [ -f "$RC_CONF" ]; then . "$RC_CONF"; fi
}
run_rc_command() {
	printf 'action=%s\n' "$1"
	printf 'rcvar=%s\n' "$rcvar"
	printf 'command=%s\n' "$command"
	printf 'procname=%s\n' "$procname"
	printf 'pidfile=%s\n' "$pidfile"
	printf 'required_files=%s\n' "$required_files"
	printf 'command_args=%s\n' "$command_args"
	printf 'extra_commands=%s\n' "$extra_commands"
	printf 'sig_reload=%s\n' "$sig_reload"
	printf 'start_precmd=%s\n' "$start_precmd"
	printf 'reload_precmd=%s\n' "$reload_precmd"
	printf 'configtest_cmd=%s\n' "$configtest_cmd"
	if [ "$1" = configtest ]; then "$configtest_cmd"; fi
}
STUB
sed 's#^\. /etc/rc\.subr$#. "$RC_SUBR"#' "$installed" >"$scratch/quillstead.rc"
grep -q 'RC_SUBR' "$scratch/quillstead.rc" || fail "the script does not source /etc/rc.subr"

run_script() {
	RC_SUBR="$scratch/rc.subr" RC_CONF="$1" sh "$scratch/quillstead.rc" start >"$scratch/out" ||
		fail "the rc.d script failed with rc.conf $1"
}

conf="$prefix/etc/quillstead/quillstead.conf"
run_script /nonexistent
expect_line "$scratch/out" "action=start"
expect_line "$scratch/out" "rcvar=quillstead_enable"
expect_line "$scratch/out" "command=/usr/sbin/daemon"
expect_line "$scratch/out" "procname=$prefix/sbin/quillstead"
expect_line "$scratch/out" "pidfile=/var/run/quillstead.pid"
# reload signals the agent (the pid file's process), not daemon(8).
expect_line "$scratch/out" "extra_commands=reload configtest"
# start and reload check the configuration first; configtest runs the check.
expect_line "$scratch/out" "start_precmd=quillstead_configtest"
expect_line "$scratch/out" "reload_precmd=quillstead_configtest"
expect_line "$scratch/out" "configtest_cmd=quillstead_configtest"
expect_line "$scratch/out" "sig_reload=HUP"
expect_line "$scratch/out" "required_files=$conf"
expect_line "$scratch/out" "command_args=-f -p /var/run/quillstead.pid -P /var/run/quillstead.daemon.pid -S -l daemon -s info -T quillstead $prefix/sbin/quillstead -c $conf"

cat >"$scratch/rc.conf" <<'RCCONF'
quillstead_enable="YES"
quillstead_config="/etc/quillstead-lab.conf"
quillstead_logfile="/var/log/quillstead.log"
RCCONF
run_script "$scratch/rc.conf"
expect_line "$scratch/out" "required_files=/etc/quillstead-lab.conf"
expect_line "$scratch/out" "command_args=-f -p /var/run/quillstead.pid -P /var/run/quillstead.daemon.pid -H -o /var/log/quillstead.log $prefix/sbin/quillstead -c /etc/quillstead-lab.conf"

cat >"$scratch/rc.conf" <<'RCCONF'
quillstead_facility="local3"
quillstead_priority="notice"
RCCONF
run_script "$scratch/rc.conf"
expect_line "$scratch/out" "command_args=-f -p /var/run/quillstead.pid -P /var/run/quillstead.daemon.pid -S -l local3 -s notice -T quillstead $prefix/sbin/quillstead -c $conf"

# configtest runs "check" of the installed binary on the configured file;
# a stand-in binary shows the arguments it gets.
mkdir -p "$scratch/bin"
cat >"$scratch/bin/quillstead" <<'BIN'
#!/bin/sh
printf 'checked:%s\n' "$*"
BIN
chmod 755 "$scratch/bin/quillstead"
sed "s#^procname=.*#procname=\"$scratch/bin/quillstead\"#" "$scratch/quillstead.rc" >"$scratch/quillstead.test.rc"
RC_SUBR="$scratch/rc.subr" RC_CONF=/nonexistent sh "$scratch/quillstead.test.rc" configtest >"$scratch/out" ||
	fail "configtest failed"
expect_line "$scratch/out" "checked:-c $conf check"

echo "rc.d script ok"
