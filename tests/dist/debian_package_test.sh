#!/bin/sh
# The Debian package built by CPack from a build for /usr installs on this
# machine, its binary runs and reads /etc/quillstead/quillstead.conf, and
# removing it takes away everything it installed. Needs root and
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

# Setting NAME of this build's cache, empty when unset.
cache_value() {
	sed -n "s/^$1:[A-Z]*=//p" "$QS_BUILD_DIR/CMakeCache.txt"
}

# A build for another prefix is refused: its agent would look for its
# configuration where the package puts none.
if [ "$(cache_value CMAKE_INSTALL_PREFIX)" != /usr ]; then
	if cpack --config "$QS_BUILD_DIR/CPackConfig.cmake" -B "$scratch/refused" >"$scratch/refused.log" 2>&1; then
		fail "cpack packaged a build configured for $(cache_value CMAKE_INSTALL_PREFIX)"
	fi
	grep -q 'needs a build configured with -DCMAKE_INSTALL_PREFIX=/usr' "$scratch/refused.log" ||
		{ cat "$scratch/refused.log" >&2; fail "cpack refused without saying why"; }
fi

# The package's own build, configured for /usr, kept beside this build so
# that the next run only rebuilds what changed (and the compiler cache
# serves every tree at this depth alike).
deb_build="$QS_BUILD_DIR/debian-package-build"
launcher=$(cache_value CMAKE_CXX_COMPILER_LAUNCHER)
cmake -S "$QS_SOURCE_DIR" -B "$deb_build" -G "$(cache_value CMAKE_GENERATOR)" \
	-DCMAKE_BUILD_TYPE="$(cache_value CMAKE_BUILD_TYPE)" -DCMAKE_INSTALL_PREFIX=/usr \
	-DQUILLSTEAD_TESTS=OFF -DQUILLSTEAD_BENCH=OFF \
	${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" -DCMAKE_C_COMPILER_LAUNCHER="$launcher"} \
	>"$scratch/configure.log" 2>&1 || { cat "$scratch/configure.log" >&2; fail "configuring the /usr build"; }
cmake --build "$deb_build" -j2 >"$scratch/build.log" 2>&1 || { tail -50 "$scratch/build.log" >&2; fail "building for /usr"; }
cpack --config "$deb_build/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
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
# The packaged agent reads /etc/quillstead/quillstead.conf without -c, and
# says so in its help; the package installs only the sample there.
/usr/sbin/quillstead -h | grep -Fq "(default: /etc/quillstead/quillstead.conf)" ||
	fail "/usr/sbin/quillstead -h does not name /etc/quillstead/quillstead.conf"
if [ ! -e /etc/quillstead/quillstead.conf ]; then
	/usr/sbin/quillstead check >"$scratch/check.out" 2>&1 && fail "check passed without a configuration"
	grep -Fq "config file not found: /etc/quillstead/quillstead.conf" "$scratch/check.out" ||
		{ cat "$scratch/check.out" >&2; fail "the packaged agent looked elsewhere"; }
fi
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
