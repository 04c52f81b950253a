#!/usr/bin/env bash
# Pictures of the real program for the README and the manual: the three
# recipe tabs with a photograph, a CMYK press profile and a live preview, the
# two tools and the preferences. The program runs under a private Xvfb and is driven with
# real key presses and clicks (xdotool); xwd takes the pictures and
# xwd2png.py turns them into PNG files, in doc/manual/images.
#
#   scripts/screenshots.sh [BUILD_DIR]      (make screenshots)
#
# The window is set to 1240 x 740 and the clicks land where the controls
# are at that size; run it again whenever the window changes, and look at
# the pictures.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=$root/doc/manual/images
photo=$root/doc/manual/images/sample/raccoon.jpg
press=/usr/share/color/icc/ghostscript/default_cmyk.icc
for tool in Xvfb xdotool xwd; do
  command -v $tool > /dev/null || { echo "screenshots.sh: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
[ -f "$press" ] || { echo "screenshots.sh: $press is missing (scripts/setup.sh installs libgs-common)" >&2; exit 1; }

. "$here/xsession.sh"

# A film look as a .cube table: warm highlights, cool shadows, softer contrast.
/usr/bin/env python3 - "$work/film-look.cube" <<'PY'
import sys
n = 17
with open(sys.argv[1], "w") as f:
    f.write('TITLE "Warm film look"\nLUT_3D_SIZE %d\n' % n)
    for b in range(n):
        for g in range(n):
            for r in range(n):
                rgb = [r / (n - 1), g / (n - 1), b / (n - 1)]
                y = 0.3 * rgb[0] + 0.59 * rgb[1] + 0.11 * rgb[2]
                out = []
                for c, v in enumerate(rgb):
                    v = 0.06 + 0.9 * v                    # lifted blacks, softer whites
                    v += (0.05, 0.0, -0.05)[c] * y        # warm light
                    v += (-0.03, 0.0, 0.04)[c] * (1 - y)  # cool shadows
                    out.append(min(1.0, max(0.0, v)))
                f.write("%.5f %.5f %.5f\n" % tuple(out))
PY

# The look as an abstract profile, made by the command-line program, for the tools.
mkdir -p "$work/profiles"
"$build/tools/cli/tonemolder-cli" --quiet import-cube "$work/film-look.cube" --space '*srgb' \
  --description "Warm film look" -o "$work/profiles/film-look.icc"

# A fresh user: the Softproofing list starts on the press profile, the tools
# on the press profile and the look.
mkdir -p "$work/config/Osterlane"
cat > "$work/config/Osterlane/Osterlane Color Tonemolder.conf" <<CONF
[General]
proof_dir=$(dirname "$press")
proof_prf=$(basename "$press")
lut_dir=/usr/share/color/icc/colord
lut_prf=*srgb
img_dir=/usr/share/color/icc/colord
img_prf=*srgb
outgen/output_dir=$(dirname "$press")
outgen/output_prf=$(basename "$press")
outgen/abstract_dir=$work/profiles
outgen/abstract_prf=film-look.icc
outgen/description=Press with a warm film look
outgen/copyright=No copyright
cubegen/abstract_dir=$work/profiles
cubegen/abstract_prf=film-look.icc
CONF

start_xvfb

HOME="$work" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" "$build/app/tonemolder" > "$work/program.log" 2>&1 &
pids+=($!)
window=$(find_window --onlyvisible --name '^Osterlane Color Tonemolder$')
sleep 2.5   # the splash goes
xdotool windowfocus --sync "$window"
xdotool windowsize --sync "$window" 1240 740
sleep 1

# Menus are reached from File with the arrow keys: File, Edit, Preview, Settings.
to_preview_menu="alt+f Right Right"
to_settings_menu="alt+f Right Right Right"

click() { xdotool mousemove --window "$window" "$1" "$2" click 1; sleep "${3:-0.4}"; }
keys() { xdotool key --delay 60 "$@"; sleep 0.4; }
# Waits for a dialog with the given title, types a file name into it and accepts.
choose_file() {
  local dialog
  dialog=$(WINDOW_WAIT=10 find_window --onlyvisible --name "$1")
  xdotool windowfocus --sync "$dialog"
  sleep 0.5
  xdotool type --delay 20 "$2"
  keys Return
  sleep 1.5
  # Back to the main window, with the focus on the curve panel rather than
  # on a text field that would take the next key presses as text.
  xdotool windowfocus --sync "$window"
  click 250 300
}
# Picks item n (0 = first) of the combo box at (x, y), then types a value into
# the editor's first number box, which follows the combo box in the focus chain.
family() {
  click "$1" "$2"
  keys Home $(for _ in $(seq "$3"); do printf 'Down '; done) Return
  if [ -n "${4:-}" ]; then
    keys Tab ctrl+a
    xdotool type --delay 40 "$4"
    keys Tab
  fi
}
shot() {
  local id=${2:-$window}
  sleep 1
  xwd -silent -id "$id" > "$work/shot.xwd"
  /usr/bin/env python3 "$here/xwd2png.py" "$work/shot.xwd" "$out/$1.png"
  echo "wrote doc/manual/images/$1.png"
}

# The photograph, through Preview > Load preview image (it comes fitted to
# the pane), and Live preview on.
keys $to_preview_menu Return
choose_file 'Select image for proofing' "$photo"
click 1130 689

# Softproofing on the press: less cyan and more yellow in the mid-tones (a
# warmer print), and a firmer black.
family 130 551 1 1.35      # C: gamma
family 130 621 1 0.80      # Y: gamma
family 130 656 2 2.5       # K: sigmoidal
shot softproofing

# The proofing view: the same preview proofed on the press (the Softproofing
# tab's output profile), with the gamut warning and the split; then off again.
click 900 300
keys ctrl+shift+y y
sleep 2
shot proofing
keys ctrl+shift+y y

# CIE CAM16: more chroma, a touch of lightness contrast.
click 155 90 1
family 240 621 1 0.70      # C - chroma: gamma
family 235 586 2 1.5       # J - lightness: sigmoidal
shot cam16

# Import LUT: the film look, applied in sRGB.
click 250 90 1
click 258 687 1
choose_file 'Select .cube file to import' "$work/film-look.cube"
# The table's picture (a pixel per node) brought up with the mouse wheel.
xdotool mousemove --window "$window" 258 425 click --repeat 7 --delay 80 4
sleep 1
shot import-lut

# The two tools of the Tools menu.
dialog_shot() {
  local dialog
  dialog=$(WINDOW_WAIT=10 find_window --onlyvisible --name "$1")
  shot "$2" "$dialog"
  xdotool windowfocus --sync "$dialog"
  keys Escape
  xdotool windowfocus --sync "$window"
}
keys alt+t Return
dialog_shot '^Output profile customizer$' embedder
keys alt+t Down Return
dialog_shot '^Convert to .CUBE$' cube-generator

# Settings > Preferences, when the window offers it.
keys $to_settings_menu Return
if prefs=$(WINDOW_WAIT=5 find_window --onlyvisible --name '^Preferences$'); then
  shot preferences "$prefs"
  keys Escape
else
  echo "no Preferences dialog came up: doc/manual/images/preferences.png left as it was" >&2
fi
