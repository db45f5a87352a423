# Sourced by every end-to-end test: runs the real binary ($1) on configurations
# in a fresh temporary directory, with shell-loop tendlets that record their pids
# ($2 is a helper for the tests that need one). On exit, whatever way, a trap kills
# by pid every process the test left: the daemons and clients (the binary, or a
# copy of it in the test directory, with the test directory as working directory),
# every recorded tendlet's process group and the helpers whose pids are in
# $HELPERS.

set -u
TW=$1
[ -x "$TW" ] || { echo "FAIL: no binary at $TW" >&2; exit 1; }
TW_REAL=$(readlink -f "$TW")
T=$(mktemp -d /tmp/tendwell-e2e-XXXXXX)
CONF=$T/tendwell.conf
SOCK=$T/data/tw.sock
LOCK=$SOCK.lock

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# True while pid $1 exists and is not a zombie.
alive() {
    [ -r "/proc/$1/stat" ] || return 1
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
    [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# Pids of our live tendwell processes: the binary or a copy_binary copy working in
# the test directory (every test configuration names it as change_directory).
our_tendwells() {
    for d in /proc/[0-9]*; do
        case $(readlink "$d/exe" 2>/dev/null) in
            "$TW_REAL" | "$T"/*/tendwell) ;;
            *) continue ;;
        esac
        [ "$(readlink "$d/cwd" 2>/dev/null)" = "$T" ] || continue
        alive "${d#/proc/}" && echo "${d#/proc/}"
    done
}

# Pid of the process holding the write lock on file $1 (from /proc/locks).
lock_holder() {
    [ -e "$1" ] || return 1
    dev=$(stat -c %d "$1") || return 1
    key=$(printf '%02x:%02x:%s' $(((dev >> 8) & 0xfff)) $(((dev & 0xff) | ((dev >> 12) & 0xfff00))) \
        "$(stat -c %i "$1")")
    awk -v key="$key" '$6 == key && $4 == "WRITE" { print $5; exit }' /proc/locks
}

# The recorded pids of tendlet $1, oldest first, and the latest one.
tendlet_pids() { cat "$T/run/$1.pids" 2>/dev/null; }
last_pid() { tendlet_pids "$1" | tail -n 1; }

# Our recorded tendlet pids that still run.
live_tendlets() {
    for f in "$T"/run/*.pids; do
        [ -e "$f" ] || continue
        for p in $(cat "$f"); do
            if alive "$p" && tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null | grep -qF "$T/run/"; then
                echo "$p"
            fi
        done
    done
}

HELPERS=""
cleanup() {
    for p in $HELPERS $(our_tendwells); do kill -KILL "$p" 2>/dev/null; done
    for p in $(live_tendlets); do
        kill -s KILL -- "-$p" 2>/dev/null
        kill -KILL "$p" 2>/dev/null
    done
    rm -rf "$T"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

# Runs command "$@" until it succeeds or $WAIT_SECS (default 15) seconds pass,
# looking every tenth of a second.
wait_for() {
    end=$(($(date +%s) + ${WAIT_SECS:-15}))
    until "$@"; do
        [ "$(date +%s)" -ge "$end" ] && return 1
        sleep 0.1
    done
}

not() { ! "$@"; }
all_running() { "$TW" "$CONF" check >/dev/null 2>&1; }
no_tendwell() { [ -z "$(our_tendwells)" ]; }
no_tendlet() { [ -z "$(live_tendlets)" ]; }
# Tendlet $1 runs under a pid other than $2.
restarted() { p=$(last_pid "$1"); [ -n "$p" ] && [ "$p" != "$2" ] && alive "$p"; }

# Writes configuration $1 with one tendlet per further argument, named in
# $NAMES; each tendlet is a shell loop that appends its pid to $T/run/NAME.pids.
# Append more top-level fields to the file as needed.
write_conf() {
    conf=$1
    shift
    NAMES="$*"
    mkdir -p "$T/run"
    {
        echo "change_directory: \"$T\""
        echo "tendwell {"
        echo "  log_path: \"$T/log\""
        echo "  data_dir: \"$T/data\""
        echo "  unix_socket_name: \"tw.sock\""
        echo "}"
        echo "cmd_start_timeo_s: 40"
        echo "end_cmd: \"touch $T/end.marker\""
        for name in "$@"; do
            echo "process {"
            echo "  name: \"$name\""
            echo "  default_check {"
            echo "    start_command: \"echo \$\$ >>$T/run/$name.pids; while :; do sleep 1; done\""
            echo "    stop_wait_secs: 5"
            echo "  }"
            echo "}"
        done
    } >"$conf"
}

# Runs the binary with the arguments, keeping standard output, standard error
# and the exit status in $OUT, $ERR and $RC; run_binary runs the binary $1 so.
run() { run_binary "$TW" "$@"; }
run_binary() {
    binary=$1
    shift
    "$binary" "$@" >"$T/out" 2>"$T/err"
    RC=$?
    OUT=$(cat "$T/out")
    ERR=$(cat "$T/err")
}

# Copies the binary and the gate program beside it into directory $1, where
# every user may run them: $1/tendwell.
copy_binary() {
    mkdir -p "$1"
    cp "$TW_REAL" "$(dirname "$TW_REAL")/tendwell-gate" "$1/"
    chmod 755 "$1" "$1/tendwell" "$1/tendwell-gate"
}

# expect STATUS TEXT: the last run exited with STATUS and printed exactly TEXT.
expect() {
    [ "$RC" = "$1" ] || fail "status $RC, expected $1 (out: $OUT; err: $ERR)"
    [ "$OUT" = "$2" ] || fail "output '$OUT', expected '$2' (err: $ERR)"
}

# True when every line of text $1 is a waiting round's report of a tendlet that
# the daemon has started but not yet seen running.
only_progress() {
    [ "$(printf '%s' "$1" | grep -cvE '^[^ ]+ is not running, in (init|starting) status\.\.\.$')" = 0 ]
}

# True when text $1 is what a start prints before its verdict: "begin to
# start...", then only waiting rounds' reports.
start_begun() {
    [ "$(echo "$1" | head -n 1)" = "begin to start..." ] && only_progress "$(echo "$1" | sed 1d)"
}

# True when text $1 is what a successful start prints.
start_output_ok() {
    [ "$(echo "$1" | tail -n 1)" = "start succ..." ] && start_begun "$(echo "$1" | sed '$d')"
}

# True once tendlet $1 has recorded a pid.
recorded() { [ -n "$(last_pid "$1")" ]; }

# Starts the daemon on $CONF and waits until every tendlet in $NAMES runs and
# has recorded its pid.
start_daemon() {
    run "$CONF" start
    [ "$RC" = 0 ] && start_output_ok "$OUT" || fail "start: $RC '$OUT' $ERR"
    all_recorded
}

# Waits until every tendlet in $NAMES has recorded a pid.
all_recorded() {
    for name in $NAMES; do
        wait_for recorded "$name" || fail "$name recorded no pid"
    done
}

# Stops the daemon on $CONF and waits until it and its tendlets are gone.
stop_daemon() {
    run "$CONF" stop
    expect 0 "stop return 0(OK)"
    wait_for no_tendwell || fail "daemon still running after stop"
    wait_for no_tendlet || fail "tendlets still running after stop: $(live_tendlets)"
}

# Holds daemon $1 (SIGSTOP) while the data directory is removed and a start is
# made, then lets it go on: no second daemon may serve the socket meanwhile, and
# the start, answered by the daemon, must print "start return:0(OK)". $2 begins
# each failure's message.
start_beside_held() {
    kill -STOP "$1"
    rm -rf "$T/data"
    "$TW" "$CONF" start >"$T/start.out" 2>&1 &
    starter=$!
    WAIT_SECS=3 wait_for test -S "$SOCK" && fail "${2}a second daemon serves the socket"
    kill -CONT "$1"
    wait "$starter"
    rc=$?
    [ $rc = 0 ] && [ "$(cat "$T/start.out")" = "start return:0(OK)" ] ||
        fail "${2}start beside a held daemon: $rc $(cat "$T/start.out")"
}
