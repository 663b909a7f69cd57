#!/usr/bin/env bash
# Installs the Debian packages Kalimo needs, only those that are missing.
# Usage: scripts/deps.sh build|test|run|bench|package
set -euo pipefail

BUILD_PKGS=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev
            libqt6sql6-sqlite libqt6sql6-psql libqt6svg6 libopus-dev libenet-dev libspeexdsp-dev libsodium-dev
            libwebrtc-audio-processing-dev nettle-dev libicu-dev qt6-l10n-tools)
TEST_PKGS=(xvfb xauth pulseaudio pulseaudio-utils sox postgresql openssl)
RUN_PKGS=(pulseaudio pulseaudio-utils)
# valgrind counts the relay's instructions (bench/session/instructions.sh).
BENCH_PKGS=(valgrind pulseaudio pulseaudio-utils)
# CI's fuzz run (scripts/fuzz.sh): clang with libFuzzer and the sanitizer runtimes, and the format check.
FUZZ_PKGS=(clang libclang-rt-14-dev clang-format)
# Debian packages of Kalimo and their checks (scripts/package.sh).
PACKAGE_PKGS=(dpkg-dev desktop-file-utils appstream lintian)

want=("${BUILD_PKGS[@]}")
case "${1:-build}" in
    test) want+=("${TEST_PKGS[@]}" "${FUZZ_PKGS[@]}") ;;
    run) want+=("${RUN_PKGS[@]}") ;;
    bench) want+=("${BENCH_PKGS[@]}") ;;
    package) want+=("${PACKAGE_PKGS[@]}") ;;
esac

missing=()
for p in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
