#!/usr/bin/env bash
# Soak: RUNS complete update runs in a row in one window against one simulated instrument, with the
# program's threads, open descriptors and resident memory compared before and after.
# Usage: scripts/soak.sh [RUNS]   (default 300)
# PW_BUILD_DIR names an existing build folder to use; without it the debug preset is configured and built.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
    echo "Usage: scripts/soak.sh [RUNS]   (RUNS: a whole number of runs, 1 or more)" >&2
    exit 2
fi
if [[ -n "${PW_BUILD_DIR:-}" ]]; then
    build=$PW_BUILD_DIR
    cmake --build "$build" -j "${PW_JOBS:-2}" --target E2eTest
else
    build="$PWD/build/debug"
    cmake --preset debug >/dev/null
    cmake --build --preset debug -j "${PW_JOBS:-2}" --target E2eTest
fi
export QT_QPA_PLATFORM=offscreen
PW_SOAK_RUNS=$runs "$build/tests/e2e/E2eTest" --gtest_filter='Soak.ManyRuns'
