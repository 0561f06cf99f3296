#!/bin/sh
# Runs one test offscreen on a private session bus, with HOME, XDG_* and TMPDIR in a fresh
# directory, so that no test touches a user's data or another test's.
set -u
ROOT="$(mktemp -d "${TMPDIR:-/tmp}/sendmere-test.XXXXXX")"
export HOME="$ROOT/home" XDG_CONFIG_HOME="$ROOT/config" XDG_DATA_HOME="$ROOT/data" \
       XDG_STATE_HOME="$ROOT/state" XDG_CACHE_HOME="$ROOT/cache" XDG_RUNTIME_DIR="$ROOT/runtime" \
       TMPDIR="$ROOT/tmp"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$TMPDIR"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
dbus-run-session -- "$@"
rc=$?
rm -rf "$ROOT"
exit $rc
