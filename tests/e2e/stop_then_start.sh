# A stop or an abort returns once the daemon has let go of its lock, so a start
# right after it always brings up a new daemon (after an abort, one that adopts
# the tendlets left running).
. "$(dirname "$0")/e2e_lib.sh"

write_conf "$CONF" alpha beta
start_daemon
for round in 1 2 3; do
    run "$CONF" stop
    expect 0 "stop return 0(OK)"
    [ -z "$(lock_holder "$LOCK")" ] || fail "round $round: the lock is still held after stop"
    run "$CONF" start
    [ "$RC" = 0 ] && start_output_ok "$OUT" || fail "round $round: start after stop: $RC '$OUT' $ERR"
done

all_recorded
before=$(live_tendlets | sort)
run "$CONF" abort
expect 0 "abort return 0(OK)"
[ -z "$(lock_holder "$LOCK")" ] || fail "the lock is still held after abort"
run "$CONF" start
expect 0 "begin to start...
start succ..."
[ "$(live_tendlets | sort)" = "$before" ] || fail "tendlets not adopted: $before -> $(live_tendlets)"
stop_daemon
echo "1 passed, 0 failed"
