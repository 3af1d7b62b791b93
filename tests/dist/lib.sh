# Shared by the installation and packaging checks. Each check is a POSIX sh
# script run by CTest with these variables set:
#   QS_SOURCE_DIR  top of the source tree
#   QS_BUILD_DIR   the build tree (for cmake --install and cpack)
#   QS_BINARY      the built agent
#   QS_MANDIR      man page directory below the prefix (GNUInstallDirs)
# Exit status 77 tells CTest that the check was skipped.

fail() {
	echo "FAIL: $*" >&2
	exit 1
}

skip() {
	echo "SKIP: $*" >&2
	exit 77
}

need_tool() {
	command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed"
}

# A scratch directory removed on every way out. Callers that need more
# cleanup define cleanup_extra, which runs first.
make_scratch() {
	scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillstead-dist-XXXXXX") || fail "mktemp"
	trap 'exit_status=$?; cleanup_extra; rm -rf "$scratch"; exit $exit_status' EXIT
	trap 'exit 1' HUP INT TERM
}

cleanup_extra() {
	:
}

# expect_file PATH [MODE]: PATH is a regular file (with octal MODE if given).
expect_file() {
	[ -f "$1" ] || fail "missing $1"
	if [ -n "${2:-}" ]; then
		mode=$(stat -c %a "$1" 2>/dev/null || stat -f %Lp "$1")
		[ "$mode" = "$2" ] || fail "$1 has mode $mode, expected $2"
	fi
}

# expect_line FILE TEXT: FILE holds a line that is exactly TEXT.
expect_line() {
	grep -Fxq -- "$2" "$1" || fail "$1 lacks the line: $2"
}

: "${QS_SOURCE_DIR:?}" "${QS_BUILD_DIR:?}" "${QS_BINARY:?}" "${QS_MANDIR:?}"
