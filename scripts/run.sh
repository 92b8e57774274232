#!/usr/bin/env bash
# The built-in demo: installs what is missing, builds the program and the tools, makes a sample update
# file, starts the instrument simulator on a virtual port and then the program with that file and port
# chosen. Press Start, answer Yes, and watch the whole update; the simulator reports in this terminal.
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
    echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): run it under Xvfb with 'xvfb-run -a bash scripts/run.sh' (Debian package xvfb)." >&2
    exit 1
fi
bash scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target pagewright pagewright-sim pagewright-fwu

build="$PWD/build/$preset"
demo="$build/demo"
mkdir -p "$demo"
sample="$demo/sample.fwu"
# 128 pages of 256 data bytes for hardware 2.1000.5 and software 1.10.0.5.
"$build/tools/fwu/pagewright-fwu" make "$sample" --pages 128 --record-size 264 \
    --hw-major 2 --hw-minor 1000 --hw 5,6 --sw 1.10.0.5,1.10.0.6 >/dev/null

# The simulator publishes the port "demo" and plays one update per opening of the port.
port=demo
"$build/tools/sim/pagewright-sim" --file "$sample" --port "$port" --power-on-delay 2500 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
folder="${XDG_RUNTIME_DIR:+$XDG_RUNTIME_DIR/serialcomm}"
folder="${folder:-/tmp/serialcomm-$(id -u)}"
for _ in $(seq 100); do
    [[ -L "$folder/$port" ]] && break
    kill -0 "$sim" 2>/dev/null || exit 1
    sleep 0.05
done

# The program keeps its settings beside its executable: choose the sample file and the demo port, which
# sorts first among the ports ("demo" before the machine's "tty..." ports).
cat >"$build/app/pagewright.ini" <<INI
[Common]
PortIndex=0
FileName=$sample
INI
echo "Pagewright starts with the sample file and the port $folder/$port: press Start, then Yes."
"$build/app/pagewright"
