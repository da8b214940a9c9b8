#!/bin/sh
# Builds the benchmark in Release (build-bench) and runs it.
#   sh scripts/bench.sh [--quick] [--seconds N] [--flat-seconds N] [--only I] [--runs N]
# --only I runs one relay scenario (relay_bench --help lists them) and skips
# srtp_bench; --runs N gives the spread over N runs, e.g.
#   sh scripts/bench.sh --quick --only 4 --runs 5
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target relay_bench -j "$(nproc)" >/dev/null
# srtp_bench exists when Google Benchmark was found. Raw and relay runs are
# interleaved and medians compared: with a thousand sessions the figures move
# with the machine's cache load.
case " $* " in
  *" --only "*) one=yes ;;
  *) one="" ;;
esac
if [ -n "$one" ]; then
  :
elif cmake --build "$build" --target help | grep -q srtp_bench; then
  cmake --build "$build" --target srtp_bench -j "$(nproc)" >/dev/null
  "$build/bench/srtp_bench" --benchmark_min_time=0.5 --benchmark_repetitions=9 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
else
  echo "bench: Google Benchmark not found, srtp_bench skipped"
fi
"$build/bench/relay_bench" "$@"
