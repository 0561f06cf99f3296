#!/bin/sh
# Every desktop file the build configured passes desktop-file-validate (skipped, 77, where
# desktop-file-utils is not installed).
set -eu
command -v desktop-file-validate >/dev/null || { echo "desktop-file-validate not installed"; exit 77; }
found=0
for file in "$1"/*.desktop; do
  [ -f "$file" ] || continue
  found=$((found + 1))
  # It exits 0 on hints and warnings as well; only a clean report passes.
  report=$(desktop-file-validate "$file" 2>&1) || { echo "$report"; exit 1; }
  [ -z "$report" ] || { echo "$report"; exit 1; }
  echo "valid: $(basename "$file")"
done
[ "$found" -ge 2 ] || { echo "expected the menu entry and the send-as-fax entry in $1"; exit 1; }
