#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs one fuzz target for a bounded time from the seed corpus; new inputs go
# to a scratch corpus, so the repository is never written. Fails on a missing
# target or seeds, on any crash, trap, sanitizer report, leak, slow input or
# out-of-memory, and on anything else that ends the fuzzer early.
# usage: run_fuzz.sh TARGET SEEDS SECONDS
set -eu
target=$1 seeds=$2 seconds=$3
[ -x "$target" ] || { echo "FAIL: no fuzz target at $target"; exit 1; }
[ -d "$seeds" ] || { echo "FAIL: no seed corpus at $seeds"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/findings"
cd "$work"
status=0
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=512 -print_final_stats=1 -max_len=512 \
    -artifact_prefix="$work/findings/" "$work/corpus" "$seeds" >"$work/log" 2>&1 || status=$?
findings=$(ls "$work/findings")
if [ "$status" -ne 0 ] || [ -n "$findings" ] || grep -q '^SUMMARY: ' "$work/log"; then
    grep -E -A12 '^==[0-9]+==|^SUMMARY: |^[a-z_]+: .*error|deadly signal|timeout|out-of-memory' "$work/log" | head -n 60
    for f in $findings; do
        echo "finding $f: $(od -An -c "$work/findings/$f" | head -n 4 | tr -s ' ')"
    done
    echo "FAIL: $(basename "$target") exited $status"
    exit 1
fi
tail -n 12 "$work/log"
