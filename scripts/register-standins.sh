#!/usr/bin/env bash
# Registers the stand-in COM components of a Windows build in the current Wine prefix
# ($WINEPREFIX, as scripts/wine-run uses it) under the crypto components' class identifiers, so
# that every process of that prefix (the service, the adapters it loads) creates the stand-ins
# until a real component is installed. Each stand-in is a DLL <build>/tests/support/*/*Standin.dll
# whose DllRegisterServer writes HKCR\CLSID\{...}\InprocServer32 (ThreadingModel "Both").
#   scripts/register-standins.sh <build-dir>        register
#   scripts/register-standins.sh <build-dir> -u     unregister
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: $0 <build-dir> [-u]}
unregister=${2:-}
count=0
for dll in "$build"/tests/support/*/*Standin.dll; do
    [ -f "$dll" ] || continue
    win="Z:$(realpath "$dll" | tr '/' '\\')"
    if [ "$unregister" = "-u" ]; then
        args=(/s /u "$win")
    else
        args=(/s "$win")
    fi
    # Output to a file: a first wine command of a session must not hold a pipe open.
    if ! "$here/wine-run" regsvr32 "${args[@]}" >"${TMPDIR:-/tmp}/register-standins.$$.log" 2>&1; then
        echo "register-standins: regsvr32 ${args[*]} failed" >&2
        cat "${TMPDIR:-/tmp}/register-standins.$$.log" >&2 || true
        rm -f "${TMPDIR:-/tmp}/register-standins.$$.log"
        exit 1
    fi
    rm -f "${TMPDIR:-/tmp}/register-standins.$$.log"
    echo "register-standins: ${unregister:+un}registered $(basename "$dll")"
    count=$((count + 1))
done
if [ "$count" -eq 0 ]; then
    echo "register-standins: no stand-in DLL under $build/tests/support" >&2
    exit 1
fi
