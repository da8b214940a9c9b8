#!/bin/sh
# One short fuzz run: the target from its kept corpus, which it only reads,
# for at most the given seconds; new inputs go to a scratch corpus removed
# afterwards, the input of a crash to the artifact directory.
#   fuzz_run.sh target corpus artifact-dir seconds
set -e
target=$1
corpus=$2
artifacts=$3
seconds=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"
"$target" -max_total_time="$seconds" -timeout=10 -seed=1 -max_len=2048 \
    -artifact_prefix="$artifacts/" "$work" "$corpus"
