# The common start of the shell tests, read with ". DIR/shell_test_start.sh": unset variables are
# errors, $work is a temporary directory removed at exit, and fail prints its words and ends the
# test with status 1.
set -u
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
