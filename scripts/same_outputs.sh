#!/usr/bin/env bash
# Runs one fixed set of tonemolder-cli commands with two builds of the program
# and compares what they write byte for byte: every command, the three
# recipes, both ICC versions, apply on TIFF, PNG and JPEG. For a change that
# must not change behaviour (a reorganisation of the code), run it with the
# program built before and after:
#
#   scripts/same_outputs.sh OLD_CLI NEW_CLI RECIPE_PROFILE_MAKER
#
# The clock is held still (faketime), so that profiles carry the same creation
# date and hence the same profile ID; any other difference is reported.
# RECIPE_PROFILE_MAKER (built with the tests) writes the recipe profiles both
# programs start from.
set -euo pipefail
old="$1"; new="$2"; maker="$3"
here="$(cd "$(dirname "$0")" && pwd)"
command -v faketime >/dev/null || { echo "faketime is needed (Debian package faketime)" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
in="$work/in"; mkdir -p "$in"
CMYK=/usr/share/color/icc/ghostscript/default_cmyk.icc
SRGB=/usr/share/color/argyll/ref/sRGB.icm

# The inputs, the same for both runs.
python3 - "$in/look.cube" <<'PY'
import math, sys
n = 17
with open(sys.argv[1], "w") as f:
    f.write('TITLE "Strong look"\nLUT_3D_SIZE %d\n' % n)
    for b in range(n):
        for g in range(n):
            for r in range(n):
                x, y, z = r / (n - 1), g / (n - 1), b / (n - 1)
                f.write("%.6f %.6f %.6f\n" % (x ** 0.8, 0.1 + 0.8 * y * y, min(1, 0.5 * z + 0.3 * x)))
PY
"$maker" "$in/soft.icc" softproof '*srgb'
"$maker" "$in/press.icc" softproof "$CMYK" 2.1
"$maker" "$in/cam.icc" cam16
"$maker" "$in/cam2.icc" cam16 2.1
"$maker" "$in/table.icc" cube "$in/look.cube"
python3 "$here/../bench/make_tiff.py" "$in/photo.tif" 160 120 > /dev/null
"$old" --quiet apply "$in/photo.tif" --chain '*srgb' -o "$in/photo.png" > /dev/null 2>&1
"$old" --quiet apply "$in/photo.tif" --chain '*srgb' -o "$in/photo.jpg" > /dev/null 2>&1

run() {   # CLI OUTDIR
    local cli="$1" o="$2"
    mkdir -p "$o"
    # Each command's exit status and messages are part of what it does.
    c() { local name="$1"; shift
          set +e; faketime -f '2026-01-02 03:04:05' "$cli" --quiet "$@" > "$o/$name.out" 2> "$o/$name.err"
          echo $? > "$o/$name.status"; set -e; }
    c help --help
    for cmd in info rebuild import-cube cube embed apply; do c "help-$cmd" "$cmd" --help; done
    c info info "$in/soft.icc" "$in/press.icc" "$in/cam.icc" "$in/table.icc" "$CMYK"
    for p in soft press cam cam2 table; do
        c "rebuild-$p" rebuild "$in/$p.icc" -o "$o/$p.icc"
        c "rebuild2-$p" rebuild "$in/$p.icc" --version 2.1 --grid-lstar 17 -o "$o/$p-2.icc"
    done
    c report rebuild "$in/table.icc" --report
    c import4 import-cube "$in/look.cube" -o "$o/imported.icc"
    c import2 import-cube "$in/look.cube" --version 2.1 --intent relative -o "$o/imported-2.icc"
    c cube cube "$in/cam.icc" --points 17 -o "$o/cam.cube"
    c cube-argb cube "$in/table.icc" --space '*argb' -o "$o/table-argb.cube"
    c embed embed "$CMYK" "$in/cam.icc" --grid 17 -o "$o/press-cam.icc"
    c embed2 embed "$SRGB" "$in/soft.icc" --grid 17 --version 2.1 --intents relative -o "$o/srgb-soft.icc"
    for ext in tif png jpg; do
        c "apply-$ext" apply "$in/photo.$ext" --chain "*srgb,$in/cam.icc,*srgb" -o "$o/look-$ext.$ext"
        c "apply16-$ext" apply "$in/photo.$ext" --chain "$in/table.icc,*srgb" --bits 16 -o "$o/look16-$ext.tif"
    done
    c apply-cmyk apply "$in/photo.tif" --chain "*srgb,$in/soft.icc,$CMYK" -o "$o/cmyk.tif"
    c errors rebuild "$in/missing.icc" -o "$o/none.icc"
    # The messages name the output folder: make them the same for both runs.
    sed -i "s#$o#OUT#g" "$o"/*.out "$o"/*.err
}
run "$old" "$work/old"
run "$new" "$work/new"

status=0
for f in "$work/old"/*; do
    name="$(basename "$f")"
    if ! cmp -s "$f" "$work/new/$name"; then
        echo "DIFFERENT: $name"; status=1
    fi
done
[ "$(ls "$work/old" | wc -l)" = "$(ls "$work/new" | wc -l)" ] || { echo "DIFFERENT: the sets of files"; status=1; }
echo "$(ls "$work/old" | wc -l) files compared"
[ $status = 0 ] && echo "same outputs"
exit $status
