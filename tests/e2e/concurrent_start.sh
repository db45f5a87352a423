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

# One start brings the daemon up. The other either sees it running, or had
# forked a daemon that lost the lock ("start error..."), or asked the daemon
# before it served its socket.
winners=0
for who in a b; do
    eval rc=\$rc_$who
    out=$(cat "$T/$who.out")
    err=$(cat "$T/$who.err")
    case $rc in
        0)
            winners=$((winners + 1))
            start_output_ok "$out" || [ "$out" = "start return:0(OK)" ] || fail "start $who printed: $out"
            ;;
        255) start_begun "$out" && [ "$err" = "start error..." ] || fail "start $who: $out $err" ;;
        1) [ "$out" = "start return:1(connect to unix rpc server fail)" ] || fail "start $who: $out $err" ;;
        *) fail "start $who exited $rc: $out $err" ;;
    esac
done
[ $winners -ge 1 ] || fail "no start succeeded"

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
