#!/bin/bash
# Smoke test of an installed package, from the installed files only: on a private session bus
# with a fresh home (run-isolated.sh), the bus starts the installed fax service, a fax sent with
# sendmere-fax (a text body and a shipped cover page) reaches the sent archive and the mirror's
# mail folders, and `sendmere sender` stays up offscreen. Run after `apt-get install
# ./sendmere_*.deb`, from any folder; PREFIX names another installation (default /usr).
set -euo pipefail
PREFIX="${PREFIX:-/usr}"
if [ -z "${SENDMERE_SMOKE_INSIDE:-}" ]; then
  # Only the installed programs are on the PATH; the bus finds its activation files in the installation.
  exec env -u SENDMERE_TEST_BIN_DIR SENDMERE_SMOKE_INSIDE=1 PREFIX="$PREFIX" PATH="$PREFIX/bin:/usr/bin:/bin" \
    XDG_DATA_DIRS="$PREFIX/share:/usr/share" "$(dirname "$0")/../run-isolated.sh" "$0"
fi
fail() { echo "smoke: FAIL: $*" >&2; exit 1; }
step() { echo "smoke: $*"; }
eventually() { for _ in $(seq 60); do "$@" && return; sleep 0.5; done; "$@"; }  # polls for up to 30 s

[ "$(command -v sendmere-fax)" = "$PREFIX/bin/sendmere-fax" ] || fail "sendmere-fax is not on the PATH"
mkdir -p "$XDG_CONFIG_HOME/sendmere"
printf '[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0\n' >"$XDG_CONFIG_HOME/sendmere/faxd.conf"  # a quick modem
BODY="$TMPDIR/letter.txt"
echo "Smoke test of the package" >"$BODY"

step "the bus starts the installed fax service; sending a fax with the shipped cover page"
dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.StartServiceByName \
  string:org.sendmere.Fax uint32:0 >/dev/null || fail "the bus cannot start the fax service from its activation file"
ID=$(sendmere-fax send --to 5550100 --name Ann --cover general --subject Smoke "$BODY") && [ -n "$ID" ] \
  || fail "sendmere-fax send gave no job id"
SERVICE_PID=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
  org.freedesktop.DBus.GetConnectionUnixProcessID string:org.sendmere.Fax | awk '/uint32/ {print $2}')
[ "$(readlink "/proc/$SERVICE_PID/exe")" = "$PREFIX/libexec/sendmere/sendmere-faxd" ] \
  || fail "the fax service does not run from the installed program folder"
step "waiting for job $ID in the sent archive"
sent() { sendmere-fax list sent | awk 'NR > 1 {print $1}' | grep -qx "$ID"; }
eventually sent || fail "job $ID never reached the sent archive"
[ "$(sendmere-fax show "$ID" | awk -F': ' '$1 == "Pages" {print $2}')" = 2 ] \
  || fail "the sent fax has not the cover page and one body page"
iconv -f UTF-16 -t UTF-8 "$XDG_CONFIG_HOME/sendmere/HKEY_LOCAL_MACHINE.reg" | tr -d '\r' \
  | grep -qxF "\"Common AppData\"=\"$PREFIX/share/sendmere\"" \
  || fail "the registry does not name the installed shared data folder as the common application data"

# The mirror reads and writes mail through the codec module installed beside the programs.
step "the mirror puts job $ID into the mail folders"
sendmere-mirror 2>"$TMPDIR/mirror.err" &
MIRROR=$!
eventually grep -rlqs "$ID" "$XDG_DATA_HOME/sendmere/Mail" \
  || fail "the mirror put no item of job $ID into the mail folders: $(cat "$TMPDIR/mirror.err")"
kill "$MIRROR"
wait "$MIRROR" 2>/dev/null || true

step "sendmere sender stays up offscreen and logs no failure"
log_text() { cat "$PREFIX/libexec/sendmere/Errors.log" "$XDG_STATE_HOME/sendmere/Errors.log" 2>/dev/null || true; }
before=$(log_text | wc -l)
sendmere sender &
PROGRAM=$!
sleep 3
kill -0 "$PROGRAM" 2>/dev/null || fail "sendmere sender ended by itself"
[ "$(readlink "/proc/$PROGRAM/exe")" = "$PREFIX/libexec/sendmere/sendmere" ] || fail "sendmere runs from the wrong place"
kill -TERM "$PROGRAM"
wait "$PROGRAM" || true
[ "$before" = "$(log_text | wc -l)" ] || fail "the program logged failures: $(log_text | tail -n +$((before + 1)))"

echo "smoke: OK"
