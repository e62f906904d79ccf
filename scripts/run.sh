#!/usr/bin/env bash
# Installs what is missing, builds, and starts the main program on its
# built-in default. Until the document-check station exists that is
# kdmtool's version report.
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/install-deps.sh"
cmake -S . -B build -G Ninja
cmake --build build -j "$(nproc)" --target kdmtool
exec build/tools/kdmtool "${@:-version}"
