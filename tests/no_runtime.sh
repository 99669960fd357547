#!/bin/sh
# SPDX-License-Identifier: MIT
# The agent must carry no C++ runtime: no allocation operators, no exception
# or guard machinery, no demangler; and its stripped size must stay within
# 16 KiB of a no-op program linked the same way.
# usage: no_runtime.sh NM STRIP AGENT NOOP
set -eu
nm=$1 strip=$2 agent=$3 noop=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if "$nm" "$agent" | grep -E ' (_Zn[wa][jm]|_Zd[la]Pv|__cxa_throw|__cxa_guard_acquire|__cxa_demangle|__gxx_personality_v0|_ZSt9terminate)' ; then
    echo "FAIL: C++ runtime symbols in $agent"
    exit 1
fi
"$strip" -o "$tmp/agent" "$agent"
"$strip" -o "$tmp/noop" "$noop"
a=$(stat -c %s "$tmp/agent")
n=$(stat -c %s "$tmp/noop")
echo "stripped agent: $a bytes, stripped no-op: $n bytes, difference: $((a - n)) bytes"
if [ $((a - n)) -gt 16384 ]; then
    echo "FAIL: the agent is more than 16 KiB larger than the no-op"
    exit 1
fi
