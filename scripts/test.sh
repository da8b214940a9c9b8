#!/bin/sh
# Builds everything and runs every test. A first argument picks a sanitizer
# build in its own directory: asan (ASan+UBSan) or tsan.
set -e
cd "$(dirname "$0")/.."
case "$1" in
    asan) dir=build-asan; opts="-DJLIB_ASAN=ON" ;;
    tsan) dir=build-tsan; opts="-DJLIB_TSAN=ON" ;;
    "")   dir=build; opts="" ;;
    *)    echo "usage: $0 [asan|tsan]" >&2; exit 2 ;;
esac
# shellcheck disable=SC2086
cmake -S . -B "$dir" $opts >/dev/null
cmake --build "$dir" -j"$(nproc)"
cd "$dir"
ctest --output-on-failure -j"$(nproc)"
