#!/usr/bin/env bash
# Takes the pictures of docs/USAGE.md (docs/usage-*.png): runs the release build of pagewright against
# pagewright-sim on a virtual port, under a display of its own (Xvfb with the openbox window manager, so
# the windows have their title bars), drives it with xdotool and crops each picture to the program's
# windows. Every run of the user guide's scenes is played for real: a complete update, a stopped one,
# each version question, each error message and the red port box.
#
# Nothing outside a temporary folder is touched: the virtual ports live in a private runtime folder, the
# program's home and configuration folders are temporary too, and the settings file beside the
# executable (build/release/app/pagewright.ini) is backed up and put back afterwards.
#
# Usage: scripts/screenshots.sh [OUTPUT_DIR]   (default: docs)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
out=${1:-docs}
mkdir -p "$out"
out=$(cd "$out" && pwd)

bash scripts/deps.sh xvfb xdotool x11-utils imagemagick openbox
cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target pagewright pagewright-sim pagewright-fwu

build="$repo/build/release"
app="$build/app/pagewright"
sim_exe="$build/tools/sim/pagewright-sim"
fwu="$build/tools/fwu/pagewright-fwu"
ini="$build/app/pagewright.ini"
# ImageMagick itself, never a stand-in of the same name elsewhere on the PATH.
import=/usr/bin/import
convert=/usr/bin/convert

work=$(mktemp -d /tmp/pw-XXXXXX) # short: its path shows in the port and file boxes
chmod 700 "$work"
mkdir -p "$work/home" "$work/config"
xvfb_pid="" wm_pid="" app_pid="" sim_pid="" spare_pid=""
ini_saved=0

stop_pid() { # PID: ends one process of ours and reaps it
    local pid=$1
    [[ -n "$pid" ]] || return 0
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    stop_pid "$app_pid"
    stop_pid "$sim_pid"
    stop_pid "$spare_pid"
    stop_pid "$wm_pid"
    stop_pid "$xvfb_pid"
    if ((ini_saved)); then
        if [[ -f "$work/pagewright.ini.saved" ]]; then
            cp -p "$work/pagewright.ini.saved" "$ini"
        else
            rm -f "$ini"
        fi
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
    echo "screenshots: $*" >&2
    exit 1
}

# --- the display --------------------------------------------------------------------------------------
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do
    [[ -s "$work/display" ]] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
done
DISPLAY=":$(tr -d '[:space:]' <"$work/display")"
export DISPLAY
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
openbox >"$work/openbox.log" 2>&1 &
wm_pid=$!
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done

# --- the update files and the simulator ---------------------------------------------------------------
# The update files have a folder of their own, which is all that the file dialog shows.
mkdir -p "$work/firmware"
sample="$work/firmware/sample.fwu"
# 128 pages of 256 data bytes for hardware 2.1000.5 and 2.1000.6, software 1.10.0.5 and 1.10.0.6.
"$fwu" make "$sample" --pages 128 --record-size 264 \
    --hw-major 2 --hw-minor 1000 --hw 5,6 --sw 1.10.0.5,1.10.0.6 >/dev/null
broken="$work/firmware/broken.fwu"
printf 'This is not an update file.\n' >"$broken"

port_folder="$XDG_RUNTIME_DIR/serialcomm"
port=demo                # the instrument of every scene; sorts first in the port list
spare_port=demo-unplugged # listed at start, then gone: the port that cannot be opened

wait_link() { # NAME PID
    for _ in $(seq 100); do
        [[ -L "$port_folder/$1" ]] && return 0
        kill -0 "$2" 2>/dev/null || fail "pagewright-sim did not start for port $1"
        sleep 0.05
    done
    fail "port $1 did not appear"
}

sim_log="$work/sim.log"
start_sim() { # [SIM OPTIONS...]: (re)starts the instrument on the port "demo"
    stop_pid "$sim_pid"
    sim_pid=""
    : >"$sim_log"
    "$sim_exe" --file "$sample" --port "$port" "$@" >"$sim_log" 2>&1 &
    sim_pid=$!
    wait_link "$port" "$sim_pid"
}

wait_sim_page() { # N: until the simulator has served page N of the run
    for _ in $(seq 600); do
        grep -q "^page $1 of " "$sim_log" && return 0
        sleep 0.05
    done
    fail "the simulator never served page $1: $(tail -3 "$sim_log")"
}

# --- windows ------------------------------------------------------------------------------------------
title="RVK-318 Pagewright"
main=""
mx=0 my=0 # the main window's client area on the screen

visible_windows() { xdotool search --onlyvisible --class pagewright 2>/dev/null || true; }

# A message box is a visible modal window of the program captioned with the title.
find_box() {
    local w
    for w in $(visible_windows); do
        [[ "$w" == "$main" ]] && continue
        [[ "$(xdotool getwindowname "$w" 2>/dev/null)" == "$title" ]] || continue
        xprop -id "$w" _NET_WM_STATE 2>/dev/null | grep -q _NET_WM_STATE_MODAL && {
            echo "$w"
            return 0
        }
    done
    return 1
}

