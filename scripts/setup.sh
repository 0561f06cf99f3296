#!/bin/sh
# Installs the dependencies, configures and builds. Usage: scripts/setup.sh [BUILD_DIR] [cmake options...]
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
BUILD_DIR="${1:-build}"
[ $# -gt 0 ] && shift
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
