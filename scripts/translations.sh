#!/usr/bin/env bash
# Brings resources/kalimo_en.ts up to date with the texts of both clients.
#   scripts/translations.sh          update the file (then translate what lupdate marks unfinished)
#   scripts/translations.sh --check  change nothing; fail when a text is missing, vanished
#                                    or untranslated
set -euo pipefail
cd "$(dirname "$0")/.."
lupdate="$(command -v lupdate || echo /usr/lib/qt6/bin/lupdate)"
ts=resources/kalimo_en.ts
sources=(lobby voice platform room)
args=(-no-obsolete -locations none -I . -source-language it -target-language en)

if [ "${1:-}" != "--check" ]; then
    "$lupdate" "${args[@]}" "${sources[@]}" -ts "$ts"
    exit 0
fi

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
cp "$ts" "$tmp/kalimo_en.ts"
"$lupdate" "${args[@]}" "${sources[@]}" -ts "$tmp/kalimo_en.ts" >"$tmp/log" 2>&1 || { cat "$tmp/log"; exit 1; }
total=$(grep -c '<message' "$tmp/kalimo_en.ts" || true)
unfinished=$(grep -c 'type="unfinished"' "$tmp/kalimo_en.ts" || true)
echo "translations: $total texts, $unfinished unfinished"
if ! cmp -s "$ts" "$tmp/kalimo_en.ts"; then
    diff -u "$ts" "$tmp/kalimo_en.ts" | head -40
    echo "resources/kalimo_en.ts is not current: run scripts/translations.sh and translate" >&2
    exit 1
fi
[ "$unfinished" -eq 0 ]
