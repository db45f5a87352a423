# Start-up failures end with their own status and leave nothing running.
. "$(dirname "$0")/e2e_lib.sh"

# A failing start-up command: reported with its raw wait status, nothing forked.
write_conf "$CONF" alpha
echo 'pre_cmd: "exit 1"' >>"$CONF"
run "$CONF" start
expect 4 "begin to start..."
[ "$ERR" = "exec your pre_cmd(exit 1) fail:256" ] || fail "pre_cmd message: $ERR"
[ ! -e "$T/run/alpha.pids" ] || fail "a tendlet was started"
no_tendwell || fail "a daemon was forked: $(our_tendwells)"

# A configuration the daemon cannot keep: status 3.
write_conf "$CONF" alpha
: >"$T/afile"
sed -i "s|data_dir: .*|data_dir: \"$T/afile\"|" "$CONF"
run "$CONF" start
[ "$RC" = 3 ] || fail "check failure exited $RC"
echo "$ERR" | grep -qF "CheckConfigure fail, check your conf please" || fail "check message: $ERR"
# A stop wait no daemon would ever see the end of.
write_conf "$CONF" alpha
sed -i 's/stop_wait_secs: 5/stop_wait_secs: 2147483647/' "$CONF"
run "$CONF" start
[ "$RC" = 3 ] && echo "$ERR" | grep -qxF "name:alpha stop_wait_secs:2147483647 must be between 0 and 86400" ||
    fail "stop wait of decades: $RC $ERR"
no_tendwell || fail "a daemon was forked: $(our_tendwells)"
# A state file the keeper could never write: one that is the control socket, or a
# directory.
write_conf "$CONF" alpha
echo 'status_save_filename: "tw.sock"' >>"$CONF"
run "$CONF" start
[ "$RC" = 3 ] && [ "$(echo "$ERR" | head -n 1)" = \
    "status_save_filename:\"tw.sock\": $T/data/tw.sock is the control socket $T/data/tw.sock" ] ||
    fail "state file at the socket: $RC $ERR"
write_conf "$CONF" alpha
echo 'status_save_filename: "keep"' >>"$CONF"
mkdir -p "$T/data/keep"
run "$CONF" start
[ "$RC" = 3 ] && [ "$(echo "$ERR" | head -n 1)" = \
    "status_save_filename:\"keep\": $T/data/keep is a directory" ] ||
    fail "state file that is a directory: $RC $ERR"
no_tendwell || fail "a daemon was forked: $(our_tendwells)"

# A log file that cannot be opened: why, before the common line.
write_conf "$CONF" alpha
sed -i 's|^tendwell {|tendwell {\n  log_file_name: "adir"|' "$CONF"
mkdir -p "$T/log/adir"
run "$CONF" start
[ "$RC" = 4 ] && [ "$(echo "$ERR" | tail -n 2)" = "log_path $T/log/adir: Is a directory
init plume fail:$T/log/adir" ] || fail "log file that is a directory: $RC $ERR"
no_tendwell || fail "a daemon was forked: $(our_tendwells)"

# A tendlet with an empty command can never run: the daemon says so in its log
# and keeps the others.
write_conf "$CONF" kept
sed -i 's/^cmd_start_timeo_s: .*/cmd_start_timeo_s: 2/' "$CONF"
echo 'process { name: "blank" default_check { start_command: "" } }' >>"$CONF"
run "$CONF" start
[ "$RC" = 255 ] || fail "start with a blank tendlet: $RC $OUT $ERR"
grep -qF "name:blank start_command is empty, it can never run" "$T/log/tendwell.log" ||
    fail "no warning of the empty command"
all_recorded
stop_daemon

# The -c directory comes first, then a relative change_directory under it.
write_conf "$CONF" alpha
mkdir "$T/sub"
sed -i 's|^change_directory: .*|change_directory: "sub"|' "$CONF"
echo 'pre_cmd: "pwd >../cwd.txt; exit 1"' >>"$CONF"
run -c "$T" "$CONF" start
[ "$RC" = 4 ] && [ "$(cat "$T/cwd.txt")" = "$T/sub" ] || fail "-c then change_directory: $RC $ERR"

# A change directory that does not exist: status 255 before anything else.
write_conf "$CONF" alpha
run -c "$T/nowhere" "$CONF" start
[ "$RC" = 255 ] && [ "$ERR" = "[main]cdir_to $T/nowhere failed, erron:2" ] ||
    fail "bad -c: $RC $ERR"

# A control socket that cannot be served: its directory is missing, or a file
# that is not a socket (a directory that is not empty, a regular file) stands at
# its path. Before anything is forked the start says why and exits 1, and the
# file stays as it was.
socket_conf() {
    write_conf "$CONF" alpha
    sed -i '/^tendwell {/,/^}/d' "$CONF"
    echo "tendwell { log_path: \"$T/log\" data_dir: \"$T/data\" unix_socket_path: \"$1\" $2 }" >>"$CONF"
}
mkdir -p "$T/sockdir/full"
echo precious >"$T/sockfile"
for mode in "" "daemon: false"; do
    for socket in missing/tw.sock sockdir sockfile; do
        case $socket in
            missing/*) why="$T/missing: No such file or directory" ;;
            *) why="$T/$socket is not a socket" ;;
        esac
        socket_conf "$T/$socket" "$mode"
        run "$CONF" start
        [ "$RC" = 1 ] && [ "$OUT" = "begin to start..." ] &&
            [ "$ERR" = "unix socket $T/$socket can't be served: $why" ] ||
            fail "start on socket $socket ($mode): $RC $OUT $ERR"
        no_tendwell || fail "daemon left running: $(our_tendwells)"
    done
done
[ "$(cat "$T/sockfile")" = precious ] && [ -d "$T/sockdir/full" ] || fail "the socket path's file was changed"
[ ! -e "$T/run/alpha.pids" ] || fail "a tendlet was started without a control socket"

# Without the gate program beside the binary: the start says where it looked and
# exits 5 before anything is forked; a start carried out in-process fails alike.
write_conf "$CONF" alpha
copy_binary "$T/bin"
rm "$T/bin/tendwell-gate"
missing="gate program $T/bin/tendwell-gate can't be used: No such file or directory"
run_binary "$T/bin/tendwell" "$CONF" start
[ "$RC" = 5 ] && [ "$OUT" = "begin to start..." ] && [ "$ERR" = "$missing" ] ||
    fail "start without the gate program: $RC $OUT $ERR"
no_tendwell || fail "daemon left running: $(our_tendwells)"
run_binary "$T/bin/tendwell" "$CONF" start --name alpha -f
expect 9 "start alpha return 9($missing)"
[ ! -e "$T/run/alpha.pids" ] || fail "a tendlet was started without the gate program"
echo "1 passed, 0 failed"
