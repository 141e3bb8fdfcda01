#!/usr/bin/env bash
# Runs ctest of a cross build inside a private Wine session.
#   scripts/ctest-wine.sh <build-dir> [ctest arguments...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
shift
# shellcheck source=wine-session.sh
source "$here/wine-session.sh"
trap qm_wine_stop EXIT
qm_wine_start "$build"
ctest --test-dir "$build" --output-on-failure "$@"
