#!/usr/bin/env bash
# Host CPU per relayed frame, sealed against the same code without the
# cipher, run alternately so both see the same machine load; which of the
# two goes first alternates too. Per round: the whole run, the median tick
# (whatever struck a few ticks left out) and the relaying alone. Rounds
# scatter by process, not by length: many short ones tell more than a few
# long ones.
# With HOST_CPU and SPEAKERS_CPU, both sides pinned: where they run changes
# what a datagram costs the host, which otherwise scatters the rounds.
# Usage: bench/session/compare.sh BUILD_DIR [ROUNDS [FRAMES [TICK_MS [HOST_CPU SPEAKERS_CPU]]]]
set -euo pipefail
bin="$1/bin"
rounds="${2:-25}"
frames="${3:-100}"
tick="${4:-20}"
pin=("${@:5:2}")
# Prints: whole run, median tick, relaying alone, sleeps; per relayed frame.
figure() {
    "$bin/$1" relay "$frames" "$tick" "${pin[@]}" | sed -n 's/.*: \([0-9.]*\) us per relayed frame;'`
        `' median tick \([0-9.]*\) us, relaying alone \([0-9.]*\) us.*; \([0-9.]*\) sleeps.*/'`
        `'\1 \2 \3 \4/p'
}
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
# The rounds between which the true median lies with at least 95 %
# confidence (the sign test's order statistics); rounds scatter too much
# for a median alone to settle anything.
interval() {
    sort -g | awk '{v[NR]=$1} END {
        n = NR; k = 0; p = 1 / 2 ^ n; c = p
        while (c <= 0.025) { k++; p *= (n - k + 1) / k; c += p }
        if (k == 0) print "none with so few rounds"; else print "from " v[k] " to " v[n - k + 1]
    }'
}
m() { printf '%s\n' "$@" | median; }
percent() { echo "scale=2; 100*($2-$1)/$1" | bc; }
declare -a pw pt pr st sw sr dw dt
for ((i = 0; i < rounds; ++i)); do
    if ((i % 2 == 0)); then
        read -r p1 p2 p3 p4 < <(figure bench_session_plain)
        read -r s1 s2 s3 s4 < <(figure bench_session)
    else
        read -r s1 s2 s3 s4 < <(figure bench_session)
        read -r p1 p2 p3 p4 < <(figure bench_session_plain)
    fi
    pw+=("$p1") pt+=("$p2") pr+=("$p3") sw+=("$s1") st+=("$s2") sr+=("$s3")
    dw+=("$(percent "$p1" "$s1")") dt+=("$(percent "$p2" "$s2")")
    echo "round $((i + 1)): plain $p1 us (tick $p2, relaying $p3, $p4 sleeps)," \
        "sealed $s1 us (tick $s2, relaying $s3, $s4 sleeps): ${dw[-1]} % (tick ${dt[-1]} %);" \
        "load $(cut -d' ' -f1-3 /proc/loadavg)"
done
# Medians of one figure over the rounds; with a third array, the median of
# each round's own difference, which drifts less: a pair saw the same load.
summary() {
    local -n plain=$2 sealed=$3
    local p s
    p=$(m "${plain[@]}") s=$(m "${sealed[@]}")
    echo "$1, medians: plain $p us, sealed $s us per relayed frame: $(percent "$p" "$s") % more"
    [ $# -lt 4 ] && return
    local -n own=$4
    echo "$1, median of the rounds' own differences: $(m "${own[@]}") % more," \
        "95 % confidence $(printf '%s\n' "${own[@]}" | interval) %" \
        "(rounds: $(printf '%s\n' "${own[@]}" | sort -g | tr '\n' ' '))"
}
summary "whole run" pw sw dw
summary "median tick" pt st dt
summary "relaying alone" pr sr
