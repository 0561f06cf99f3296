#!/bin/bash
# Smoke test of an installed package, using the installed files only: on a private session
# bus with a fresh home, the bus starts the installed fax service, a fax sent with
# sendmere-fax (body and shipped cover page) reaches the sent archive, and `sendmere sender`
# comes up offscreen and is ended. Run after `apt-get install ./sendmere_*.deb`, from any
# folder; PREFIX names another installation (default /usr).
set -euo pipefail
PREFIX="${PREFIX:-/usr}"

if [ -z "${SENDMERE_SMOKE_INSIDE:-}" ]; then
  ROOT="$(mktemp -d "${TMPDIR:-/tmp}/sendmere-smoke.XXXXXX")"
  trap 'rm -rf "$ROOT"' EXIT
  export HOME="$ROOT/home" XDG_CONFIG_HOME="$ROOT/config" XDG_DATA_HOME="$ROOT/data" \
         XDG_STATE_HOME="$ROOT/state" XDG_CACHE_HOME="$ROOT/cache" XDG_RUNTIME_DIR="$ROOT/runtime" \
         TMPDIR="$ROOT/tmp" SENDMERE_SMOKE_INSIDE=1 SENDMERE_SMOKE_ROOT="$ROOT"
  mkdir -p "$HOME" "$XDG_CONFIG_HOME/sendmere" "$XDG_DATA_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$TMPDIR"
  mkdir -m 0700 "$XDG_RUNTIME_DIR"
  unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS SENDMERE_TEST_BIN_DIR
  # Only the installed programs are on the PATH; the bus looks for activation files in the
  # installation's data folder.
  export PATH="$PREFIX/bin:/usr/bin:/bin" XDG_DATA_DIRS="$PREFIX/share:/usr/local/share:/usr/share"
  dbus-run-session -- "$0" "$@"
  exit $?
fi

fail() { echo "smoke: FAIL: $*" >&2; exit 1; }
step() { echo "smoke: $*"; }

[ "$(command -v sendmere-fax)" = "$PREFIX/bin/sendmere-fax" ] || fail "sendmere-fax is not on the PATH"
[ "$(command -v sendmere)" = "$PREFIX/bin/sendmere" ] || fail "sendmere is not on the PATH"
[ -f "$PREFIX/share/sendmere/coverpages/general.svg" ] || fail "the shipped cover pages are not installed"

# A quick virtual modem, so that the fax is sent within seconds.
cat > "$XDG_CONFIG_HOME/sendmere/faxd.conf" <<'CONF'
[Transmission]
SecondsPerPage=0
DialDelaySeconds=0
CONF

# A one-page PDF written by hand: the body goes through the PDF renderer.
BODY="$SENDMERE_SMOKE_ROOT/letter.pdf"
cat > "$BODY" <<'PDF'
%PDF-1.4
1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj
2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj
3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R
  /Resources << /Font << /F1 5 0 R >> >> >> endobj
4 0 obj << /Length 58 >> stream
BT /F1 24 Tf 72 760 Td (Smoke test of the package) Tj ET
endstream endobj
5 0 obj << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> endobj
trailer << /Size 6 /Root 1 0 R >>
%%EOF
PDF

step "sending a fax with the shipped cover page"
ID=$(sendmere-fax send --to 5550100 --name Ann --cover general --subject "Smoke" "$BODY") \
  || fail "sendmere-fax send failed"
[ -n "$ID" ] || fail "sendmere-fax send printed no job id"

SERVICE_PID=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
  org.freedesktop.DBus.GetConnectionUnixProcessID string:org.sendmere.Fax | awk '/uint32/ {print $2}')
SERVICE_EXE=$(readlink "/proc/$SERVICE_PID/exe")
[ "$SERVICE_EXE" = "$PREFIX/libexec/sendmere/sendmere-faxd" ] \
  || fail "the fax service runs from $SERVICE_EXE, not from the installed program folder"

step "waiting for job $ID in the sent archive"
for _ in $(seq 60); do
  sendmere-fax list sent | awk 'NR > 1 {print $1}' | grep -qx "$ID" && break
  sleep 0.5
done
sendmere-fax list sent | awk 'NR > 1 {print $1}' | grep -qx "$ID" || fail "job $ID never reached the sent archive"
PAGES=$(sendmere-fax show "$ID" | awk -F': ' '$1 == "Pages" {print $2}')
[ "$PAGES" = 2 ] || fail "the sent fax has $PAGES pages, not the cover page and one body page"

iconv -f UTF-16 -t UTF-8 "$XDG_CONFIG_HOME/sendmere/HKEY_LOCAL_MACHINE.reg" | tr -d '\r' \
  | grep -qxF "\"Common AppData\"=\"$PREFIX/share/sendmere\"" \
  || fail "the registry does not name the installed shared data folder as the common application data"

# The mirror reads and writes mail through the codec module installed beside the programs.
step "the mirror puts job $ID into the mail folders"
sendmere-mirror 2>"$SENDMERE_SMOKE_ROOT/mirror.err" &
MIRROR=$!
for _ in $(seq 60); do
  grep -rlqs "$ID" "$XDG_DATA_HOME/sendmere/Mail" && break
  sleep 0.5
done
kill "$MIRROR" 2>/dev/null; wait "$MIRROR" 2>/dev/null || true
grep -rlqs "$ID" "$XDG_DATA_HOME/sendmere/Mail" \
  || fail "the mirror put no item of job $ID into the mail folders: $(cat "$SENDMERE_SMOKE_ROOT/mirror.err")"

step "starting sendmere sender offscreen"
LOGS=("$PREFIX/libexec/sendmere/Errors.log" "$XDG_STATE_HOME/sendmere/Errors.log")
log_text() { cat "${LOGS[@]}" 2>/dev/null || true; }
before=$(log_text | wc -l)
QT_QPA_PLATFORM=offscreen sendmere sender &
PROGRAM=$!
sleep 3
kill -0 "$PROGRAM" 2>/dev/null || { wait "$PROGRAM" || true; fail "sendmere sender ended by itself"; }
grep -q "^Name:.*sendmere" "/proc/$PROGRAM/status" || fail "the process is not sendmere"
[ "$(readlink "/proc/$PROGRAM/exe")" = "$PREFIX/libexec/sendmere/sendmere" ] || fail "sendmere runs from the wrong place"
kill -TERM "$PROGRAM"
wait "$PROGRAM" || true
after=$(log_text | wc -l)
[ "$before" = "$after" ] || fail "the program logged failures: $(log_text | tail -n $((after - before)))"

step "sendmere without a display"
set +e
NO_DISPLAY_ERR=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM sendmere sender 2>&1 >/dev/null)
NO_DISPLAY_RC=$?
set -e
[ "$NO_DISPLAY_RC" = 1 ] || fail "sendmere without a display ended with status $NO_DISPLAY_RC, not 1"
echo "$NO_DISPLAY_ERR" | grep -q "no display" || fail "sendmere without a display does not say why: $NO_DISPLAY_ERR"

step "the manual pages"
MANPATH="$PREFIX/share/man" man -w sendmere-fax >/dev/null || fail "man sendmere-fax finds no page"

echo "smoke: OK"
