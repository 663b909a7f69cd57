#!/usr/bin/env bash
# Host CPU per relayed frame, sealed against the same code without the
# cipher, run alternately so both see the same machine load.
# Usage: bench/session/compare.sh BUILD_DIR [ROUNDS [FRAMES]]
set -euo pipefail
bin="$1/bin"
rounds="${2:-5}"
frames="${3:-500}"
figure() { "$bin/$1" relay "$frames" | sed -n 's/.*, \([0-9.]*\) us per relayed frame/\1/p'; }
median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
plain=() sealed=() more=()
for ((i = 0; i < rounds; ++i)); do
    plain+=("$(figure bench_session_plain)")
    sealed+=("$(figure bench_session)")
    more+=("$(echo "scale=2; 100*(${sealed[-1]}-${plain[-1]})/${plain[-1]}" | bc)")
    echo "round $((i + 1)): plain ${plain[-1]} us, sealed ${sealed[-1]} us, load $(cut -d' ' -f1-3 /proc/loadavg)"
done
p=$(printf '%s\n' "${plain[@]}" | median)
s=$(printf '%s\n' "${sealed[@]}" | median)
echo "median: plain $p us, sealed $s us per relayed frame: $(echo "scale=1; 100*($s-$p)/$p" | bc) % more"
# Each round's pair saw nearly the same load, so this one drifts less.
echo "median of the rounds' own differences: $(printf '%s\n' "${more[@]}" | median) % more"
