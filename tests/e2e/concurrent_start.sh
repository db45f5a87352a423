# Two simultaneous starts give one daemon and one copy of each tendlet.
. "$(dirname "$0")/e2e_lib.sh"

write_conf "$CONF" alpha beta
"$TW" "$CONF" start >"$T/a.out" 2>"$T/a.err" &
first=$!
"$TW" "$CONF" start >"$T/b.out" 2>"$T/b.err" &
second=$!
wait "$first"
rc_a=$?
wait "$second"
rc_b=$?

# One start brings the daemon up. The other either took the same road and saw
# its own daemon lose the lock, or found the lock taken and asked the daemon
# (perhaps before it served its socket): both succeed, each saying so its way.
for who in a b; do
    out=$(cat "$T/$who.out")
    eval rc=\$rc_$who
    [ "$rc" = 0 ] && { start_output_ok "$out" || [ "$out" = "start return:0(OK)" ]; } ||
        fail "start $who exited $rc: $out $(cat "$T/$who.err")"
done

run "$CONF" check
[ "$RC" = 0 ] || fail "check exited $RC: $OUT"
wait_for test "$(our_tendwells | wc -l)" = 1 || fail "daemons: $(our_tendwells)"
daemon=$(lock_holder "$LOCK")
[ "$(our_tendwells)" = "$daemon" ] || fail "the running tendwell $(our_tendwells) is not the lock holder $daemon"
all_recorded
for name in alpha beta; do
    [ "$(tendlet_pids $name | wc -l)" = 1 ] || fail "$name started $(tendlet_pids $name | wc -l) times"
done
[ "$(live_tendlets | wc -l)" = 2 ] || fail "live tendlets: $(live_tendlets)"
stop_daemon
echo "1 passed, 0 failed"
