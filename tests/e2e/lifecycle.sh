# Start through a pipe under umask 000, check, restart of a killed tendlet, stop.
. "$(dirname "$0")/e2e_lib.sh"

umask 000
# A name given twice: the later entry is kept, with a warning in the log.
write_conf "$CONF" gamma alpha beta alpha

{
    "$TW" "$CONF" start
    echo $? >"$T/start.rc"
} | cat >"$T/start.out"
[ "$(cat "$T/start.rc")" = 0 ] || fail "start exited $(cat "$T/start.rc")"
start_output_ok "$(cat "$T/start.out")" || fail "start printed: $(cat "$T/start.out")"
all_recorded
grep -qF "name:alpha is given twice (process 2 and process 4), the later one is kept" "$T/log/tendwell.log" ||
    fail "no warning of the name given twice"

daemon=$(lock_holder "$LOCK")
[ -n "$daemon" ] && alive "$daemon" || fail "no daemon holds $LOCK"
title=$(tr '\0' ' ' <"/proc/$daemon/cmdline")
case $title in "tendwell: tarn [1.0.3] [$T]"*) ;; *) fail "daemon title: $title" ;; esac
mode_is() { [ "$(stat -c %a "$1" 2>/dev/null)" = "$2" ]; }
wait_for mode_is "$SOCK" 600 || fail "socket mode $(stat -c %a "$SOCK")"
mode_is "$LOCK" 600 || fail "lock file mode $(stat -c %a "$LOCK")"
mode_is "$T/data/tendwell_process_keeper.save" 600 || fail "state file mode"

run "$CONF" check
[ "$RC" = 0 ] || fail "check exited $RC: $OUT $ERR"
header=$(printf '%-30s\t%-8s\t%-20s\t%-20s' NAME MSG TIME START_CMD)
[ "$(echo "$OUT" | head -n 1)" = "$header" ] || fail "check header: $OUT"
[ "$(echo "$OUT" | awk -F '\t' 'NR > 1 { sub(/ +$/, "", $1); sub(/ +$/, "", $2); print $1 "=" $2 }' |
    tr '\n' ' ')" = "alpha=running beta=running gamma=running " ] || fail "check rows: $OUT"
echo "$OUT" | grep -qF "while :; do sleep 1; done" || fail "no start command in: $OUT"

old=$(last_pid beta)
kill -s KILL -- "-$old"
wait_for restarted beta "$old" || fail "beta not restarted after kill"
[ "$(tendlet_pids alpha | wc -l)" = 1 ] || fail "alpha started more than once"
wait_for all_running || fail "beta not seen running again"

run "$CONF" stop
expect 0 "stop return 0(OK)"
wait_for not alive "$daemon" || fail "daemon $daemon still running after stop"
wait_for no_tendwell || fail "tendwell processes left: $(our_tendwells)"
no_tendlet || fail "tendlets left: $(live_tendlets)"
[ ! -e "$SOCK" ] || fail "socket left behind"
[ ! -e "$LOCK" ] || fail "lock file left behind"
[ -e "$T/end.marker" ] || fail "end_cmd did not run"
echo "1 passed, 0 failed"
