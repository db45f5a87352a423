#!/bin/sh
# Installs what is missing, builds tendwell and runs it.
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR="$ROOT/build"
"$ROOT/scripts/build.sh" "$BUILD_DIR" -DTENDWELL_TESTS=OFF -DTENDWELL_BENCH=OFF
"$BUILD_DIR/src/tendwell" -v
