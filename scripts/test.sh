#!/usr/bin/env bash
# The project's one test command: installs what is missing, builds, runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
cmake --preset debug
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs"
