#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine (run as root),
# then cross-builds the static dependencies of both Windows targets (i686 for the deliverables,
# x86_64 for the tests on machines that run 64-bit code only) into cached prefixes, side by side.
#
#   scripts/setup-deps.sh            apt packages + both dependency prefixes
#   QM_DEPS_ROOT=/path ...           where the prefixes live (default /opt/qm-mingw-deps)
#
# Prints nothing on stdout but one `<triplet>=<prefix>` line per target, so callers can capture
# them; each prefix is also linked as $QM_DEPS_ROOT/current-<triplet>.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=machine.sh
source "$here/machine.sh"
jobs=$(nproc)
winnt=0x0601
deps_root=${QM_DEPS_ROOT:-/opt/qm-mingw-deps}
triplets=(i686-w64-mingw32 x86_64-w64-mingw32)

log() { echo "setup-deps: $*" >&2; }

apt_packages=(
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-x86-64-dev
    cmake make ninja-build pkg-config autoconf automake libtool autopoint m4 gettext
    dpkg-dev xz-utils bzip2 ca-certificates
    wine wine64 xvfb xauth
    googletest libjsmn-dev curl openssl
    chromium wrk locales
    g++-multilib qemu-user-static
)

install_apt() {
    local missing=()
    for p in "${apt_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    # wine32 only where the kernel runs i386 code: elsewhere it can't start, and its presence
    # makes a win64 prefix try to start 32-bit helpers.
    local want_wine32=0
    if qm_runs_i386; then
        want_wine32=1
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            dpkg --add-architecture i386
            missing+=(wine32)
        fi
        dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed' ||
            missing+=(wine32)
    fi
    add_deb_src
    # The browser tests drive Chromium from Node.js; machines of this kind ship Node.js 20.
    command -v node >/dev/null 2>&1 || missing+=(nodejs npm)
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >&2
    local names=() p
    for p in "${missing[@]}"; do
        [ "$p" = wine32 ] || names+=("$p")
    done
    [ ${#names[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${names[@]}" >&2
    # Wine's 32-bit loader is only usable once the i386 package is in.
    [ "$want_wine32" = 0 ] || apt-get install -y -qq --no-install-recommends wine32:i386 >&2
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

# A prefix is keyed by its triplet, the source versions and the recipe version.
prefix_key() {
    local v s
    v="triplet=$host;"
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
        -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/$toolchain" -DCMAKE_BUILD_TYPE=Release \
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

# Builds the prefix of one triplet (sets $host, $prefix and $work for the recipe above).
build_prefix() {
    host=$1
    case "$host" in
    i686-*) toolchain=mingw-i686.cmake ;;
    x86_64-*) toolchain=mingw-x86_64.cmake ;;
    esac
    prefix=$2
    [ -f "$prefix/.complete" ] && return 0
    log "$host: building dependency prefix $prefix"
    mkdir -p "$prefix"
    work=$(mktemp -d /tmp/qm-deps.XXXXXX)
    chmod 777 "$work"
    trap 'rm -rf "$work"' EXIT
    cross_env
    local t0=$SECONDS t1 piece
    for piece in gmp nettle tasn1 gnutls mhd gtest; do
        [ -f "$prefix/.done-$piece" ] && continue
        t1=$SECONDS
        if [ "$piece" = gtest ]; then
            (unset CC CXX AR RANLIB CFLAGS CPPFLAGS LDFLAGS; build_gtest)
        else
            "build_$piece"
        fi
        # Static-only prefix: libtool archives only pin absolute paths.
        rm -f "$prefix"/lib/*.la
        touch "$prefix/.done-$piece"
        log "$host: $piece done in $((SECONDS - t1)) s ($((SECONDS - t0)) s in all)"
    done
    $host-strip --strip-debug "$prefix"/lib/*.a
    link_test
    touch "$prefix/.complete"
}

main() {
    log "$(qm_machine_line)"
    install_apt
    local t prefixes=() pids=() i rc=0
    for t in "${triplets[@]}"; do
        host=$t
        prefixes+=("$deps_root/$t-$(prefix_key)")
    done
    # The two prefixes build side by side: most of the time goes to configure scripts, which use
    # one core each.
    for i in "${!triplets[@]}"; do
        build_prefix "${triplets[$i]}" "${prefixes[$i]}" &
        pids+=($!)
    done
    for i in "${!pids[@]}"; do
        wait "${pids[$i]}" || { log "${triplets[$i]}: dependency build failed"; rc=1; }
    done
    [ "$rc" = 0 ] || exit 1
    for i in "${!triplets[@]}"; do
        ln -sfn "${prefixes[$i]}" "$deps_root/current-${triplets[$i]}"
        echo "${triplets[$i]}=${prefixes[$i]}"
    done
}

main "$@"
