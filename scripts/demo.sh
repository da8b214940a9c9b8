#!/bin/sh
# Builds the two libraries and shows what they export to the JVM.
set -e
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
for lib in build/mediarelay/libmediarelay.so build/sysaux/libsysaux.so; do
    [ -f "$lib" ] || continue
    echo "== $(basename "$lib")"
    nm -D --defined-only "$lib" | awk '$2 == "T" { print "  " $3 }' | sort
done
