#!/bin/sh
# Builds the libraries and runs the relay demo: two local UDP "phones" talk
# through two paired relay endpoints, one of them behind a simulated NAT.
# Runs the set-up script first (silent when all is installed).
set -e
cd "$(dirname "$0")/.."
sh scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target mediarelay java_host
mkdir -p build/demo
javac -Xlint:all -Werror -cp build/java/classes -d build/demo \
    $(find java/demo -name '*.java')
exec java -cp build/java/classes:build/demo com.tavindo.demo.RelayDemo \
    build/mediarelay/libmediarelay.so
