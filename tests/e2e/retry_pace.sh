# A tendlet that fails at once, with no retry gap, is started again once a period
# (a second here), however often its exits wake the daemon's loop, until its
# retries are spent.
. "$(dirname "$0")/e2e_lib.sh"

write_conf "$CONF" alpha
# The start does not wait for a tendlet that never runs.
sed -i 's/^cmd_start_timeo_s: .*/cmd_start_timeo_s: 1/' "$CONF"
echo "process { name: \"flaky\" default_check { start_command:" \
    "\"date +%s.%N >>$T/run/flaky.times; exit 1\" start_retry_gap_secs: 0 start_retry_times: 4 } }" \
    >>"$CONF"
run "$CONF" start
all_recorded
fatal() { "$TW" "$CONF" check --name flaky | grep -q '^flaky  *	fatal  *	'; }
wait_for fatal || fail "flaky not fatal: $(cat "$T/run/flaky.times" 2>/dev/null)"
[ "$(wc -l <"$T/run/flaky.times")" = 4 ] || fail "not 4 starts: $(cat "$T/run/flaky.times")"
# Four starts span three periods; a run notes its time a moment after its start,
# which a busy machine may stretch for the first: a second is left for that.
span=$(awk 'NR == 1 { first = $1 } END { printf "%d", ($1 - first) * 10 }' "$T/run/flaky.times")
[ "$span" -ge 20 ] || fail "four starts within $span tenths of a second: $(cat "$T/run/flaky.times")"
stop_daemon
echo "1 passed, 0 failed"
