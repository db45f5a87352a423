#!/bin/sh
# Installs what is missing, then builds and runs every test twice: with
# AddressSanitizer and UndefinedBehaviorSanitizer (build-test), then with
# ThreadSanitizer (build-tsan). Arguments go to both ctest runs.
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)

# Benchmarks are no tests: neither build compiles them.
BUILD_DIR="$ROOT/build-test"
"$ROOT/scripts/build.sh" "$BUILD_DIR" -DTENDWELL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
    -DTENDWELL_BENCH=OFF
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
(cd "$BUILD_DIR" && ctest --output-on-failure -j "$(nproc)" "$@")

TSAN_DIR="$ROOT/build-tsan"
"$ROOT/scripts/build.sh" "$TSAN_DIR" -DTENDWELL_TSAN=ON -DCMAKE_BUILD_TYPE=Debug \
    -DTENDWELL_BENCH=OFF
# Every report goes to a file of its own (report.PID): a daemon's standard error
# is /dev/null, and a report there must fail the run as much as one in a test
# program. The first report ends its process with status 66. Options given in
# TSAN_OPTIONS come last and win. The reports, and the suppressions, pass through
# a directory every user can reach: a test runs a daemon as another user, and the
# checkout may sit where that user cannot go. They end up in $REPORTS.
REPORTS="$TSAN_DIR/tsan-reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
SHARED=$(mktemp -d /tmp/tendwell-tsan-XXXXXX)
trap 'rm -rf "$SHARED"' EXIT
chmod 1777 "$SHARED"
cp "$ROOT/tests/tsan.supp" "$SHARED/"
TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:atexit_sleep_ms=0\
:suppressions=$SHARED/tsan.supp:log_path=$SHARED/report${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
export TSAN_OPTIONS
# GCC's ThreadSanitizer knows the address layout only of kernels that randomise
# mappings with at most 28 bits; elsewhere the tests run without randomisation.
NO_RANDOM=""
if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 28)" -gt 28 ]; then
    NO_RANDOM="setarch $(uname -m) -R"
fi
status=0
(cd "$TSAN_DIR" && $NO_RANDOM ctest --output-on-failure -j "$(nproc)" "$@") || status=$?
for report in "$SHARED"/report.*; do
    [ -e "$report" ] || continue
    mv "$report" "$REPORTS/"
    report="$REPORTS/${report##*/}"
    echo "ThreadSanitizer report ($report):"
    cat "$report"
    [ "$status" -ne 0 ] || status=1
done
exit "$status"
