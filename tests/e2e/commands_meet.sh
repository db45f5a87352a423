# Commands that meet each other: many clients running their command in their own
# process without a daemon, a stop racing them, a link at the lock path and a
# configuration that can be read only once.
. "$(dirname "$0")/e2e_lib.sh"

connect_fail="connect to unix rpc server fail"
write_conf "$CONF" alpha beta

# Without a daemon each check runs here, one after another; none takes another's
# hold of the lock for a daemon.
i=0
pids=""
while [ $i -lt 60 ]; do
    "$TW" -f "$CONF" check >"$T/check.$i" 2>&1 &
    pids="$pids $!:$i"
    i=$((i + 1))
done
for entry in $pids; do
    wait "${entry%:*}"
    rc=$?
    [ "$rc" = 2 ] || fail "check -f ${entry#*:} exited $rc: $(cat "$T/check.${entry#*:}")"
done
! grep -l "$connect_fail" "$T"/check.* || fail "a check took a client's hold for a daemon"
[ ! -e "$LOCK" ] || fail "the checks left the lock file"

# A stop of the tendlets an abort left, racing checks that run here: it waits
# for them, and nothing is left running.
for round in 1 2 3 4 5; do
    start_daemon
    run "$CONF" abort
    expect 0 "abort return 0(OK)"
    wait_for no_tendwell || fail "round $round: daemon still running after abort"
    pids=""
    i=0
    while [ $i -lt 8 ]; do
        "$TW" -f "$CONF" check >"$T/race.$i" 2>&1 &
        pids="$pids $!"
        i=$((i + 1))
    done
    run "$CONF" stop
    expect 0 "stop return 0(OK)"
    for p in $pids; do wait "$p"; done
    ! grep -l "$connect_fail" "$T"/race.* || fail "round $round: a check took a hold for a daemon"
    no_tendlet || fail "round $round: tendlets left: $(live_tendlets)"
done

# A symbolic link at the lock path is refused at once, by start in the foreground
# and by every other command, and neither the link nor its target is touched.
mkdir -p "$T/data"
echo keep >"$T/target"
ln -s "$T/target" "$LOCK"
why="lock file $LOCK is a symbolic link"
run "$CONF" start
[ "$RC" = 4 ] && [ -z "$OUT" ] && [ "$ERR" = "$why" ] || fail "start by a link: $RC '$OUT' '$ERR'"
run "$CONF" check
expect 1 "check return 1($why)"
run -f "$CONF" stop --name alpha
expect 1 "stop alpha return 1($why)"
[ "$(readlink "$LOCK")" = "$T/target" ] && [ "$(cat "$T/target")" = keep ] || fail "link or target changed"
no_tendwell || fail "a tendwell process is left: $(our_tendwells)"
no_tendlet || fail "tendlets started: $(live_tendlets)"
rm "$LOCK"

# A configuration that can be read only once, as from a pipe.
mkfifo "$T/once.conf"
cat "$CONF" >"$T/once.conf" &
writer=$!
HELPERS=$writer
run -f "$T/once.conf" check
[ "$RC" = 2 ] && echo "$OUT" | grep -q "^alpha " || fail "check -f of a pipe: $RC '$OUT' '$ERR'"
wait "$writer"
echo "1 passed, 0 failed"
