#!/usr/bin/env bash
# The proofing tools as a user meets them, on a private X display (Xvfb) with
# real key events (xdotool): with default_cmyk as proof profile and a look
# opened from the command line, a two-half image (muted colours left,
# saturated sRGB primaries right) is loaded and previewed; Ctrl+Shift+Y
# paints the warning colour on the right half only, Y splits the view (the
# original comes back left of the divider, the right stays), and holding
# backslash shows the original until it is let go. The window is read back
# with xwd after each step.
#
# Usage: proofing_x_test.sh TONEMOLDER RECIPE_PROFILE_MAKER
# Exit status 77 (skipped) only when no X server can be started.
set -u

PROGRAM=$1
MAKER=$2
PRESS=/usr/share/color/icc/ghostscript/default_cmyk.icc

here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/xsession.sh"
WORK=$work

fail() {
    echo "FAIL: $*" >&2
    [ -s "$WORK/program.log" ] && { echo "--- program output" >&2; cat "$WORK/program.log" >&2; }
    exit 1
}
skip() {
    echo "SKIP: $*"
    exit 77
}

command -v Xvfb >/dev/null || skip "no X server can be started: Xvfb is not installed (scripts/setup.sh installs it)"
for tool in xdotool xwd; do command -v $tool >/dev/null || fail "$tool is not installed (scripts/setup.sh installs it)"; done
[ -f "$PRESS" ] || fail "$PRESS is missing (scripts/setup.sh installs it)"
start_xvfb 2>"$WORK/xvfb-start.log" || skip "no X server can be started: $(tail -n 1 "$WORK/xvfb-start.log")"

export QT_QPA_PLATFORM=xcb
export XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data" XDG_RUNTIME_DIR="$WORK/runtime"
mkdir -p "$XDG_RUNTIME_DIR" "$WORK/config/Osterlane" && chmod 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORMTHEME WAYLAND_DISPLAY
cat > "$WORK/config/Osterlane/Osterlane Color Tonemolder.conf" <<CONF
[General]
monitor_sRGB=1
proofing/enabled=true
proofing/profile=$PRESS
CONF

"$MAKER" "$WORK/look.icc" || fail "could not make the recipe profile"
# 160 x 80 in blocks of 10: muted colours left, saturated primaries and
# secondaries right (each a block, so the view's smoothing leaves them whole).
python3 - "$WORK/halves.png" <<'PY' || fail "could not write the image"
import struct, sys, zlib
w, h = 160, 80
sat = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (0, 255, 255), (255, 0, 255), (255, 255, 0)]
rows = b""
for y in range(h):
    row = bytearray([0])
    for x in range(w):
        bx, by = x // 10, y // 10
        if x < w // 2:
            g = 110 + (bx * 23 + by * 17) % 100
            row += bytes((g + (bx % 3) * 6 - 6, g + (by % 3) * 6 - 6, g - 4))
        else:
            row += bytes(sat[(bx + by) % len(sat)])
    rows += bytes(row)
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) \
      + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")
open(sys.argv[1], "wb").write(png)
PY

"$PROGRAM" "$WORK/look.icc" >"$WORK/program.log" 2>&1 &
pids+=($!)
MAIN=$(find_window --onlyvisible --name "Osterlane Color Tonemolder - $WORK/look.icc")
[ -n "$MAIN" ] || fail "the window never showed"
sleep 2.5   # the splash goes
xdotool windowfocus --sync "$MAIN"
xdotool windowsize --sync "$MAIN" 1240 740
sleep 1

keys() { xdotool key --delay 60 "$@"; sleep 0.4; }
shot() {
    sleep "${2:-2}"
    xwd -silent -id "$MAIN" > "$WORK/$1.xwd" || fail "xwd could not read the window"
}

