# An aborted daemon leaves its tendlets running; the next daemon adopts them again.
. "$(dirname "$0")/e2e_lib.sh"

write_conf "$CONF" alpha beta
start_daemon
daemon=$(lock_holder "$LOCK")
before=$(live_tendlets | sort)

run "$CONF" abort
expect 0 "abort return 0(OK)"
wait_for not alive "$daemon" || fail "daemon $daemon still running after abort"
[ ! -e "$LOCK" ] && [ ! -e "$SOCK" ] || fail "lock or socket left after abort"
[ "$(live_tendlets | sort)" = "$before" ] || fail "tendlets changed by abort: $before -> $(live_tendlets)"

# The adopted tendlets run from the first look on: nothing else is printed.
run "$CONF" start
expect 0 "begin to start...
start succ..."
run "$CONF" check
[ "$RC" = 0 ] || fail "check after re-adoption exited $RC: $OUT"
[ "$(live_tendlets | sort)" = "$before" ] || fail "tendlets not re-adopted: $before -> $(live_tendlets)"
for name in alpha beta; do
    [ "$(tendlet_pids $name | wc -l)" = 1 ] || fail "$name started again"
done
stop_daemon
echo "1 passed, 0 failed"
