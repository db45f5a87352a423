# A stop of all tendlets reaches every one, whatever another's stop returned, and
# the daemon leaves none running behind it.
. "$(dirname "$0")/e2e_lib.sh"

# A tendlet with a user-defined check, run by the daemon's checks alone, whose stop
# command fails; priority $2.
failing_stop() {
    echo "process { name: \"$1\" priority: $2 user_define_check {" \
        "start_command: \"true\" check_command: \"true\" stop_command: \"false\" } }" >>"$CONF"
}

# Two of them, stopped first (lowest priority first): the stop fails with the first,
# the log names both, and the others are stopped all the same.
write_conf "$CONF" alpha beta gamma
failing_stop u0 -5
failing_stop u1 -6
start_daemon
run "$CONF" stop
expect 19 "stop return 19(name:u1 )"
wait_for no_tendwell || fail "daemon still running after stop"
no_tendlet || fail "tendlets left running: $(live_tendlets)"
for name in u0 u1; do
    grep -q "$name stop failed" "$T/log/tendwell.log" || fail "the log does not name $name"
done

# No wait at all: SIGKILL follows SIGTERM at once, and the stop waits a moment for
# the end.
write_conf "$CONF" alpha beta gamma
sed -i 's/^    stop_wait_secs: 5$/    stop_wait_secs: 0/' "$CONF"
start_daemon
stop_daemon

# A stopped tendlet is continued after its SIGTERM, and handles it at once rather
# than at the SIGKILL nine seconds on.
write_conf "$CONF" alpha
echo "process { name: \"held\" default_check { start_command:" \
    "\"trap 'echo term >$T/run/held.term; exit 0' TERM; echo \$\$ >>$T/run/held.pids;" \
    "while :; do sleep 1; done\" stop_wait_secs: 10 } }" >>"$CONF"
NAMES="$NAMES held"
start_daemon
held=$(last_pid held)
kill -s STOP -- "-$held"
stopped() { [ "$(sed 's/.*) //' "/proc/$held/stat" | cut -c1)" = T ]; }
wait_for stopped || fail "held not stopped"
stop_daemon
[ "$(cat "$T/run/held.term" 2>/dev/null)" = term ] || fail "held did not handle its SIGTERM"
echo "1 passed, 0 failed"
