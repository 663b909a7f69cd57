#!/usr/bin/env bash
# Builds the Debian packages kalimo and kalimo-server into BUILD_DIR/packages and
# checks them: desktop-file-validate, appstreamcli validate and lintian must
# report no error, and the English translation must be complete. Usage: scripts/package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
dir="${1:-build}"
scripts/deps.sh package
scripts/build.sh "$dir"
# Packages install under /usr; the prefix changes no compiled file.
cmake -S "$root" -B "$dir" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$dir" -j "$(nproc)"

out="$(cd "$dir" && pwd)/packages"
rm -rf "$out"
mkdir -p "$out"
(cd "$dir" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls -l "$out"/*.deb

status=0
echo "== translations"
scripts/translations.sh --check || status=1
echo "== desktop-file-validate"
desktop-file-validate packaging/org.kalimo.Kalimo.desktop || status=1
echo "== appstreamcli validate"
appstreamcli validate --no-net packaging/org.kalimo.Kalimo.metainfo.xml || status=1
echo "== lintian"
lintian --fail-on error "$out"/*.deb || status=1
[ "$status" -eq 0 ] && echo "packages: validators report no error"
exit "$status"
