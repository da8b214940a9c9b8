#!/bin/sh
# Builds libraries from Debian's own source packages, cached outside the tree
# and built only when missing (run by scripts/setup.sh):
#   sh scripts/build-deps.sh windows  the Windows ones (libsrtp2 for x86_64 with
#                                     internal crypto, libcrypto for i686)
#   sh scripts/build-deps.sh linux    libsrtp2 for this machine on OpenSSL's
#                                     libcrypto (Debian's own package uses NSS,
#                                     whose cost grows with the live sessions)
# Each prints the cache directory. With --cached first it neither fetches nor
# builds: it prints the directory when that build is complete, else exits 1.
#
# The cache lies in $TAVINDO_WIN_DEPS, default $HOME/.cache/tavindo-win-deps/<recipe>.
set -e

cached=""
if [ "$1" = --cached ]; then
    cached=yes
    shift
fi
case "$1" in
    linux|windows) ;;
    *) echo "usage: build-deps.sh [--cached] linux|windows" >&2; exit 2 ;;
esac

RECIPE=bookworm-r1
DEPS=${TAVINDO_WIN_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/tavindo-win-deps/$RECIPE}
SRTP_OUT=$DEPS/x86_64/libsrtp2
SSL_OUT=$DEPS/i686/openssl
LINUX_SRTP_OUT=$DEPS/linux-x86_64/libsrtp2-openssl
JOBS=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}

log() { echo "build-deps: $*" >&2; }
fail() { tail -n 30 "$1" >&2; log "failed, see $1"; exit 1; }

# Whether the private lists hold a source index.
has_source_index() {  # apt dir
    for f in "$1"/lists/*_source_Sources*; do
        [ -s "$f" ] && return 0
    done
    return 1
}

# apt-get source through a private source list, so the host's apt state stays untouched.
fetch_source() {  # package, target dir
    apt_dir=$DEPS/apt
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
    echo "deb-src http://deb.debian.org/debian bookworm main" > "$apt_dir/sources.list"
    opts="-o Dir::Etc::SourceList=$apt_dir/sources.list -o Dir::Etc::SourceParts=/nonexistent \
-o Dir::State::Lists=$apt_dir/lists -o Dir::Cache::Archives=$apt_dir/archives \
-o Debug::NoLocking=1 -o APT::Sandbox::User=$(id -un)"
    # apt-get update exits 0 when no fetch succeeded: the marker goes in only
    # once the source index is there, so a run offline is not remembered.
    if [ ! -e "$apt_dir/updated" ] || ! has_source_index "$apt_dir"; then
        rm -f "$apt_dir/updated"
        # shellcheck disable=SC2086
        apt-get $opts -qq update >&2 || true
        if ! has_source_index "$apt_dir"; then
            log "could not reach Debian's registry (deb.debian.org) for the source index;"
            log "check the network, then run the set-up again (sh scripts/setup.sh)"
            return 1
        fi
        touch "$apt_dir/updated"
    fi
    rm -rf "$2" && mkdir -p "$2"
    # shellcheck disable=SC2086
    (cd "$2" && apt-get $opts -qq --download-only source "$1" >&2 &&
        dpkg-source --no-check -x ./*.dsc src >/dev/null)
}

# libsrtp2.a and its public headers into a prefix; configure options follow.
build_srtp_into() {  # out dir, description, configure options...
    out=$1
    [ -f "$out/lib/libsrtp2.a" ] && return 0
    log "building libsrtp2 ($2)"
    shift 2
    work=$DEPS/scratch/libsrtp2
    fetch_source libsrtp2 "$work"
    (cd "$work/src" &&
        ./configure --prefix="$out" "$@" >build.log 2>&1 &&
        make -j"$JOBS" libsrtp2.a >>build.log 2>&1) || fail "$work/src/build.log"
    mkdir -p "$out/lib" "$out/include/srtp2"
    cp "$work/src/include/srtp.h" "$work/src/crypto/include/auth.h" \
        "$work/src/crypto/include/cipher.h" "$work/src/crypto/include/crypto_types.h" \
        "$out/include/srtp2/"
    cp "$work/src/libsrtp2.a" "$out/lib/libsrtp2.a.part"
    mv "$out/lib/libsrtp2.a.part" "$out/lib/libsrtp2.a"
    ls "$work" | sed -n 's/\.dsc$//p' > "$out/source"
    rm -rf "$work"
}

build_srtp() {
    build_srtp_into "$SRTP_OUT" "x86_64-w64-mingw32" \
        --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix
}

build_openssl() {
    [ -f "$SSL_OUT/lib/libcrypto.a" ] && return 0
    log "building libcrypto for i686-w64-mingw32"
    work=$DEPS/scratch/openssl
    fetch_source openssl "$work"
    (cd "$work/src" &&
        ./Configure mingw no-shared no-asm no-tests no-module \
            --cross-compile-prefix=i686-w64-mingw32- --prefix="$SSL_OUT" >build.log 2>&1 &&
        make -j"$JOBS" build_libs >>build.log 2>&1) || fail "$work/src/build.log"
    mkdir -p "$SSL_OUT/lib" "$SSL_OUT/include"
    cp -r "$work/src/include/openssl" "$SSL_OUT/include/"
    cp "$work/src/libcrypto.a" "$SSL_OUT/lib/libcrypto.a.part"
    mv "$SSL_OUT/lib/libcrypto.a.part" "$SSL_OUT/lib/libcrypto.a"
    ls "$work" | sed -n 's/\.dsc$//p' > "$SSL_OUT/source"
    rm -rf "$work"
}

# A library file marks a complete build: it goes in after the headers, whole.
if [ -n "$cached" ]; then
    if [ "$1" = linux ]; then
        [ -f "$LINUX_SRTP_OUT/lib/libsrtp2.a" ] || exit 1
        echo "$LINUX_SRTP_OUT"
    else
        [ -f "$SRTP_OUT/lib/libsrtp2.a" ] && [ -f "$SSL_OUT/lib/libcrypto.a" ] || exit 1
        echo "$DEPS"
    fi
    exit 0
fi

mkdir -p "$DEPS"
if [ "$1" = linux ]; then
    build_srtp_into "$LINUX_SRTP_OUT" "linux, OpenSSL crypto" --enable-openssl CFLAGS="-O2 -fPIC"
    echo "$LINUX_SRTP_OUT"
    exit 0
fi
build_srtp
build_openssl
echo "$DEPS"
