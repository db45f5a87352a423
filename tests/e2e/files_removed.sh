# The daemon's socket, lock file and state file removed or replaced while it runs
# (a cleaner, a removed directory, a restore): it puts them back at once, and its
# claim keeps the instance its own meanwhile, so no second daemon comes up and a
# start racing the removal never leaves two copies of a tendlet; requests waiting
# for an answer are answered; a file at the socket path is named as such and never
# removed; a lock that another program takes in the daemon's place does not make
# the daemon leave; a keeper held while its files go keeps another configuration
# on its state file off, and one whose state file's lock an older process takes
# stands down; the gate program written over or made not runnable changes no
# start of a running daemon. ($2 plays the other program.)
. "$(dirname "$0")/e2e_lib.sh"
HOLDER=$2

write_conf "$CONF" alpha beta
# Its stop takes seconds: SIGTERM is ignored, SIGKILL comes at nine tenths.
cat >>"$CONF" <<EOF
process {
  name: "slow"
  default_check {
    start_command: "trap '' TERM; echo \$\$ >>$T/run/slow.pids; while :; do sleep 1; done"
    stop_wait_secs: 10
  }
}
EOF
NAMES="alpha beta slow"
start_daemon
daemon=$(lock_holder "$LOCK")
state_file=$T/data/tendwell_process_keeper.save
[ -e "$state_file" ] || fail "no state file"
live_copies() {
    n=0
    for p in $(tendlet_pids "$1"); do alive "$p" && n=$((n + 1)); done
    echo $n
}
one_of_each() {
    [ "$(our_tendwells | wc -l)" = 1 ] || return 1
    for name in alpha beta; do [ "$(live_copies $name)" = 1 ] || return 1; done
}

rm -rf "$T/data"
files_back() { [ -S "$SOCK" ] && [ -e "$LOCK" ] && [ -e "$state_file" ]; }
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

# A state file put in place of the daemon's (a restore) gives way to the daemon's
# table, with a word in the log, and the tendlets are kept as before.
cp "$state_file" "$T/restored"
mv "$T/restored" "$state_file"
victim=$(last_pid alpha)
kill -KILL "$victim"
wait_for restarted alpha "$victim" || fail "alpha not started again past a replaced state file"
taken_over() {
    grep -q "state file $state_file was replaced; this daemon's table is written over it" \
        "$T/log/tendwell.log"
}
wait_for taken_over || fail "no word of the replaced state file"

# A socket that another process made in the folder under a name of the form the
# daemon makes its own under is another's: putting the socket back leaves it.
"$HOLDER" bind "$T/data/.tendwell-$daemon.sock" || fail "no socket made"
rm "$SOCK"
wait_for test -S "$SOCK" || fail "no socket put back"
[ -S "$T/data/.tendwell-$daemon.sock" ] || fail "the other process's socket was removed"
rm "$T/data/.tendwell-$daemon.sock"

# A start while the daemon cannot put its files back (stopped here) finds the
# instance claimed, and asks the daemon once it answers: no second daemon serves
# the socket meanwhile, and no tendlet runs twice.
start_beside_held "$daemon" ""
[ "$(our_tendwells)" = "$daemon" ] || fail "daemons: $(our_tendwells), not $daemon alone"
for name in alpha beta slow; do
    [ "$(live_copies $name)" = 1 ] || fail "$name runs $(live_copies $name) times"
done

# A keeper held while its state file's lock, or its whole data_dir, is removed:
# another configuration on the same state file is kept off by the lock the keeper
# still holds, and once the keeper goes on it keeps every tendlet, once.
STATE=$state_file
write_conf "$T/other.conf" gamma
sed -i 's/tw.sock/tw2.sock/' "$T/other.conf"
for what in lock data_dir; do
    kill -STOP "$daemon"
    if [ $what = lock ]; then rm "$STATE.lock"; else rm -rf "$T/data"; fi
    run "$T/other.conf" start
    [ "$RC" = 4 ] && [ "$ERR" = "state file $STATE is kept by process $daemon: give each configuration its own data_dir or status_save_filename" ] ||
        fail "$what: start of another configuration: $RC '$OUT' '$ERR'"
    kill -CONT "$daemon"
    wait_for one_of_each || fail "$what: daemons $(our_tendwells), live: $(live_tendlets)"
    victim=$(last_pid alpha)
    kill -KILL "$victim"
    wait_for restarted alpha "$victim" || fail "$what: alpha not started again"
    [ "$(our_tendwells)" = "$daemon" ] && [ -z "$(tendlet_pids gamma)" ] ||
        fail "$what: daemons $(our_tendwells), gamma $(tendlet_pids gamma)"
done

# A start right after each removal: the daemon keeps its instance; one daemon, one
# copy of each tendlet.
round=0
while [ $round -lt 10 ]; do
    # The daemon may put a file back before rm is done with the directory.
    rm -rf "$T/data" 2>/dev/null
    "$TW" "$CONF" start >"$T/out" 2>&1
    wait_for one_of_each || fail "round $round: daemons $(our_tendwells | wc -l)," \
        "copies of alpha $(live_copies alpha), of beta $(live_copies beta): $(cat "$T/out")"
    [ "$(our_tendwells)" = "$daemon" ] || fail "round $round: the daemon is $(our_tendwells)"
    round=$((round + 1))
done
all_running || wait_for all_running || fail "not all running after the rounds"

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

