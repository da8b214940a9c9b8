#!/bin/sh
# Cross-builds the Windows DLLs and runs their tests under wine, each run in a
# fresh WINEPREFIX.
#   sh scripts/test-windows.sh [relay|sysaux|all] [build dir] [Linux libsysaux.so]
# Without the cross compilers, wine or the cross-built libraries of
# scripts/setup.sh it reports a skip (exit 77); it never fetches or builds them.
# Exit 77 also when the 32-bit part cannot start here and all else passed.
set -e
PART=${1:-all}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${2:-$ROOT/build-win}
LINUX_SYSAUX=${3:-$ROOT/build/sysaux/libsysaux.so}

for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix wine; do
    command -v "$tool" >/dev/null 2>&1 || { echo "test-windows: $tool missing, skipped"; exit 77; }
done
JAVAC=$(readlink -f "$(command -v javac)")
JDK_INCLUDE=$(dirname "$(dirname "$JAVAC")")/include
DEPS=$(sh "$ROOT/scripts/build-deps.sh" --cached windows) || {
    echo "test-windows: the cross-built libsrtp2 and libcrypto are not built; run scripts/setup.sh. Skipped"
    exit 77
}

build() {  # arch, dir
    cmake -S "$ROOT/win" -B "$2" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$1.cmake" \
        -DWIN_DEPS="$DEPS" -DJDK_INCLUDE="$JDK_INCLUDE" >/dev/null
    cmake --build "$2" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}" >/dev/null
}

WORK=$(mktemp -d)
# A prefix's wineserver lingers a few seconds and writes the prefix as it
# exits: wait for it (bounded) before removing the prefixes.
cleanup() {
    for prefix in "$WORK"/prefix-*; do
        [ ! -d "$prefix" ] || WINEPREFIX=$prefix timeout 60 wineserver -w || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=

# The wine command starts the 32-bit loader whenever one is installed, also
# for 64-bit programs, and a kernel without 32-bit support cannot start it:
# 64-bit programs go to the 64-bit loader, on the path or beside the command's
# own script.
WINE64=$(command -v wine64 || true)
[ -n "$WINE64" ] || WINE64=$(dirname "$(readlink -f "$(command -v wine)")")/../lib/wine/wine64
[ -x "$WINE64" ] || WINE64=$(command -v wine)

# Runs a test program under wine in a fresh prefix; its summary line must say
# "0 failed" (a 32-bit run without wine32 prints nothing and exits 0).
run_wine() {  # name, loader, program, args...
    name=$1
    loader=$2
    shift 2
    out=$WORK/$name.out
    rc=0
    WINEPREFIX=$WORK/prefix-$name timeout 300 env WINELOADER="$loader" "$loader" "$@" \
        >"$out" 2>"$WORK/$name.err" || rc=$?
    cat "$out"
    if [ $rc -ne 0 ] || ! grep -q " checks, 0 failed" "$out"; then
        echo "test-windows: $name failed (exit $rc)"
        tail -n 20 "$WORK/$name.err"
        return 1
    fi
}

winpath() { echo "Z:$1" | tr / '\\'; }

# The select mode runs on the tests' build of the relay, whose test hook
# (JLIB_TEST_NO_WSAPOLL, set by the test programs) forces the select fallback;
# the shipped DLL must not carry that hook.
relay() {
    build x86_64 "$BUILD/x86_64"
    hook=JLIB_TEST_NO_WSAPOLL
    grep -qa "$hook" "$BUILD/x86_64/mediarelay_hooks.dll" ||
        { echo "test-windows: mediarelay_hooks.dll lacks the test hook"; return 1; }
    if grep -qa "$hook" "$BUILD/x86_64/mediarelay.dll"; then
        echo "test-windows: the shipped mediarelay.dll carries the test hook"
        return 1
    fi
    for mode in poll select; do
        dll=mediarelay.dll
        [ $mode = poll ] || dll=mediarelay_hooks.dll
        mkdir -p "$WORK/jlib-$mode" "$WORK/relay-$mode"
        run_wine "jlib-$mode" "$WINE64" "$BUILD/x86_64/jlib_win_test.exe" $mode \
            "$(winpath "$WORK/jlib-$mode")"
        run_wine "relay-$mode" "$WINE64" "$BUILD/x86_64/relay_win_test.exe" $mode \
            "$(winpath "$BUILD/x86_64/$dll")" "$(winpath "$WORK/relay-$mode")"
    done
}

sysaux() {
    build i686 "$BUILD/i686"
    [ -f "$LINUX_SYSAUX" ] || { echo "test-windows: $LINUX_SYSAUX missing"; return 1; }
    if ! wine --version >/dev/null 2>&1; then
        echo "test-windows: the 32-bit wine loader cannot start here, sysaux skipped"
        exit 77
    fi
    mkdir -p "$WORK/win" "$WORK/linux" "$WORK/driver"
    run_wine sysaux "$(command -v wine)" "$BUILD/i686/sysaux_win_test.exe" \
        "$(winpath "$BUILD/i686/sysaux.dll")" "$(winpath "$WORK/win")"
    # The same driver on Linux, against the Linux library.
    g++ -std=c++17 -Wall -Wextra -Wno-unused-parameter -I"$ROOT/tests/win" -I"$JDK_INCLUDE" \
        -I"$JDK_INCLUDE/linux" -o "$WORK/driver/sysaux_driver" \
        "$ROOT/tests/win/sysaux_driver.cpp" "$ROOT/tests/win/fakejni.cpp" -ldl -pthread
    "$WORK/driver/sysaux_driver" "$LINUX_SYSAUX" "$WORK/linux" >"$WORK/linux.out"
    grep -q " checks, 0 failed" "$WORK/linux.out" || { cat "$WORK/linux.out"; return 1; }
    n=0
    for f in "$WORK"/win/enc_*.bin; do
        b=$(basename "$f")
        cmp "$f" "$WORK/linux/$b" || { echo "test-windows: $b differs from the Linux build"; return 1; }
        name=${b#enc_}
        bits=${name##*_}
        bits=${bits%.bin}
        name=${name%_*}
        case $name in nopass) pw="" ;; lines) pw="pass word" ;; *) pw=secret ;; esac
        openssl enc -d -aes-"$bits"-cbc -md md5 -pass pass:"$pw" -in "$f" \
            -out "$WORK/dec" 2>/dev/null
        cmp "$WORK/dec" "$WORK/win/in_$name.bin" || { echo "test-windows: $b does not decrypt"; return 1; }
        n=$((n + 1))
    done
    [ $n -eq 12 ] || { echo "test-windows: $n outputs, expected 12"; return 1; }
    echo "sysaux: $n outputs byte-identical to the Linux build and decrypted by openssl"
}

case $PART in
    relay) relay ;;
    sysaux) sysaux ;;
    # Not "relay && sysaux": set -e does not act inside the left side of &&.
    all) relay; sysaux ;;
    *) echo "usage: test-windows.sh [relay|sysaux|all] [build dir] [Linux libsysaux.so]"; exit 2 ;;
esac
