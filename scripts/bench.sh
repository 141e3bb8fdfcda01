#!/usr/bin/env bash
# Measures the service under Wine against a bare libmicrohttpd + GnuTLS HTTPS server built from
# the same dependency prefix (the same six listeners and flags, TLS priorities and certificate, a
# fixed reply), which is the limit of the stack under Wine, and prints the figures side by side
# with ratios (the load runs use one listener of each):
#
#   - echo on a known session over keep-alive, 1 and 8 clients: requests/s, p50 and p99 latency
#   - requests/s when every request takes a new TLS connection (8 clients)
#   - a new session's open time (adapter copy, load and handshake; one request each)
#   - cold start to the first answered request, and the idle and peak memory (resident set)
#   - echo requests/s on one listener while 1000 connections to it are being attempted
#     (tests/integration/hostile.mjs storm)
#   - a large request: an echo that opens a session with one field of 1, 8, 24 and 47 MiB (the
#     last just under the 64 MiB limit once encoded), end to end with curl: medians of 5, the
#     service and the bare server taking turns, and the median of the turns' ratios
#
#   scripts/bench.sh [<build-dir>]      (default build/win32, or build/win64 on a machine that
#                                       refuses 32-bit code; built by scripts/build.sh)
#   QM_BENCH_SECONDS=<n>                       length of each load run (default 10)
#   QM_BENCH_ROWS=large                        only the large-request rows
#
# Needs wrk, curl and openssl. Loads only the loopback listeners it starts itself; each run is
# bounded in time. Not a test: it judges nothing, it prints the targets beside the figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=machine.sh
source "$root/scripts/machine.sh"
if qm_runs_i386; then
    kind=win32
else
    kind=win64
fi
build=$(cd "${1:-$root/build/$kind}" && pwd)
echo "bench.sh: $(qm_machine_line)"
echo "bench.sh: measuring the build in $build"
seconds=${QM_BENCH_SECONDS:-10}
bare_port=56462

for tool in wrk curl openssl node; do
    command -v "$tool" >/dev/null || {
        echo "bench.sh needs $tool (apt-get install $tool)" >&2
        exit 1
    }
done
[ -f "$build/tests/integration/qm_bare_https_server.exe" ] || {
    echo "bench.sh: build $build first (scripts/build.sh $kind)" >&2
    exit 1
}

# shellcheck source=wine-session.sh
source "$root/scripts/wine-session.sh"
# shellcheck source=qm-install.sh
source "$root/scripts/qm-install.sh"

work=$(mktemp -d "$build/bench.XXXXXX")
install=$work/install
bare_pid=""
cleanup() {
    if [ -n "${QM_SERVICE_PID:-}" ] && kill -0 "$QM_SERVICE_PID" 2>/dev/null; then
        qm_send "$build" QuillmarkInstruction_Suicide both >/dev/null 2>&1 || true
        qm_service_wait 20 || kill "$QM_SERVICE_PID" 2>/dev/null || true
    fi
    [ -n "$bare_pid" ] && kill "$bare_pid" 2>/dev/null
    qm_wine_stop
    rm -rf "$work"
}
trap cleanup EXIT

qm_wine_start "$build"
qm_install "$build" "$install"
qm_register_standins "$build"
# No log INI: the service runs as installed, with logging off.

service_url=https://127.0.0.1:${QM_PORTS[0]}/
bare_url=https://127.0.0.1:$bare_port/
new_echo=$(qm_parameter "{\"FunctionName\":\"QuillmarkEcho\",\"PathID\":\"$QM_GPKI_PATH_ID\",\"minServerVersion\":\"1.0.0.0\"}")

now_ms() { date +%s%3N; }
post() { curl -sk --max-time 5 -H 'Origin: http://localhost:8080' --data "$2" "$1"; }

