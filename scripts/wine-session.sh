# shellcheck shell=bash
# Source this file, then `qm_wine_start <build-dir>` / `qm_wine_stop`. A session is one private
# Xvfb, one private copy of a prepared Wine prefix kept in the build folder (never ~/.wine) and one
# persistent wineserver, so that programs that make windows get a working desktop and parallel runs
# never share a display or a prefix. The build decides the prefix's kind: win32 for the i686 build,
# win64 for the x86_64 one.

# Sets QM_WINE_ARCH (win32 or win64) from the build's target processor and, for win64, puts a
# `wine` first on PATH that starts the 64-bit loader: Debian's own `wine` picks the 32-bit loader
# whenever wine32 is installed. It is a script, not a link, because Wine starts further processes
# through the loader that its argv[0] names.
qm_wine_arch() {
    local build=$1
    if grep -qs '^QM_TRIPLET:STRING=x86_64-' "$build/CMakeCache.txt"; then
        QM_WINE_ARCH=win64
        mkdir -p "$QM_WINE_ROOT/bin"
        printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$QM_WINE_ROOT/bin/wine"
        chmod +x "$QM_WINE_ROOT/bin/wine"
        case ":$PATH:" in
        *":$QM_WINE_ROOT/bin:"*) ;;
        *) export PATH="$QM_WINE_ROOT/bin:$PATH" ;;
        esac
        export WINELOADER=$QM_WINE_ROOT/bin/wine
    else
        QM_WINE_ARCH=win32
    fi
    export QM_WINE_ARCH
}

qm_wine_template() {
    local ver
    ver=$(wine --version 2>/dev/null | tr -c 'A-Za-z0-9.\n' '_')
    echo "$QM_WINE_ROOT/template-$QM_WINE_ARCH-$ver"
}

qm_wine_make_template() {
    local t; t=$(qm_wine_template)
    [ -f "$t/.ready" ] && return 0
    rm -rf "$t" "$t.tmp"
    mkdir -p "$(dirname "$t")"
    (
        export WINEPREFIX=$t.tmp WINEARCH=$QM_WINE_ARCH WINEDEBUG=-all
        export WINEDLLOVERRIDES="mscoree,mshtml="
        unset DISPLAY
        if ! wine wineboot -i >"$t.log" 2>&1; then
            echo "wine-session: making a $QM_WINE_ARCH prefix failed (see $t.log)" >&2
            exit 1
        fi
        # Unmanaged windows: hiding a managed window under a bare Xvfb costs ~2 s each time.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        # A crashing program ends at once with its backtrace instead of waiting for a click on
        # the crash dialog until the test's time limit.
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            >/dev/null 2>&1
        wineserver -w
    )
    mv "$t.tmp" "$t"
    touch "$t/.ready"
}

qm_wine_start() {
    QM_WINE_ROOT=$(cd "${1:?build dir}" && pwd)/wine
    mkdir -p "$QM_WINE_ROOT"
    qm_wine_arch "$1"
    qm_wine_make_template
    QM_WINE_DIR=$(mktemp -d "$QM_WINE_ROOT/session.XXXXXX")
    # Xvfb picks a free display itself: other programs on the machine may hold :99 and friends.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$QM_WINE_DIR/display" \
        >/dev/null 2>&1 &
    QM_XVFB_PID=$!
    local i
    for i in $(seq 200); do
        [ -s "$QM_WINE_DIR/display" ] && break
        sleep 0.05
    done
    export DISPLAY=":$(head -n 1 "$QM_WINE_DIR/display")"
    cp -a "$(qm_wine_template)" "$QM_WINE_DIR/prefix"
    export WINEPREFIX=$QM_WINE_DIR/prefix WINEARCH=$QM_WINE_ARCH WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    wineserver -p
    # The Wine services inherit the first command's stderr: give them a file, not a pipe, or
    # every later captured pipe never reaches EOF.
    wine cmd /c exit >"$QM_WINE_DIR/warmup.log" 2>&1
}

qm_wine_stop() {
    [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null
    [ -n "${WINEPREFIX:-}" ] && wineserver -w 2>/dev/null
    [ -n "${QM_XVFB_PID:-}" ] && kill "$QM_XVFB_PID" 2>/dev/null && wait "$QM_XVFB_PID" 2>/dev/null
    [ -n "${QM_WINE_DIR:-}" ] && rm -rf "$QM_WINE_DIR"
    unset QM_XVFB_PID QM_WINE_DIR
    return 0
}
