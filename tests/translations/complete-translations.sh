#!/bin/sh
# Every text the program marks for translation has a finished translation in every .ts file,
# and the file is what lupdate makes of the sources (nothing stale left for the translators):
# the sources are scanned afresh, as `update_translations` does, into a copy of each file.
# Usage: complete-translations.sh LUPDATE SOURCE_DIR TS_FILE...
set -eu
LUPDATE="$1" SRC="$2"
shift 2
WORK="$(mktemp -d "${TMPDIR:-/tmp}/sendmere-ts.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
status=0
for ts in "$@"; do
  copy="$WORK/$(basename "$ts")"
  cp "$ts" "$copy"
  "$LUPDATE" -silent -no-obsolete -locations none -source-language en "$SRC" -ts "$copy"
  messages=$(grep -c '<message' "$copy" || true)
  # An unfinished translation is a new or changed text; an empty one is a text nobody translated.
  missing='type="unfinished"\|<translation></translation>\|<translation/>'
  if [ "$messages" -eq 0 ] || grep -q "$missing" "$copy"; then
    echo "$ts: of $messages texts these are not translated:" >&2
    grep -B2 "$missing" "$copy" | grep '<source>' >&2 || true
    status=1
  elif ! cmp -s "$ts" "$copy"; then
    echo "$ts: not up to date with the sources; run the update_translations target" >&2
    diff -u "$ts" "$copy" | head -40 >&2 || true
    status=1
  else
    echo "$ts: $messages texts, all translated"
  fi
done
exit $status
