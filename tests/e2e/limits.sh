# A machine's or a container's limits: few descriptors, few processes and threads.
# The daemon takes what it may, fails only the starts it cannot make, keeps
# answering check and stop, and its stop leaves nothing running.
. "$(dirname "$0")/e2e_lib.sh"

names=""
i=1
while [ $i -le 100 ]; do
    names="$names t$i"
    i=$((i + 1))
done
write_conf "$CONF" $names
sed -i 's/^cmd_start_timeo_s: .*/cmd_start_timeo_s: 3/' "$CONF"
# One more tendlet tells the descriptor limit it runs with.
echo "process { name: \"limit\" default_check { start_command:" \
    "\"ulimit -n >$T/run/limit; echo \$\$ >>$T/run/limit.pids; while :; do sleep 1; done\" } }" \
    >>"$CONF"
NAMES="$NAMES limit"

# check answers with the table, its status the count of tendlets not running.
check_answers() {
    run "$CONF" check
    [ "$RC" -ge 1 ] && [ "$RC" -le 101 ] && echo "$OUT" | grep -q "^limit " ||
        fail "$1: check exited $RC: $OUT $ERR"
}

# A soft limit too low for a hundred tendlets under a hard one that is not: the
# daemon raises its own and every tendlet runs, with the low limit of its own.
prlimit --nofile=64:4096 "$TW" "$CONF" start >"$T/out" 2>"$T/err" ||
    fail "start under a low soft limit: $(cat "$T/out" "$T/err")"
all_recorded
[ "$(cat "$T/run/limit")" = 64 ] || fail "a tendlet runs with descriptor limit $(cat "$T/run/limit")"
stop_daemon

# Descriptors that run out: some starts fail, the socket stays served. The
# undefined-behaviour checks read memory through a pipe they make, so a build
# with them cannot run out of descriptors; the other builds can.
if ldd "$TW" | grep -q libubsan; then
    echo "descriptors running out: not in a build with the undefined-behaviour checks"
else
    prlimit --nofile=48:48 "$TW" "$CONF" start >"$T/out" 2>&1
    daemon=$(lock_holder "$LOCK")
    [ -n "$daemon" ] && alive "$daemon" || fail "no daemon under a low descriptor limit: $(cat "$T/out")"
    for round in 1 2 3 4 5; do check_answers "descriptors, round $round"; done
    stop_daemon
fi

# Processes and threads that run out, for a daemon of another user (root has no
# such limit): it goes on, and stop still ends everything. It runs a copy of the
# binary: the build may sit where that user cannot reach.
chmod 755 "$T"
copy_binary "$T/bin"
rm -rf "$T/data" "$T/log"
mkdir "$T/data" "$T/log"
chown nobody "$T/data" "$T/log" "$T/run"
setpriv --reuid=nobody --regid=nogroup --clear-groups prlimit --nproc=60:60 \
    "$T/bin/tendwell" "$CONF" start >"$T/out" 2>&1
daemon=$(lock_holder "$LOCK")
[ -n "$daemon" ] && alive "$daemon" || fail "no daemon under a low process limit: $(cat "$T/out")"
for round in 1 2 3 4 5; do check_answers "processes, round $round"; done
alive "$daemon" || fail "the daemon ended under a low process limit"
stop_daemon
echo "1 passed, 0 failed"