wait_box() { # prints the id of the message box once it is shown and has the focus
    local w
    for _ in $(seq 300); do
        if w=$(find_box) && [[ "$(xdotool getactivewindow 2>/dev/null)" == "$w" ]]; then
            sleep 0.3 # let it paint
            echo "$w"
            return 0
        fi
        sleep 0.05
    done
    fail "no message box appeared"
}

wait_no_box() {
    for _ in $(seq 200); do
        find_box >/dev/null || return 0
        sleep 0.05
    done
    fail "a message box stayed open"
}

# The instruction window: the program's stay-on-top utility window.
instruction_shown() {
    local w
    for w in $(visible_windows); do
        xprop -id "$w" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q _NET_WM_WINDOW_TYPE_UTILITY && return 0
    done
    return 1
}

wait_instruction() {
    for _ in $(seq 200); do
        instruction_shown && {
            sleep 0.3
            return 0
        }
        sleep 0.05
    done
    fail "the instruction window did not appear"
}

wait_dialog() { # the file dialog
    local w
    for _ in $(seq 200); do
        w=$(xdotool search --onlyvisible --name '^Select the file$' 2>/dev/null | head -1) || true
        if [[ -n "$w" && "$(xdotool getactivewindow 2>/dev/null)" == "$w" ]]; then
            sleep 0.5
            echo "$w"
            return 0
        fi
        sleep 0.05
    done
    fail "the file dialog did not appear"
}

# A list that pops up from a control (completions, the port list) is a window of its own that the
# window manager does not frame.
popup_shown() {
    local w
    for w in $(visible_windows); do
        xwininfo -id "$w" 2>/dev/null | grep -q 'Override Redirect State: yes' && return 0
    done
    return 1
}

answer() { # KEY: answers the message box that has the focus (Return: the default, Yes or OK; Escape: No)
    local w
    w=$(wait_box)
    xdotool key --clearmodifiers "$1"
    for _ in $(seq 100); do
        visible_windows | grep -qx "$w" || break
        sleep 0.05
    done
    sleep 0.2
}

click() { # X Y within the main window's client area; then the pointer leaves, so that no hint shows
    xdotool mousemove $((mx + $1)) $((my + $2)) click 1
    sleep 0.1
    xdotool mousemove 0 0
}
press_start() { click 277 315; } # the Start/Stop button
press_open() { click 291 50; }   # the "..." button

activate_main() { # gives the main window the focus, so that its title bar is drawn active
    xdotool windowactivate --sync "$main" 2>/dev/null || true
    click 30 18 # the "Port:" label, which does nothing
    sleep 0.3
}

# Crops a picture of the screen to the frames of the program's visible windows.
snap_root="$work/root.png"
grab() { "$import" -window root "$snap_root"; }
crop() { # NAME: crops the last grab to the program's windows and saves docs/usage-NAME.png
    local w x y width height ext left right top bottom
    local x0=100000 y0=100000 x1=0 y1=0
    for w in $(visible_windows); do
        eval "$(xwininfo -id "$w" | awk '/Absolute upper-left X/ {print "x=" $4}
            /Absolute upper-left Y/ {print "y=" $4} /  Width:/ {print "width=" $2}
            /  Height:/ {print "height=" $2}')"
        ext=$(xprop -id "$w" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= *//p' | tr -d ' ')
        IFS=, read -r left right top bottom <<<"${ext:-0,0,0,0}"
        if ((x - left < x0)); then x0=$((x - left)); fi
        if ((y - top < y0)); then y0=$((y - top)); fi
        if ((x + width + right > x1)); then x1=$((x + width + right)); fi
        if ((y + height + bottom > y1)); then y1=$((y + height + bottom)); fi
    done
    ((x1 > x0)) || fail "no window to picture for $1"
    "$convert" "$snap_root" -crop "$((x1 - x0))x$((y1 - y0))+$x0+$y0" +repage -strip "$out/usage-$1.png"
    echo "  usage-$1.png"
}
shoot() { # NAME
    grab
    crop "$1"
}

# The indicator beside the progress bar, as a colour name: yellow or green.
indicator_colour() {
    "$convert" "$snap_root" -crop "1x1+$((mx + 123))+$((my + 315))" -depth 8 txt:- |
        awk 'NR == 2 {print $3}'
}

# --- start the program ------------------------------------------------------------------------------
# The spare port is listed when the program starts; it goes away before the last scene.
"$sim_exe" --file "$sample" --port "$spare_port" --quiet >"$work/spare.log" 2>&1 &
spare_pid=$!
wait_link "$spare_port" "$spare_pid"
start_sim --power-on-delay 1500 --baud 38400

if [[ -f "$ini" ]]; then cp -p "$ini" "$work/pagewright.ini.saved"; fi
ini_saved=1
cat >"$ini" <<INI
[Common]
PortIndex=0
FileName=$sample
INI

"$app" >"$work/app.log" 2>&1 &
app_pid=$!
for _ in $(seq 200); do
    main=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -1) || true
    [[ -n "$main" ]] && break
    kill -0 "$app_pid" 2>/dev/null || fail "pagewright ended: $(cat "$work/app.log")"
    sleep 0.1
