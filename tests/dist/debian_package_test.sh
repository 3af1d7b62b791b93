#!/bin/sh
# The Debian package built by CPack installs on this machine, its binary
# runs, and removing it takes away everything it installed. Needs root and
# dpkg; it never touches a quillstead package that was installed before.
set -eu
. "$(dirname "$0")/lib.sh"
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
need_tool dpkg
need_tool dpkg-deb
need_tool cpack
need_tool flock
status=$(dpkg-query -W -f='${Status}' quillstead 2>/dev/null || true)
case "$status" in
"" | *" not-installed") ;;
*) skip "dpkg already holds a quillstead package ($status); leaving it alone" ;;
esac
make_scratch

# One run at a time per machine: several build trees may run this check.
exec 9>"${TMPDIR:-/tmp}/quillstead-debian-package-test.lock"
flock -w 600 9 || fail "another package check holds the lock"

installed_by_us=""
cleanup_extra() {
	if [ -n "$installed_by_us" ]; then
		dpkg_retry -P quillstead >/dev/null 2>&1 || echo "could not purge quillstead" >&2
	fi
}

# dpkg refuses to start while apt or another dpkg holds its lock; wait it out.
dpkg_retry() {
	tries=60
	while :; do
		if dpkg "$@" >"$scratch/dpkg.log" 2>&1; then
			return 0
		fi
		if ! grep -qi 'lock' "$scratch/dpkg.log" || [ "$tries" -eq 0 ]; then
			cat "$scratch/dpkg.log" >&2
			return 1
		fi
		tries=$((tries - 1))
		sleep 2
	done
}

cpack --config "$QS_BUILD_DIR/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
	{ cat "$scratch/cpack.log" >&2; fail "cpack"; }
set -- "$scratch"/package/quillstead_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "cpack made no single quillstead .deb"
deb=$1

# The package holds the /usr layout only.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#' >"$scratch/contents"
for path in /usr/sbin/quillstead /usr/share/man/man8/quillstead.8 /usr/share/man/man5/quillstead.conf.5 \
	/etc/quillstead/quillstead.conf.sample /usr/lib/systemd/system/quillstead.service; do
	expect_line "$scratch/contents" "$path"
done
! grep -q '^/usr/local' "$scratch/contents" || fail "the package installs below /usr/local"

installed_by_us=yes
dpkg_retry -i "$deb" || fail "dpkg -i $deb"
dpkg-query -W -f='${Status}' quillstead | grep -q 'install ok installed' || fail "dpkg does not list quillstead as installed"
version=$(/usr/sbin/quillstead -v) || fail "/usr/sbin/quillstead -v failed"
[ "$version" = "quillstead 0.3.1" ] || fail "/usr/sbin/quillstead -v printed '$version'"
expect_line /usr/lib/systemd/system/quillstead.service \
	"ExecStart=/usr/sbin/quillstead -c /etc/quillstead/quillstead.conf"
# Status records go where Debian keeps daemon state.
expect_line /etc/quillstead/quillstead.conf.sample "state_dir = /var/lib/quillstead"
dpkg -L quillstead | grep -v '^/\.$' >"$scratch/files"

dpkg_retry -r quillstead || fail "dpkg -r quillstead"
# Everything the package put in place is gone again; shared directories
# such as /usr/sbin stay.
while IFS= read -r path; do
	if [ -f "$path" ] || [ -L "$path" ]; then fail "dpkg -r left $path"; fi
done <"$scratch/files"
[ ! -e /etc/quillstead ] || fail "dpkg -r left /etc/quillstead"
[ ! -e /usr/share/doc/quillstead ] || fail "dpkg -r left /usr/share/doc/quillstead"

dpkg_retry -P quillstead || fail "dpkg -P quillstead"
installed_by_us=""
if dpkg-query -W quillstead >/dev/null 2>&1; then fail "dpkg still knows quillstead after purge"; fi

echo "Debian package ok"
