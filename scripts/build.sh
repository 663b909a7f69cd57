#!/usr/bin/env bash
# Configures (once) and builds incrementally. Usage: scripts/build.sh BUILD_DIR [cmake options...]
set -euo pipefail
dir="$1"; shift
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ ! -f "$dir/build.ninja" ]; then
    launcher=()
    # ccache is optional: it only speeds up rebuilds in several work trees.
    command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@"
elif [ $# -gt 0 ]; then
    # Options given to a configured tree still apply (CI turns -Werror on in an existing one).
    cmake -S "$root" -B "$dir" "$@" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
