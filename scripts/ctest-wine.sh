#!/usr/bin/env bash
# Runs ctest of a cross build inside a private Wine session.
#   scripts/ctest-wine.sh <build-dir> [ctest arguments...]
# Writes the names of the cases that failed at least once to <build-dir>/ctest-retried.txt.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
shift
# shellcheck source=wine-session.sh
source "$here/wine-session.sh"
trap qm_wine_stop EXIT
qm_wine_start "$build"
# The output is kept so that the test command can name the cases that passed only when run again
# (--repeat until-pass): a retry must never hide a fault.
log=$build/ctest-wine.log
set +e
ctest --test-dir "$build" --output-on-failure "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e
grep -E '^ *([0-9]+/[0-9]+ )?Test +#[0-9]+: ' "$log" | grep -F '***' | grep -vF '***Skipped' |
    sed -E 's/^.*Test +#[0-9]+: ([^ ]+) .*$/\1/' | sort -u >"$build/ctest-retried.txt" || true
exit "$status"
