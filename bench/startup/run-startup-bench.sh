#!/bin/sh
# Start-up benchmark: time from process start until the first window is shown and active,
# for `sendmere 'new;;Ann#;111#'` and for the smallest Qt Widgets dialog program, each run
# N times offscreen in a fresh HOME/XDG on a private session bus. Prints the medians and
# their ratio. The fax service is started by a warm-up run and stays up for the measured ones,
# as it is on a desktop where the service is already running.
# Usage: run-startup-bench.sh <build dir> [runs]
set -eu
BUILD="${1:?usage: run-startup-bench.sh <build dir> [runs]}"
RUNS="${2:-30}"
SENDMERE="$BUILD/bin/sendmere"
FLOOR="$BUILD/bench/startup/sendmere-bench-dialog"
for program in "$SENDMERE" "$FLOOR"; do
  [ -x "$program" ] || { echo "missing $program: build the targets sendmere, sendmere-faxd and sendmere-bench-dialog" >&2; exit 1; }
done

if [ -z "${SENDMERE_BENCH_INSIDE:-}" ]; then
  ROOT="$(mktemp -d "${TMPDIR:-/tmp}/sendmere-bench.XXXXXX")"
  trap 'rm -rf "$ROOT"' EXIT
  export HOME="$ROOT/home" XDG_CONFIG_HOME="$ROOT/config" XDG_DATA_HOME="$ROOT/data" \
         XDG_STATE_HOME="$ROOT/state" XDG_CACHE_HOME="$ROOT/cache" XDG_RUNTIME_DIR="$ROOT/runtime" \
         TMPDIR="$ROOT/tmp"
  mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$TMPDIR"
  mkdir -m 0700 "$XDG_RUNTIME_DIR"
  export QT_QPA_PLATFORM=offscreen SENDMERE_BENCH_INSIDE=1
  unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
  dbus-run-session -- "$0" "$@"
  exit $?
fi

export SENDMERE_BENCH_QUIT_ON_ACTIVE=1
now_ns() { date +%s%N; }

# Wall time of one run of "$@", in microseconds.
run_us() {
  start=$(now_ns)
  "$@" >/dev/null 2>&1 || { echo "$1 ended with an error" >&2; exit 1; }
  end=$(now_ns)
  echo $(( (end - start) / 1000 ))
}

# The processor time (user + system) of the ended child processes so far: note_cpu writes it
# down in this shell (a subshell's own account starts from nothing), noted_cpu_us reads it in
# microseconds. Summed over all runs, it is a figure that a loaded machine disturbs far less
# than the clock: a program waiting for a processor is not charged for the wait.
note_cpu() { times > "$TMPDIR/times"; }
noted_cpu_us() {
  awk 'NR == 2 { t = 0; for (i = 1; i <= 2; ++i) { split($i, p, "m"); sub(/s$/, "", p[2]); t += p[1] * 60 + p[2] }
                 printf "%d\n", t * 1000000 }' "$TMPDIR/times"
}

median_ms() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.1f\n", m / 1000 }'
}

"$SENDMERE" 'new;;Ann#;111#' >/dev/null 2>&1  # warm-up: starts the fax service
"$FLOOR" >/dev/null 2>&1

# The two programs take turns, so that a change in the machine's load hits both alike.
program_samples=""
floor_samples=""
program_cpu_us=0
floor_cpu_us=0
i=0
while [ "$i" -lt "$RUNS" ]; do
  note_cpu; before=$(noted_cpu_us)
  program_samples="$program_samples $(run_us "$SENDMERE" 'new;;Ann#;111#')"
  note_cpu; middle=$(noted_cpu_us)
  floor_samples="$floor_samples $(run_us "$FLOOR")"
  note_cpu; after=$(noted_cpu_us)
  program_cpu_us=$((program_cpu_us + middle - before))
  floor_cpu_us=$((floor_cpu_us + after - middle))
  i=$((i + 1))
done
program_ms=$(median_ms $program_samples)
floor_ms=$(median_ms $floor_samples)
echo "runs: $RUNS each, offscreen"
echo "sendmere 'new;;Ann#;111#' to the recipients page active: median ${program_ms} ms"
echo "minimal Qt Widgets dialog shown and active:            median ${floor_ms} ms"
awk -v p="$program_ms" -v f="$floor_ms" 'BEGIN { printf "ratio: %.2f (goal: at most 1.10)\n", p / f }'
awk -v p="$program_cpu_us" -v f="$floor_cpu_us" -v n="$RUNS" \
  'BEGIN { printf "processor time per run: sendmere %.1f ms, dialog %.1f ms, ratio: %.2f\n", p / n / 1000, f / n / 1000, p / f }'
