#!/bin/sh
# Every shipped configuration is accepted by the agent: started on it, the
# agent reports the expected number of bundles without a warning, and stops
# with status 0 on SIGTERM, as the service definitions expect.
# The agent polls right after start-up, so it runs in a network namespace of
# its own: the example hosts are never contacted. Where no namespace can be
# made (an unprivileged container), it runs on copies whose url and
# target_dir lines point at a closed local port and the scratch directory.
set -eu
. "$(dirname "$0")/lib.sh"
make_scratch

help=$("$QS_BINARY" -h 2>/dev/null | head -n 1) || true
[ "$help" = "quillstead -- configuration bundle pull agent" ] ||
	skip "this build of the agent has no command line yet"

if ! command -v unshare >/dev/null 2>&1; then
	isolate=""
elif unshare -n true 2>/dev/null; then
	isolate="unshare -n"
elif unshare -r -n true 2>/dev/null; then
	isolate="unshare -r -n"
else
	isolate=""
	echo "no network namespace: checking copies with local URLs" >&2
fi

# file name, bundles it defines
cases="
quillstead.conf.sample 1
web-site.conf 1
raw-file.conf 1
basic-auth.conf 1
lab-http.conf 1
demo.conf 2
proxy-farm.conf 2
signed-metadata.conf 1
signed-bundle.conf 1
chunked-site.conf 1
"

for path in "$QS_SOURCE_DIR"/examples/*.conf; do
	name=$(basename "$path")
	printf '%s\n' "$cases" | grep -q "^$name " || fail "examples/$name has no row in this check"
done

agent=""
watchdog=""
cleanup_extra() {
	for pid in $agent $watchdog; do kill -KILL "$pid" 2>/dev/null || true; done
}

# wait_for SECONDS COMMAND...: retry COMMAND every 0.1 s until it succeeds.
wait_for() {
	tries=$(($1 * 10))
	shift
	while ! "$@"; do
		tries=$((tries - 1))
		[ "$tries" -gt 0 ] || return 1
		sleep 0.1
	done
}

mkdir "$scratch/cwd"
while read -r name count; do
	[ -n "$name" ] || continue
	config="$QS_SOURCE_DIR/examples/$name"
	# Status records go to the scratch directory, never the system's; a key
	# path names the publisher's key on a real machine, here the example key
	# shipped beside the configurations.
	sed -e "s#^[[:space:]]*state_dir[[:space:]]*=.*#state_dir = $scratch/state#" \
		-e "s#^[[:space:]]*public_key[[:space:]]*=.*#public_key = $QS_SOURCE_DIR/examples/signed-bundle.pub#" \
		"$config" >"$scratch/$name"
	config="$scratch/$name"
	if [ -z "$isolate" ]; then
		sed -e 's#^[[:space:]]*url[[:space:]]*=.*#url = http://127.0.0.1:1/bundle#' \
			-e "s#^[[:space:]]*target_dir[[:space:]]*=.*#target_dir = $scratch/target#" "$config" >"$scratch/$name.local"
		mv "$scratch/$name.local" "$config"
		! grep 'url' "$config" | grep -v -e '^[;#]' -e '^url = http://127.0.0.1:1/bundle$' ||
			fail "$name: a url line escaped the rewrite"
	fi
	log="$scratch/$name.log"
	loaded="info(config): loaded config from $config: $count bundle(s)"

	(cd "$scratch/cwd" && exec $isolate "$QS_BINARY" -c "$config") </dev/null >"$scratch/$name.out" 2>"$log" &
	agent=$!
	wait_for 10 grep -sFxq -- "$loaded" "$log" || { cat "$log" >&2; fail "$name: no line '$loaded'"; }
	! grep -q '^warning(config)' "$log" || { cat "$log" >&2; fail "$name: configuration warnings"; }

	kill -TERM "$agent"
	# A SIGKILL from the watchdog shows as status 137 below. Stopped early,
	# the watchdog takes its sleep along: no stray process keeps CTest's
	# output pipe open.
	(
		trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
		sleep 20 &
		sleeper=$!
		wait "$sleeper" && kill -KILL "$agent"
	) >/dev/null 2>&1 &
	watchdog=$!
	status=0
	wait "$agent" || status=$?
	agent=""
	kill "$watchdog" 2>/dev/null || true
	wait "$watchdog" 2>/dev/null || true
	watchdog=""
	[ "$status" -eq 0 ] || { cat "$log" >&2; fail "$name: exit status $status after SIGTERM"; }
	expect_line "$log" "info(quillstead): shutdown complete"
done <<CASES
$cases
CASES

# "check" finds no problem in any shipped configuration. Their owners are
# FreeBSD's (www); where this system lacks one, the check runs with user
# and group files that have it, bind-mounted in a mount namespace of its own.
owners=$(sed -n 's/^[[:space:]]*extract_owner[[:space:]]*=[[:space:]]*//p' "$QS_SOURCE_DIR"/examples/*.conf | tr ':' '\n' | sort -u)
missing=""
for owner in $owners; do
	getent passwd "$owner" >/dev/null && getent group "$owner" >/dev/null || missing="$missing $owner"
