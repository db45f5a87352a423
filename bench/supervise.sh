#!/bin/bash
# Whole-command figures of a daemon keeping N tendlets of "exec sleep", as a user
# sees them: check time beside /bin/true's, footprint, idle cost, start and stop
# of all, stop followed at once by start, stop of tendlets a daemon adopted after
# an abort, and stop of all among many unrelated processes; then the start and
# idle cost of a daemon started under a low hard limit of descriptors, and how
# soon a killed tendlet runs again. Builds nothing; give it the built binary (a
# release build, to measure what users run).
#
#   bench/supervise.sh [path/to/tendwell]
#
# Settings by environment: NS ("50 1000"), CHECK_RUNS (30), IDLE_SECS (30),
# ROUNDS (20), CROWD (5000 unrelated processes), LIMITED_N (500 tendlets; 0 leaves
# the low limit out) under FD_LIMIT (1024 descriptors), KILLS (30; 0 leaves the
# respawn out).
set -u

# Tendlets an abort leaves and daemons that end come to this script, which reaps
# them as init does on a real machine (PID 1 of a container may not).
if [ -z "${TW_BENCH_SUBREAPER:-}" ]; then
    export TW_BENCH_SUBREAPER=1
    # prctl(PR_SET_CHILD_SUBREAPER, 1), which outlives the exec.
    exec perl -e 'syscall(157, 36, 1, 0, 0, 0) == 0 or die "prctl: $!\n"; exec @ARGV or die' \
        /bin/bash "$0" "$@"
fi

TW=$(readlink -f "${1:-build/src/tendwell}")
NS=${NS:-"50 1000"}
CHECK_RUNS=${CHECK_RUNS:-30}
IDLE_SECS=${IDLE_SECS:-30}
ROUNDS=${ROUNDS:-20}
KILLS=${KILLS:-30}
LIMITED_N=${LIMITED_N:-500}
FD_LIMIT=${FD_LIMIT:-1024}
CROWD=${CROWD:-5000}

[ -x "$TW" ] || { echo "no executable at $TW" >&2; exit 2; }

WORK=$(mktemp -d /tmp/tendwell-bench-XXXXXX)
CONF=$WORK/bench.conf
LOCK=$WORK/data/tw.sock.lock

# The leader of the unrelated processes' group while they run.
CROWD_PID=""

