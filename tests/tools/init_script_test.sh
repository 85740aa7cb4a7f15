#!/bin/sh
# Drives the init script through start, status, restart and stop against a stand-in daemon that
# stops on SIGTERM, with every path inside a temporary directory.
# Usage: init_script_test.sh INIT_SCRIPT
. "$(dirname "$0")/shell_test_start.sh"
script=$1

# True when process $1 exists and has not ended (a zombie has ended).
alive() {
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
    [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

mkdir "$work/bridge"
cat >"$work/hdgrab" <<'DAEMON'
#!/bin/sh
trap 'exit 0' TERM INT
trap 'echo reloaded >>"$(dirname "$0")/reloads"' HUP
while :; do sleep 1 & wait $!; done
DAEMON
chmod +x "$work/hdgrab"
cat >"$work/defaults" <<DEFAULTS
DAEMON=$work/hdgrab
PIDFILE=$work/hdgrab.pid
BRIDGE_DIR=$work/bridge
DEFAULTS
export HDGRAB_DEFAULTS="$work/defaults"

sh "$script" status >/dev/null
[ $? -eq 3 ] || fail "status before start is not 3"
sh "$script" start || fail "start failed"
pid=$(cat "$work/hdgrab.pid") || fail "no pid file"
alive "$pid" || fail "daemon not running"
sh "$script" status || fail "status while running is not 0"
sh "$script" start | grep -q "already running" || fail "second start did not notice"
sh "$script" reload || fail "reload failed"
i=0
while [ ! -s "$work/reloads" ] && [ "$i" -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
[ -s "$work/reloads" ] || fail "reload sent no SIGHUP"
alive "$pid" || fail "reload ended the daemon"
sh "$script" restart || fail "restart failed"
new_pid=$(cat "$work/hdgrab.pid") || fail "no pid file after restart"
[ "$new_pid" != "$pid" ] || fail "restart kept the old process"
alive "$pid" && fail "old process survived the restart"
sh "$script" stop || fail "stop failed"
alive "$new_pid" && fail "process survived stop"
[ -e "$work/hdgrab.pid" ] && fail "pid file left behind"
sh "$script" status >/dev/null
[ $? -eq 3 ] || fail "status after stop is not 3"
sh "$script" reload >/dev/null
[ $? -eq 7 ] || fail "reload while stopped is not 7"
sh "$script" bogus 2>/dev/null
[ $? -eq 2 ] || fail "unknown action is not a usage error"
echo "init script OK"
