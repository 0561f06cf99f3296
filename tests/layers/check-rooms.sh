#!/bin/sh
# The order of the rooms of the program's source folder: a file includes headers of its own
# room and of the rooms below it, never of a room above it, nor of a room beside it on the same
# floor. Prints every include that breaks the order, and every folder that has no place in it,
# and fails when there is one.
# Usage: check-rooms.sh <src folder>
set -eu
cd "${1:?usage: check-rooms.sh <src folder>}"
# The floors from the bottom up; rooms joined by "+" stand side by side on one floor.
FLOORS='platform services job session bridge send wizard+extras app'
find . -type f \( -name '*.h' -o -name '*.cpp' \) | sed 's|^\./||' | sort | xargs awk -v floors="$FLOORS" '
  BEGIN {
    n = split(floors, lines, " ")
    for (i = 1; i <= n; ++i) for (j = split(lines[i], rooms, "+"); j > 0; --j) floor[rooms[j]] = i
  }
  FNR == 1 {
    room = FILENAME
    sub(/\/.*/, "", room)
    if (!(room in floor)) { print FILENAME ": its folder has no place in the order of rooms"; bad = 1 }
  }
  /^[ \t]*#[ \t]*include[ \t]*"/ {
    header = $0
    sub(/^[^"]*"/, "", header)
    sub(/".*/, "", header)
    target = header
    if (header ~ /^\.\.\//) { print FILENAME ":" FNR ": \"" header "\" climbs out of its folder; name it from the source folder"; bad = 1 }
    else if (sub(/\/.*/, "", target) && target in floor && room in floor && target != room && floor[target] >= floor[room]) {
      print FILENAME ":" FNR ": " room "/ includes \"" header "\" of the room " (floor[target] == floor[room] ? "beside" : "above") " it"
      bad = 1
    }
  }
  END { exit bad }
'
