#!/usr/bin/env bash
# Instructions of the host thread per relayed frame, sealed against plain,
# counted by callgrind: steady where CPU time scatters with the machine's
# load. Each variant runs at two lengths and the difference is divided by
# the frames it added, so start-up and the key exchanges cancel out. Only
# user space is counted: the kernel's share (the datagrams' system calls,
# most of the time) is not, so the percentage is far above the time's.
# Usage: bench/session/instructions.sh BUILD_DIR [FRAMES]
set -euo pipefail
bin="$1/bin"
frames="${2:-300}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
# Prints the host thread's instructions and the frames relayed.
count() {
    valgrind --tool=callgrind --separate-threads=yes --callgrind-out-file="$tmp/cg" \
        "$bin/$1" relay "$2" >"$tmp/out" 2>/dev/null
    echo "$(callgrind_annotate "$tmp/cg-01" | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')" \
        "$(sed -n 's/.* \([0-9]*\) of [0-9]* forwarded.*/\1/p' "$tmp/out")"
    rm -f "$tmp"/cg*
}
perFrame() {
    local i1 r1 i2 r2
    read -r i1 r1 < <(count "$1" 100)
    read -r i2 r2 < <(count "$1" $((100 + frames)))
    echo $(((i2 - i1) / (r2 - r1)))
}
p=$(perFrame bench_session_plain)
s=$(perFrame bench_session)
echo "instructions per relayed frame, host thread, user space: plain $p, sealed $s:" \
    "$(echo "scale=1; 100*($s-$p)/$p" | bc) % more"
