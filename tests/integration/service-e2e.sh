#!/usr/bin/env bash
# End-to-end tests of OqtQuillmark.exe from outside Wine: the real program, laid out as an
# installation in its own Wine session, reached from Linux by curl, openssl s_client and headless
# Chromium, switched by the debug-mode event and stopped by instruction.
#
#   tests/integration/service-e2e.sh <build-dir>
#
# Needs the ports 56362, 56382 and 56402 on both loopback addresses (ctest runs it under the
# resource lock "service_ports"), curl, openssl, node with npm (playwright-core is installed from
# tests/integration/package-lock.json into the build folder) and /usr/bin/chromium.
# Prints one line per check and closes with "N passed, N failed".
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?build dir}" && pwd)
# shellcheck source=../../scripts/wine-session.sh
source "$root/scripts/wine-session.sh"
# shellcheck source=../../scripts/qm-install.sh
source "$root/scripts/qm-install.sh"

passed=0
failed=0
pass() {
    passed=$((passed + 1))
    echo "ok $1"
}
fail() {
    failed=$((failed + 1))
    echo "not ok $1${2:+: $2}"
}
check() { # name command...
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}

work=$(mktemp -d "$build/e2e.XXXXXX")
install=$work/install
holder=""
cleanup() {
    [ -n "${QM_SERVICE_PID:-}" ] && kill "$QM_SERVICE_PID" 2>/dev/null
    [ -n "$holder" ] && kill "$holder" 2>/dev/null
    qm_wine_stop
    if [ -n "${QM_KEEP_E2E:-}" ]; then
        echo "# kept $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

qm_wine_start "$build"
data="$WINEPREFIX/drive_c/ProgramData/OqtQuillmark"
sender=$build/tests/support/qm_ipc_sender.exe
root_ca=$root/service/certs/root-ecc.pem

qm_install "$build" "$install" || exit 1
qm_register_standins "$build" || exit 1
qm_log_ini "$install" 5

# The lines written to the log since a mark (log_mark sets it).
log_mark() { mark=$(wc -l <"$(qm_service_log "$install")" 2>/dev/null || echo 0); }
log_since() { tail -n +"$((mark + 1))" "$(qm_service_log "$install")" 2>/dev/null; }
logged() { log_since | grep -qF -- "$1"; }
wait_logged() { # text [seconds]
    local i
    for ((i = 0; i < ${2:-10} * 20; i++)); do
        logged "$1" && return 0
        sleep 0.05
    done
    return 1
}

echo_json="{\"FunctionName\":\"QuillmarkEcho\",\"PathID\":\"$QM_GPKI_PATH_ID\",\"minServerVersion\":\"1.0.0.0\"}"
echo_body=$(qm_parameter "$echo_json")

# POST an echo: curl options..., prints headers and body into $reply_headers / $reply_body.
post_echo() {
    local out
    out=$(curl -s -D - --max-time 10 -H 'Origin: http://localhost:8080' --data "$echo_body" "$@")
    reply_headers=$(printf '%s' "$out" | sed '/^\r\?$/q')
    reply_body=$(printf '%s' "$out" | sed '1,/^\r\?$/d')
}
result_is() { [ "$(qm_reply_value "$reply_body" result)" = "$1" ]; }
header_is() { printf '%s' "$reply_headers" | tr -d '\r' | grep -qix "$1: $2"; }

session_copies() { ls "$data"/Tempfile/Session_*/*.dll 2>/dev/null | wc -l; }

# ---- Start-up ------------------------------------------------------------------------------
# The tray program makes the debug-mode event before it starts the service.
wine "$sender" --debug-event create --hold 900000 >/dev/null 2>&1 &
holder=$!
for _ in $(seq 100); do
    wine "$sender" --debug-event pulse >/dev/null 2>&1 && break
    sleep 0.05
done

mark=0
check "service starts and reports initialization success" qm_service_start "$install" 0
check "no crash note on attempt 0" bash -c "! grep -qF 'Detected Quillmark crash' '$(qm_service_log "$install")'"
for port in "${QM_PORTS[@]}"; do
    for address in 127.0.0.1 "[::1]"; do
        check "listener $address:$port started" logged "OqtQuillmark at $address:$port launch state: Success"
    done
done
check "edition logged" logged "Environment: Windows"
check "debug thread started" bash -c "! grep -qF 'debugStatusUpdateEvent init failed' '$(qm_service_log "$install")'"

# ---- TLS and listeners ---------------------------------------------------------------------
for version in 1.2 1.3; do
    post_echo --tlsv$version --tls-max $version --cacert "$root_ca" "https://127.0.0.1:56362/"
    check "TLS $version echo, certificate from the product's root" result_is 0
done
check "echo reply carries the version" test "$(qm_reply_value "$reply_body" ServerVersion)" = 1.0.22.0303
check "echo opens a session" test -n "$(qm_reply_value "$reply_body" SessionID)"
gpki_session=$(qm_reply_value "$reply_body" SessionID)
check "reply allows the page origin" header_is Access-Control-Allow-Origin http://localhost:8080
check "reply has X-XSS-Protection" header_is X-XSS-Protection "1; mode=block"
check "server certificate is ECDSA P-384 on this edition" bash -c \
    "openssl s_client -connect 127.0.0.1:56362 </dev/null 2>/dev/null | openssl x509 -noout -text | grep -q 'NIST CURVE: P-384'"
check "TLS 1.1 refused" bash -c \
    "! openssl s_client -tls1_1 -cipher 'DEFAULT@SECLEVEL=0' -connect 127.0.0.1:56362 </dev/null 2>&1 | grep -q 'Cipher is [^(]'"
for port in "${QM_PORTS[@]}"; do
    post_echo -k "https://127.0.0.1:$port/"
    check "echo on 127.0.0.1:$port" result_is 0
    post_echo -k -g -H "Host: localhost:$port" "https://[::1]:$port/"
    check "echo on [::1]:$port" result_is 0
    post_echo -k -g "https://[::1]:$port/"
    check "host [::1] refused with 61904 on port $port" result_is 61904
done
check "session copy in the data folder" test "$(session_copies)" -ge 1
if [ -f "$install/Oqt/OqtTvqHCAXrbAdapter.dll" ]; then
    out=$(curl -sk --max-time 10 -H 'Origin: http://localhost:8080' --data "$(qm_parameter \
        "{\"FunctionName\":\"QuillmarkEcho\",\"PathID\":\"$QM_HCA_PATH_ID\",\"minServerVersion\":\"1.0.0.0\"}")" \
        https://127.0.0.1:56362/)
    check "echo on the second adapter (HCA) by its PathID" test "$(qm_reply_value "$out" result)" = 0
    hca_session=$(qm_reply_value "$out" SessionID)
    out=$(curl -sk --max-time 10 -H 'Origin: http://localhost:8080' --data "$(qm_parameter \
        "{\"FunctionName\":\"HCA_GetCertSubject\",\"SessionId\":\"$hca_session\",\"strCert\":\"abc\",\"iFlags\":\"7\"}")" \
        https://127.0.0.1:56362/)
    check "HCA component method through the service" \
        test "$(qm_reply_value "$out" result)" = "6|HCA_GetCertSubject|s3:abc|i:7"
fi

# A page call on the GPKI session reaches the registered stand-in component and comes back.
out=$(curl -sk --max-time 10 -H 'Origin: http://localhost:8080' --data "$(qm_parameter \
    "{\"FunctionName\":\"GPKI_GetTailOfCitizenID\",\"SessionId\":\"$gpki_session\",\"strCert\":\"abc\",\"iFlags\":\"7\"}")" \
    https://127.0.0.1:56362/)
check "GPKI component method through the service" \
    test "$(qm_reply_value "$out" result)" = "5|GPKI_GetTailOfCitizenID|s3:abc|i:7"
out=$(curl -sk --max-time 10 -H 'Origin: http://localhost:8080' --data "$(qm_parameter \
    "{\"FunctionName\":\"GPKI_GetTailOfCitizenID\",\"SessionId\":\"$gpki_session\",\"AdapterJsonKeyCheck\":\"true\",\"strCert\":\"abc\"}")" \
    https://127.0.0.1:56362/)
check "GPKI missing argument answered 61016" test "$(qm_reply_value "$out" result)" = 61016

out=$(curl -sk -D - -o /dev/null -X OPTIONS -H 'Origin: http://localhost:8080' \
    -H 'Access-Control-Request-Method: POST' -H 'Access-Control-Request-Private-Network: true' \
    https://127.0.0.1:56362/ | tr -d '\r')
check "preflight answered 204" grep -q '^HTTP/1.1 204' <<<"$out"
check "preflight allows POST, the private network, 30 s" bash -c \
    "grep -qx 'Access-Control-Allow-Methods: POST' <<<'$out' && grep -qx 'Access-Control-Allow-Private-Network: true' <<<'$out' && grep -qx 'Access-Control-Max-Age: 30' <<<'$out' && grep -qx 'Access-Control-Allow-Origin: http://localhost:8080' <<<'$out'"
out=$(curl -sk -o /dev/null -w '%{http_code}' -X OPTIONS -H 'Origin: http://localhost:8080' \
    -H 'Access-Control-Request-Method: POST' https://127.0.0.1:56362/)
check "preflight without the private-network header gets no reply" test "$out" = 000

# ---- A real browser ------------------------------------------------------------------------
node_dir=$build/e2e-node
mkdir -p "$node_dir"
cp "$root/tests/integration/package.json" "$root/tests/integration/package-lock.json" \
    "$root/tests/integration/browser.mjs" "$node_dir/"
if ! cmp -s "$root/tests/integration/package-lock.json" "$node_dir/installed-lock.json"; then
    (cd "$node_dir" && npm ci --no-audit --no-fund --cache "${QM_NPM_CACHE:-$HOME/.cache/qm-npm}" \
        >npm.log 2>&1) && cp "$root/tests/integration/package-lock.json" "$node_dir/installed-lock.json"
fi
spki=$(openssl s_client -connect 127.0.0.1:56362 </dev/null 2>/dev/null | openssl x509 -pubkey -noout |
    openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64)
mkdir -p "$work/profile"
while read -r line; do
    case $line in
    "ok "*) pass "browser: ${line#ok }" ;;
    "not ok "*) fail "browser: ${line#not ok }" ;;
    *) echo "$line" ;;
    esac
done < <(QM_SPKI=$spki QM_PORT=56362 QM_ECHO_BODY=$echo_body QM_PROFILE_DIR=$work/profile \
    timeout 120 node "$node_dir/browser.mjs" 2>&1 || echo "not ok browser run ended with an error")

# ---- A hostile page ------------------------------------------------------------------------
# Each step of tests/integration/hostile.mjs against the running service, with an echo page
# beside it; its resident memory is read from its own process (Wine runs the program in the
# process that was started for it).
hostile() { # step [seconds]
    while read -r line; do
        case $line in
        "ok "*) pass "hostile page, ${line#ok }" ;;
        "not ok "*) fail "hostile page, ${line#not ok }" ;;
        *) echo "$line" ;;
        esac
    done < <(QM_ECHO_JSON=$echo_json QM_PID=$QM_SERVICE_PID QM_LOG=$(qm_service_log "$install") \
        timeout "${2:-180}" \
        node "$root/tests/integration/hostile.mjs" "$1" 2>&1 || [ $? = 1 ] || echo "not ok $1: ended with an error")
}
check "hostile page: the service's own process is measured" \
    bash -c "tr '\\0' ' ' </proc/$QM_SERVICE_PID/cmdline | grep -q OqtQuillmark.exe"
for step in storm uploads slow cuts lists secret busy flood; do
    hostile "$step"
    check "hostile page, $step: the service still runs" kill -0 "$QM_SERVICE_PID"
done

# ---- Debug-mode event ----------------------------------------------------------------------
pulse() { wine "$sender" --debug-event pulse >/dev/null 2>&1; }
log_mark
pulse
check "a pulse switches the log off" wait_logged "[OqtQuillmark][Normal] Log state: Disable" 5
sleep 0.3
mv "$install/OqtQuillmark.ini" "$install/OqtQuillmark.ini.off"
log_mark
pulse
sleep 0.5
check "without the INI file a pulse leaves the log off" bash -c "[ -z \"\$(tail -n +$((mark + 1)) '$(qm_service_log "$install")')\" ]"
mv "$install/OqtQuillmark.ini.off" "$install/OqtQuillmark.ini"
on=1
for _ in 1 2 3; do
    pulse
    wait_logged "Log state: Enable" 2 && on=0 && break
done
check "with the INI file back the next pulse switches it on" test $on = 0

# ---- Stopping ------------------------------------------------------------------------------
stop_and_check() { # how
    local how=$1
    qm_service_wait 20
    check "$how: exit code 0" test "$QM_SERVICE_EXIT" = 0
    check "$how: sessions released" logged "[QuillmarkFinal] Release adapters success"
    check "$how: session copies deleted" test "$(session_copies)" = 0
    QM_SERVICE_PID=""
}

log_mark
qm_send "$build" QuillmarkInstruction_Suicide window >/dev/null 2>&1
stop_and_check "Suicide by window message"

log_mark
check "restart with attempt 3" qm_service_start "$install" 3
check "crash note on attempt 3" logged "Detected Quillmark crash"
post_echo -k https://127.0.0.1:56362/
check "echo after restart" result_is 0
# The lock-mode thread polls, and on a loaded machine a 100 ms hold can fall between two of its
# probes: send until the service is gone.
for _ in 1 2 3 4 5 6 7 8; do
    qm_send "$build" QuillmarkInstruction_Suicide lock >/dev/null 2>&1
    for _ in $(seq 40); do
        kill -0 "$QM_SERVICE_PID" 2>/dev/null || break 2
        sleep 0.05
    done
done
stop_and_check "Suicide by lock mode"
check "Suicide by lock mode: taken by the lock-mode thread" logged "IPC Message Lock Mode: Recivie Suicide message"

# Port 56382 taken on both loopback addresses by another program: the other four listeners serve.
node -e "const net = require('net');
    for (const host of ['127.0.0.1', '::1']) net.createServer().listen(56382, host);
    setTimeout(() => process.exit(0), 120000);" &
blocker=$!
for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/56382) 2>/dev/null && break
    sleep 0.05
done
log_mark
check "restart with 56382 taken" qm_service_start "$install" 0
check "56382 taken: no listener on 127.0.0.1:56382" logged "OqtQuillmark at 127.0.0.1:56382 launch state: Fail"
check "56382 taken: no listener on [::1]:56382" logged "OqtQuillmark at [::1]:56382 launch state: Fail"
post_echo -k https://127.0.0.1:56402/
check "56382 taken: echo on 56402" result_is 0
post_echo -k -g -H "Host: localhost:56362" "https://[::1]:56362/"
check "56382 taken: echo on [::1]:56362" result_is 0
kill "$blocker" 2>/dev/null
wine "$sender" --channel OqtQuillmark.exe --mode window --session 7 >/dev/null 2>&1
stop_and_check "session lock"
check "session lock: logged" logged "Receive windows lock signal"

# A Suicide by lock mode and a session lock at once: the final function runs once.
log_mark
check "restart for two stops at once" qm_service_start "$install" 0
post_echo -k https://127.0.0.1:56362/
qm_send "$build" QuillmarkInstruction_Suicide lock >/dev/null 2>&1 &
wine "$sender" --channel OqtQuillmark.exe --mode window --session 7 >/dev/null 2>&1
wait $!
stop_and_check "two stops at once"
check "two stops at once: sessions released once" \
    test "$(log_since | grep -cF '[QuillmarkFinal] Start release all adapters')" = 1

# A stop while 8 pages are calling their components: every session is released once.
log_mark
check "restart for a stop under load" qm_service_start "$install" 0
QM_ECHO_JSON=$echo_json timeout 180 node "$root/tests/integration/hostile.mjs" calls \
    >"$work/calls.txt" 2>&1 &
calls=$!
for _ in $(seq 600); do
    grep -qx calling "$work/calls.txt" && break
    sleep 0.05
done
check "stop under load: 8 pages calling" test "$(grep -c '^session ' "$work/calls.txt")" = 8
qm_send "$build" QuillmarkInstruction_Suicide window >/dev/null 2>&1
stop_and_check "stop under load"
wait "$calls"
released_once=0
for id in $(sed -n 's/^session //p' "$work/calls.txt"); do
    [ "$(log_since | grep -cF "Release Session id: $id")" = 1 ] || released_once=1
done
check "stop under load: every session released once" test "$released_once" = 0

# Thousands of sessions in one run of the service, each on a new copy of the adapter, loaded and
# then unloaded at its release or eviction: 3,000 opens from one page in a row, then 8 pages
# opening, echoing and releasing for 20 s. Without a log, as the service runs by default (a logged
# open costs several times as much).
session_churn() {
    mv "$install/OqtQuillmark.ini" "$install/OqtQuillmark.ini.off"
    check "session churn: the service starts without a log" qm_service_start "$install" 0
    for step in opens churn; do
        hostile "$step" 600
        check "hostile page, $step: the service still runs" kill -0 "$QM_SERVICE_PID"
    done
    qm_send "$build" QuillmarkInstruction_Suicide window >/dev/null 2>&1
    qm_service_wait 20
    check "session churn: Suicide, exit code 0" test "$QM_SERVICE_EXIT" = 0
    check "session churn: session copies deleted" test "$(session_copies)" = 0
    QM_SERVICE_PID=""
    mv "$install/OqtQuillmark.ini.off" "$install/OqtQuillmark.ini"
}
session_churn

# Every port taken on both addresses: nothing to serve, the service ends with exit code 0.
node -e "const net = require('net');
    for (const port of [56362, 56382, 56402])
        for (const host of ['127.0.0.1', '::1']) net.createServer().listen(port, host);
    setTimeout(() => process.exit(0), 120000);" &
blocker=$!
for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/56402) 2>/dev/null && break
    sleep 0.05
done
log_mark
qm_service_start "$install" 0
qm_service_wait 20
check "all ports taken: exit code 0" test "$QM_SERVICE_EXIT" = 0
check "all ports taken: initialization fails" logged "OqtQuillmark initialization: Fail"
QM_SERVICE_PID=""
kill "$blocker" 2>/dev/null

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