# Requests that wait for a worker while the socket is put back are answered: the
# round serving them goes on with the new socket. The stop holds a worker and the
# tendlets; of the checks, two wait in workers and two for one.
sockets() { ls -l "/proc/$daemon/fd" 2>/dev/null | grep -c 'socket:'; }
# Idle, the daemon has two: its control socket and its claim.
idle=2
quiet() { [ "$(sockets)" = $idle ]; }
wait_for quiet || fail "the daemon holds $(sockets) sockets"
"$TW" "$CONF" stop --name slow >"$T/slow.out" 2>&1 &
stopper=$!
stopping() { grep -q "slow begin to stop" "$T/log/tendwell.log"; }
wait_for stopping || fail "slow is not being stopped"
checkers=""
for i in 1 2 3 4; do
    "$TW" "$CONF" check >"$T/check$i.out" 2>&1 &
    checkers="$checkers $!"
done
connected() { [ "$(sockets)" -ge $((idle + 5)) ]; }
# A client's look at the claim is a connection for a moment only.
all_connected() { connected && sleep 0.2 && connected; }
wait_for all_connected || fail "the stop and the checks did not all connect: $(sockets) sockets"
rm "$SOCK"
wait "$stopper"
[ "$(cat "$T/slow.out")" = "stop slow return 0(OK)" ] || fail "stop slow: $(cat "$T/slow.out")"
for p in $checkers; do wait "$p"; done
for i in 1 2 3 4; do
    head -n 1 "$T/check$i.out" | grep -q '^NAME' || fail "check $i: $(cat "$T/check$i.out")"
done
wait_for test -S "$SOCK" || fail "no socket put back"

# A stop returns once the daemon holds the instance no more, and a start at once
# brings up a new one, though the lock file is still the other program's.
round=0
while [ $round -lt 5 ]; do
    run "$CONF" stop
    expect 0 "stop return 0(OK)"
    run "$CONF" start
    [ "$RC" = 0 ] && start_output_ok "$OUT" || fail "round $round: start after stop: $RC '$OUT' $ERR"
    wait_for one_of_each || fail "round $round: daemons $(our_tendwells), live: $(live_tendlets)"
    all_running || fail "round $round: not all running"
    round=$((round + 1))
done

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
state_file=$T/data/keep/state
[ -e "$state_file" ] || fail "no state file in its folder: $(ls -la "$T/data" 2>&1)"
rm -rf "$T/data"
wait_for files_back || fail "state file not made again in its folder: $(ls -la "$T/data" 2>&1)"
stop_daemon

# A deploy re-points a link above data_dir and starts at once: the start finds the
# daemon by the path as written, and the daemon follows it there.
mkdir "$T/v1" "$T/v2"
ln -s v1 "$T/cur"
write_conf "$CONF" alpha beta
sed -i "s|$T/data|$T/cur/data|" "$CONF"
start_daemon
round=0
while [ $round -lt 10 ]; do
    ln -sfn "v$((round % 2 + 1))" "$T/cur"
    "$TW" "$CONF" start >"$T/out" 2>&1
    wait_for one_of_each || fail "round $round: daemons $(our_tendwells | wc -l)," \
        "copies of alpha $(live_copies alpha), of beta $(live_copies beta): $(cat "$T/out")"
    round=$((round + 1))
done
stop_daemon

# A keeper whose state file's lock an older process takes stands down: it ends,
# saving nothing and running no end_cmd, and leaves every tendlet running to the
# next daemon, which adopts each once.
write_conf "$CONF" alpha beta
rm -rf "$T/data" "$T/ready" "$T/go" "$T/end.marker" "$T"/run/*.pids
"$HOLDER" "$STATE.lock" "$T/ready" replace "$T/go" &
older=$!
HELPERS=$older
start_daemon
daemon=$(our_tendwells)
touch "$T/go"
wait_for test -e "$T/ready" || fail "the older process took no lock"
wait_for not alive "$daemon" || fail "the daemon did not stand down for an older keeper"
grep -q "state file $STATE is kept by process $older: .*this daemon stands down" "$T/log/tendwell.log" ||
    fail "no word of standing down in the log"
[ ! -e "$T/end.marker" ] || fail "end_cmd ran as the daemon stood down"
[ "$(live_tendlets | wc -l)" = 2 ] || fail "tendlets left running: $(live_tendlets)"
kill -KILL "$older"
wait "$older"
HELPERS=""
start_daemon
for name in alpha beta; do
    [ "$(tendlet_pids $name | wc -l)" = 1 ] || fail "$name started $(tendlet_pids $name | wc -l) times"
done
stop_daemon

# The gate program written over or made not runnable under a daemon started from
# a copy: the daemon goes on starting its tendlets with the gate it checked. The
# first daemon's files, the other program's lock file among them, go first.
rm -rf "$T/data"
write_conf "$CONF" gamma
copy_binary "$T/gatebin"
run_binary "$T/gatebin/tendwell" "$CONF" start
[ "$RC" = 0 ] && start_output_ok "$OUT" || fail "start from the copy: $RC '$OUT' $ERR"
all_recorded
cp /bin/true "$T/gatebin/tendwell-gate"
old=$(last_pid gamma)
kill -KILL "$old"
wait_for restarted gamma "$old" || fail "gamma not started again past a gate written over"
chmod -x "$T/gatebin/tendwell-gate"
old=$(last_pid gamma)
kill -KILL "$old"
wait_for restarted gamma "$old" || fail "gamma not started again past a gate made not runnable"
run_binary "$T/gatebin/tendwell" "$CONF" stop
expect 0 "stop return 0(OK)"
wait_for no_tendwell || fail "daemon still running after stop"
wait_for no_tendlet || fail "tendlets still running after stop: $(live_tendlets)"
echo "1 passed, 0 failed"