# ---- Cold start --------------------------------------------------------------------------------
start=$(now_ms)
setsid wine "$install/OqtQuillmark.exe" 0 >"$work/service.out" 2>&1 &
QM_SERVICE_PID=$!
# Idle: all six listeners up (the last one started answers a TLS handshake), no session yet.
wait_listening() { # port
    local rc
    for _ in $(seq 600); do
        rc=0
        curl -sk -g -o /dev/null --max-time 2 "https://[::1]:$1/" || rc=$?
        { [ "$rc" = 0 ] || [ "$rc" = 52 ]; } && return
        sleep 0.02
    done
}
wait_listening "${QM_PORTS[2]}"
service_idle=$(awk '/^VmRSS:/ {print $2}' "/proc/$QM_SERVICE_PID/status" 2>/dev/null || echo 0)
reply=""
for _ in $(seq 600); do
    reply=$(post "$service_url" "$new_echo" || true)
    [ "$(qm_reply_value "$reply" result)" = 0 ] && break
    sleep 0.02
done
service_cold=$(($(now_ms) - start))
session=$(qm_reply_value "$reply" SessionID)
[ -n "$session" ] || {
    echo "bench.sh: the service did not answer an echo" >&2
    exit 1
}

certs=$root/service/certs
start=$(now_ms)
setsid wine "$build/tests/integration/qm_bare_https_server.exe" "$(qm_winpath "$certs/server-ecdsa.pem")" \
    "$(qm_winpath "$certs/server-ecdsa-key.pem")" "$bare_port" >"$work/bare.out" 2>&1 &
bare_pid=$!
for _ in $(seq 600); do
    [ "$(qm_reply_value "$(post "$bare_url" x=1 || true)" result)" = 0 ] && break
    sleep 0.02
done
bare_cold=$(($(now_ms) - start))
wait_listening $((bare_port + 40))
bare_idle=$(awk '/^VmRSS:/ {print $2}' "/proc/$bare_pid/status" 2>/dev/null || echo 0)

