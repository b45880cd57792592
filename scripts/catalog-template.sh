#!/usr/bin/env bash
# Writes the catalogs' template (po/p11agent.pot) from the texts the code passes to ui_text
# and ui_message; with --check, compares the template and every catalog with the code
# instead and exits 1 when a text of the code is missing from one, a catalog has a message
# the code no longer shows, or a catalog is not whole (a message untranslated or fuzzy).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# The messages with placeholders ("{site}") are marked python-brace-format, the gettext
# format whose placeholders are these: msgfmt --check then holds each translation to the
# placeholders of its English text.
extract() {
  (cd "$root" && find src -name '*.cpp' | sort | xargs xgettext --language=C++ --from-code=UTF-8 --keyword= \
    --keyword=ui_text:1 --keyword=ui_message:1 --add-comments=Translators: --no-location --sort-output \
    --omit-header -o - |
    python3 -c '
import re, sys
entries = sys.stdin.read().split("\n\n")
for i, entry in enumerate(entries):
    if re.search(r"\{[a-z_]+\}", entry.split("msgstr")[0]):
        entries[i] = "#, python-brace-format\n" + entry
sys.stdout.write("\n\n".join(entries))' >"$1")
}
if [ "${1:-}" != --check ]; then
  extract "$root/po/p11agent.pot"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
extract "$work/code.pot"
# A catalog's English texts, one a line.
messages() { msgcat --no-wrap --sort-output "$1" | grep '^msgid ' | grep -v '^msgid ""$'; }
messages "$work/code.pot" >"$work/code"
status=0
for catalog in "$root"/po/p11agent.pot "$root"/po/*.po; do
  # The same messages as the code, no more, no fewer.
  diff -u --label code --label "${catalog#"$root"/}" "$work/code" <(messages "$catalog") || status=1
  [ "${catalog##*.}" = po ] || continue
  # Each translated, none fuzzy, and the placeholders and format as the English text's.
  stats=$(LC_ALL=C msgfmt --check --statistics -o /dev/null "$catalog" 2>&1) || { echo "$stats"; status=1; }
  case $stats in *fuzzy* | *untranslated* | *warning*) echo "$stats"; status=1 ;; esac
done
exit "$status"
