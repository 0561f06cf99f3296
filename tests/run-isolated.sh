#!/bin/sh
# Runs one test on a private session bus, with HOME, XDG_* and TMPDIR in a fresh directory,
# so that no test touches a user's data or another test's.
# Usage: run-isolated.sh [--desktop] PROGRAM [ARGS...]
# Without --desktop the test runs offscreen. With --desktop it runs on an X server of its
# own (Xvfb on a free display, found by the server itself, so parallel tests never share
# one) with a window manager, which hands the focus back to a window when its dialog
# closes, and with the accessibility bus, as on a user's desktop.
set -u
DESKTOP=0
if [ "${1:-}" = "--desktop" ]; then DESKTOP=1; shift; fi
ROOT="$(mktemp -d "${TMPDIR:-/tmp}/sendmere-test.XXXXXX")"
export HOME="$ROOT/home" XDG_CONFIG_HOME="$ROOT/config" XDG_DATA_HOME="$ROOT/data" \
       XDG_STATE_HOME="$ROOT/state" XDG_CACHE_HOME="$ROOT/cache" XDG_RUNTIME_DIR="$ROOT/runtime" \
       TMPDIR="$ROOT/tmp"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$TMPDIR"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS XDG_CURRENT_DESKTOP QT_QPA_PLATFORMTHEME
# The C locale (with UTF-8, which the outside programs that tests start need) unless the test
# asks for a language (SENDMERE_TEST_LANG): the texts a test reads are the program's English
# ones whatever the machine's locale.
unset LC_ALL LC_MESSAGES LANGUAGE
export LANG="${SENDMERE_TEST_LANG:-C.UTF-8}" QT_QPA_PLATFORM=offscreen
XVFB="" WM=""
# Polls a condition for up to 10 s; fails early once the process $PID has ended.
within() {
  i=0
  until "$@"; do
    i=$((i + 1))
    if [ $i -gt 200 ] || ! kill -0 "$PID" 2>/dev/null; then return 1; fi
    sleep 0.05
  done
}
if [ "$DESKTOP" -eq 1 ]; then
  # The server writes its display number to fd 9 once it accepts clients; its first client is
  # answered a moment later (a window manager started at once was seen to find no display).
  Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp 9>"$ROOT/display" 2>"$ROOT/xvfb.log" &
  XVFB=$! PID=$!
  if ! within grep -qs '^[0-9]' "$ROOT/display"; then
    echo "run-isolated.sh: Xvfb did not start" >&2; cat "$ROOT/xvfb.log" >&2; rm -rf "$ROOT"; exit 1
  fi
  export DISPLAY=":$(head -n 1 "$ROOT/display")" QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
  within xprop -root >/dev/null 2>&1 || { echo "run-isolated.sh: Xvfb on $DISPLAY answers no client" >&2; cat "$ROOT/xvfb.log" >&2; }
  # A window manager that ends before it took the screen is started once more.
  for attempt in 1 2; do
    openbox --sm-disable --config-file /dev/null >"$ROOT/wm.log" 2>&1 &
    WM=$! PID=$!
    within eval "xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'" && break
    echo "run-isolated.sh: the window manager did not start (attempt $attempt)" >&2; cat "$ROOT/wm.log" >&2
    kill "$WM" 2>/dev/null; wait "$WM" 2>/dev/null
    WM=""
  done
fi
dbus-run-session -- "$@"
rc=$?
for p in $WM $XVFB; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
rm -rf "$ROOT"
exit $rc
