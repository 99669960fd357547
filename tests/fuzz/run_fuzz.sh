#!/bin/sh
# Runs one fuzz target for a bounded time from the seed corpus; new inputs go
# to a scratch corpus, so the repository is never written. Any crash, trap,
# sanitizer report or leak fails the run.
# usage: run_fuzz.sh TARGET SEEDS SECONDS
set -eu
target=$1 seeds=$2 seconds=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
cd "$work"
"$target" -max_total_time="$seconds" -print_final_stats=1 -max_len=512 "$work/corpus" "$seeds" 2>&1 | tail -n 12
