#!/usr/bin/env bash
# Runs the service as it would be installed: sets up what a fresh Debian 12 machine needs (as the
# test command does), builds, lays the programs out as an installation (OqtQuillmark.exe with
# the adapter libraries in "Oqt" beside it), registers the stand-ins for the separately installed
# crypto components in the project's Wine session, starts the service under Wine and prints how
# to call it. Ctrl-C stops it by sending the Suicide instruction.
#
#   scripts/run.sh                 as root on Debian 12
#   QM_RUN_SKIP_SETUP=1 ...        skip the package and dependency set-up (already done)
#   QM_BUILD_DIR=<dir> ...         build there (default build/win32, or build/win64 on a machine
#                                  that refuses 32-bit code; the installation goes beside it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# shellcheck source=machine.sh
source scripts/machine.sh

# The i686 deliverables where this machine runs 32-bit code; elsewhere the x86_64 build of the
# same sources, which wine64 runs.
if qm_runs_i386; then
    kind=win32
else
    kind=win64
fi
build=${QM_BUILD_DIR:-$root/build/$kind}
if [ -z "${QM_RUN_DETACHED:-}" ]; then
    echo "run.sh: $(qm_machine_line)"
    echo "run.sh: running the $kind build ($build)"
    [ -n "${QM_RUN_SKIP_SETUP:-}" ] || scripts/setup-deps.sh >/dev/null
    scripts/build.sh "$kind" "$build"
    # The Wine session and the service run in a session of their own, so that a Ctrl-C in the
    # terminal reaches only this shell, which then asks the service to stop by instruction.
    QM_RUN_DETACHED=1 setsid bash "$0" "$@" &
    child=$!
    trap 'kill -TERM "$child" 2>/dev/null' INT TERM
    while kill -0 "$child" 2>/dev/null; do
        wait "$child" || true
    done
    exit 0
fi

# shellcheck source=wine-session.sh
source "$root/scripts/wine-session.sh"
# shellcheck source=qm-install.sh
source "$root/scripts/qm-install.sh"

install=$(dirname "$build")/install
stopped=0
stop() {
    [ "$stopped" = 1 ] && return 0
    stopped=1
    if [ -n "${QM_SERVICE_PID:-}" ] && kill -0 "$QM_SERVICE_PID" 2>/dev/null; then
        echo
        echo "Stopping: sending QuillmarkInstruction_Suicide to OqtQuillmark.exe"
        qm_send "$build" QuillmarkInstruction_Suicide both >/dev/null 2>&1 || true
        if qm_service_wait 20; then
            echo "The service ended with exit code $QM_SERVICE_EXIT."
        else
            echo "The service did not end; stopping the Wine session."
        fi
    fi
    qm_wine_stop
}
trap stop EXIT
trap 'exit 0' INT TERM

qm_wine_start "$build"
qm_install "$build" "$install"
qm_register_standins "$build"
qm_log_ini "$install" 5
qm_service_start "$install" 0

echo_json="{\"FunctionName\":\"QuillmarkEcho\",\"PathID\":\"$QM_GPKI_PATH_ID\",\"minServerVersion\":\"1.0.0.0\"}"
# The command printed for the user: post an echo, then decode the reply's base64 values.
call=$(
    cat <<EOF
P=\$(printf '%s' '$echo_json' | base64 -w0 | sed 's/+/%2B/g; s|/|%2F|g; s/=/%3D/g')
curl -s --cacert '$root/service/certs/root-ecc.pem' -H 'Origin: http://localhost:8080' \\
    --data "Parameter=\$P" https://127.0.0.1:56362/ |
    grep -o '"[A-Za-z]*": "[^"]*"' |
    while IFS='"' read -r _ key _ value _; do echo "\$key = \$(printf '%s' "\$value" | base64 -d)"; done
EOF
)

cat <<EOF

OqtQuillmark is running under Wine (listeners on 127.0.0.1 and [::1], ports ${QM_PORTS[*]}).
  installation: $install
  log:          $(qm_service_log "$install")
  Wine prefix:  $WINEPREFIX

Post an echo and decode the reply:

$call

It answers now:
EOF
bash -c "$call" | sed 's/^/  /'
echo
echo "Press Ctrl-C to stop the service."
while kill -0 "$QM_SERVICE_PID" 2>/dev/null; do
    sleep 0.5
done
echo "The service ended by itself."
