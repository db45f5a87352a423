# Two simultaneous starts give one daemon and one copy of each tendlet, also when
# one names the state file another way; no command of another configuration acts
# on a running daemon; anything but a regular file at the state file's lock keeps
# every keeper off; a daemon that dies while a start waits for its answer leaves
# its place to it; another user's process that holds the claim's names keeps no
# start off, nor lets a second daemon in. ($2 plays that process.)
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

# One state file has one keeper, whatever names reach it: STATE is the state file,
# kept_by PID what a refusal says of its keeper.
STATE=$T/data/tendwell_process_keeper.save
kept_by() { echo "state file $STATE is kept by process $1: give each configuration its own data_dir or status_save_filename"; }
# A configuration reached by a link, its socket named after the path as written:
# its start is refused, naming the state file, and so is its stop, which stops
# nothing; the daemon alone restarts a killed tendlet.
rm -f "$T"/run/*.pids
write_conf "$CONF" alpha beta
sed -i '/unix_socket_name/d' "$CONF"
ln -s "$CONF" "$T/link.conf"
start_daemon
daemon=$(our_tendwells)
run "$T/link.conf" start
[ "$RC" = 4 ] && [ "$ERR" = "$(kept_by "$daemon")" ] || fail "start of a linked configuration: $RC '$OUT' '$ERR'"
[ "$(our_tendwells)" = "$daemon" ] || fail "daemons beside a linked configuration: $(our_tendwells)"
victim=$(last_pid alpha)
kill -KILL "$victim"
wait_for restarted alpha "$victim" || fail "alpha not started again"
run "$T/link.conf" stop
expect 11 "stop return 11($(kept_by "$daemon"))"
[ "$(tendlet_pids alpha | wc -l)" = 2 ] && [ "$(live_tendlets | wc -l)" = 2 ] ||
    fail "alpha started $(tendlet_pids alpha | wc -l) times; live: $(live_tendlets)"
stop_daemon
rm -f "$T/link.conf"

# A second configuration on the same data_dir and state file name is refused,
# naming the file; with a state file of its own, both run.
write_conf "$T/other.conf" gamma
sed -i 's/tw.sock/tw2.sock/' "$T/other.conf"
write_conf "$CONF" alpha
start_daemon
daemon=$(our_tendwells)
run "$T/other.conf" start
[ "$RC" = 4 ] && [ "$ERR" = "$(kept_by "$daemon")" ] || fail "start of a second configuration: $RC '$OUT' '$ERR'"
[ -z "$(tendlet_pids gamma)" ] || fail "gamma was started"
echo 'status_save_filename: "other.save"' >>"$T/other.conf"
run "$T/other.conf" start
[ "$RC" = 0 ] && start_output_ok "$OUT" || fail "start with a state file of its own: $RC '$OUT' $ERR"
wait_for recorded gamma || fail "gamma recorded no pid"
run "$T/other.conf" stop
expect 0 "stop return 0(OK)"

# A second configuration, which ran before in a data_dir of its own, edited to name
# the socket of a running one: its start is refused, the daemon is untouched.
write_conf "$T/other.conf" gamma
sed -i "s|$T/data|$T/data2|" "$T/other.conf"
run "$T/other.conf" start
[ "$RC" = 0 ] || fail "start of the second configuration alone: $RC '$OUT' $ERR"
run "$T/other.conf" stop
expect 0 "stop return 0(OK)"
sed -i "s|unix_socket_name: \"tw.sock\"|unix_socket_path: \"$SOCK\"|" "$T/other.conf"
gammas=$(tendlet_pids gamma | wc -l)
run "$T/other.conf" start
[ "$RC" = 4 ] && echo "$OUT" | grep -qF "start return:4(daemon $daemon serving $SOCK keeps another configuration" ||
    fail "start on a running one's socket: $RC '$OUT' '$ERR'"
[ "$(our_tendwells)" = "$daemon" ] && all_running || fail "the running daemon was touched: $(our_tendwells) $(live_tendlets); check: $("$TW" "$CONF" check 2>&1)"
[ "$(tendlet_pids gamma | wc -l)" = "$gammas" ] || fail "gamma was started"
# One that never ran, with a data_dir of its own, is refused by every command: the
# daemon that answers holds the lock of another state file beside the socket's.
sed -i "s|$T/data2|$T/data3|" "$T/other.conf"
elsewhere="daemon $daemon serving $SOCK keeps another configuration: state file $T/data3/tendwell_process_keeper.save is kept by no process; give each configuration its own unix_socket_path"
run "$T/other.conf" start
expect 4 "start return:4($elsewhere)"
run "$T/other.conf" check
expect 11 "check return 11($elsewhere)"
run "$T/other.conf" stop --name alpha
expect 11 "stop alpha return 11($elsewhere)"
run "$T/other.conf" stop
expect 11 "stop return 11($elsewhere)"
[ "$(our_tendwells)" = "$daemon" ] && all_running ||
    fail "the daemon was touched by a configuration that never ran: $(our_tendwells) $(live_tendlets)"
stop_daemon

# Anything but a regular file at the state file's lock holds nothing: a start is
# refused naming it, and so is a command that would run here; with a daemon
# running, only another configuration is, and the daemon is reached and stopped
# by its own.
write_conf "$CONF" alpha
for kind in link fifo dir; do
    rm -rf "$T/data"
    mkdir "$T/data"
    case $kind in
    link) ln -s "$T/absent" "$STATE.lock" && why="lock file $STATE.lock is a symbolic link" ;;
    fifo) mkfifo "$STATE.lock" && why="lock file $STATE.lock is not a regular file" ;;
    dir) mkdir "$STATE.lock" && why="lock file $STATE.lock is not a regular file" ;;
    esac
    run "$CONF" start
    [ "$RC" = 4 ] && [ "$ERR" = "$why" ] || fail "$kind: start: $RC '$OUT' '$ERR'"
    run -f "$CONF" stop
    expect 11 "stop return 11($why)"
    no_tendwell && no_tendlet || fail "$kind: something runs: $(our_tendwells) $(live_tendlets)"
done
rm -rf "$T/data"
start_daemon
daemon=$(our_tendwells)
mkfifo "$T/fifo"
mv "$T/fifo" "$STATE.lock"
run "$CONF" check
[ "$RC" = 0 ] || fail "check beside a FIFO at the state file's lock: $RC '$OUT' '$ERR'"
write_conf "$T/second.conf" gamma
sed -i 's/tw.sock/tw2.sock/' "$T/second.conf"
run "$T/second.conf" start
[ "$RC" = 4 ] && [ "$ERR" = "lock file $STATE.lock is not a regular file" ] ||
    fail "start of another configuration beside a FIFO: $RC '$OUT' '$ERR'"
[ "$(our_tendwells)" = "$daemon" ] && [ "$(live_tendlets | wc -l)" = 1 ] ||
    fail "daemons $(our_tendwells), tendlets $(live_tendlets)"
stop_daemon
rm "$STATE.lock"

# A socket path that climbs out of a link with "..": another folder to the
# kernel, so another instance, and both run.
mkdir -p "$T/R/b" "$T/R/x/y"
ln -s "$T/R/x/y" "$T/R/link"
write_conf "$CONF" alpha
sed -i "s|$T/data|$T/R/b/data|" "$CONF"
start_daemon
write_conf "$T/other.conf" gamma
sed -i "s|$T/data|$T/R/link/../b/data|" "$T/other.conf"
run "$T/other.conf" start
[ "$RC" = 0 ] && start_output_ok "$OUT" || fail "start beside .. after a link: $RC '$OUT' $ERR"
run "$T/other.conf" check
[ "$RC" = 0 ] && echo "$OUT" | grep -q '^gamma ' || fail "check beside .. after a link: $RC '$OUT'"
all_running || fail "the first instance does not run"
[ "$(our_tendwells | wc -l)" = 2 ] || fail "daemons: $(our_tendwells)"
run "$T/other.conf" stop
expect 0 "stop return 0(OK)"
stop_daemon

# A daemon that dies while a start waits for its answer leaves its place to that
# start, which adopts every tendlet: one daemon, one copy of each.
rm -f "$T"/run/*.pids
write_conf "$CONF" alpha beta
start_daemon
daemon=$(our_tendwells)
kill -STOP "$daemon"
"$TW" "$CONF" start >"$T/start.out" 2>&1 &
starter=$!
waiting() { [ "$(cat "/proc/$starter/wchan" 2>/dev/null)" = unix_stream_read_generic ]; }
wait_for waiting || fail "the start does not wait for the daemon's answer"
kill -KILL "$daemon"
wait "$starter"
rc=$?
[ $rc = 0 ] && start_output_ok "$(cat "$T/start.out")" ||
    fail "start whose daemon died: $rc $(cat "$T/start.out")"
[ "$(our_tendwells | wc -l)" = 1 ] && all_running || fail "daemons: $(our_tendwells)"
for name in alpha beta; do
    [ "$(tendlet_pids $name | wc -l)" = 1 ] || fail "$name started $(tendlet_pids $name | wc -l) times"
done
stop_daemon

# A start typed in a folder of its own leaves the daemon no descriptor of it (the
# folder could never be unmounted while the daemon runs). A start while the
# daemon stops slowly waits until it is gone, then takes its place: a new daemon,
# every tendlet once.
write_conf "$CONF" alpha beta
cat >>"$CONF" <<EOF
process {
  name: "slow"
  default_check {
    start_command: "trap 'sleep 3; exit 0' TERM; echo \$\$ >>$T/run/slow.pids; while :; do sleep 1; done"
    stop_wait_secs: 10
  }
}
EOF
NAMES="alpha beta slow"
rm -f "$T"/run/*.pids
mkdir "$T/typed"
(cd "$T/typed" && "$TW" "$CONF" start >"$T/out" 2>&1) || fail "start typed elsewhere: $(cat "$T/out")"
all_recorded
daemon=$(our_tendwells)
ls -l "/proc/$daemon/fd" | grep -qF "$T/typed" && fail "the daemon holds the folder the start was typed in"
"$TW" "$CONF" stop >"$T/stop.out" 2>&1 &
stopper=$!
stopping() { grep -q "slow begin to stop" "$T/log/tendwell.log"; }
wait_for stopping || fail "slow is not being stopped"
run "$CONF" start
[ "$RC" = 0 ] && start_output_ok "$OUT" || fail "start during a stop: $RC '$OUT' '$ERR'"
wait "$stopper"
[ $? = 0 ] && [ "$(cat "$T/stop.out")" = "stop return 0(OK)" ] || fail "stop: $(cat "$T/stop.out")"
one_each() {
    [ "$(our_tendwells | wc -l)" = 1 ] || return 1
    for name in $NAMES; do
        n=0
        for p in $(tendlet_pids $name); do alive "$p" && n=$((n + 1)); done
        [ $n = 1 ] || return 1
    done
}
wait_for one_each || fail "after a start during a stop: daemons $(our_tendwells), tendlets $(live_tendlets)"
[ "$(our_tendwells)" != "$daemon" ] || fail "the stopped daemon still runs"
stop_daemon
rm -rf "$T/typed"
write_conf "$CONF" alpha beta

# Another user's processes hold the claim's names, listening or only bound, before
# the start and after a kill -9 of the daemon: no daemon of this user's, so start,
# check, keeping and stop go on, guarded by the lock files; the daemon takes the
# names once they are free. Nothing is left.
mkdir -m 777 "$T/shared"
cp "$PROBE" "$T/shared/probe"
chmod 755 "$T" "$T/shared/probe"
name_of() { echo "tendwell:$(printf '%s' "$1" | md5sum | cut -c1-32 | tr a-f A-F)"; }
names=$(printf '%s\n' "$(name_of "$T/data/tw.sock")" "$(name_of "$(readlink -f "$T")/data/tw.sock")" | sort -u)
squat() {
    squatters=""
    for name in $names; do
        rm -f "$T/shared/ready"
        setpriv --reuid=nobody --regid=nogroup --clear-groups "$T/shared/probe" claim "$name" \
            "$T/shared/ready" $1 &
        squatters="$squatters $!"
        HELPERS=$squatters
        wait_for test -e "$T/shared/ready" || fail "the other user's process holds no name"
    done
}
for mode in listening bound; do
    rm -rf "$T/data" "$T/log" "$T"/run/*.pids
    squat "$mode"
    run "$CONF" start
    [ "$RC" = 0 ] && start_output_ok "$OUT" &&
        echo "$ERR" | grep -qF "WARNING: claim of $SOCK held by no daemon of this user:" ||
        fail "$mode: start beside another user's names: $RC '$OUT' '$ERR'"
    all_recorded
    daemon=$(our_tendwells)
    run "$CONF" check
    [ "$RC" = 0 ] || fail "$mode: check: $RC '$OUT' '$ERR'"
    # Its files removed while it is held: a start finds it by the locks it holds
    # still, and waits for it; no second daemon comes up.
    start_beside_held "$daemon" "$mode: "
    [ "$(our_tendwells)" = "$daemon" ] && [ "$(live_tendlets | wc -l)" = 2 ] ||
        fail "$mode: daemons $(our_tendwells), tendlets $(live_tendlets)"
    victim=$(last_pid alpha)
    kill -KILL "$victim"
    wait_for restarted alpha "$victim" || fail "$mode: alpha not started again"
    kill -KILL "$daemon"
    run "$CONF" start
    [ "$RC" = 0 ] && start_output_ok "$OUT" || fail "$mode: start after kill -9: $RC '$OUT' '$ERR'"
    [ "$(our_tendwells | wc -l)" = 1 ] && all_running || fail "$mode: daemons: $(our_tendwells)"
    for p in $squatters; do kill -KILL "$p"; wait "$p" 2>/dev/null; done
    HELPERS=""
    taken() { [ "$(grep -c 'is free again, taken' "$T/log/tendwell.log")" = "$(echo "$names" | wc -l)" ]; }
    wait_for taken || fail "$mode: the names were not taken once free"
    stop_daemon
done

# With another user's names held, a start against a daemon that is held with its
# socket gone asks it once a second until its time is out, then names it: it
# keeps its descriptors and says "begin to start..." never.
squat listening
sed -i 's/cmd_start_timeo_s: 40/cmd_start_timeo_s: 3/' "$CONF"
start_daemon
daemon=$(our_tendwells)
kill -STOP "$daemon"
rm "$SOCK"
"$TW" "$CONF" start >"$T/start.out" 2>&1 &
starter=$!
most=0
while alive "$starter"; do
    n=$(ls "/proc/$starter/fd" 2>/dev/null | wc -l)
    [ "$n" -gt "$most" ] && most=$n
    sleep 0.05
done
wait "$starter"
rc=$?
[ $rc = 1 ] && [ "$(cat "$T/start.out")" = "start return:1(daemon $daemon holds the instance of $SOCK and does not answer)" ] ||
    fail "start beside a held daemon without its socket: $rc $(head -c 300 "$T/start.out")"
[ "$most" -lt 64 ] || fail "the start held $most descriptors"
kill -CONT "$daemon"
for p in $squatters; do kill -KILL "$p"; wait "$p" 2>/dev/null; done
HELPERS=""
wait_for test -S "$SOCK" || fail "the daemon did not serve its socket again"
stop_daemon

# A user who owns the state file's lock but may not open it (mode 000) cannot be
# kept off by it, nor keep anyone off: the start is refused, naming it.
copy_binary "$T/bin"
rm -rf "$T/data" "$T/log"
mkdir "$T/data" "$T/log"
touch "$STATE.lock"
chmod 000 "$STATE.lock"
chown nobody "$T/data" "$T/log" "$T/run" "$STATE.lock"
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$T/bin/tendwell" "$@"; }
run_binary as_nobody "$CONF" start
[ "$RC" = 4 ] && [ "$ERR" = "lock file $STATE.lock cannot be opened: Permission denied" ] ||
    fail "start as nobody beside a lock file of mode 000: $RC '$OUT' '$ERR'"
no_tendwell && no_tendlet || fail "something runs: $(our_tendwells) $(live_tendlets)"
echo "1 passed, 0 failed"
