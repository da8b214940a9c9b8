#!/bin/sh
# Installs, as root on Debian 12, the cross compilers and wine for the Windows
# builds and their tests, only what is missing. Prints nothing when all is present.
set -e

PACKAGES="mingw-w64 wine wine64 wine32:i386 dpkg-dev"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "setup-windows: missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
echo "setup-windows: installing$missing"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
apt-get update -qq >/dev/null
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
