#!/bin/sh
# Builds the Windows libraries the cross builds link: libsrtp2 for x86_64
# (internal crypto) and OpenSSL's libcrypto for i686, from Debian's own source
# packages. The results are cached outside the tree and built only when missing.
#
#   sh scripts/build-windows-deps.sh        prints the cache directory
#
# The cache lies in $TAVINDO_WIN_DEPS, default $HOME/.cache/tavindo-win-deps/<recipe>.
set -e

RECIPE=bookworm-r1
DEPS=${TAVINDO_WIN_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/tavindo-win-deps/$RECIPE}
SRTP_OUT=$DEPS/x86_64/libsrtp2
SSL_OUT=$DEPS/i686/openssl
JOBS=$(nproc 2>/dev/null || echo 2)

log() { echo "build-windows-deps: $*" >&2; }
fail() { tail -n 30 "$1" >&2; log "failed, see $1"; exit 1; }

# apt-get source through a private source list, so the host's apt state stays untouched.
fetch_source() {  # package, target dir
    apt_dir=$DEPS/apt
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
    echo "deb-src http://deb.debian.org/debian bookworm main" > "$apt_dir/sources.list"
    opts="-o Dir::Etc::SourceList=$apt_dir/sources.list -o Dir::Etc::SourceParts=/nonexistent \
-o Dir::State::Lists=$apt_dir/lists -o Dir::Cache::Archives=$apt_dir/archives \
-o Debug::NoLocking=1 -o APT::Sandbox::User=$(id -un)"
    if [ ! -e "$apt_dir/updated" ]; then
        # shellcheck disable=SC2086
        apt-get $opts -qq update >&2
        touch "$apt_dir/updated"
    fi
    rm -rf "$2" && mkdir -p "$2"
    # shellcheck disable=SC2086
    (cd "$2" && apt-get $opts -qq --download-only source "$1" >&2 &&
        dpkg-source --no-check -x ./*.dsc src >/dev/null)
}

build_srtp() {
    [ -f "$SRTP_OUT/lib/libsrtp2.a" ] && return 0
    log "building libsrtp2 for x86_64-w64-mingw32"
    work=$DEPS/scratch/libsrtp2
    fetch_source libsrtp2 "$work"
    (cd "$work/src" &&
        ./configure --host=x86_64-w64-mingw32 --prefix="$SRTP_OUT" \
            CC=x86_64-w64-mingw32-gcc-posix >build.log 2>&1 &&
        make -j"$JOBS" libsrtp2.a >>build.log 2>&1) || fail "$work/src/build.log"
    mkdir -p "$SRTP_OUT/lib" "$SRTP_OUT/include/srtp2"
    cp "$work/src/include/srtp.h" "$work/src/crypto/include/auth.h" \
        "$work/src/crypto/include/cipher.h" "$work/src/crypto/include/crypto_types.h" \
        "$SRTP_OUT/include/srtp2/"
    cp "$work/src/libsrtp2.a" "$SRTP_OUT/lib/"
    ls "$work" | sed -n 's/\.dsc$//p' > "$SRTP_OUT/source"
    rm -rf "$work"
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
    cp "$work/src/libcrypto.a" "$SSL_OUT/lib/"
    ls "$work" | sed -n 's/\.dsc$//p' > "$SSL_OUT/source"
    rm -rf "$work"
}

mkdir -p "$DEPS"
build_srtp
build_openssl
echo "$DEPS"
