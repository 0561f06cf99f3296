#!/bin/sh
# The "Send as fax" wrapper turns the file manager's files into the program's command line
# "new;;;;FILE#FILE#". A stand-in program beside it records the line it was given.
set -eu
WRAPPER="$1"
DIR="$TMPDIR/program"
mkdir -p "$DIR" "$TMPDIR/docs"
cp "$WRAPPER" "$DIR/sendmere-send-as-fax"
cat > "$DIR/sendmere" <<'FAKE'
#!/bin/sh
printf '%s\n' "$#" "$@"
FAKE
chmod +x "$DIR/sendmere" "$DIR/sendmere-send-as-fax"
fail() { echo "FAIL: $*"; exit 1; }
expect() {  # expected-line, then the wrapper's arguments
  want="$1"; shift
  got=$(cd "$TMPDIR/docs" && "$DIR/sendmere-send-as-fax" "$@")
  [ "$got" = "$(printf '1\n%s' "$want")" ] || fail "for $*: got [$got], want one argument [$want]"
}
touch "$TMPDIR/docs/a.pdf" "$TMPDIR/docs/with blank.txt" "$TMPDIR/docs/odd;na#me\".png"

expect "new;;;;" 
expect "new;;;;$TMPDIR/docs/a.pdf#" "$TMPDIR/docs/a.pdf"
expect "new;;;;$TMPDIR/docs/a.pdf#$TMPDIR/docs/with blank.txt#" "$TMPDIR/docs/a.pdf" "$TMPDIR/docs/with blank.txt"
expect "new;;;;$TMPDIR/docs/a.pdf#" "a.pdf"

# A name with the command line's separators is attached through a link with a plain name.
got=$(cd "$TMPDIR/docs" && "$DIR/sendmere-send-as-fax" "a.pdf" "odd;na#me\".png" | tail -n 1)
case $got in
  "new;;;;$TMPDIR/docs/a.pdf#"*"/odd_na_me_.png#") ;;
  *) fail "separators in a name: got [$got]" ;;
esac
link=${got#"new;;;;$TMPDIR/docs/a.pdf#"}
link=${link%#}
[ "$(readlink "$link")" = "$TMPDIR/docs/odd;na#me\".png" ] || fail "the link $link does not lead to the file"
echo "ok"
