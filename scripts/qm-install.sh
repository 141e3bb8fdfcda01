# shellcheck shell=bash
# Source this file (after scripts/wine-session.sh and qm_wine_start; safe under set -e): lays a build out as an
# installation, registers the stand-in components, starts and stops the service under Wine, and
# speaks the service's wire protocol from the shell. Used by scripts/run.sh, scripts/bench.sh and
# the end-to-end tests.
#
#   qm_install <build-dir> <install-dir>     OqtQuillmark.exe and Oqt\<adapter>.dll beside it
#   qm_register_standins <build-dir>         the build's stand-in components, in this Wine prefix
#   qm_log_ini <install-dir> [level]         OqtQuillmark.ini beside the exe (log in <dir>/log)
#   qm_service_start <install-dir> [arg]     starts it; QM_SERVICE_PID; waits for its start-up
#   qm_service_wait [seconds]                waits for it to end; QM_SERVICE_EXIT
#   qm_service_log <install-dir>             path of today's service log file
#   qm_send <build-dir> <instruction> <mode> sends an instruction to the service (test sender)
#   qm_parameter <json>                      the form value "Parameter=..." for a request
#   qm_reply_value <reply> <key>             a decoded value of a reply

QM_SCRIPTS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
QM_PORTS=(56362 56382 56402)
QM_GPKI_PATH_ID=5D1C0E8A3F6B4E27A9C2D4F1E0B7A653
QM_HCA_PATH_ID=8E2F4B91C7D3460AB5E1F9C27D8A3E14

# A Linux path as Wine sees it (drive Z: maps the root).
qm_winpath() {
    local p
    p=$(readlink -f "$1")
    echo "Z:${p//\//\\}"
}

qm_install() {
    local build=$1 dest=$2 f
    [ -f "$build/service/OqtQuillmark.exe" ] || {
        echo "qm_install: no $build/service/OqtQuillmark.exe" >&2
        return 1
    }
    rm -rf "$dest"
    mkdir -p "$dest/Oqt" "$dest/log"
    cp "$build/service/OqtQuillmark.exe" "$dest/"
    # The adapters as they exist in this build; the service finds them in "Oqt" beside it.
    for f in "$build"/adapters/gpki/OqtTvqGPKICryptXrbAdapter.dll \
        "$build"/adapters/hca/OqtTvqHCAXrbAdapter.dll; do
        [ -f "$f" ] && cp "$f" "$dest/Oqt/"
    done
    return 0
}

# The stand-ins for the separately installed crypto components, registered where the build
# made them (scripts/register-standins.sh).
qm_register_standins() {
    "$QM_SCRIPTS_DIR/register-standins.sh" "$1" >/dev/null
}

qm_log_ini() {
    local dest=$1 level=${2:-5} log
    log="$(qm_winpath "$dest/log")\\OqtQuillmark.log"
    printf '[OqtQuillmark]\r\nLog File=%s\r\nLog Level=%s\r\n' "$log" "$level" \
        >"$dest/OqtQuillmark.ini"
}

qm_service_log() {
    local f
    f=$(ls -t "$1"/log/OqtQuillmark_*.log 2>/dev/null | head -n 1) || true
    echo "${f:-$1/log/none.log}"
}

# Waits until text appears in the service log (or the service ends); seconds as the limit.
qm_wait_log() {
    local dest=$1 text=$2 limit=${3:-30} i
    for ((i = 0; i < limit * 20; i++)); do
        grep -qF -- "$text" "$(qm_service_log "$dest")" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

qm_service_start() {
    local dest=$1 arg=${2:-0} i rc before
    # Only lines written by this start count (the dated log file is shared by every start).
    before=$(cat "$(qm_service_log "$dest")" 2>/dev/null | wc -l) || true
    # A session of its own: a Ctrl-C in the terminal must reach only the caller, which stops the
    # service by instruction.
    setsid wine "$dest/OqtQuillmark.exe" "$arg" >"$dest/service.out" 2>&1 &
    QM_SERVICE_PID=$!
    for ((i = 0; i < 600; i++)); do
        if ! kill -0 "$QM_SERVICE_PID" 2>/dev/null; then
            echo "qm_service_start: the service ended during start-up" >&2
            return 1
        fi
        if [ -f "$dest/OqtQuillmark.ini" ]; then
            # With a log: started once it reports its initialization.
            local since
            since=$(tail -n +"$((before + 1))" "$(qm_service_log "$dest")" 2>/dev/null) || true
            if grep -qF "OqtQuillmark initialization: " <<<"$since"; then
                grep -qF "OqtQuillmark initialization: Success" <<<"$since"
                return $?
            fi
        else
            # Without one: once the first listener completes a TLS handshake (a GET is then
            # closed without a reply: curl's 52).
            rc=0
            curl -sk -o /dev/null --max-time 2 "https://127.0.0.1:${QM_PORTS[0]}/" || rc=$?
            if [ "$rc" = 0 ] || [ "$rc" = 52 ]; then
                return 0
            fi
        fi
        sleep 0.05
    done
    echo "qm_service_start: not started after 30 s" >&2
    return 1
}

# Waits for the service to end; QM_SERVICE_EXIT is then its exit code (or "timeout"). Call it
# from the shell that started the service (not in a subshell: only that shell can wait for it).
qm_service_wait() {
    local limit=${1:-20} i
    QM_SERVICE_EXIT=timeout
    for ((i = 0; i < limit * 20; i++)); do
        if ! kill -0 "$QM_SERVICE_PID" 2>/dev/null; then
            wait "$QM_SERVICE_PID"
            QM_SERVICE_EXIT=$?
            return 0
        fi
        sleep 0.05
    done
    return 1
}

qm_send() {
    local build=$1 instruction=$2 mode=${3:-both}
    shift 3 || shift $#
    wine "$build/tests/support/qm_ipc_sender.exe" --channel OqtQuillmark.exe \
        --instruction "$instruction" --mode "$mode" "$@"
}

qm_parameter() {
    local b64
    b64=$(printf '%s' "$1" | base64 -w0)
    b64=${b64//+/%2B}
    b64=${b64//\//%2F}
    b64=${b64//=/%3D}
    printf 'Parameter=%s' "$b64"
}

# Decoded value of key in a reply body of base64 values ({"key": "base64", ...}).
qm_reply_value() {
    local v
    v=$(printf '%s' "$1" | sed -n "s/.*\"$2\": \"\([^\"]*\)\".*/\1/p") || true
    [ -n "$v" ] && printf '%s' "$v" | base64 -d
}
