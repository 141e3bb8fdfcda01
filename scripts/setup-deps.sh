#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine (run as root),
# then cross-builds the i686 static dependencies into a cached prefix.
#
#   scripts/setup-deps.sh            apt packages + dependency prefix
#   QM_DEPS_PREFIX=/path ...         where the prefix lives (default /opt/qm-mingw-deps/<key>)
#
# Prints nothing on stdout but the prefix path on its last line, so callers can capture it.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
jobs=$(nproc)
host=i686-w64-mingw32
winnt=0x0601

log() { echo "setup-deps: $*" >&2; }

apt_packages=(
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
    cmake make ninja-build pkg-config autoconf automake libtool autopoint m4 gettext
    dpkg-dev xz-utils bzip2 ca-certificates
    wine wine32 xvfb xauth
    googletest libjsmn-dev curl openssl
    chromium wrk locales
)

install_apt() {
    local missing=()
    for p in "${apt_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        missing+=(wine32)
    fi
    add_deb_src
    # The browser tests drive Chromium from Node.js; machines of this kind ship Node.js 20.
    command -v node >/dev/null 2>&1 || missing+=(nodejs npm)
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >&2
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
    # Wine's 32-bit loader is only usable once the i386 package is in.
    apt-get install -y -qq --no-install-recommends wine32:i386 >&2
}

# apt-get source needs deb-src lines for bookworm; derive them from the deb lines where missing.
add_deb_src() {
    local list=/etc/apt/sources.list.d/qm-deb-src.sources
    if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        return 0
    fi
    cat >"$list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    missing+=(dpkg-dev)
}

src_pkgs=(gmp nettle libtasn1-6 gnutls28 libmicrohttpd)

# Bump when the recipe below changes in a way that changes the built prefix.
recipe_version=2

# The prefix is keyed by the source versions and the recipe version.
prefix_key() {
    local v s
    v=""
    for s in "${src_pkgs[@]}"; do
        v+="$s=$(apt-cache showsrc "$s" 2>/dev/null | awk '/^Version:/{print $2}' | sort -V | tail -1);"
    done
    v+="googletest=$(dpkg-query -W -f='${Version}' googletest);"
    v+="recipe=$recipe_version"
    echo -n "$v" | sha256sum | cut -c1-16
}

fetch_src() { # name -> prints source dir
    local name=$1 dir
    (cd "$work" && apt-get source -qq "$name" >/dev/null 2>&1) || (cd "$work" && apt-get source "$name" >&2)
    dir=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name "${2:-$name}-*" | head -1)
    [ -n "$dir" ] || { log "no source for $name"; exit 1; }
    echo "$dir"
}

cross_env() {
    export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib
    export CFLAGS="-O2 -D_WIN32_WINNT=$winnt" CPPFLAGS="-I$prefix/include -D_WIN32_WINNT=$winnt"
    export LDFLAGS="-L$prefix/lib"
    export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH=""
}

build_gmp() {
    local d; d=$(fetch_src gmp)
    (cd "$d" && autoreconf -fi >/dev/null 2>&1 &&
        ./configure -q --host=$host --prefix="$prefix" --enable-static --disable-shared --enable-fat &&
        make -s -j"$jobs" && make -s install) >&2
}

build_nettle() {
    local d; d=$(fetch_src nettle)
    (cd "$d" && ./configure -q --host=$host --prefix="$prefix" --enable-static --disable-shared \
        --disable-documentation --disable-openssl --libdir="$prefix/lib" &&
        make -s -j"$jobs" libnettle.a libhogweed.a nettle.pc hogweed.pc &&
        make -s install-headers install-static install-pkgconfig) >&2
}

build_tasn1() {
    local d; d=$(fetch_src libtasn1-6 libtasn1-6)
    (cd "$d" && ./configure -q --host=$host --prefix="$prefix" --enable-static --disable-shared \
        --disable-doc --disable-valgrind-tests &&
        make -s -j"$jobs" -C lib && make -s -C lib install) >&2
}

