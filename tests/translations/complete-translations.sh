#!/bin/sh
# Every text the program marks for translation has a finished translation in every .ts file:
# the sources are scanned afresh (as `update_translations` does) into a copy of each file, so a
# text added or changed without its translation fails here.
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
  if [ "$messages" -eq 0 ]; then
    echo "$ts: no texts at all" >&2; status=1; continue
  fi
  # An unfinished translation is a new or changed text; an empty one is a text nobody translated.
  unfinished=$(grep -c 'type="unfinished"' "$copy" || true)
  empty=$(grep -c '<translation></translation>\|<translation/>' "$copy" || true)
  if [ "$unfinished" -ne 0 ] || [ "$empty" -ne 0 ]; then
    echo "$ts: $unfinished of $messages texts unfinished, $empty empty:" >&2
    grep -B2 'type="unfinished"\|<translation></translation>\|<translation/>' "$copy" | grep '<source>' >&2 || true
    status=1
  fi
  # The file in the tree is what lupdate makes of it: nothing stale left for the translators.
  if ! cmp -s "$ts" "$copy"; then
    echo "$ts: not up to date with the sources; run the update_translations target" >&2
    diff -u "$ts" "$copy" | head -40 >&2 || true
    status=1
  fi
  [ $status -eq 0 ] && echo "$ts: $messages texts, all translated"
done
exit $status
