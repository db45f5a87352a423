# The daemon's socket, lock file and state file removed or replaced while it runs
# (a cleaner, a removed directory): it puts them back at once, so no second daemon
# comes up, and a start racing the removal never leaves two copies of a tendlet;
# a file at the socket path is named as such and never removed; a lock that
# another program takes in the daemon's place does not make the daemon leave.
# ($2 plays the other program.)
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

# A start right after each removal, whichever daemon wins: one daemon, one copy of
# each tendlet.
live_copies() {
    n=0
    for p in $(tendlet_pids "$1"); do alive "$p" && n=$((n + 1)); done
    echo $n
}
one_of_each() {
    [ "$(our_tendwells | wc -l)" = 1 ] || return 1
    for name in alpha beta; do [ "$(live_copies $name)" = 1 ] || return 1; done
}
round=0
while [ $round -lt 10 ]; do
    # The daemon may put a file back before rm is done with the directory.
    rm -rf "$T/data" 2>/dev/null
    "$TW" "$CONF" start >"$T/out" 2>&1
    wait_for one_of_each || fail "round $round: daemons $(our_tendwells | wc -l)," \
        "copies of alpha $(live_copies alpha), of beta $(live_copies beta): $(cat "$T/out")"
    round=$((round + 1))
done
all_running || wait_for all_running || fail "not all running after the rounds"
daemon=$(our_tendwells)

# A regular file put where the socket was: every command names it, the daemon never
# removes it, and serves again once the path is free.
echo x >"$T/file"
mv "$T/file" "$SOCK"
not_served() { grep -q "$SOCK is not a socket" "$T/log/tendwell.log"; }
wait_for not_served || fail "the daemon did not see the file at its socket path"
run "$CONF" check
expect 1 "check return 1($SOCK is not a socket)"
run "$CONF" -f check
expect 1 "check return 1($SOCK is not a socket)"
[ "$(cat "$SOCK")" = x ] || fail "the file at the socket path was changed"
rm "$SOCK"
wait_for all_running || fail "not served again once the path was free"
alive "$daemon" || fail "the daemon has gone"

# Another program takes a lock on a file put in place of the lock file: the
# daemon names the file, keeps its tendlets and socket, and stop ends everything.
"$HOLDER" "$LOCK" "$T/ready" replace &
holder=$!
HELPERS=$holder
wait_for test -e "$T/ready" || fail "the other program did not take the lock"
held_elsewhere() { grep -q "lock file $LOCK is held by another process (pid $holder)" "$T/log/tendwell.log"; }
wait_for held_elsewhere || fail "no word of the other holder in the log"
run "$CONF" check
[ "$RC" = 0 ] || fail "check exited $RC: $OUT"
alive "$daemon" || fail "the daemon left for a lock holder that is no daemon"
one_of_each || fail "tendlets not kept: $(live_tendlets)"
run "$CONF" stop
expect 0 "stop return 0(OK)"
wait_for no_tendwell || fail "daemon still running after stop"
no_tendlet || fail "tendlets left: $(live_tendlets)"
[ "$(lock_holder "$LOCK")" = "$holder" ] || fail "the other program's lock file was removed"
kill -KILL "$holder"
wait "$holder"
HELPERS=""

# A state file in a folder of its own: the start makes the folder, and the daemon
# puts it back with the data directory.
write_conf "$CONF" alpha
echo 'status_save_filename: "keep/state"' >>"$CONF"
start_daemon
state=$T/data/keep/state
[ -e "$state" ] || fail "no state file in its folder: $(ls -la "$T/data" 2>&1)"
rm -rf "$T/data"
wait_for files_back || fail "state file not made again in its folder: $(ls -la "$T/data" 2>&1)"
stop_daemon
echo "1 passed, 0 failed"
