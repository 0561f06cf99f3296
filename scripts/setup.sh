#!/bin/sh
# Installs the dependencies, configures and builds. Usage: scripts/setup.sh [BUILD_DIR] [cmake options...]
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
BUILD_DIR="${1:-build}"
[ $# -gt 0 ] && shift
# ccache, where installed, makes rebuilds in several work trees cheap.
LAUNCHER=""
command -v ccache >/dev/null && LAUNCHER="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $LAUNCHER "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
