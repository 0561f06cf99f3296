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
[ -f "$PROGRAMDIR/sendmere-mailcodec.so" ] || fail "the mail codec module is not beside the program"
! ldd "$PROGRAMDIR/sendmere" | grep -q -e libgmime -e libetpan \
  || fail "the program links the mail libraries itself instead of loading them with the module"
[ ! -e "$PREFIX/bin/tiff2png.exe" ] || fail "the picture converter is on the PATH"

grep -qx "Exec=$PROGRAMDIR/sendmere-faxd" "$PREFIX/share/dbus-1/services/org.sendmere.Fax.service" \
  || fail "the bus activation file does not start the installed service"
grep -qx "Name=org.sendmere.Fax" "$PREFIX/share/dbus-1/services/org.sendmere.Fax.service" \
  || fail "the bus activation file names another bus name"
grep -qx "ExecStart=$PROGRAMDIR/sendmere-faxd" "$PREFIX/lib/systemd/user/sendmere-faxd.service" \
  || fail "the user unit does not start the installed service"
grep -qx "SystemdService=sendmere-faxd.service" "$PREFIX/share/dbus-1/services/org.sendmere.Fax.service" \
  || fail "the bus activation file does not name the user unit"

[ -x "$PROGRAMDIR/sendmere-mirror" ] || fail "the session program sendmere-mirror is not in the program folder"
grep -qx "ExecStart=$PROGRAMDIR/sendmere-mirror" "$PREFIX/lib/systemd/user/sendmere-mirror.service" \
  || fail "the mirror's user unit does not start the installed mirror"
grep -qx "Restart=on-failure" "$PREFIX/lib/systemd/user/sendmere-mirror.service" \
  || fail "the mirror's user unit does not restart it after a crash"
[ "$(readlink -f "$PREFIX/lib/systemd/user/graphical-session.target.wants/sendmere-mirror.service")" = \
  "$(readlink -f "$PREFIX/lib/systemd/user/sendmere-mirror.service")" ] || fail "the mirror's user unit is not enabled"
AUTOSTART="$PREFIX/etc/xdg/autostart/org.sendmere.Mirror.desktop"
grep -qx "Exec=$PROGRAMDIR/sendmere-mirror" "$AUTOSTART" || fail "the autostart entry does not start the installed mirror"
if command -v desktop-file-validate >/dev/null; then
  report=$(desktop-file-validate "$AUTOSTART" 2>&1) && [ -z "$report" ] || fail "$report"
fi

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
METAINFO="$PREFIX/share/metainfo/org.sendmere.Sendmere.metainfo.xml"
[ -f "$METAINFO" ] || fail "no AppStream metainfo"
appstreamcli validate --no-net "$METAINFO" >/dev/null || fail "$(appstreamcli validate --no-net "$METAINFO" 2>&1)"
grep -qx 'StartupWMClass=org.sendmere.Sendmere' "$PREFIX/share/applications/org.sendmere.Sendmere.desktop" \
  || fail "the menu entry does not name the window class"
for template in general confidential urgent fyi; do
  [ -f "$PREFIX/share/sendmere/coverpages/$template.svg" ] || fail "cover page $template is not installed"
done
for page in sendmere sendmere-fax sendmere-faxd; do
  file="$PREFIX/share/man/man1/$page.1"
  [ -f "$file" ] || fail "no manual page $page"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null) || fail "man cannot show $page"
  [ -z "$warnings" ] || fail "$page: $warnings"
done
# Each page's footer names the version the program itself gives.
VERSION=$("$PREFIX/bin/sendmere-fax" --version | sed 's/^sendmere-fax //')
[ -n "$VERSION" ] || fail "sendmere-fax --version prints no version"
for page in sendmere sendmere-fax sendmere-faxd; do
  head -n 1 "$PREFIX/share/man/man1/$page.1" | grep -qF "\"Sendmere $VERSION\"" || fail "$page: the footer does not name version $VERSION"
done
# sendmere-fax(1): the delete item keeps its ID in the item, the example uses an id the
# service gives (four hex digits and more), and the page says where its files and settings are.
PAGE=$(LC_ALL=C.UTF-8 MANWIDTH=100 man -l "$PREFIX/share/man/man1/sendmere-fax.1" 2>/dev/null | col -b)
echo "$PAGE" | grep -qE '^ +delete sent\|received ID$' || fail "sendmere-fax(1): the delete item does not name its ID"
echo "$PAGE" | grep -qE '^ +sendmere-fax tiff [0-9a-f]{4,} ' || fail "sendmere-fax(1): the tiff example uses an id the service never gives"
echo "$PAGE" | grep -qx 'ENVIRONMENT' || fail "sendmere-fax(1) has no ENVIRONMENT section"
for file in faxd.conf 'sendmere/fax/' faxd.log; do
  echo "$PAGE" | sed -n '/^FILES$/,/^EXAMPLES$/p' | grep -qF "$file" || fail "sendmere-fax(1): FILES does not name $file"
done

# Debian's copyright file, machine-readable.
COPYRIGHT="$PREFIX/share/doc/sendmere/copyright"
[ -f "$COPYRIGHT" ] || fail "no $COPYRIGHT"
head -n 1 "$COPYRIGHT" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  || fail "the copyright file is not in the machine-readable format"
grep -q '^License: ' "$COPYRIGHT" || fail "the copyright file names no license"

# Bash completion: the commands, a command's words and options, its ids.
COMPLETION="$PREFIX/share/bash-completion/completions/sendmere-fax"
[ -f "$COMPLETION" ] || fail "no bash completion for sendmere-fax"
complete_words() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _sendmere_fax; echo "${COMPREPLY[*]}"' _ "$COMPLETION" "$@"
}
[ "$(complete_words sendmere-fax l)" = "list" ] || fail "completion of a command: $(complete_words sendmere-fax l)"
[ "$(complete_words sendmere-fax list '')" = "queue sent received" ] || fail "completion of list: $(complete_words sendmere-fax list '')"
[ "$(complete_words sendmere-fax send --priority h)" = "high" ] || fail "completion of --priority: $(complete_words sendmere-fax send --priority h)"
case " $(complete_words sendmere-fax send --) " in *" --discount "*) ;; *) fail "completion of send's options" ;; esac

PREFIX="$PREFIX" "$SENDMERE_SOURCE_DIR/tests/package/smoke.sh"
