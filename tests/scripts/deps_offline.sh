#!/bin/sh
# A set-up run without network must not be remembered as a done source-list
# update: a fake apt-get whose update reaches nothing (it exits 0, as apt-get
# does), then one that fetches the index. The second run must update again,
# and only it leaves the marker. Nothing here reaches the network.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/cache"
calls="$work/calls"
cat >"$work/bin/apt-get" <<'FAKE'
#!/bin/sh
lists=""
cmd=""
for a in "$@"; do
    case "$a" in
        Dir::State::Lists=*) lists=${a#Dir::State::Lists=} ;;
        update|source) cmd=$a ;;
    esac
done
echo "$cmd" >>"$FAKE_CALLS"
case "$cmd" in
    update)
        if [ "$FAKE_ONLINE" = 1 ]; then
            echo "Package: libsrtp2" >"$lists/deb.debian.org_debian_dists_bookworm_main_source_Sources"
        else
            echo "W: Failed to fetch http://deb.debian.org/debian/dists/bookworm/InRelease" >&2
        fi
        exit 0 ;;
    source)
        ls "$lists" | grep -q _source_Sources ||
            { echo "E: You must put some 'deb-src' URIs in your sources.list" >&2; exit 100; }
        echo "fake: no download here" >&2
        exit 3 ;;
esac
exit 3
FAKE
printf '#!/bin/sh\necho REACHED-%s\nexit 3\n' dpkg-source >"$work/bin/dpkg-source"
chmod +x "$work/bin/apt-get" "$work/bin/dpkg-source"
export PATH="$work/bin:$PATH" TAVINDO_WIN_DEPS="$work/cache" FAKE_CALLS="$calls"
marker="$work/cache/apt/updated"

failed=0
fail() { echo "FAIL $*"; failed=1; }

run() {  # online flag
    : >"$calls"
    FAKE_ONLINE=$1 sh "$root/scripts/build-deps.sh" linux 2>&1
}

out=$(run 0)
rc=$?
[ $rc -ne 0 ] || fail "offline: exit 0"
[ ! -e "$marker" ] || fail "offline: the update is marked done"
case "$out" in
    *"could not reach Debian's registry"*"run the set-up again"*) ;;
    *) fail "offline: no plain message in: $out" ;;
esac
grep -qx source "$calls" && fail "offline: went on to apt-get source"

out=$(run 1)
grep -qx update "$calls" || fail "online after offline: no update run"
[ -e "$marker" ] || fail "online: the update is not marked done"
case "$out" in
    *"deb-src"*) fail "online after offline: source list still empty: $out" ;;
esac
grep -qx source "$calls" || fail "online: apt-get source not reached"

# Marked done with the index there: no second update.
run 1 >/dev/null
grep -qx update "$calls" && fail "a done update ran again"

# A marker left without its index (an older set-up's offline run) heals.
rm -f "$work/cache/apt/lists/"*_source_Sources
run 1 >/dev/null
grep -qx update "$calls" || fail "a marker without an index skipped the update"

[ "$failed" -eq 0 ] && echo "deps_offline: ok"
exit "$failed"
