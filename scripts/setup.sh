#!/bin/sh
# Installs, as root on Debian 12, only the packages this tree needs that are
# missing, then builds the libraries of scripts/build-deps.sh that are not in
# its cache yet (Debian source packages of libsrtp2 and openssl, fetched from
# Debian's registry). Configure, build and tests use only that cache.
# Idempotent: prints nothing and touches nothing when everything is present.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)

# clang and libclang-rt-dev (libFuzzer) for the short fuzz run of scripts/test.sh;
# mingw-w64 and wine for the Windows DLLs and their tests (wine32 needs i386).
PACKAGES="g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
libsrtp2-dev libssl-dev openssl openjdk-17-jdk-headless \
golang-go golang-github-pion-srtp.v2-dev clang libclang-rt-dev \
mingw-w64 wine wine64 wine32:i386 dpkg-dev"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

install_missing() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: missing packages:$missing (run as root to install them)" >&2
        exit 1
    fi
    echo "setup: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    case "$missing" in
        *:i386*)
            if ! dpkg --print-foreign-architectures | grep -qx i386; then
                dpkg --add-architecture i386
            fi
            ;;
    esac
    apt-get update -qq >/dev/null
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

[ -z "$missing" ] || install_missing

# build-deps.sh names what it builds on stderr and is silent when cached.
sh "$root/scripts/build-deps.sh" linux >/dev/null
if command -v x86_64-w64-mingw32-gcc-posix >/dev/null 2>&1 &&
    command -v i686-w64-mingw32-gcc-posix >/dev/null 2>&1; then
    sh "$root/scripts/build-deps.sh" windows >/dev/null
fi