done
check_prefix=""
if [ -n "$missing" ]; then
	if [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; then
		cp /etc/passwd "$scratch/passwd"
		cp /etc/group "$scratch/group"
		for owner in $missing; do
			echo "$owner:x:8080:8080::/nonexistent:/usr/sbin/nologin" >>"$scratch/passwd"
			echo "$owner:x:8080:" >>"$scratch/group"
		done
		check_prefix="unshare -m --propagation private"
	else
		echo "no owners $missing here and no mount namespace: web-site.conf is not checked" >&2
	fi
fi
for path in "$QS_SOURCE_DIR"/examples/*.conf "$QS_SOURCE_DIR"/examples/quillstead.conf.sample; do
	name=$(basename "$path")
	[ -n "$check_prefix" ] || [ -z "$missing" ] || [ "$name" != web-site.conf ] || continue
	if grep -q '^[[:space:]]*public_key' "$path"; then
		sed -e "s#^[[:space:]]*public_key[[:space:]]*=.*#public_key = $QS_SOURCE_DIR/examples/signed-bundle.pub#" \
			"$path" >"$scratch/keyed-$name"
		path="$scratch/keyed-$name"
	fi
	# demo.conf is a template: scripts/demo.sh fills in its port and its
	# directory first; "127.0.0.1:@PORT@" names no host.
	if grep -q '@PORT@' "$path"; then
		sed -e 's#@PORT@#8421#g' -e "s#@DEMO@#$scratch#g" "$path" >"$scratch/ported-$name"
		path="$scratch/ported-$name"
	fi
	# The examples name directories of the machine they are written for
	# (FreeBSD's /usr/local/www, /var/db), and check looks at the parents
	# of target_dir and state_dir: those paths move below the scratch
	# directory, where their parents are made, as on that machine.
	sed -e "s#^\([[:space:]]*\(target_dir\|state_dir\|metrics_file\)[[:space:]]*=[[:space:]]*\)/#\1$scratch/fsroot/#" \
		"$path" >"$scratch/rooted-$name"
	path="$scratch/rooted-$name"
	sed -n -e 's/^[[:space:]]*\(target_dir\|state_dir\|metrics_file\)[[:space:]]*=[[:space:]]*//p' "$path" |
		while IFS= read -r dir; do mkdir -p "$(dirname "$dir")"; done
	status=0
	if [ -n "$check_prefix" ]; then
		$check_prefix sh -c 'mount --bind "$0" /etc/passwd && mount --bind "$1" /etc/group && exec "$2" -c "$3" check' \
			"$scratch/passwd" "$scratch/group" "$QS_BINARY" "$path" >"$scratch/check.out" 2>"$scratch/check.err" || status=$?
	else
		"$QS_BINARY" -c "$path" check >"$scratch/check.out" 2>"$scratch/check.err" || status=$?
	fi
	[ "$status" -eq 0 ] || { cat "$scratch/check.out" "$scratch/check.err" >&2; fail "$name: check exit status $status"; }
	expect_line "$scratch/check.out" "configuration ok: $(printf '%s\n' "$cases" | sed -n "s/^$name //p") bundle(s)"
done

echo "example configurations ok"
