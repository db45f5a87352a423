# The option and argument matrix, without a daemon.
. "$(dirname "$0")/e2e_lib.sh"

usage() {
    printf 'Usage: %s [OPTIONS] [CONF_PATH] [CMD]\n' "$TW"
    printf 'Startup:\n'
    printf ' -v, --version  : to see the version of this programe\n'
    printf ' -h, --help     : to see how to use this programe\n'
    printf ' -t, --test     : to see how configure is ok or not\n'
    printf ' -c  --change   : change to directory before run this agent\n'
    printf ' -g  --generate : generate a example configure to a file\n'
    printf ' -f  --force    : when tendwell is exit, this option try to operate the process\n'
    printf ' -G  --stdout   : generate a example configure to stdout\n'
    printf 'DESCRIPTION\n'
    printf '\ttendwell is a agent to monitor and control a number of processes depend on your configure\n'
    printf '\tthis process is just work as a slave, however its lifetime is equal to your process\n'
    printf '\nExample:\n'
    printf '\tExample1: tendwell will first start the processes define in /path/to/conf\n'
    printf '\t          and monitor the processes, once exit, it will start the process again\n'
    printf '\ttendwell /pth/to/conf start\n\n'
    printf '\tExample2: tendwell will stop all the processes which monitor by this tendwell\n'
    printf '\ttendwell  /pth/to/conf stop\n\n'
    printf '\tExample3: tendwell will check the processes, and print the status to stdout\n'
    printf '\ttendwell /pth/to/conf check\n\n'
    printf '\tExample4: tendwell will restart the processes\n'
    printf '\ttendwell /pth/to/conf restart\n\n'
    printf '\tExample5: tendwell will reload the processes\n'
    printf '\ttendwell /pth/to/conf reload\n\n'
    printf '\tExample6: tendwell will start a certain process define by --name, this example start process1\n'
    printf '\ttendwell /pth/to/conf start --name process1\n\n'
    printf '\tExample7: tendwell will stop a certain process define by --name, this example stop process1\n'
    printf '\ttendwell /pth/to/conf stop --name process1\n\n'
    printf '\tExample8: tendwell will check a certain process define by --name, this example check process1\n'
    printf '\ttendwell /pth/to/conf check --name process1\n\n'
    printf '\tExample9: tendwell will generate a example configure to stdout or save_conf\n'
    printf '\ttendwell -g ./save_conf\n'
    printf '\ttendwell -G\n'
}
usage >"$T/usage"
same_out() { cmp -s "$T/out" "$1" || fail "output differs from $1: $(diff "$T/out" "$1")"; }

run -h "$CONF" start
[ "$RC" = 0 ] && [ -z "$ERR" ] || fail "-h: $RC $ERR"
same_out "$T/usage"
run --vers
[ "$RC" = 0 ] || fail "--vers exited $RC"
printf ' Version\t:\t1.0.3\n' >"$T/v1"
head -n 1 "$T/out" | cmp -s - "$T/v1" || fail "version line: $OUT"
echo "$OUT" | tail -n 1 | grep -Eq '^ Built date	:	[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}$' ||
    fail "build date line: $OUT"

# Wrong positional counts.
run "$CONF"
{ echo; cat "$T/usage"; } >"$T/usage_nl"
[ "$RC" = 255 ] && [ "$ERR" = "can not parse your input string,please check" ] || fail "one positional: $RC $ERR"
same_out "$T/usage_nl"
run a b c
[ "$RC" = 255 ] && [ "$ERR" = "can not parse your input string,please check:a :b :c " ] || fail "three: $RC $ERR"
same_out "$T/usage_nl"
run
[ "$RC" = 255 ] || fail "no arguments exited $RC"

# Bad options.
for bad in -x "--nosuch" "$CONF stop -n"; do
    run $bad
    [ "$RC" = 1 ] || fail "bad option '$bad' exited $RC"
    { printf "Try \`%s --help' for more information.\n" "$TW"; cat "$T/usage"; } >"$T/try"
    same_out "$T/try"
done

