#!/usr/bin/env bash
# The program as a user meets it, on a private X display (Xvfb) with real key
# and mouse events (xdotool): it opens a recipe profile named on the command
# line, a curve is changed, Ctrl+Shift+S saves it under a new name, Ctrl+Q
# quits; the command line then reads the new file.
#
# Usage: tonemolder_x_test.sh TONEMOLDER TONEMOLDER-CLI RECIPE_PROFILE_MAKER
# Exit status 77 (skipped) only when no X server can be started.
set -u

PROGRAM=$1
CLI=$2
MAKER=$3

here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/xsession.sh"
WORK=$work
APP_PID=

fail() {
    echo "FAIL: $*" >&2
    if [ -s "$WORK/program.log" ]; then
        echo "--- program output" >&2
        cat "$WORK/program.log" >&2
    fi
    exit 1
}

skip() {
    echo "SKIP: $*"
    exit 77
}

command -v Xvfb >/dev/null || skip "no X server can be started: Xvfb is not installed (scripts/setup.sh installs it)"
command -v xdotool >/dev/null || fail "xdotool is not installed (scripts/setup.sh installs it)"
start_xvfb 2>"$WORK/xvfb-start.log" || skip "no X server can be started: $(tail -n 1 "$WORK/xvfb-start.log")"

# A user of our own: fresh settings, no desktop's dialogs.
export QT_QPA_PLATFORM=xcb
export XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data" XDG_RUNTIME_DIR="$WORK/runtime"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORMTHEME WAYLAND_DISPLAY

"$MAKER" "$WORK/first.icc" || fail "could not make the recipe profile"
cp "$WORK/first.icc" "$WORK/first-before.icc"

# Waits for a window whose title matches, and prints its id.
window() {
    find_window --name "$1"
}

"$PROGRAM" "$WORK/first.icc" >"$WORK/program.log" 2>&1 &
APP_PID=$!
pids+=("$APP_PID")
MAIN=$(window "Osterlane Color Tonemolder - $WORK/first.icc")
[ -n "$MAIN" ] || fail "the window never showed the profile named on the command line"
sleep 2   # the splash screen closes after 1.5 s

# Into the description, then along the focus chain to the value of the first
# channel's curve (a gamma of 1.20), and ten steps up.
xdotool mousemove --window "$MAIN" 220 37 click 1
sleep 0.3
for _ in $(seq 8); do xdotool key Tab; done
for _ in $(seq 10); do xdotool key Up; done
sleep 0.5

xdotool key ctrl+shift+s
SAVE=$(window "Save ICC profile")
[ -n "$SAVE" ] || fail "Ctrl+Shift+S brought no save dialog"
xdotool windowfocus --sync "$SAVE"
xdotool mousemove --window "$SAVE" 60 60
sleep 0.3
xdotool type --delay 5 "$WORK/second"
xdotool key Return
[ -n "$(window "Osterlane Color Tonemolder - $WORK/second.icc")" ] || fail "the title never named the saved file"

xdotool windowfocus --sync "$MAIN"
xdotool key ctrl+q
for _ in $(seq 100); do
    kill -0 "$APP_PID" 2>/dev/null || break
    sleep 0.2
done
kill -0 "$APP_PID" 2>/dev/null && fail "Ctrl+Q did not quit the program"
wait "$APP_PID"
status=$?
[ "$status" -eq 0 ] || fail "the program ended with status $status"

# The new file carries the recipe, its tables differ from the first one's,
# and the first file is as it was.
[ -f "$WORK/second.icc" ] || fail "no $WORK/second.icc"
cmp -s "$WORK/first.icc" "$WORK/first-before.icc" || fail "the opened profile was changed"
"$CLI" info "$WORK/second.icc" >"$WORK/info.txt" || fail "tonemolder-cli info failed on the saved file"
for line in "Class:            abst" "Description:      First look" "Recipe:           yes" \
            "Recipe tab:     Softproofing"; do
    grep -qF "$line" "$WORK/info.txt" || { cat "$WORK/info.txt"; fail "info lacks \"$line\""; }
done
"$CLI" --quiet cube "$WORK/first.icc" --space '*srgb' --points 9 -o "$WORK/first.cube" || fail "cube of the first"
"$CLI" --quiet cube "$WORK/second.icc" --space '*srgb' --points 9 -o "$WORK/second.cube" || fail "cube of the second"
cmp -s "$WORK/first.cube" "$WORK/second.cube" && fail "the saved profile's tables are those of the opened one"
echo "PASS: opened, changed, saved as $WORK/second.icc and quit under $DISPLAY"
