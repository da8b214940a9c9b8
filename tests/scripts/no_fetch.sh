#!/bin/sh
# Configure and the Windows test command use only the cache of scripts/setup.sh:
# with an empty cache and every fetching tool stubbed out, configure falls back
# to the system libsrtp2 and says so, and test-windows.sh skips and names the
# set-up command. Neither may reach a fetching tool.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/cache"
for tool in apt-get dpkg-source curl wget git; do
    printf '#!/bin/sh\necho REACHED-%s\nexit 3\n' "$tool" >"$work/bin/$tool"
    chmod +x "$work/bin/$tool"
done
export PATH="$work/bin:$PATH" TAVINDO_WIN_DEPS="$work/cache"

failed=0
fail() { echo "FAIL $*"; failed=1; }
expect() {  # what, text, pattern
    case "$2" in
        *REACHED-*) fail "$1: reached a fetching tool: $2" ;;
    esac
    case "$2" in
        *"$3"*) ;;
        *) fail "$1: no \"$3\" in: $2" ;;
    esac
}

out=$(sh "$root/scripts/build-deps.sh" --cached linux 2>&1)
[ $? -eq 1 ] || fail "build-deps --cached linux: exit not 1 for an empty cache"
[ -z "$out" ] || fail "build-deps --cached linux printed: $out"

out=$(cmake -S "$root" -B "$work/build" 2>&1) || fail "configure failed: $out"
expect configure "$out" "linking the system libsrtp2"
grep -rq 'FALLBACK to the system one' "$work/build/bench" ||
    fail "configure: the benchmarks are not told of the fallback"
# A named target prints the note too (a dry run of make lists its echo).
if [ -f "$work/build/Makefile" ]; then
    out=$(cmake --build "$work/build" --target mediarelay -- -n 2>&1)
    expect "named target" "$out" "note: libsrtp2: FALLBACK"
fi

if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v i686-w64-mingw32-g++-posix >/dev/null &&
    command -v wine >/dev/null; then
    out=$(sh "$root/scripts/test-windows.sh" relay "$work/win" 2>&1)
    rc=$?
    [ $rc -eq 77 ] || fail "test-windows: exit $rc, not the skip (77)"
    expect test-windows "$out" "run scripts/setup.sh"
else
    echo "note: no mingw or wine, test-windows.sh not tried"
fi
[ "$failed" -eq 0 ] && echo "no_fetch: ok"
exit "$failed"
