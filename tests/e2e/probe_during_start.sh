# A start that meets another client's momentary hold of the instance lock still
# becomes the daemon ($2: the probe stand-in).
. "$(dirname "$0")/e2e_lib.sh"
PROBE=$2

write_conf "$CONF" alpha
mkdir -p "$T/data"
"$PROBE" "$LOCK" "$T/ready" &
probe=$!
HELPERS=$probe
wait_for test -e "$T/ready" || fail "the probe did not take the lock"
run "$CONF" start
wait "$probe"
[ "$RC" = 0 ] && start_output_ok "$OUT" || fail "start exited $RC: $OUT $ERR"
run "$CONF" check
[ "$RC" = 0 ] || fail "check exited $RC: $OUT"
stop_daemon
echo "1 passed, 0 failed"