# ---- Large requests -----------------------------------------------------------------------------
# The bare server reads and drops the same bodies: the ratio is the service's own work per byte.
large_sizes=(1 8 24 47)
for mib in "${large_sizes[@]}"; do
    node -e '
        const [mib, pathId, file] = process.argv.slice(1);
        const json = JSON.stringify({ FunctionName: "QuillmarkEcho", PathID: pathId,
            minServerVersion: "1.0.0.0", strData: "D".repeat(Number(mib) * 1024 * 1024) });
        const b64 = Buffer.from(json).toString("base64")
            .replace(/\+/g, "%2B").replace(/\//g, "%2F").replace(/=/g, "%3D");
        require("fs").writeFileSync(file, "Parameter=" + b64);
    ' "$mib" "$QM_GPKI_PATH_ID" "$work/large-$mib.txt"
done
large_once() { # url file: one request's time in seconds, or nothing when it got no answer
    local reply
    reply=$(curl -sk --max-time 60 -o "$work/large-reply.txt" -w '%{http_code} %{time_total}' \
        -H 'Origin: http://localhost:8080' -H 'Content-Type: application/x-www-form-urlencoded' \
        --data-binary "@$2" "$1" || true)
    [ "${reply%% *}" = 200 ] && echo "${reply#* }"
}
median_ms() { # seconds...: the median, in milliseconds ("-" when one is missing)
    [ $# = 5 ] || { echo "-"; return; }
    printf '%s\n' "$@" | sort -n | awk 'NR == 3 {printf "%.0f", $1 * 1000}'
}
# Five of each, the service and the bare server taking turns, so that a spell in which the
# machine is slower falls on both; the ratio is the median of the five turns' ratios.
declare -A large_service large_bare large_ratio
for mib in "${large_sizes[@]}"; do
    service_times=()
    bare_times=()
    ratios=()
    for _ in 1 2 3 4 5; do
        s=$(large_once "$service_url" "$work/large-$mib.txt") || s=""
        b=$(large_once "$bare_url" "$work/large-$mib.txt") || b=""
        [ -n "$s" ] && service_times+=("$s")
        [ -n "$b" ] && bare_times+=("$b")
        [ -n "$s" ] && [ -n "$b" ] && ratios+=("$(awk -v s="$s" -v b="$b" 'BEGIN {print s / b}')")
    done
    large_service[$mib]=$(median_ms "${service_times[@]}")
    large_bare[$mib]=$(median_ms "${bare_times[@]}")
    large_ratio[$mib]=-
    [ ${#ratios[@]} = 5 ] &&
        large_ratio[$mib]=$(printf '%s\n' "${ratios[@]}" | sort -g | awk 'NR == 3 {printf "%.2f", $1}')
done
rm -f "$work"/large-*.txt
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }
row() { printf '%-44s %12s %12s %8s   %s\n' "$@"; }
large_rows() {
    for mib in "${large_sizes[@]}"; do
        local target=""
        [ "$mib" = 8 ] || [ "$mib" = 47 ] && target="<= 1.50"
        row "large request, one field of $mib MiB (ms)" "${large_service[$mib]}" "${large_bare[$mib]}" \
            "${large_ratio[$mib]}" "$target"
    done
}
if [ "${QM_BENCH_ROWS:-all}" = large ]; then
    echo
    row "figure" "service" "bare" "ratio" "target"
    large_rows
    exit 0
fi

# ---- Load runs ---------------------------------------------------------------------------------
known_echo=$(qm_parameter "{\"FunctionName\":\"QuillmarkEcho\",\"SessionId\":\"$session\"}")
cat >"$work/post.lua" <<EOF
wrk.method = "POST"
wrk.body = "$known_echo"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
wrk.headers["Origin"] = "http://localhost:8080"
EOF

# wrk's figure: requests/s, or a latency percentile in milliseconds.
wrk_rate() { awk '/^Requests\/sec:/ {printf "%.0f", $2}' "$1"; }
wrk_ms() {
    awk -v p="$2%" '$1 == p {
        v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v);
        if (u == "us") v /= 1000; else if (u == "s") v *= 1000;
        printf "%.2f", v }' "$1"
}
run_wrk() { # name url clients [extra...]
    local name=$1 url=$2 clients=$3
    shift 3
    wrk -t"$clients" -c"$clients" -d"${seconds}s" --latency -s "$work/post.lua" "$@" "$url" \
        >"$work/$name.txt" 2>&1 || true
}

for side in service bare; do
    url=$service_url
    [ $side = bare ] && url=$bare_url
    run_wrk "$side-ka1" "$url" 1
    run_wrk "$side-ka8" "$url" 8
    run_wrk "$side-new8" "$url" 8 -H "Connection: close"
done

# The echo rate while 1000 connection attempts hit the same listener (the battery's checks are
# not judged here: the bare server has no connection limit).
storm_rate() { # listener
    QM_LISTENERS=$1 QM_ECHO_JSON="{\"FunctionName\":\"QuillmarkEcho\",\"PathID\":\"$QM_GPKI_PATH_ID\",\"minServerVersion\":\"1.0.0.0\"}" \
        timeout 120 node "$root/tests/integration/hostile.mjs" storm 2>&1 |
        sed -n 's/^# storm: echo \([0-9.]*\) req\/s.*/\1/p' || true
}
service_storm=$(storm_rate "127.0.0.1:${QM_PORTS[0]}")
bare_storm=$(storm_rate "127.0.0.1:$bare_port")

peak_kb() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
# After the load runs on one session, before the sessions below load more adapter copies.
service_mem_one=$(peak_kb "$QM_SERVICE_PID")

# ---- A new session's open time -----------------------------------------------------------------
# Twenty echoes without a session id over one connection: each copies, loads and unlocks a copy
# of the adapter (the table has 32 slots, so none is evicted).
args=()
for i in $(seq 20); do
    [ "$i" -gt 1 ] && args+=(--next)
    args+=(-sk -o /dev/null -w '%{time_total}\n' -H 'Origin: http://localhost:8080' --data "$new_echo"
        "$service_url")
done
curl "${args[@]}" | sort -n >"$work/new-session.txt"
open_p50=$(awk '{v[NR] = $1 * 1000} END {printf "%.1f", v[int((NR + 1) / 2)]}' "$work/new-session.txt")
open_max=$(awk '{v[NR] = $1 * 1000} END {printf "%.1f", v[NR]}' "$work/new-session.txt")
args=()
for i in $(seq 20); do
    [ "$i" -gt 1 ] && args+=(--next)
    args+=(-sk -o /dev/null -w '%{time_total}\n' -H 'Origin: http://localhost:8080' --data "$known_echo"
        "$service_url")
done
known_p50=$(curl "${args[@]}" | sort -n | awk '{v[NR] = $1 * 1000} END {printf "%.1f", v[int((NR + 1) / 2)]}')

# ---- Memory ------------------------------------------------------------------------------------
service_mem=$(peak_kb "$QM_SERVICE_PID")
bare_mem=$(peak_kb "$bare_pid")

# ---- Table -------------------------------------------------------------------------------------
echo
echo "OqtQuillmark under Wine against a bare libmicrohttpd + GnuTLS server (${seconds} s per load run)"
echo
row "figure" "service" "bare" "ratio" "target"
row "keep-alive echo, 1 client (req/s)" "$(wrk_rate "$work/service-ka1.txt")" "$(wrk_rate "$work/bare-ka1.txt")" \
    "$(ratio "$(wrk_rate "$work/service-ka1.txt")" "$(wrk_rate "$work/bare-ka1.txt")")" ">= 0.90"
row "keep-alive echo, 8 clients (req/s)" "$(wrk_rate "$work/service-ka8.txt")" "$(wrk_rate "$work/bare-ka8.txt")" \
    "$(ratio "$(wrk_rate "$work/service-ka8.txt")" "$(wrk_rate "$work/bare-ka8.txt")")" ">= 0.90"
for clients in 1 8; do
    for p in 50 99; do
        s=$(wrk_ms "$work/service-ka$clients.txt" "$p")
        b=$(wrk_ms "$work/bare-ka$clients.txt" "$p")
        target=""
        [ "$p" = 99 ] && target="<= 1.50"
        row "keep-alive echo, $clients client(s), p$p (ms)" "$s" "$b" "$(ratio "$s" "$b")" "$target"
    done
done
row "new connection per request, 8 clients (req/s)" "$(wrk_rate "$work/service-new8.txt")" \
    "$(wrk_rate "$work/bare-new8.txt")" \
    "$(ratio "$(wrk_rate "$work/service-new8.txt")" "$(wrk_rate "$work/bare-new8.txt")")" ""
row "new session echo, median / max (ms)" "$open_p50 / $open_max" "-" "-" "< 25 ms"
row "known session echo, median, curl (ms)" "$known_p50" "-" "-" ""
row "echo while 1000 connections are attempted (req/s)" "${service_storm:--}" "${bare_storm:--}" \
    "$(ratio "${service_storm:-0}" "${bare_storm:-0}")" "report"
large_rows
row "cold start to first answer (ms)" "$service_cold" "$bare_cold" "$(ratio "$service_cold" "$bare_cold")" "report"
row "idle memory, listening, resident (KiB)" "$service_idle" "$bare_idle" \
    "$(ratio "$service_idle" "$bare_idle")" "<= 1.50"
row "peak memory, one session, resident (KiB)" "$service_mem_one" "$bare_mem" \
    "$(ratio "$service_mem_one" "$bare_mem")" "report"
row "peak memory, 21 sessions, resident (KiB)" "$service_mem" "-" "-" "report"
echo
