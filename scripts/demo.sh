#!/bin/sh
# Builds the libraries and runs the relay demo: two local UDP "phones" talk
# through two paired relay endpoints, one of them behind a simulated NAT.
# Runs the set-up script first (silent when all is installed).
# CMAKE_BUILD_PARALLEL_LEVEL sets the build's parallel jobs (default: all cores).
set -e
cd "$(dirname "$0")/.."
sh scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" --target mediarelay java_host
mkdir -p build/demo
javac -Xlint:all -Werror -cp build/java/classes -d build/demo \
    $(find java/demo -name '*.java')
# The relay's log directory, removed when the demo ends.
logdir=$(mktemp -d "${TMPDIR:-/tmp}/relaydemo.XXXXXX")
trap 'rm -rf "$logdir"' EXIT
java -cp build/java/classes:build/demo com.tavindo.demo.RelayDemo \
    build/mediarelay/libmediarelay.so "$logdir"
