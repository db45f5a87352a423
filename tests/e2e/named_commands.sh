# Commands on one tendlet, sent to a running daemon, and their result codes.
. "$(dirname "$0")/e2e_lib.sh"

write_conf "$CONF" alpha beta
# The default reload signal, SIGTERM, would end the shell loops: a restart sent
# before the daemon has seen that would find a tendlet gone.
sed -i 's/^    stop_wait_secs: 5$/&\n    reload_signal: 28/' "$CONF"
start_daemon

run "$CONF" check --name nosuch
expect 22 "check nosuch return 22(name:nosuch not exist, check erro.)"
run "$CONF" stop --name nosuch
expect 22 "stop nosuch return 22(name:nosuch not exist, stop erro.)"

first=$(last_pid alpha)
run "$CONF" stop --name alpha
expect 0 "stop alpha return 0(OK)"
not alive "$first" || fail "alpha $first still runs after stop --name"
run "$CONF" check --name alpha
[ "$RC" = 0 ] || fail "check --name exited $RC"
[ "$(echo "$OUT" | wc -l)" = 2 ] || fail "check --name printed: $OUT"
echo "$OUT" | tail -n 1 | grep -q '^alpha  *	stoped  *	' || fail "alpha row: $OUT"
run "$CONF" check
[ "$RC" = 1 ] || fail "check with one tendlet stopped exited $RC: $OUT"

run "$CONF" restart --name alpha
expect 25 "restart alpha return 25(name:alpha not running)"
run "$CONF" abort --name alpha
[ "$RC" = 4 ] && [ "$ERR" = "abort don't support name" ] || fail "abort --name: $RC $ERR"

run "$CONF" start --name alpha
expect 0 "start alpha return 0(OK)"
wait_for restarted alpha "$first" || fail "alpha not started again"
# Reload and restart act only on tendlets the daemon has seen running.
wait_for all_running || fail "alpha not running again"
beta=$(last_pid beta)
run "$CONF" reload --name beta
expect 0 "reload beta return 0(OK)"
alive "$beta" && [ "$(last_pid beta)" = "$beta" ] || fail "beta did not survive its reload"
run "$CONF" start
expect 0 "start return:0(OK)"
run "$CONF" restart
expect 0 "restart return 0(OK)"
wait_for all_running || fail "not every tendlet runs after restart"

# A user who may not enter the data directory: another user's claim is no daemon
# of this user's, and whether one holds the lock file there cannot be told: stop
# and start fail, naming it; nothing is stopped.
cp "$TW" "$T/tendwell"
chmod 755 "$T" "$T/tendwell"
chmod 000 "$T/data"
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$T/tendwell" "$@"; }
root_tw=$TW
TW=as_nobody
why="lock file $LOCK cannot be opened: Permission denied"
run "$CONF" stop
expect 1 "stop return 1($why)"
run "$CONF" start
[ "$RC" = 4 ] && [ -z "$OUT" ] && [ "$ERR" = "$why" ] || fail "start as nobody: $RC '$OUT' '$ERR'"
TW=$root_tw
chmod 755 "$T/data"
all_running || fail "a tendlet was stopped by a user who cannot see the lock"
stop_daemon
echo "1 passed, 0 failed"
