#!/bin/sh
# The order of the rooms of the program's source folder: a file includes headers of its own
# room and of the rooms below it, never of a room above it, nor of a room beside it on the same
# floor. Prints every include that breaks the order, and every folder that has no place in it,
# and fails when there is one.
# Usage: check-rooms.sh <src folder>
set -eu
SRC="${1:?usage: check-rooms.sh <src folder>}"
[ -d "$SRC" ] || { echo "no folder $SRC" >&2; exit 2; }

# From the bottom up, one floor a line; rooms on one line stand side by side.
FLOORS='platform
services
job
session
bridge
send
wizard extras
app'

cd "$SRC"
find . -type f \( -name '*.h' -o -name '*.cpp' \) | sed 's|^\./||' | sort |
  xargs awk -v floors="$FLOORS" '
    BEGIN {
      n = split(floors, lines, "\n")
      for (i = 1; i <= n; ++i) {
        m = split(lines[i], rooms, " ")
        for (j = 1; j <= m; ++j) floor[rooms[j]] = i
      }
      bad = 0
    }
    FNR == 1 {
      room = FILENAME
      sub(/\/.*/, "", room)
      if (!(room in floor)) {
        print FILENAME ": its folder has no place in the order of rooms"
        bad = 1
      }
    }
    /^[ \t]*#[ \t]*include[ \t]*"/ {
      header = $0
      sub(/^[^"]*"/, "", header)
      sub(/".*/, "", header)
      if (header ~ /^\.\.\//) {
        print FILENAME ":" FNR ": \"" header "\" climbs out of its folder; name it from the source folder"
        bad = 1
        next
      }
      target = header
      if (!sub(/\/.*/, "", target) || !(target in floor) || !(room in floor) || target == room) next
      if (floor[target] >= floor[room]) {
        where = floor[target] == floor[room] ? "beside" : "above"
        print FILENAME ":" FNR ": " room "/ includes \"" header "\" of the room " where " it"
        bad = 1
      }
    }
    END { exit bad }
  ' || exit 1
