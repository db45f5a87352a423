#!/bin/sh
# Installs, with apt-get, the Debian packages tendwell needs to build and test.
# Idempotent: does nothing (and prints nothing) when everything is present.
set -e
# g++ brings, through libgcc-N-dev, the runtimes of the sanitizers the tests are
# built with: libasan, libubsan and libtsan.
PKGS="g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
libthrift-dev thrift-compiler libprotobuf-dev protobuf-compiler
libboost-serialization-dev libcurl4-openssl-dev libjsoncpp-dev libssl-dev
procps"
missing=""
for p in $PKGS; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