# Preview > Load preview image, then Preview across abstract profile (Ctrl+S).
keys alt+f Right Right Return
DIALOG=$(WINDOW_WAIT=10 find_window --onlyvisible --name 'Select image for proofing') || fail "no image dialog"
xdotool windowfocus --sync "$DIALOG"
sleep 0.5
xdotool type --delay 10 "$WORK/halves.png"
keys Return
sleep 1.5
xdotool windowfocus --sync "$MAIN"
# The focus onto the image, away from the text fields.
xdotool mousemove --window "$MAIN" 900 300 click 1
sleep 0.3
keys ctrl+s
shot result
keys ctrl+shift+y
shot warning
xdotool keydown backslash
shot held
xdotool keyup backslash
shot released
keys y
shot split

python3 - "$WORK" "$here/../../scripts" <<'PY' || fail "the window did not show what it should (above)"
import sys
sys.path.insert(0, sys.argv[2])
from xwd2png import read_xwd
work = sys.argv[1]
def load(name):
    w, h, rows = read_xwd(open(f"{work}/{name}.xwd", "rb").read())
    return w, h, [[tuple(r[x * 3:x * 3 + 3]) for x in range(w)] for r in rows]
w, h, result = load("result")
_, _, warning = load("warning")
_, _, split = load("split")
_, _, held = load("held")
_, _, released = load("released")
def magenta(p):
    return p[0] > 200 and p[1] < 70 and p[2] > 200

# The warning: the pixels that changed are the warning colour, in one block.
changed = [(x, y) for y in range(h) for x in range(w) if warning[y][x] != result[y][x]]
assert changed, "Ctrl+Shift+Y changed nothing"
marked = [(x, y) for x, y in changed if magenta(warning[y][x])]
assert len(marked) >= 0.9 * len(changed), f"{len(marked)} of {len(changed)} changed pixels in the warning colour"
x0 = min(x for x, _ in marked); x1 = max(x for x, _ in marked)
y0 = min(y for _, y in marked); y1 = max(y for _, y in marked)
# Left of the marks, on their middle row, the muted half of the image: as wide
# as the marked half, and without a mark.
mid = (y0 + y1) // 2
x = x0 - 1
muted = 0
while x >= 0 and max(result[mid][x]) - min(result[mid][x]) < 70 and sum(result[mid][x]) > 150:
    muted += 1
    x -= 1
half = x1 - x0 + 1
assert abs(muted - half) <= 0.1 * half, f"left of the marks {muted} muted pixels, the marked half is {half} wide"
left = range(x0 - muted, x0 - 2)
assert not any(magenta(warning[y][x]) for y in range(y0, y1 + 1) for x in left), "the muted half has marks"
print(f"warning: {len(marked)} marked pixels on the right half ({half} wide), none on the left ({muted} wide)")

# Backslash held: the original (the look's change undone on the muted half);
# let go: the result again.
centre = x0 - 1   # the middle of the image, between the halves
rows = range(y0 + 2, y1 - 1)
left = range(x0 - muted + 2, centre - 3)
area = len(rows) * len(left)
held_left = sum(held[y][x] != warning[y][x] for y in rows for x in left)
assert held_left > 0.5 * area, f"backslash: only {held_left} of {area} pixels show another image"
back = sum(released[y][x] != warning[y][x] for y in range(h) for x in range(w))
assert back < 0.01 * area, f"after backslash: {back} pixels differ from the result"

# Y: left of the divider the original, as backslash showed it; right of it
# the result with its warning, as before.
split_left = sum(split[y][x] != held[y][x] for y in rows for x in left)
split_right = sum(split[y][x] != warning[y][x] for y in rows for x in range(x0 + 3, x1 - 1))
assert split_left < 0.01 * area, f"Y: {split_left} pixels left of the divider are not the original"
assert split_right < 0.01 * area, f"Y: {split_right} pixels right of the divider changed"
print(f"backslash: {held_left} of {area} pixels of the left half show the original; Y: the same left of the divider")
PY
echo "PASS: gamut warning, split and backslash under $DISPLAY"
