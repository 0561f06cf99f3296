#!/bin/bash
# End-to-end submission of the 20-page sample PDF: `sendmere-fax send` (client start, bus
# call, rendering and queueing in the fax service) against Ghostscript's tiffg4 device at
# 204x196 dpi on the same file. Each is run N times, alternating, in a fresh HOME/XDG on a
# private session bus; prints the medians of wall time and of processor time (client +
# service for ours, the gs process for Ghostscript) and the ratios.
# The service is started by a warm-up run and stays up, as on a desktop. The faxes are
# scheduled far ahead so that no transmission runs beside the measured submissions.
# Usage: run-send-bench.sh [build dir | --installed] [runs]
set -euo pipefail
WHERE="${1:-build}"
RUNS="${2:-9}"
if [ "$WHERE" = "--installed" ]; then
  FAX="$(command -v sendmere-fax)"
  SAMPLE_MAKER=""
else
  FAX="$WHERE/bin/sendmere-fax"
  SAMPLE_MAKER="$WHERE/bench/render/bench_render"
fi
[ -x "$FAX" ] || { echo "missing $FAX: build sendmere-fax and sendmere-faxd" >&2; exit 1; }
command -v gs >/dev/null || { echo "Ghostscript (gs) is not installed" >&2; exit 1; }

if [ -z "${SENDMERE_BENCH_INSIDE:-}" ]; then
  ROOT="$(mktemp -d "${TMPDIR:-/tmp}/sendmere-bench.XXXXXX")"
  trap 'rm -rf "$ROOT"' EXIT
  export HOME="$ROOT/home" XDG_CONFIG_HOME="$ROOT/config" XDG_DATA_HOME="$ROOT/data" \
         XDG_STATE_HOME="$ROOT/state" XDG_CACHE_HOME="$ROOT/cache" XDG_RUNTIME_DIR="$ROOT/runtime" \
         TMPDIR="$ROOT/tmp"
  mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$TMPDIR"
  mkdir -m 0700 "$XDG_RUNTIME_DIR"
  export QT_QPA_PLATFORM=offscreen SENDMERE_BENCH_INSIDE=1 SENDMERE_BENCH_ROOT="$ROOT"
  unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
  dbus-run-session -- "$0" "$@"
  exit $?
fi

PDF="${SENDMERE_BENCH_PDF:-$SENDMERE_BENCH_ROOT/sample.pdf}"
if [ ! -f "$PDF" ]; then
  [ -x "$SAMPLE_MAKER" ] || { echo "give the sample in SENDMERE_BENCH_PDF or build bench_render" >&2; exit 1; }
  "$SAMPLE_MAKER" --make-sample "$PDF" >/dev/null
fi
TICKS=$(getconf CLK_TCK)
SEND=("$FAX" send --to 5550100 --at "$(date -d "+300 days" +%Y-%m-%dT%H:%M)" "$PDF")
GS=(gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=tiffg4 -r204x196 -o "$SENDMERE_BENCH_ROOT/gs.tif" "$PDF")

"${SEND[@]}" >/dev/null  # starts the service
SERVICE_PID=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
  org.freedesktop.DBus.GetConnectionUnixProcessID string:org.sendmere.Fax | awk '/uint32/ {print $2}')

service_cpu_ticks() { awk '{print $14 + $15}' "/proc/$SERVICE_PID/stat"; }

# Prints "wall_seconds cpu_seconds" of one run of the command; the service's processor time
# during the run is added when asked.
timed() {
  local with_service=$1; shift
  local before after result
  before=$(service_cpu_ticks)
  TIMEFORMAT='%R %U %S'
  result=$( { time "$@" >/dev/null 2>&1; } 2>&1 ) || { echo "$1 failed" >&2; exit 1; }
  after=$(service_cpu_ticks)
  read -r wall user sys <<<"$result"
  if [ "$with_service" = 1 ]; then
    awk -v w="$wall" -v u="$user" -v s="$sys" -v d=$((after - before)) -v t="$TICKS" \
      'BEGIN {printf "%.3f %.3f\n", w, u + s + d / t}'
  else
    awk -v w="$wall" -v u="$user" -v s="$sys" 'BEGIN {printf "%.3f %.3f\n", w, u + s}'
  fi
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

ours=() theirs=()
for _ in $(seq "$RUNS"); do
  ours+=("$(timed 1 "${SEND[@]}")")
  theirs+=("$(timed 0 "${GS[@]}")")
done
ours_wall=$(printf '%s\n' "${ours[@]}" | cut -d' ' -f1 | median)
ours_cpu=$(printf '%s\n' "${ours[@]}" | cut -d' ' -f2 | median)
gs_wall=$(printf '%s\n' "${theirs[@]}" | cut -d' ' -f1 | median)
gs_cpu=$(printf '%s\n' "${theirs[@]}" | cut -d' ' -f2 | median)
tiff_pages() { tiffinfo "$1" 2>/dev/null | grep -c '^TIFF Directory'; }
ours_tiff=$(ls -t "$XDG_DATA_HOME"/sendmere/fax/queue/*.tiff | head -1)

echo "sample: $PDF, $RUNS runs each, medians; load average $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) processors"
echo "pages written: sendmere $(tiff_pages "$ours_tiff") (body + no cover), gs $(tiff_pages "$SENDMERE_BENCH_ROOT/gs.tif")"
awk -v ow="$ours_wall" -v oc="$ours_cpu" -v gw="$gs_wall" -v gc="$gs_cpu" 'BEGIN {
  printf "sendmere-fax send:    %6.0f ms wall  %6.0f ms processor (client + service)\n", ow * 1000, oc * 1000
  printf "gs tiffg4 -r204x196:  %6.0f ms wall  %6.0f ms processor\n", gw * 1000, gc * 1000
  printf "against Ghostscript:  %.2fx on the clock, %.2fx per processor second\n", gw / ow, gc / oc
}'

# Memory stays flat in the page count: the service's peak resident size after the 20-page
# runs, then after one submission of the same document ten times over (200 pages).
peak_kb() { awk '/^VmHWM/ {print $2}' "/proc/$SERVICE_PID/status"; }
peak_20=$(peak_kb)
LONG_PDF="$SENDMERE_BENCH_ROOT/long.pdf"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$LONG_PDF" $(for _ in $(seq 10); do echo "$PDF"; done)
"$FAX" send --to 5550100 --at "$(date -d "+300 days" +%Y-%m-%dT%H:%M)" "$LONG_PDF" >/dev/null 2>&1
long_tiff=$(ls -t "$XDG_DATA_HOME"/sendmere/fax/queue/*.tiff | head -1)
echo "service peak memory: $((peak_20 / 1024)) MB after the 20-page runs, $(($(peak_kb) / 1024)) MB after $(tiff_pages "$long_tiff") pages in one fax"
