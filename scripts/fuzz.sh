#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) in build-fuzz and runs one of them on its
# corpus for SECONDS; "all" runs each in turn (CI's regression run). New inputs collect in
# build-fuzz/corpus/TARGET, findings in build-fuzz/findings/, the inputs run by each in
# build-fuzz/runs.log. Extra arguments go to libFuzzer.
# Usage: scripts/fuzz.sh TARGET|all SECONDS [libFuzzer options...]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 TARGET|all SECONDS [libFuzzer options...]" >&2; exit 2; }
target="$1" seconds="$2"; shift 2
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${KALIMO_FUZZ_DIR:-$root/build-fuzz}"
build() {
    "$@" >"$dir/build.log" 2>&1 || { tail -40 "$dir/build.log" >&2; exit 1; }
}
mkdir -p "$dir"
# Configures only: the targets are built below, not every program of the tree.
build env CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    $(command -v ccache >/dev/null && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache) \
    -DKALIMO_FUZZ=ON -DKALIMO_BUILD_TESTS=OFF ${KALIMO_CMAKE_ARGS:-}
if [ "$target" = all ]; then
    targets=$(cd "$root/tests/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//')
    build cmake --build "$dir" --target kalimo_fuzz -j "$(nproc)"
else
    targets="$target"
    build cmake --build "$dir" --target "$target" -j "$(nproc)"
fi
# Leaks count here whatever the caller set: a later option wins. libFuzzer checks for a leak
# after every input that allocated more than it freed; the extra check at process exit is left
# out, as it only sees what the harness's long-lived server still held when Qt tore down its
# globals (Qt SQL's connection registry before the account thread's statements).
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1:leak_check_at_exit=0"
# Past CI's short runs, allocations keep two frames of their stack: Qt is built without frame
# pointers, so deeper frames are whatever its registers held, nearly every stack is new, and
# AddressSanitizer's stack store grows without end (a GiB in 20 minutes, slower by the minute).
# An input that fails is kept: run it again alone for the whole stacks.
[ "$seconds" -gt 60 ] && ASAN_OPTIONS="malloc_context_size=2:$ASAN_OPTIONS"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export QT_QPA_PLATFORM=offscreen
status=0
for t in $targets; do
    [ -x "$dir/fuzz/$t" ] || continue
    mkdir -p "$dir/corpus/$t" "$dir/findings"
    echo "== $t, ${seconds} s"
    "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$dir/findings/$t-" "$@" "$dir/corpus/$t" "$root/tests/fuzz/corpus/$t" \
        2>"$dir/$t.log" || { status=1; tail -50 "$dir/$t.log"; }
    grep -E '^stat::number_of_executed_units|^stat::peak_rss' "$dir/$t.log" || true
    # Inputs run add up across runs: `awk '{n[$2]+=$3} END {for (t in n) print t, n[t]}'`.
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/$t.log" | tail -1)
    echo "$(date -u +%FT%TZ) $t ${runs:-0}" >>"$dir/runs.log"
done
exit $status
