#!/bin/sh
# `cmake --install` into a fresh prefix gives the layout a desktop expects, with paths in the
# installed files that point into that prefix; then the package smoke test runs from it.
set -eu
PREFIX="$TMPDIR/prefix"
cmake --install "$SENDMERE_BUILD_DIR" --prefix "$PREFIX" >/dev/null
fail() { echo "FAIL: $*"; exit 1; }
PROGRAMDIR="$PREFIX/libexec/sendmere"

for program in "$PROGRAMDIR/sendmere" "$PROGRAMDIR/sendmere-faxd" "$PROGRAMDIR/sendmere-send-as-fax" \
               "$PREFIX/bin/sendmere-fax"; do
  [ -x "$program" ] || fail "$program is not installed"
done
[ -L "$PREFIX/bin/sendmere" ] || fail "bin/sendmere is not a link"
[ "$(readlink -f "$PREFIX/bin/sendmere")" = "$(readlink -f "$PROGRAMDIR/sendmere")" ] \
  || fail "bin/sendmere does not lead to the program folder"
case $(readlink "$PREFIX/bin/sendmere") in /*) fail "bin/sendmere is an absolute link" ;; esac
[ -x "$PROGRAMDIR/tiff2png.exe" ] || fail "the picture converter tiff2png.exe is not beside the program"
[ ! -e "$PREFIX/bin/tiff2png.exe" ] || fail "the picture converter is on the PATH"

grep -qx "Exec=$PROGRAMDIR/sendmere-faxd" "$PREFIX/share/dbus-1/services/org.sendmere.Fax.service" \
  || fail "the bus activation file does not start the installed service"
grep -qx "Name=org.sendmere.Fax" "$PREFIX/share/dbus-1/services/org.sendmere.Fax.service" \
  || fail "the bus activation file names another bus name"
grep -qx "ExecStart=$PROGRAMDIR/sendmere-faxd" "$PREFIX/lib/systemd/user/sendmere-faxd.service" \
  || fail "the user unit does not start the installed service"
grep -qx "SystemdService=sendmere-faxd.service" "$PREFIX/share/dbus-1/services/org.sendmere.Fax.service" \
  || fail "the bus activation file does not name the user unit"

for entry in "$PREFIX"/share/applications/*.desktop; do
  grep '^Exec=' "$entry" | while IFS= read -r line; do
    program=${line#Exec=}
    program=${program%% *}
    [ -x "$program" ] || fail "$(basename "$entry"): $program is not an installed program"
  done
  if command -v desktop-file-validate >/dev/null; then
    report=$(desktop-file-validate "$entry" 2>&1) && [ -z "$report" ] || fail "$report"
  fi
done
[ -f "$PREFIX/share/applications/org.sendmere.SendAsFax.desktop" ] || fail "no Send as fax entry"
grep -q '^MimeType=.*application/pdf;' "$PREFIX/share/applications/org.sendmere.SendAsFax.desktop" \
  || fail "Send as fax is not offered for PDF files"
[ -f "$PREFIX/share/icons/hicolor/scalable/apps/sendmere.svg" ] || fail "no icon"
for template in general confidential urgent fyi; do
  [ -f "$PREFIX/share/sendmere/coverpages/$template.svg" ] || fail "cover page $template is not installed"
done
for page in sendmere sendmere-fax sendmere-faxd; do
  file="$PREFIX/share/man/man1/$page.1"
  [ -f "$file" ] || fail "no manual page $page"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null) || fail "man cannot show $page"
  [ -z "$warnings" ] || fail "$page: $warnings"
done

PREFIX="$PREFIX" "$SENDMERE_SOURCE_DIR/tests/package/smoke.sh"
