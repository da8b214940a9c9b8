#!/bin/sh
# The demo and test commands run the set-up script before anything else: with
# every package reported missing and no root, each must stop with the set-up
# script's message before it reaches cmake.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT

stub() {  # name, body
    printf '#!/bin/sh\n%s\n' "$2" >"$fake/$1"
    chmod +x "$fake/$1"
}
stub dpkg-query 'exit 1'
stub id 'echo 1000'
for tool in cmake javac java; do
    stub "$tool" "echo REACHED-$tool; exit 3"
done

failed=0
for cmd in test.sh demo.sh; do
    out=$(PATH="$fake:$PATH" sh "$root/scripts/$cmd" 2>&1)
    rc=$?
    if [ "$rc" -eq 0 ]; then
        echo "FAIL $cmd: exit 0 with packages missing"; failed=1
    fi
    case "$out" in
        *"setup: missing packages"*) ;;
        *) echo "FAIL $cmd: set-up script did not run"; failed=1 ;;
    esac
    case "$out" in
        *REACHED-*) echo "FAIL $cmd: went on past a failed set-up"; failed=1 ;;
    esac
done
[ "$failed" -eq 0 ] && echo "setup_first: ok"
exit "$failed"