build_gnutls() {
    local d; d=$(fetch_src gnutls28)
    (cd "$d" &&
        # As debian/rules does: the gettext-0.20 m4 files break autoreconf with Debian's gettext.
        grep -l 'gettext-0.20' m4/*.m4 2>/dev/null | xargs -r rm -f &&
        GTKDOCIZE=true autoreconf -fi >/dev/null 2>&1 &&
        ./configure -q --host=$host --prefix="$prefix" --enable-static --disable-shared \
            --without-p11-kit --with-included-unistring --without-idn --without-zlib \
            --without-brotli --without-zstd --without-tpm --without-tpm2 --disable-nls \
            --disable-tools --disable-tests --disable-doc --disable-manpages --disable-gtk-doc \
            --disable-cxx --disable-guile --disable-libdane --disable-full-test-suite \
            --disable-valgrind-tests &&
        make -s -j"$jobs" && make -s install) >&2
    # The static-only prefix must not declare GnuTLS' data symbols dllimport.
    sed -i 's|^# define _SYM_EXPORT __declspec(dllimport)|# define _SYM_EXPORT /* static-only prefix: no dllimport */|' \
        "$prefix/include/gnutls/gnutls.h"
}

build_mhd() {
    local d; d=$(fetch_src libmicrohttpd)
    (cd "$d" && ./configure -q --host=$host --prefix="$prefix" --enable-static --disable-shared \
        --enable-https=yes --with-threads=auto --disable-doc --disable-examples --disable-curl \
        --disable-nls GNUTLS_CFLAGS="-I$prefix/include" \
        GNUTLS_LIBS="$(pkg-config --static --libs gnutls)" &&
        make -s -j"$jobs" -C src/microhttpd && make -s -C src/microhttpd install &&
        make -s -C src/include install && make -s install-pkgconfigDATA) >&2
}

build_gtest() {
    local b=$work/gtest-build
    cmake -S /usr/src/googletest -B "$b" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=ON -Dgtest_disable_pthreads=OFF \
        -DQM_NO_DEPS_PREFIX=ON >&2
    cmake --build "$b" -j"$jobs" >&2
    cmake --install "$b" >&2
}

link_test() {
    local t=$work/linktest
    mkdir -p "$t"
    cat >"$t/t.c" <<'C'
#include <microhttpd.h>
#include <gnutls/gnutls.h>
int main(void) { return MHD_is_feature_supported(MHD_FEATURE_TLS) == MHD_YES && gnutls_check_version("3.7.0") ? 0 : 1; }
C
    # shellcheck disable=SC2046
    $host-gcc-posix -static -o "$t/t.exe" "$t/t.c" -I"$prefix/include" -L"$prefix/lib" \
        $(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --static --libs libmicrohttpd) >&2
}

main() {
    install_apt
    local key; key=$(prefix_key)
    prefix=${QM_DEPS_PREFIX:-/opt/qm-mingw-deps/$key}
    if [ -f "$prefix/.complete" ]; then
        echo "$prefix"
        return 0
    fi
    log "building dependency prefix $prefix"
    mkdir -p "$prefix"
    work=$(mktemp -d /tmp/qm-deps.XXXXXX)
    chmod 777 "$work"
    trap 'rm -rf "$work"' EXIT
    cross_env
    local t0=$SECONDS
    local piece
    for piece in gmp nettle tasn1 gnutls mhd gtest; do
        [ -f "$prefix/.done-$piece" ] && continue
        if [ "$piece" = gtest ]; then
            (unset CC CXX AR RANLIB CFLAGS CPPFLAGS LDFLAGS; build_gtest)
        else
            "build_$piece"
        fi
        # Static-only prefix: libtool archives only pin absolute paths.
        rm -f "$prefix"/lib/*.la
        touch "$prefix/.done-$piece"
        log "$piece done ($((SECONDS - t0)) s)"
    done
    $host-strip --strip-debug "$prefix"/lib/*.a
    link_test
    touch "$prefix/.complete"
    # Only the default cache moves the shared "current" link; a prefix given by the caller is its own.
    [ -z "${QM_DEPS_PREFIX:-}" ] && ln -sfn "$prefix" /opt/qm-mingw-deps/current
    echo "$prefix"
}

main "$@"
