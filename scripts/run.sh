#!/bin/sh
# Installs what is missing, builds tendwell, starts its daemon on the example
# configuration and shows the status of its tendlets.
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR="$ROOT/build"
"$ROOT/scripts/build.sh" "$BUILD_DIR" -DTENDWELL_TESTS=OFF -DTENDWELL_BENCH=OFF
TW="$BUILD_DIR/src/tendwell"
CONF="$ROOT/conf/example.conf"
# A daemon already running answers the start itself.
"$TW" "$CONF" start
"$TW" "$CONF" check
echo "stop it with: $TW $CONF stop"
