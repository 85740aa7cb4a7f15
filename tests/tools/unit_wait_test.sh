#!/bin/sh
# Runs the unit's ExecStartPre wait as systemd would (after its "$$" to "$" unescaping), with the
# driver paths moved into a temporary directory: it ends at once when both paths exist, and it
# waits for a path that appears later.
# Usage: unit_wait_test.sh UNIT_FILE
. "$(dirname "$0")/shell_test_start.sh"
unit=$1

line=$(sed -n 's/^ExecStartPre=-//p' "$unit")
[ -n "$line" ] || fail "no ExecStartPre line"
# systemd replaces a single "$" by an environment variable; only "$$" reaches the shell.
printf '%s' "$line" | sed 's/\$\$//g' | grep -q '\$' && fail "unescaped \$ in: $line"
command=$(printf '%s' "$line" | sed -e 's/\$\$/$/g' \
    -e "s#/proc/lt6911_info#$work/bridge#g" -e "s#/sys/module/ax_avs#$work/ax_avs#g")

mkdir "$work/bridge" "$work/ax_avs"
start=$(date +%s)
eval "$command" || fail "wait failed with both paths present"
[ $(($(date +%s) - start)) -le 1 ] || fail "wait did not end at once with both paths present"

rmdir "$work/ax_avs"
(sleep 2 && mkdir "$work/ax_avs") &
start=$(date +%s)
eval "$command" || fail "wait failed"
[ $(($(date +%s) - start)) -ge 1 ] || fail "wait did not wait for the media module"
[ -d "$work/ax_avs" ] || fail "wait ended before the media module appeared"
wait
echo "unit wait OK"
