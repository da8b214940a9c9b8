#!/bin/sh
# Builds the benchmark in Release (build-bench) and runs it.
#   sh scripts/bench.sh [--quick] [--seconds N] [--flat-seconds N] [--only I] [--runs N]
# --only I runs one relay scenario (relay_bench --help lists them) and skips
# srtp_bench; --runs N gives the spread over N runs, e.g.
#   sh scripts/bench.sh --quick --only 4 --runs 5
#
# CMAKE_BUILD_PARALLEL_LEVEL sets the build's parallel jobs (default: all cores).
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# Builds quietly: the whole output only on failure, else the libsrtp2 note.
build_targets() {
  if ! out=$(cmake --build "$build" -j "$jobs" --target "$@" 2>&1); then
    printf '%s\n' "$out"
    exit 1
  fi
  printf '%s\n' "$out" | grep '^note: libsrtp2' || true
}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
# srtp_bench exists when Google Benchmark was found. Raw and relay runs are
# interleaved and medians compared: with a thousand sessions the figures move
# with the machine's cache load.
case " $* " in
  *" --only "*) one=yes ;;
  *) one="" ;;
esac
# grep reads the whole list: grep -q would close the pipe on make.
if cmake --build "$build" --target help | grep srtp_bench >/dev/null; then
  have_srtp_bench=yes
else
  have_srtp_bench=""
fi
if [ -n "$have_srtp_bench" ] && [ -z "$one" ]; then
  build_targets relay_bench srtp_bench
else
  build_targets relay_bench
fi
if [ -n "$one" ]; then
  :
elif [ -n "$have_srtp_bench" ]; then
  "$build/bench/srtp_bench" --benchmark_min_time=0.5 --benchmark_repetitions=9 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
else
  echo "bench: Google Benchmark not found, srtp_bench skipped"
fi
"$build/bench/relay_bench" "$@"
