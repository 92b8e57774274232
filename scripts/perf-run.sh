#!/usr/bin/env bash
# One full-size update run at the instrument's line rate (256 pages of 256 data bytes, 115200 baud) through
# the program (offscreen) and the simulated instrument; prints the run time against the line-limited time,
# the host's turnaround and the program's CPU time.
# Usage: scripts/perf-run.sh   (PW_BUILD_DIR: an existing build folder; default: the release preset)
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -n "${PW_BUILD_DIR:-}" ]]; then
    build=$PW_BUILD_DIR
    cmake --build "$build" -j "${PW_JOBS:-2}" --target E2eTest
else
    build="$PWD/build/release"
    cmake --preset release >/dev/null
    cmake --build --preset release -j "${PW_JOBS:-2}" --target E2eTest
fi
export QT_QPA_PLATFORM=offscreen
"$build/tests/e2e/E2eTest" --gtest_also_run_disabled_tests --gtest_filter='Perf.*'
