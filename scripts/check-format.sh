#!/usr/bin/env bash
# Fails, naming the files, when a tracked C++ file differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
bad=$(git ls-files '*.cpp' '*.h' | while read -r f; do
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || echo "$f"
done)
[ -z "$bad" ] && exit 0
echo "not formatted (clang-format -i FILE):" >&2
echo "$bad" >&2
exit 1