# Configuration path and command.
long=$(printf '%0512d' 0)
run "$long" check
[ "$RC" = 255 ] && [ "$ERR" = "configure name is too long" ] || fail "long path: $RC $ERR"
# A configuration that cannot be read: the system's reason, then the common line.
run "$T/none.conf" check
[ "$RC" = 2 ] && [ "$ERR" = "$T/none.conf: No such file or directory
load conf $T/none.conf failed" ] || fail "missing conf: $RC $ERR"
run "$T" stop
[ "$RC" = 2 ] && [ "$ERR" = "$T: Is a directory
load conf $T failed" ] || fail "directory as conf: $RC $ERR"
write_conf "$CONF" alpha
for cmd in Check START status; do
    run "$CONF" "$cmd"
    [ "$RC" = 2 ] && [ "$ERR" = "unkown operate type:$cmd, try tendwell -h" ] || fail "$cmd: $RC $ERR"
done
run -f "$CONF" stop --name web
expect 22 "stop web return 22(name:web not exist, stop erro.)"
run "$CONF" stop -f --name alpha
expect 0 "stop alpha return 0(OK)"
run "$CONF" stop --force -n alpha
expect 0 "stop alpha return 0(OK)"
# An empty name would mean every tendlet: refused as a bad option.
empty_name_refused() {
    run "$@"
    [ "$RC" = 1 ] && [ -z "$OUT" ] && [ "$ERR" = "empty tendlet name" ] || fail "$*: $RC '$OUT' '$ERR'"
}
for cmd in start stop restart reload abort check; do
    empty_name_refused "$CONF" "$cmd" -n ""
    empty_name_refused "$CONF" "$cmd" --name ""
    empty_name_refused --name= "$CONF" "$cmd"
done

# The example configuration and the configuration test.
mkdir "$T/gen"
cd "$T/gen" || fail "cd"
"$TW" -G | "$TW" -t /dev/stdin >"$T/out" 2>"$T/err"
[ $? = 0 ] && [ "$(cat "$T/out")" = "configure:/dev/stdin is ok..." ] || fail "-G | -t: $(cat "$T/err")"
# Relative directories that do not begin with "." are taken from here.
[ -d "$T/gen/[required]/DIR/to/save/tendwell/data" ] && [ -d "$T/gen/[requird]/path/to/tendwell/log" ] &&
    [ ! -e "$T/gen/[optional]" ] || fail "-t did not create the directories here"
"$TW" -G >"$T/example"
echo stale-and-longer-than-nothing-at-all-really >"$T/gen/example.conf"
run --generate "$T/gen/example.conf" -v
[ "$RC" = 0 ] && [ -z "$OUT" ] || fail "-g: $RC $OUT $ERR"
{ cat "$T/example"; echo; } | cmp -s - "$T/gen/example.conf" || fail "-g differs from -G plus a newline"
grep -q 'name: "your programe1 name"' "$T/example" || fail "example: $(cat "$T/example")"
run -t "$T/gen/example.conf"
expect 0 "configure:$T/gen/example.conf is ok..."
run -g /dev/full
[ "$RC" = 255 ] && [ -n "$ERR" ] || fail "-g /dev/full: $RC $ERR"
"$TW" -G >/dev/full 2>"$T/err"
[ $? = 255 ] && [ -s "$T/err" ] || fail "-G >/dev/full: $(cat "$T/err")"
cd "$T" || fail "cd"

run -t "$T/none.conf"
[ "$RC" = 255 ] && [ -z "$OUT" ] && [ "$ERR" = "open fail:$T/none.conf error,errno:2" ] ||
    fail "-t missing: $RC $ERR"
[ "$(tail -c 1 "$T/err")" = 2 ] || fail "-t open failure ends in a newline"
echo 'tendwell { log_path: "x"' >"$T/syntax.conf"
run -t "$T/syntax.conf"
[ "$RC" = 254 ] && echo "$ERR" | grep -qF "configure:$T/syntax.conf parse error" || fail "-t syntax: $RC $ERR"
echo "tendwell { log_path: \"$T/log\" data_dir: \"$T/data\" }" >"$T/empty.conf"
run -t "$T/empty.conf"
[ "$RC" = 253 ] && echo "$ERR" | grep -qF "configure:$T/empty.conf is not legal" || fail "-t empty: $RC $ERR"
{ cat "$T/empty.conf"; echo 'process { name: "PLAT_ORVANE_DCX" }'; } >"$T/plat.conf"
run -t "$T/plat.conf"
[ "$RC" = 253 ] || fail "-t of a tendlet without a check exited $RC"
write_conf "$T/twice.conf" alpha beta alpha
run -t "$T/twice.conf"
[ "$RC" = 253 ] && [ "$ERR" = "name:alpha is given twice (process 1 and process 3)
configure:$T/twice.conf is not legal" ] || fail "-t of a name given twice: $RC $ERR"
# Directories that exist but this user cannot write: said, not refused, as root
# may start what a user tests.
write_conf "$CONF" alpha
run -t "$CONF"
[ "$RC" = 0 ] || fail "-t as root: $RC $ERR"
chmod 755 "$T"
chmod 644 "$CONF"
copy_binary "$T/bin"
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$T/bin/tendwell" "$@"; }
run_binary as_nobody -t "$CONF"
expect 0 "configure:$CONF is ok..."
[ "$ERR" = "WARNING: data_dir $T/data is not writable by this user: Permission denied
WARNING: log_path $T/log is not writable by this user: Permission denied" ] ||
    fail "-t as nobody: $ERR"

# A client and -t find a relative directory beginning with "." under
# change_directory, and any other in the directory they run in; -c plays no part.
write_conf "$CONF" alpha
sed -i -e 's|^change_directory: .*|change_directory: "sub"|' -e "s|\"$T/log\"|\"clog\"|" \
    -e "s|\"$T/data\"|\"./cdata\"|" "$CONF"
mkdir "$T/here"
cd "$T/here" || fail "cd"
run -c "$T/base" "$CONF" check
[ "$RC" = 1 ] || fail "check without a daemon exited $RC: $OUT $ERR"
rm -r "$T/here/sub/cdata" "$T/here/clog" || fail "check did not create the directories"
run -c "$T/base" -t "$CONF"
[ "$RC" = 0 ] || fail "-t with -c exited $RC: $ERR"
[ -d "$T/here/sub/cdata" ] && [ -d "$T/here/clog" ] || fail "-t did not create the directories"
[ ! -e "$T/base" ] && [ ! -e "$T/sub" ] || fail "directories made where the checks do not look"
cd "$T" || fail "cd"

# 256 tendlets none of which runs: the status must not read as success.
write_conf "$CONF"
i=0
while [ $i -lt 256 ]; do
    echo "process { name: \"t$i\" default_check { start_command: \"true\" } }"
    i=$((i + 1))
done >>"$CONF"
run "$CONF" check -f
[ "$RC" = 255 ] || fail "check of 256 stopped tendlets exited $RC"
[ "$(echo "$OUT" | wc -l)" = 257 ] || fail "check printed $(echo "$OUT" | wc -l) lines"
no_tendlet || fail "tendlets left: $(live_tendlets)"
echo "1 passed, 0 failed"
