#!/usr/bin/env bash
# Sets up what the tests need, builds, and runs the whole suite headless.
# Extra arguments go to ctest (for example: ./test.sh -R tst_room).
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh test
BUILD_DIR="${KALIMO_BUILD_DIR:-build}"
scripts/build.sh "$BUILD_DIR" ${KALIMO_CMAKE_ARGS:-}
export QT_QPA_PLATFORM=offscreen
cd "$BUILD_DIR"
# Every test runs once: a failure counts at once.
ctest --output-on-failure -j "$(nproc)" "$@"
