# Without a daemon: what needs one is refused, stop works in-process, and a
# tendlet started in-process is adopted by the next stop.
. "$(dirname "$0")/e2e_lib.sh"

auth="check tendwell is running or do you have auth."
write_conf "$CONF" alpha beta
# A tendlet that ignores SIGTERM keeps a stop busy until the SIGKILL.
echo "process { name: \"stubborn\" default_check { stop_wait_secs: 3 start_command:" \
    "\"trap '' TERM; echo \$\$ >>$T/run/stubborn.pids; while :; do sleep 1; done\" } }" >>"$CONF"
NAMES="$NAMES stubborn"
start_daemon
# An edit the checks would refuse never locks the user out of the running
# daemon, which keeps what it loaded: only a warning. Run here, the command uses
# those values: refused.
cp "$CONF" "$T/good.conf"
sed -i 's/stop_wait_secs: 5/stop_wait_secs: 100000/' "$CONF"
wide="name:alpha stop_wait_secs:100000 must be between 0 and 86400"
run "$CONF" check
[ "$RC" = 0 ] && [ "$ERR" = "WARNING: $wide" ] || fail "check of an edited configuration: $RC $ERR"
run -f "$CONF" check --name beta
[ "$RC" = 0 ] && [ "$ERR" = "WARNING: $wide" ] || fail "check -f -n of an edited configuration: $RC $ERR"
cp "$T/good.conf" "$CONF"
echo 'status_save_filename: "."' >>"$CONF"
run "$CONF" reload --name beta
[ "$RC" = 0 ] && [ "$ERR" = 'WARNING: status_save_filename:"." names no file' ] ||
    fail "reload of an edited configuration: $RC $ERR"
run "$CONF" abort
expect 0 "abort return 0(OK)"
wait_for no_tendwell || fail "daemon still running after abort"
[ "$(live_tendlets | wc -l)" = 3 ] || fail "abort did not leave the tendlets running"
run "$CONF" stop
expect 11 'stop return 11(status_save_filename:"." names no file)'
[ "$(live_tendlets | wc -l)" = 3 ] || fail "a refused stop stopped tendlets"
cp "$T/good.conf" "$CONF"

run "$CONF" restart
expect 1 "restart return 1($auth)"
run "$CONF" start --name alpha
expect 1 "start alpha return 1($auth)"
run "$CONF" check
expect 1 "check return 1($auth)"

run "$CONF" check -f
[ "$RC" = 0 ] || fail "check -f of adopted tendlets exited $RC: $OUT"
# The in-process stop holds the instance lock throughout: a start meanwhile waits
# for it, and the daemon it then brings up adopts nothing the stop has ended.
"$TW" "$CONF" stop >"$T/stop.out" 2>&1 &
stopper=$!
held_by_stopper() { [ "$(lock_holder "$LOCK")" = "$stopper" ]; }
wait_for held_by_stopper || fail "the in-process stop does not hold the lock"
stubborn=$(last_pid stubborn)
run "$CONF" start
[ "$RC" = 0 ] && start_output_ok "$OUT" || fail "start after the stop's hold: $RC '$OUT' $ERR"
wait "$stopper"
[ $? = 0 ] && [ "$(cat "$T/stop.out")" = "stop return 0(OK)" ] || fail "stop: $(cat "$T/stop.out")"
not alive "$stubborn" || fail "the stop left stubborn $stubborn running"
[ "$(tendlet_pids stubborn | wc -l)" = 2 ] || fail "stubborn started $(tendlet_pids stubborn | wc -l) times"
all_recorded
stop_daemon
no_tendwell || fail "a tendwell process is left: $(our_tendwells)"

old=$(last_pid alpha)
run "$CONF" start --name alpha -f
expect 0 "start alpha return 0(OK)"
wait_for restarted alpha "$old" || fail "alpha not started in-process"
alpha=$(last_pid alpha)
run -f "$CONF" stop --name alpha
expect 0 "stop alpha return 0(OK)"
wait_for not alive "$alpha" || fail "alpha $alpha still runs after stop --name -f"
run "$CONF" stop -f --name alpha
expect 0 "stop alpha return 0(OK)"
no_tendlet || fail "tendlets left: $(live_tendlets)"

# Run here, a command is refused only for the values it uses: an empty
# start_command, which no stop runs, keeps no stop from stopping the others.
start_daemon
run "$CONF" abort
expect 0 "abort return 0(OK)"
sed -i "s|start_command: \"echo \\\$\\\$ >>$T/run/alpha.pids; while :; do sleep 1; done\"|start_command: \"\"|" "$CONF"
grep -q 'start_command: ""' "$CONF" || fail "alpha's command not emptied"
run "$CONF" stop
expect 0 "stop return 0(OK)"
no_tendlet || fail "tendlets left: $(live_tendlets)"

# The values a command run here uses are judged from change_directory, and make
# nothing where it was typed: a client run elsewhere, on a relative data_dir,
# makes there only what the base checks make, the data directory.
cp "$T/good.conf" "$CONF"
sed -i 's|data_dir: "[^"]*"|data_dir: "data"|' "$CONF"
echo 'status_save_filename: "keep/state"' >>"$CONF"
mkdir "$T/elsewhere"
(cd "$T/elsewhere" && "$TW" "$CONF" check -f >"$T/out" 2>&1)
[ -d "$T/elsewhere/data" ] && [ ! -e "$T/elsewhere/data/keep" ] ||
    fail "made where the client ran: $(find "$T/elsewhere")"
echo "1 passed, 0 failed"