done
[[ -n "$main" ]] || fail "the main window did not appear"
sleep 1
eval "$(xwininfo -id "$main" | awk '/Absolute upper-left X/ {print "mx=" $4} /Absolute upper-left Y/ {print "my=" $4}')"
echo "Pictures in $out:"

# --- a complete update ---------------------------------------------------------------------------
# The first Start loads the file and asks; No leaves the program idle with the file's lists shown.
press_start
wait_box >/dev/null
shoot confirm
answer Escape
activate_main
shoot idle

press_start
answer Return
wait_instruction
shoot instruction
wait_sim_page 60
for _ in $(seq 40); do
    grab
    [[ "$(indicator_colour)" == "#FFFF00" ]] && break
    sleep 0.03
done
crop running
wait_box >/dev/null
shoot complete
answer Return

# --- Stop in the middle of a run --------------------------------------------------------------------
start_sim --power-on-delay 1000 --baud 38400
press_start
answer Return
wait_instruction
wait_sim_page 50
press_start
wait_box >/dev/null
shoot stopped
answer Return

# --- the software question: Yes ends the run, the next run completes without the check ---------------
start_sim --power-on-delay 1000 --quiet --sw-version 1.10.0.9
press_start
answer Return
wait_box >/dev/null
shoot software-question
answer Return
wait_box >/dev/null
answer Return
activate_main
shoot software-check-off
press_start
answer Return
wait_box >/dev/null
shoot complete-software-off
answer Return

# --- the hardware question: No refuses the instrument; Yes switches the check off --------------------
start_sim --power-on-delay 1000 --quiet --sw-version 1.10.0.9 --hw-revision 9
press_start
answer Return
wait_box >/dev/null
shoot hardware-question
answer Escape
wait_box >/dev/null
shoot hardware-refused
answer Return
answer Return # the outcome
press_start
answer Return
answer Return # the hardware question: Yes
answer Return # the outcome
activate_main
shoot checks-off

# --- choosing the file again: a refused file, then the good one, which brings the checks back --------
choose_file() { # PATH [NAME]: chooses PATH in the file dialog ("..."), pictured as NAME before it is confirmed
    local dialog
    press_open
    dialog=$(wait_dialog)
    xdotool type --delay 20 "$1"
    sleep 0.5
    # The name box may offer completions in a list of its own: Escape closes that list only.
    if popup_shown; then
        xdotool key --clearmodifiers Escape
        sleep 0.3
    fi
    if [[ -n "${2:-}" ]]; then shoot "$2"; fi
    xdotool key --clearmodifiers Return
    for _ in $(seq 100); do
        visible_windows | grep -qx "$dialog" || break
        sleep 0.05
    done
    sleep 0.3
    # A completion list left behind by the closed dialog goes with a click beside it.
    if popup_shown; then
        xdotool mousemove 0 0 click 1
        sleep 0.3
    fi
}
choose_file "$broken"
wait_box >/dev/null
shoot bad-file
answer Return
choose_file "$sample" file-dialog
activate_main
shoot checks-on

# --- the software question answered No -------------------------------------------------------------
start_sim --power-on-delay 1000 --quiet --sw-version 1.10.0.9
press_start
answer Return
answer Escape # the software question: No
wait_box >/dev/null
shoot software-refused
answer Return
answer Return # the outcome

# --- a bad page number and a defect report ---------------------------------------------------------
start_sim --power-on-delay 1000 --quiet --bad-page-at 40
press_start
answer Return
wait_box >/dev/null
shoot bad-page
answer Return
answer Return # the outcome

start_sim --power-on-delay 1000 --quiet --defective-after 40
press_start
answer Return
answer Return # the outcome comes first
wait_box >/dev/null
shoot defective
answer Return
answer Return # and the outcome once more

# --- a port that cannot be opened ----------------------------------------------------------------
# The spare port was listed at start; its simulator ends now, and its device goes with it.
stop_pid "$spare_pid"
spare_pid=""
click 208 18 # the port box: choose the next port, the spare one
sleep 0.5
xdotool key --clearmodifiers Down Return
sleep 0.3
press_start
answer Return
sleep 1
activate_main
shoot port-red
press_start # Stop
answer Return
wait_no_box

# --- end: close the program -------------------------------------------------------------------------
click 501 -11 # the close button of the title bar
for _ in $(seq 100); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
done
stop_pid "$app_pid"
app_pid=""
echo "Done."
