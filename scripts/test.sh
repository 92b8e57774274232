#!/usr/bin/env bash
# The project's one test command: installs what is missing, builds, and runs every test in the debug
# build, again under AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded layers (platform,
# link) under ThreadSanitizer.
# PW_TEST_PRESETS narrows it (e.g. PW_TEST_PRESETS=debug for a quick local run).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
presets=${PW_TEST_PRESETS:-"debug asan tsan"}

for preset in $presets; do
    echo "=== $preset: configure, build, test"
    start=$SECONDS
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    case $preset in
        tsan) ctest --preset "$preset" -j "$jobs" -L "platform|link" ;;
        *) ctest --preset "$preset" -j "$jobs" ;;
    esac
    echo "=== $preset: done in $((SECONDS - start)) s"
done
