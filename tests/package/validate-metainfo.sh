#!/bin/sh
# The AppStream metainfo the build configured passes appstreamcli's validation (no network:
# the check of the addresses it names is the release's business), and it names the menu
# entry and the program.
set -eu
file="$1/org.sendmere.Sendmere.metainfo.xml"
[ -f "$file" ] || { echo "no metainfo in $1"; exit 1; }
appstreamcli validate --no-net "$file"
grep -q '<launchable type="desktop-id">org.sendmere.Sendmere.desktop</launchable>' "$file" \
  || { echo "the metainfo does not name the menu entry"; exit 1; }
[ -f "$2/org.sendmere.Sendmere.desktop" ] || { echo "the menu entry it names is not built"; exit 1; }
grep -q '<binary>sendmere</binary>' "$file" || { echo "the metainfo does not name the program"; exit 1; }
