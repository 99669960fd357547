# SPDX-License-Identifier: MIT
# Sourced by tools/test-all and harness/board/prepare: apt commands that
# survive an archive in the middle of a sync. apt's exit status tells nothing
# either way: an ignored index exits 100 with the rest fetched, and a network
# failure can exit 0 with no index at all. What decides is whether the
# package then comes.

# apt_update APT...: "APT... update"; shows apt's errors and warnings on
# stderr and goes on whatever it exits with.
apt_update() {
    local out
    out=$("$@" update 2>&1) || true
    printf '%s\n' "$out" | grep -E '^(E|W): ' >&2 || true
}

# apt_retry WHAT APT... -- ARGS...: "APT... ARGS..."; when that fails, a
# fresh update and once more, since the lists may name a version the archive
# has dropped. Then fails naming WHAT, with apt's error.
apt_retry() {
    local what=$1 apt=() out
    shift
    while [ "$1" != -- ]; do apt+=("$1"); shift; done
    shift
    out=$("${apt[@]}" "$@" 2>&1) && return 0
    apt_update "${apt[@]}"
    out=$("${apt[@]}" "$@" 2>&1) && return 0
    printf '%s\n' "$out" | grep -E '^(E|W): ' >&2 || printf '%s\n' "$out" >&2
    echo "could not get $what from the archive" >&2
    return 1
}
