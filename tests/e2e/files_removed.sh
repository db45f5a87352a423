# The daemon's socket, lock file and state file removed while it runs (a cleaner,
# a removed directory): it makes them again, so no second daemon comes up; and a
# daemon that finds another holding the instance by then leaves it to that one.
# ($2 plays the other daemon.)
. "$(dirname "$0")/e2e_lib.sh"
HOLDER=$2

write_conf "$CONF" alpha beta
start_daemon
daemon=$(lock_holder "$LOCK")
state=$T/data/tendwell_process_keeper.save
[ -e "$state" ] || fail "no state file"

rm -rf "$T/data"
files_back() { [ -S "$SOCK" ] && [ -e "$LOCK" ] && [ -e "$state" ]; }
wait_for files_back || fail "socket, lock file or state file not made again: $(ls -la "$T/data" 2>&1)"
[ "$(lock_holder "$LOCK")" = "$daemon" ] || fail "the lock is not the daemon's again"
[ "$(stat -c %a "$SOCK")" = 600 ] || fail "socket mode $(stat -c %a "$SOCK")"
run "$CONF" start
expect 0 "start return:0(OK)"
run "$CONF" check
[ "$RC" = 0 ] || fail "check exited $RC: $OUT"
[ "$(our_tendwells)" = "$daemon" ] || fail "daemons: $(our_tendwells)"
for name in alpha beta; do
    [ "$(tendlet_pids $name | wc -l)" = 1 ] || fail "$name started $(tendlet_pids $name | wc -l) times"
done

# Another daemon holds the instance by the time this one looks: this one leaves,
# its tendlets running, and the saved table lets a later stop end them.
"$HOLDER" "$LOCK" "$T/ready" daemon &
holder=$!
HELPERS=$holder
wait_for test -e "$T/ready" || fail "the other daemon did not take the lock"
wait_for not alive "$daemon" || fail "the daemon stays beside another"
grep -q "another daemon holds the instance lock now" "$T/log/tendwell.log" || fail "no word in the log"
[ "$(live_tendlets | wc -l)" = 2 ] || fail "tendlets not left running: $(live_tendlets)"
[ -e "$LOCK" ] || fail "the leaving daemon removed the other's lock file"
kill -KILL "$holder"
wait "$holder"
run "$CONF" stop
expect 0 "stop return 0(OK)"
no_tendlet || fail "tendlets left: $(live_tendlets)"
echo "1 passed, 0 failed"
