#!/usr/bin/env bash
# Configures and builds one of the two builds.
#   scripts/build.sh win32 [build-dir]   the i686 Windows deliverables and tests (default build/win32)
#   scripts/build.sh host [build-dir]    the portable modules natively, with sanitizers (build/host)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-win32}
build=${2:-$root/build/$kind}
jobs=$(nproc)
case "$kind" in
win32)
    prefix=${QM_DEPS_PREFIX:-/opt/qm-mingw-deps/current}
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
        -DQM_DEPS_PREFIX="$prefix" -DQM_WERROR=ON >/dev/null
    ;;
host)
    cmake -S "$root" -B "$build" -G Ninja -DQM_WERROR=ON >/dev/null
    ;;
*)
    echo "usage: $0 win32|host [build-dir]" >&2
    exit 2
    ;;
esac
cmake --build "$build" -j"$jobs"
