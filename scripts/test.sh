#!/bin/sh
# Builds everything and runs every test. A first argument picks a sanitizer
# build in its own directory: asan (ASan+UBSan) or tsan; "fuzz" does only the
# short fuzz run. A second argument names the build directory instead.
#
# The plain run ends with the short fuzz run when clang can link libFuzzer:
# each fuzz target for JLIB_FUZZ_SECONDS (8) from its kept corpus, in a clang
# build of its own (<build dir>-fuzz); new inputs go to scratch directories,
# never into tests/, and a crash fails the run.
#
# It runs the set-up script first, which is silent when all is installed.
# CMAKE_BUILD_PARALLEL_LEVEL and CTEST_PARALLEL_LEVEL set the parallel jobs
# of the build and of the tests (default: all cores).
set -e
cd "$(dirname "$0")/.."
sh scripts/setup.sh
fuzz=""
case "$1" in
    asan) dir=build-asan; opts="-DJLIB_ASAN=ON" ;;
    tsan) dir=build-tsan; opts="-DJLIB_TSAN=ON" ;;
    fuzz) dir=build-fuzz; fuzz=only ;;
    "")   dir=build; opts=""; fuzz=after ;;
    *)    echo "usage: $0 [asan|tsan|fuzz] [build dir]" >&2; exit 2 ;;
esac
dir=${2:-$dir}
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
test_jobs=${CTEST_PARALLEL_LEVEL:-$jobs}

# Whether clang++ links a libFuzzer program.
has_libfuzzer() {
    command -v clang++ >/dev/null 2>&1 || return 1
    t=$(mktemp -d)
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
        >"$t/probe.cpp"
    rc=0
    clang++ -fsanitize=fuzzer -o "$t/probe" "$t/probe.cpp" >/dev/null 2>&1 || rc=1
    rm -rf "$t"
    return $rc
}

fuzz_run() {  # build dir
    if ! has_libfuzzer; then
        echo "test: clang with libFuzzer not found, fuzz run skipped"
        return 0
    fi
    start=$(date +%s)
    cmake -S . -B "$1" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DJLIB_FUZZ=ON >/dev/null
    cmake --build "$1" --target fuzz_targets -j"$jobs"
    (cd "$1" && ctest -L fuzz-run --output-on-failure -j"$test_jobs")
    echo "test: fuzz run took $(($(date +%s) - start)) s"
}

if [ "$fuzz" = only ]; then
    fuzz_run "$dir"
    exit 0
fi
# shellcheck disable=SC2086
cmake -S . -B "$dir" $opts >/dev/null
cmake --build "$dir" -j"$jobs"
(cd "$dir" && ctest --output-on-failure -j"$test_jobs")
if [ "$fuzz" = after ]; then
    fuzz_run "$dir-fuzz"
fi
