#!/usr/bin/env bash
# Builds the program and starts it: installs what is missing, builds the preset's `pagewright`, runs it.
# Usage: scripts/run.sh [release|debug]   (default: release)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
case "$preset" in
release | debug) ;;
*)
    echo "Usage: scripts/run.sh [release|debug]" >&2
    exit 2
    ;;
esac
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): run it under Xvfb with 'xvfb-run -a bash scripts/run.sh'." >&2
    exit 1
fi
bash scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target pagewright
exec "build/$preset/app/pagewright"
