#!/bin/sh
# Installs, as root on Debian 12, only the packages this tree needs that are missing.
# Idempotent: prints nothing and touches nothing when everything is present.
set -e

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
[ -z "$missing" ] && exit 0

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
