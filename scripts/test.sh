#!/usr/bin/env bash
# Builds everything and runs every suite.
#   scripts/test.sh                 normal build in build/
#   BUILD_DIR=d CMAKE_ARGS="-DKDM_SANITIZE=ON" scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/install-deps.sh"
build=${BUILD_DIR:-build}
jobs=${JOBS:-$(nproc)}
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja ${CMAKE_ARGS:-}
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 300 ${CTEST_ARGS:-}
