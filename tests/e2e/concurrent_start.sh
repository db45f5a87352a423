# Two simultaneous starts give one daemon and one copy of each tendlet; a start
# that meets the instance claimed by another user's process names it and touches
# nothing. ($2 plays that process.)
. "$(dirname "$0")/e2e_lib.sh"
PROBE=$2

write_conf "$CONF" alpha beta
"$TW" "$CONF" start >"$T/a.out" 2>"$T/a.err" &
first=$!
"$TW" "$CONF" start >"$T/b.out" 2>"$T/b.err" &
second=$!
wait "$first"
rc_a=$?
wait "$second"
rc_b=$?

# One start brings the daemon up. The other found the lock taken, or the instance
# claimed once it had begun, and asked the daemon (perhaps before it served its
# socket): both succeed, each saying so its way.
for who in a b; do
    out=$(cat "$T/$who.out")
    eval rc=\$rc_$who
    [ "$rc" = 0 ] && { start_output_ok "$out" || [ "$out" = "start return:0(OK)" ] ||
        [ "$out" = "$(printf 'begin to start...\nstart return:0(OK)')" ]; } ||
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

# Another user's process holds the claim of this socket path: a start names it and
# exits 4, having made not even the data directory.
rm -rf "$T/data"
mkdir -m 777 "$T/shared"
cp "$PROBE" "$T/shared/probe"
chmod 755 "$T" "$T/shared/probe"
claim=tendwell:$(printf '%s' "$(readlink -f "$T")/data/tw.sock" | md5sum | cut -c1-32 | tr a-f A-F)
setpriv --reuid=nobody --regid=nogroup --clear-groups "$T/shared/probe" claim "$claim" \
    "$T/shared/ready" &
holder=$!
HELPERS=$holder
wait_for test -e "$T/shared/ready" || fail "the other user's process holds no claim"
run "$CONF" start
[ "$RC" = 4 ] && [ "$OUT" = "begin to start..." ] &&
    [ "$ERR" = "claim $claim of $SOCK is held by process $holder of user $(id -u nobody)" ] ||
    fail "start beside another user's claim: $RC '$OUT' '$ERR'"
[ ! -e "$T/data" ] && no_tendwell || fail "the start went on: $(ls "$T") $(our_tendwells)"
kill -KILL "$holder"
wait "$holder" 2>/dev/null
echo "1 passed, 0 failed"