cleanup() {
    local pid
    end_crowd
    pid=$(daemon_pid)
    "$TW" "$CONF" stop >/dev/null 2>&1
    if [ -n "$pid" ] && alive "$pid"; then
        kill -9 "$pid" 2>/dev/null
        # The saved process table still names the tendlets: stop them here.
        "$TW" "$CONF" stop >/dev/null 2>&1
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Microseconds since the epoch, without starting a process.
now_us() { local t=${EPOCHREALTIME/./}; echo "$t"; }
ms_since() { echo $(( ($(now_us) - $1) / 1000 )); }

conf_head() {
    echo 'process_tendwell_name: "twbench"'
    echo 'cmd_start_timeo_s: 600'
    echo "tendwell { log_path: \"$WORK/log\" data_dir: \"$WORK/data\" unix_socket_name: \"tw.sock\" }"
}

write_conf() {
    local n=$1 i
    {
        conf_head
        for ((i = 0; i < n; i++)); do
            echo "process { name: \"s$i\" default_check { start_command: \"exec sleep 100000\" } }"
        done
    } >"$CONF"
}

# The pid holding the instance lock, from the kernel's lock table.
daemon_pid() {
    local inode
    inode=$(stat -c %i "$LOCK" 2>/dev/null) || return 0
    awk -v ino="$inode" '$2 != "->" && $6 ~ (":" ino "$") { print $5; exit }' /proc/locks
}

# Succeeds once check reports every tendlet running, polling for up to $1 seconds.
wait_all_running() {
    local deadline=$(( $(now_us) + $1 * 1000000 ))
    until "$TW" "$CONF" check >/dev/null 2>&1; do
        [ "$(now_us)" -lt "$deadline" ] || return 1
        sleep 0.01
    done
}

# A process that has ended counts as gone even while nobody has reaped it yet.
alive() {
    local stat
    stat=$(cat /proc/"$1"/stat 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

wait_gone() {
    local pid=$1 deadline=$(( $(now_us) + $2 * 1000000 ))
    while alive "$pid"; do
        [ "$(now_us)" -lt "$deadline" ] || return 1
        sleep 0.001
    done
}

# "min M ms, median N ms" of microsecond figures.
min_median() {
    printf '%s\n' "$@" | sort -n | awk \
        '{ v[NR] = $1 } END { printf "min %.2f ms, median %.2f ms", v[1] / 1000, v[int((NR + 1) / 2)] / 1000 }'
}

# Nanoseconds the process has run on a processor, all its threads together.
cpu_ns() {
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }'
}
io_field() { awk -v k="$2:" '$1 == k { print $2 }' /proc/"$1"/io; }

# What the daemon $1 spends over IDLE_SECS with nothing to do.
idle_line() {
    local pid=$1 c0 w0 b0 s0 c1
    c0=$(cpu_ns "$pid"); w0=$(io_field "$pid" wchar); b0=$(io_field "$pid" write_bytes)
    s0=$(io_field "$pid" syscw)
    sleep "$IDLE_SECS"
    c1=$(cpu_ns "$pid")
    awk -v c="$((c1 - c0))" -v s="$IDLE_SECS" \
        -v w="$(( $(io_field "$pid" wchar) - w0 ))" \
        -v b="$(( $(io_field "$pid" write_bytes) - b0 ))" \
        -v k="$(( $(io_field "$pid" syscw) - s0 ))" \
        'BEGIN { printf "  idle %d s: CPU %.4f %% of a core, %d write calls, %d bytes written, %d bytes to storage\n", s, c / (s * 1e7), k, w, b }'
}

bench_n() {
    local n=$1 t0 pid start_ms all_ms
    write_conf "$n"
    rm -rf "$WORK/data" "$WORK/log"
    echo "N=$n"

    t0=$(now_us)
    "$TW" "$CONF" start >"$WORK/start.out" 2>&1 &
    local starter=$!
    if ! wait_all_running 600; then
        echo "  tendlets did not all run within 600 s"; return 1
    fi
    all_ms=$(ms_since "$t0")
    wait "$starter"
    start_ms=$(ms_since "$t0")
    echo "  start until all run: $all_ms ms (the start command returned after $start_ms ms)"

    # /bin/true in the same loop, one run after each check, is what starting any
    # command from here costs: the machine's load moves both alike.
    local times=() bare=() i
    for ((i = 0; i < CHECK_RUNS; i++)); do
        t0=$(now_us)
        "$TW" "$CONF" check >/dev/null 2>&1
        times+=($(( $(now_us) - t0 )))
        t0=$(now_us)
        /bin/true >/dev/null 2>&1
        bare+=($(( $(now_us) - t0 )))
    done
    echo "  check: $(min_median "${times[@]}"); /bin/true: $(min_median "${bare[@]}") ($CHECK_RUNS runs each)"

    pid=$(daemon_pid)
    sleep 2
    echo "  daemon: PSS $(awk '/^Pss:/ { print $2 }' /proc/"$pid"/smaps_rollup) kB," \
         "$(awk '/^Threads:/ { print $2 }' /proc/"$pid"/status) threads"

    idle_line "$pid"

    t0=$(now_us)
    "$TW" "$CONF" stop >/dev/null 2>&1
    local stop_ms gone_ms
    stop_ms=$(ms_since "$t0")
    wait_gone "$pid" 60
    gone_ms=$(ms_since "$t0")
    echo "  stop of all: $stop_ms ms (the daemon had gone after $gone_ms ms)"

    local ok=0 out failed=""
    "$TW" "$CONF" start >/dev/null 2>&1 && wait_all_running 600
    for ((i = 0; i < ROUNDS; i++)); do
        "$TW" "$CONF" stop >/dev/null 2>&1
        if out=$("$TW" "$CONF" start 2>&1); then
            ok=$((ok + 1))
        else
            [ -n "$failed" ] || failed=$(echo "$out" | sort | uniq -c | tr -s ' \n' ' ')
            # The start went to the daemon still stopping: start once it has gone.
            pid=$(daemon_pid)
            [ -z "$pid" ] || wait_gone "$pid" 60
            "$TW" "$CONF" start >/dev/null 2>&1
        fi
        wait_all_running 600 || break
    done
    echo "  stop then at once start: $ok of $ROUNDS started${failed:+ (a failed one printed:$failed)}"
    "$TW" "$CONF" stop >/dev/null 2>&1
    pid=$(daemon_pid)
    [ -z "$pid" ] || wait_gone "$pid" 60
}

# Sleeps $1 seconds without starting a process: a read that nothing answers.
pause() { read -r -t "$1" -u "$TICK"; }

# Respawn: a long-running tendlet, killed with SIGKILL KILLS times, each time once
# its retry gap (1 s) has surely passed; the time until its next run has written
# its pid.
bench_respawn() {
    local pidfile=$WORK/respawn.pid old new t0 i wait_ms times=()
    {
        conf_head
        echo "process { name: \"r\" default_check { start_command: \"echo \$\$ > $pidfile.new && mv $pidfile.new $pidfile; exec sleep 100000\" start_retry_times: 1000000 } }"
    } >"$CONF"
    rm -rf "$WORK/data" "$WORK/log" "$pidfile"
    "$TW" "$CONF" start >/dev/null 2>&1 && wait_all_running 60 || {
        echo "  respawn: the tendlet did not run"; return 1
    }
    mkfifo "$WORK/tick" && exec {TICK}<>"$WORK/tick"
    for ((i = 0; i < KILLS; i++)); do
        read -r old <"$pidfile"
        # The gap counts whole seconds from the start: 1.1 s covers it; the rest,
        # up to a second, spreads the kills over the daemon's period.
        wait_ms=$(( 1100 + RANDOM % 1000 ))
        pause "$(( wait_ms / 1000 )).$(printf %03d $(( wait_ms % 1000 )))"
        t0=$(now_us)
        kill -9 "$old"
        new=$old
        until [ "$new" != "$old" ]; do
            if [ $(( $(now_us) - t0 )) -gt 10000000 ]; then
                echo "  respawn: no new run within 10 s"; break 2
            fi
            pause 0.0005
            read -r new <"$pidfile"
        done
        times+=($(( $(now_us) - t0 )))
    done
    exec {TICK}>&-
    printf '%s\n' "${times[@]}" | sort -n | awk \
        '{ v[NR] = $1 } END { if (NR) printf "  respawn after SIGKILL: p50 %.1f ms, p95 %.1f ms, max %.1f ms (%d kills)\n", v[int((NR + 1) / 2)] / 1000, v[int((NR * 95 + 99) / 100)] / 1000, v[NR] / 1000, NR }'
    "$TW" "$CONF" stop >/dev/null 2>&1
    local pid
    pid=$(daemon_pid)
    [ -z "$pid" ] || wait_gone "$pid" 60
}

# Starts CROWD sleeping processes in a group of their own, led by the first.
start_crowd() {
    setsid bash -c 'for ((i = 1; i < $1; i++)); do sleep 100000 & done; exec sleep 100000' \
        crowd "$CROWD" </dev/null >/dev/null 2>&1 &
    CROWD_PID=$!
    # Its end is no news: this script reaps it all the same.
    disown "$CROWD_PID"
    local deadline=$(( $(now_us) + 120 * 1000000 ))
    until [ "$(pgrep -c -g "$CROWD_PID")" -ge "$CROWD" ]; do
        [ "$(now_us)" -lt "$deadline" ] || { echo "  the $CROWD processes did not all start"; return 1; }
        sleep 0.1
    done
}

# Kills the group by its leader's pid and waits until none of it is left.
end_crowd() {
    [ -n "$CROWD_PID" ] || return 0
    kill -KILL -- -"$CROWD_PID" 2>/dev/null
    local deadline=$(( $(now_us) + 60 * 1000000 ))
    while kill -0 -- -"$CROWD_PID" 2>/dev/null && [ "$(now_us)" -lt "$deadline" ]; do
        sleep 0.05
    done
    CROWD_PID=""
}

# Starts the daemon with every tendlet, or fails; the start runs under the command
# given, if any.
start_all() {
    "$@" "$TW" "$CONF" start >/dev/null 2>&1
    wait_all_running 600 || { echo "  tendlets did not all run within 600 s"; return 1; }
}

# Prints the milliseconds a stop of all took; returns once the daemon has gone.
timed_stop() {
    local pid t0 ms
    pid=$(daemon_pid)
    t0=$(now_us)
    "$TW" "$CONF" stop >/dev/null 2>&1
    ms=$(ms_since "$t0")
    [ -z "$pid" ] || wait_gone "$pid" 60
    echo "$ms"
}

# Stops of tendlets the daemon did not start itself, and among many processes the
# daemon has nothing to do with.
bench_stops() {
    local n=$1 pid own crowd
    start_all || return 1
    pid=$(daemon_pid)
    "$TW" "$CONF" abort >/dev/null 2>&1
    wait_gone "$pid" 60
    start_all || return 1
    echo "  stop of $n adopted after abort and start: $(timed_stop) ms"

    start_all || return 1
    own=$(timed_stop)
    start_crowd || { end_crowd; return 1; }
    start_all || { end_crowd; return 1; }
    crowd=$(timed_stop)
    end_crowd
    awk -v n="$n" -v k="$CROWD" -v c="$crowd" -v o="$own" 'BEGIN {
        printf "  stop of %d with %d unrelated sleeping processes on the machine: %d ms", n, k, c
        printf " (without them: %d ms, %.2fx)\n", o, c / (o > 0 ? o : 1) }'
}

# A daemon started under a hard limit of FD_LIMIT descriptors, which it cannot
# raise its own beyond: its start and what it spends idle keeping LIMITED_N
# tendlets, which should be what any idle daemon spends.
bench_low_limit() {
    local t0 pid
    write_conf "$LIMITED_N"
    rm -rf "$WORK/data" "$WORK/log"
    echo "N=$LIMITED_N under a hard limit of $FD_LIMIT descriptors"
    t0=$(now_us)
    start_all prlimit --nofile="$FD_LIMIT:$FD_LIMIT" || return 1
    echo "  start until all run: $(ms_since "$t0") ms"
    pid=$(daemon_pid)
    sleep 2
    echo "  daemon: $(ls /proc/"$pid"/fd | wc -l) descriptors open"
    idle_line "$pid"
    echo "  stop of all: $(timed_stop) ms"
}

echo "binary: $TW"
for n in $NS; do
    bench_n "$n"
    bench_stops "$n"
done
if [ "$LIMITED_N" -gt 0 ]; then
    bench_low_limit
fi
if [ "$KILLS" -gt 0 ]; then
    echo "respawn"
    bench_respawn
fi
