#!/bin/sh
# `cmake --install` into a fresh prefix gives the layout a desktop expects, with paths in the
# installed files that point into that prefix. The smoke test run from it at the end starts
# the service through its bus activation file, the program through bin/, the mirror with its
# mail codec module, and sends with a shipped cover page, so those are not checked here again.
set -eu
PREFIX="$TMPDIR/prefix"
cmake --install "$SENDMERE_BUILD_DIR" --prefix "$PREFIX" >/dev/null
fail() { echo "FAIL: $*"; exit 1; }
same() { [ "$1" = "$2" ] || fail "$3: got [$1], want [$2]"; }
has() {  # FILE LINE...: each line stands in the file (leading blanks aside)
  f=$1; shift
  for line; do sed 's/^[[:space:]]*//' "$f" | grep -qxF -- "$line" || fail "$f has no line [$line]"; done
}
P="$PREFIX/libexec/sendmere" S="$PREFIX/share" U="$PREFIX/lib/systemd/user"
AUTOSTART="$PREFIX/etc/xdg/autostart/org.sendmere.Mirror.desktop" METAINFO="$S/metainfo/org.sendmere.Sendmere.metainfo.xml"

case $(readlink "$PREFIX/bin/sendmere") in "" | /*) fail "bin/sendmere is not a relative link" ;; esac
[ -x "$P/tiff2png.exe" ] && [ ! -e "$PREFIX/bin/tiff2png.exe" ] || fail "the picture converter is not beside the program, off the PATH"
has "$S/dbus-1/services/org.sendmere.Fax.service" "SystemdService=sendmere-faxd.service"
has "$U/sendmere-faxd.service" "ExecStart=$P/sendmere-faxd"
has "$U/sendmere-mirror.service" "ExecStart=$P/sendmere-mirror" "Restart=on-failure"
same "$(readlink -f "$U/graphical-session.target.wants/sendmere-mirror.service")" "$(readlink -f "$U/sendmere-mirror.service")" \
  "the mirror's user unit enabled"
has "$AUTOSTART" "Exec=$P/sendmere-mirror"
has "$S/applications/org.sendmere.Sendmere.desktop" "StartupWMClass=org.sendmere.Sendmere"
grep -q '^MimeType=.*application/pdf;' "$S/applications/org.sendmere.SendAsFax.desktop" || fail "Send as fax is not offered for PDF files"
# Every desktop entry starts installed programs and passes desktop-file-validate, which exits
# 0 on hints and warnings as well: only a clean report passes.
for entry in "$S"/applications/*.desktop "$AUTOSTART"; do
  report=$(desktop-file-validate "$entry" 2>&1) && [ -z "$report" ] || fail "$report"
  for program in $(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry"); do [ -x "$program" ] || fail "$entry: $program is not installed"; done
done
# The AppStream metainfo, validated without the network (its addresses are the release's business).
appstreamcli validate --no-net "$METAINFO" >/dev/null || fail "$(appstreamcli validate --no-net "$METAINFO" 2>&1)"
has "$METAINFO" '<launchable type="desktop-id">org.sendmere.Sendmere.desktop</launchable>' '<binary>sendmere</binary>'
for f in icons/hicolor/scalable/apps/sendmere.svg sendmere/coverpages/general.svg sendmere/coverpages/confidential.svg \
         sendmere/coverpages/urgent.svg sendmere/coverpages/fyi.svg; do [ -f "$S/$f" ] || fail "$f is not installed"; done
# Debian's copyright file, machine-readable.
head -n 1 "$S/doc/sendmere/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  && grep -q '^License: ' "$S/doc/sendmere/copyright" || fail "the copyright file is not machine-readable, or names no license"

# The manual pages show without warnings, and each footer names the version the program gives.
VERSION=$("$PREFIX/bin/sendmere-fax" --version | sed 's/^sendmere-fax //')
[ -n "$VERSION" ] || fail "sendmere-fax --version prints no version"
for page in sendmere sendmere-fax sendmere-faxd; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$S/man/man1/$page.1" 2>&1 >/dev/null) && [ -z "$warnings" ] \
    || fail "man cannot show $page cleanly: $warnings"
  head -n 1 "$S/man/man1/$page.1" | grep -qF "\"Sendmere $VERSION\"" || fail "$page: the footer does not name version $VERSION"
done
# sendmere-fax(1): the delete item keeps its ID in the item, the example uses an id the
# service gives (four hex digits and more), and the page says where its files and settings are.
PAGE=$(LC_ALL=C.UTF-8 MANWIDTH=100 man -l "$S/man/man1/sendmere-fax.1" 2>/dev/null | col -b)
echo "$PAGE" | grep -qE '^ +delete sent\|received ID$' || fail "sendmere-fax(1): the delete item does not name its ID"
echo "$PAGE" | grep -qE '^ +sendmere-fax tiff [0-9a-f]{4,} ' || fail "sendmere-fax(1): the tiff example uses an id the service never gives"
echo "$PAGE" | grep -qx 'ENVIRONMENT' || fail "sendmere-fax(1) has no ENVIRONMENT section"
for file in faxd.conf 'sendmere/fax/' faxd.log; do
  echo "$PAGE" | sed -n '/^FILES$/,/^EXAMPLES$/p' | grep -qF "$file" || fail "sendmere-fax(1): FILES does not name $file"
done

# Bash completion: the commands, a command's words and options.
completion() {
  bash -c 'source "$1"; shift; COMP_WORDS=(sendmere-fax "$@"); COMP_CWORD=$#; _sendmere_fax; echo "${COMPREPLY[*]}"' \
    _ "$S/bash-completion/completions/sendmere-fax" "$@"
}
same "$(completion l)" "list" "completion of a command"
same "$(completion list '')" "queue sent received" "completion of list"
same "$(completion send --priority h)" "high" "completion of --priority"
case " $(completion send --) " in *" --discount "*) ;; *) fail "completion of send's options" ;; esac

# The "Send as fax" wrapper turns the file manager's files into the one argument
# "new;;;;FILE#FILE#"; a stand-in program beside it prints how many arguments it got and them.
W="$TMPDIR/wrapper" D="$TMPDIR/docs"
mkdir -p "$W" "$D"
cp "$P/sendmere-send-as-fax" "$W/"
printf '#!/bin/sh\necho "$#:$*"\n' >"$W/sendmere"
chmod +x "$W/sendmere"
touch "$D/a.pdf" "$D/with blank.txt" "$D/odd;na#me\".png"
wrap() { (cd "$D" && "$W/sendmere-send-as-fax" "$@"); }
same "$(wrap)" "1:new;;;;" "the wrapper without files"
same "$(wrap "$D/a.pdf" "with blank.txt")" "1:new;;;;$D/a.pdf#$D/with blank.txt#" "the wrapper with two files, one named relatively"
# A name with the command line's separators is attached through a link with a plain name.
got=$(wrap "odd;na#me\".png")
link=${got#1:new;;;;}
link=${link%#}
case $link in /*/odd_na_me_.png) ;; *) fail "separators in a name: got [$got]" ;; esac
same "$(readlink "$link")" "$D/odd;na#me\".png" "the link to a name with separators"

PREFIX="$PREFIX" "$SENDMERE_SOURCE_DIR/tests/package/smoke.sh"
