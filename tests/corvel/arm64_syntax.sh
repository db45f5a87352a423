# corvel and its gate program compile for arm64: the cross compiler's syntax check
# over each of their sources. Exits 77 (skipped) where that compiler is missing.
set -u
ROOT=$1
CXX=aarch64-linux-gnu-g++
if ! command -v "$CXX" >/dev/null 2>&1; then
    echo "skipped: $CXX is not installed (Debian package g++-aarch64-linux-gnu)"
    exit 77
fi
status=0
for source in "$ROOT"/corvel/*.cpp "$ROOT"/corvel/gate/*.cpp; do
    "$CXX" -std=c++17 -Wall -Wextra -fsyntax-only -I"$ROOT/include" "$source" || {
        echo "FAIL: $source"
        status=1
    }
done
[ "$status" != 0 ] || echo "corvel compiles for arm64"
exit "$status"
