#!/bin/sh
# Installs what is missing, then configures and builds tendwell into $BUILD_DIR.
# Usage: scripts/build.sh BUILD_DIR [extra cmake options...]
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=$1
shift
"$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$BUILD_DIR" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
