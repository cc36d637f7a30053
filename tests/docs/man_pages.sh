#!/usr/bin/env bash
# The manual pages render without stray markup: each packaging/*.1.md is
# turned into a page by pandoc (as the build does) and formatted by man;
# the text must hold no emphasis marks that pandoc left as they were
# ("**_**" shows as "**_", "*name*" beside a bold word as "*name*"):
#   - two asterisks, but for the shown password "***" of one console line,
#   - an asterisk or underscore that opens a word,
#   - an underscore that closes a word.
# A file glob such as bus_2026* (an asterisk after a word) is allowed.
set -euo pipefail
ROOT=${1:?source root}
for tool in pandoc man col; do
  command -v "$tool" > /dev/null || { echo "SKIP: $tool is not installed (apt-get install pandoc man-db bsdextrautils)"; exit 77; }
done
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
faults=0 pages=0
for md in "$ROOT"/packaging/*.1.md; do
  pandoc -s -t man "$md" -o "$TMP/page.1"
  MANWIDTH=100 man -l "$TMP/page.1" 2> "$TMP/man.err" | col -b > "$TMP/page.txt"
  [ -s "$TMP/page.txt" ] || { echo "${md#"$ROOT"/}: man rendered nothing: $(cat "$TMP/man.err")"; faults=$((faults + 1)); continue; }
  pages=$((pages + 1))
  if grep -nP '(?<![*])(?<!Password: )\*\*|(^|[\s("])[*_]+\w|\w_+($|[\s).,;:])' "$TMP/page.txt" > "$TMP/stray"; then
    sed "s|^|${md#"$ROOT"/}: stray markup in line |" "$TMP/stray"
    faults=$((faults + $(wc -l < "$TMP/stray")))
  fi
done
echo "$pages pages rendered, $faults lines with stray markup"
[ "$pages" -gt 0 ] && [ "$faults" -eq 0 ]
