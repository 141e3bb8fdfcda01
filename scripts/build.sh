#!/usr/bin/env bash
# Configures and builds one of the builds.
#   scripts/build.sh win32 [build-dir]   i686 Windows: the deliverables and tests (build/win32)
#   scripts/build.sh win64 [build-dir]   x86_64 Windows: the same sources, for the tests on
#                                        machines that run 64-bit code only (build/win64)
#   scripts/build.sh host [build-dir]    the portable modules natively, with sanitizers (build/host)
#   scripts/build.sh linux32 [build-dir] the component-method caller test as an i386 Linux program
#                                        (build/linux32), run natively or under qemu-i386
# The Windows builds take their dependency prefix from /opt/qm-mingw-deps/current-<triplet>
# (scripts/setup-deps.sh) unless QM_DEPS_PREFIX names one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-win32}
build=${2:-$root/build/$kind}
jobs=$(nproc)
# shellcheck source=machine.sh
source "$root/scripts/machine.sh"
cross() { # toolchain triplet list-tests
    local prefix=${QM_DEPS_PREFIX:-/opt/qm-mingw-deps/current-$2}
    QM_DEPS_PREFIX=$prefix cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$1" \
        -DQM_DEPS_PREFIX="$prefix" -DQM_WERROR=ON -DQM_LIST_TESTS="$3" >/dev/null
}
case "$kind" in
win32)
    # Where wine32 can't run, ctest can't list the i686 test programs' cases either.
    if qm_runs_i386; then list=ON; else list=OFF; fi
    cross mingw-i686.cmake i686-w64-mingw32 "$list"
    ;;
win64) cross mingw-x86_64.cmake x86_64-w64-mingw32 ON ;;
host)
    cmake -S "$root" -B "$build" -G Ninja -DQM_WERROR=ON >/dev/null
    ;;
linux32)
    runner=""
    qm_runs_i386 || runner=$(command -v qemu-i386-static)
    cmake -S "$root" -B "$build" -G Ninja -DQM_WERROR=ON -DQM_LINUX32=ON -DQM_SANITIZE=OFF \
        -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DQM_I386_RUNNER="$runner" >/dev/null
    ;;
*)
    echo "usage: $0 win32|win64|host|linux32 [build-dir]" >&2
    exit 2
    ;;
esac
cmake --build "$build" -j"$jobs"
