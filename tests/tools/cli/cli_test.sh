#!/usr/bin/env bash
# The command-line program run as a user runs it. Usage: cli_test.sh CLI CASE
set -u
CLI="$1"
CASE="$2"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
PRESS=/usr/share/color/icc/ghostscript/default_cmyk.icc
SWAPPED=/usr/share/color/icc/colord/SwappedRedAndGreen.icc
ADOBE=/usr/share/color/icc/colord/AdobeRGB1998.icc
MAKE="python3 $(dirname "$0")/../imagemaker.py"

fail() { echo "FAIL: $*" >&2; exit 1; }
# Runs the program; the exit status must be $1.
expect() {
    local want="$1"; shift
    "$CLI" --quiet "$@" >"$WORK/out" 2>"$WORK/err"
    local got=$?
    [ "$got" = "$want" ] || { cat "$WORK/out" "$WORK/err" >&2; fail "'$*' exited with $got, expected $want"; }
}
contains() { grep -qF -- "$2" "$1" || { cat "$1" >&2; fail "$1 lacks '$2'"; }; }
# Largest difference between the data lines of a .cube of n points and the
# identity, over the nodes whose three inputs lie within [lo, hi].
cube_error() {
    awk -v n="$2" -v lo="$3" -v hi="$4" 'NR > 5 {
        k = NR - 6; r = (k % n) / (n - 1); g = (int(k / n) % n) / (n - 1); b = int(k / (n * n)) / (n - 1)
        if (r < lo || r > hi || g < lo || g > hi || b < lo || b > hi) next
        split(r " " g " " b, want, " ")
        for (c = 1; c <= 3; c++) { d = $c - want[c]; if (d < 0) d = -d; if (d > m) m = d }
    } END { printf "%.6f\n", m }' "$1"
}
# The profile ID stored in an ICC file against the one Python's MD5 gives:
# the whole file with the flags, rendering intent and ID fields zeroed.
id_matches() {
    python3 - "$1" <<'EOF' || fail "$1: the stored profile ID is not the MD5 of the profile"
import hashlib, sys
data = bytearray(open(sys.argv[1], "rb").read())
stored = bytes(data[84:100])
data[44:48] = bytes(4)
data[64:68] = bytes(4)
data[84:100] = bytes(16)
sys.exit(0 if stored == hashlib.md5(bytes(data)).digest() and any(stored) else 1)
EOF
}
# The command (its arguments before -o) refuses to write over FILE, named as
# it is or through a symbolic link, even with --overwrite; FILE stays as it was.
refuses_own_input() {
    local file="$1"; shift
    cp "$file" "$WORK/before"
    ln -sf "$file" "$WORK/link-to-input"
    for out in "$file" "$WORK/link-to-input"; do
        expect 1 "$@" -o "$out" --overwrite
        contains "$WORK/err" "the result would replace $file, which it reads"
    done
    cmp -s "$file" "$WORK/before" || fail "'$*' replaced $file"
}
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }' || fail "$3: $1 is not below $2"; }

[ -f "$PRESS" ] || fail "$PRESS is missing"

case "$CASE" in
help)
    expect 0 --help
    contains "$WORK/out" "import-cube"
    for c in info rebuild import-cube cube link embed apply; do
        expect 0 "$c" --help
        contains "$WORK/out" "Usage: tonemolder-cli $c"
    done
    expect 0 import-lut --help
    contains "$WORK/out" "tonemolder-cli import-lut LUT"
    contains "$WORK/out" "hald-tiff"
    expect 0 --version
    contains "$WORK/out" "1.9"
    ;;
errors)
    expect 2
    contains "$WORK/err" "no command given"
    expect 2 frobnicate
    contains "$WORK/err" "unknown command frobnicate"
    expect 2 cube '*lab'
    contains "$WORK/err" "cube needs --output"
    expect 2 cube '*lab' -o "$WORK/x.cube" --points 300
    contains "$WORK/err" "--points must be from 2 to 255"
    expect 2 cube '*lab' -o "$WORK/x.cube" --bogus
    contains "$WORK/err" "unknown option --bogus"
    expect 2 cube '*lab' -o "$WORK/x.cube" --format bogus
    contains "$WORK/err" "unknown format bogus"
    expect 2 cube '*lab' -o "$WORK/x.png" --hald-level 9
    contains "$WORK/err" "--hald-level must be 8, 12 or 16"
    expect 2 link '*srgb' '*lab' -o "$WORK/x.icc"
    contains "$WORK/err" "link needs a source profile, a look and a destination profile"
    expect 1 link '*srgb' '*srgb' "$PRESS" -o "$WORK/x.icc"
    contains "$WORK/err" "The look must be an abstract profile (Lab to Lab)"
    expect 2 import-cube "$WORK/x.cube" -o "$WORK/x.icc" --intent sideways
    contains "$WORK/err" "unknown intent sideways"
    expect 1 info "$WORK/missing.icc"
    contains "$WORK/err" "cannot open"
    echo "not a profile" >"$WORK/text.icc"
    expect 1 info "$WORK/text.icc"
    expect 1 rebuild "$PRESS" -o "$WORK/r.icc"
    contains "$WORK/err" "This profile was not created by Osterlane Color Tonemolder"
    expect 1 import-cube "$WORK/missing.cube" -o "$WORK/x.icc"
    contains "$WORK/err" "Unable to access .cube file: "
    printf 'LUT_3D_SIZE 2\n0 0 0\n' >"$WORK/short.cube"
    expect 1 import-cube "$WORK/short.cube" -o "$WORK/x.icc"
    [ ! -e "$WORK/x.icc" ] || fail "a failed import left a file"
    echo precious >"$WORK/keep.icc"
    expect 1 embed "$PRESS" "$WORK/missing.icc" -o "$WORK/keep.icc" --overwrite
    contains "$WORK/err" "I cannot open the base profiles"
    [ "$(cat "$WORK/keep.icc")" = precious ] || fail "a failed embed damaged the target"
    ;;
cube)
    expect 0 cube '*lab' --space '*srgb' --points 17 --title "Identity" --copyright "Free" -o "$WORK/id.cube"
    [ "$(wc -l <"$WORK/id.cube")" = $((5 + 17 * 17 * 17)) ] || fail "wrong number of lines"
    [ "$(sed -n 1p "$WORK/id.cube")" = 'TITLE "Identity"' ] || fail "title line"
    [ "$(sed -n 2p "$WORK/id.cube")" = '# Free' ] || fail "copyright line"
    [ "$(sed -n 5p "$WORK/id.cube")" = 'LUT_3D_SIZE 17' ] || fail "size line"
    below "$(cube_error "$WORK/id.cube" 17 0 1)" 0.001 "identity profile as a table"
    ;;
import-cube)
    # An identity table imported and written back at its own size is the
    # identity within 1/255 at every node, the faces and primaries included:
    # Adobe RGB's green corner too, which lies beyond a* -128, and the nodes
    # with a channel at 0, where its pure power law would turn 16-bit Lab
    # steps into whole 8-bit ones. A version 4.3 profile carries the table in
    # float for that.
    for n in 17 33; do
        awk -v n=$n 'BEGIN { print "LUT_3D_SIZE " n
            for (b = 0; b < n; b++) for (g = 0; g < n; g++) for (r = 0; r < n; r++)
                printf "%.6f %.6f %.6f\n", r / (n - 1), g / (n - 1), b / (n - 1) }' >"$WORK/id$n.cube"
        for space in srgb argb; do
            expect 0 import-cube "$WORK/id$n.cube" --space "*$space" -o "$WORK/id$n$space.icc"
            id_matches "$WORK/id$n$space.icc"
            expect 0 cube "$WORK/id$n$space.icc" --space "*$space" --points $n -o "$WORK/back$n$space.cube"
            below "$(cube_error "$WORK/back$n$space.cube" $n 0 1)" 0.0039 "identity $n in *$space"
        done
    done
    expect 0 info "$WORK/id17argb.icc"
    contains "$WORK/out" "Version:          4.3"
    contains "$WORK/out" "D2B0  mpet"
    expect 0 cube '*lab' --space '*srgb' --points 17 -o "$WORK/id.cube"
    expect 0 import-cube "$WORK/id.cube" --space '*srgb' --intent relative -o "$WORK/id.icc"
    expect 0 info "$WORK/id.icc"
    contains "$WORK/out" "Class:            abst"
    contains "$WORK/out" "Recipe:           yes"
    contains "$WORK/out" "CUBE import"
    expect 0 cube "$WORK/id.icc" --space '*srgb' --points 9 -o "$WORK/back.cube"
    below "$(cube_error "$WORK/back.cube" 9 0 1)" 0.0039 "imported identity"
    ;;
link)
    # A version 2.1 link of *srgb -> an imported look -> the press, with the
    # look's recipe; the intent is the header's.
    expect 0 cube '*lab' --space '*srgb' --points 9 -o "$WORK/id.cube"
    expect 0 import-lut "$WORK/id.cube" -o "$WORK/look.icc" --description "Plain look"
    expect 0 link '*srgb' "$WORK/look.icc" "$PRESS" --intent relative --bpc --version 2.1 -o "$WORK/link.icc"
    id_matches "$WORK/link.icc"
    expect 0 info "$WORK/link.icc"
    contains "$WORK/out" "Version:          2.1"
    contains "$WORK/out" "Class:            link"
    contains "$WORK/out" "Connection space: CMYK"
    contains "$WORK/out" "Rendering intent: 1"
    contains "$WORK/out" "A2B0  mft2"
    contains "$WORK/out" "Description:      Plain look"
    contains "$WORK/out" "Recipe:           yes"
    # A Hald CLUT written and imported again gives back the recipe's table.
    expect 0 cube "$WORK/look.icc" -o "$WORK/look.png" --bits 8
    expect 0 import-lut "$WORK/look.png" -o "$WORK/again.icc"
    expect 0 info "$WORK/again.icc"
    contains "$WORK/out" "look.png in"
    ;;
rebuild)
    expect 0 cube '*lab' --space '*srgb' --points 9 -o "$WORK/id.cube"
    expect 0 import-cube "$WORK/id.cube" -o "$WORK/a.icc" --description "My look"
    expect 0 rebuild "$WORK/a.icc" --version 2.1 --grid-lstar 9 --curve-points 256 -o "$WORK/b.icc"
    expect 0 info "$WORK/b.icc"
    contains "$WORK/out" "Version:          2.1"
    contains "$WORK/out" "A2B0  mft2"
    contains "$WORK/out" "ICC 2.1, grid 9 x 9 x 9, 256 curve points"
    contains "$WORK/out" "Description:      My look"
    expect 0 rebuild "$WORK/b.icc" --version 4.3 --grid-lstar 23 --grid-abstar 17 -o "$WORK/c.icc"
    expect 0 info "$WORK/c.icc"
    contains "$WORK/out" "A2B0  mAB "
    # What a grid costs: the figures against the recipe, nothing written.
    expect 0 rebuild "$WORK/b.icc" --report --grid-lstar 33 --grid-abstar 33
    contains "$WORK/out" "ICC 2.1, grid 33 x 33 x 33, 256 curve points: Delta E 76 against the recipe over"
    below "$(awk '/mean/ { print $2 }' "$WORK/out")" 0.05 "identity look, mean"
    below "$(awk '/mean/ { print $7 }' "$WORK/out")" 1.5 "identity look, maximum"
    # Version 4.3: the float table first, which holds the identity to far
    # better than 16 bits do, then the 16-bit table alone.
    expect 0 rebuild "$WORK/b.icc" --report --version 4.3 --grid-lstar 33 --grid-abstar 33
    contains "$WORK/out" "ICC 4.3, grid 33 x 33 x 33, 256 curve points: Delta E 76 against the recipe over"
    contains "$WORK/out" "The 16-bit table alone"
    below "$(awk '/mean/ { print $7; exit }' "$WORK/out")" 0.005 "identity look in float, maximum"
    below "$(awk '/mean/ { m = $7 } END { print m }' "$WORK/out")" 1.5 "identity look in 16 bits, maximum"
    [ ! -e "$WORK/d.icc" ] || fail "a report wrote a profile"
    ;;
embed)
    expect 0 cube '*lab' --space '*srgb' --points 9 -o "$WORK/id.cube"
    expect 0 import-cube "$WORK/id.cube" -o "$WORK/look.icc"
    expect 0 embed "$PRESS" "$WORK/look.icc" --intents none --version 2.1 --description "Press" \
        --copyright "Mine" -o "$WORK/same.icc"
    expect 0 info "$WORK/same.icc"
    contains "$WORK/out" "Description:      Press"
    contains "$WORK/out" "Copyright:        Mine"
    contains "$WORK/out" "Version:          2.1"
    expect 0 embed "$PRESS" "$WORK/look.icc" --intents perceptual,saturation --grid 17 -o "$WORK/look-press.icc"
    expect 0 info "$WORK/look-press.icc"
    contains "$WORK/out" "Version:          4.3"
    contains "$WORK/out" "B2A0  mBA "
    for f in look same look-press; do id_matches "$WORK/$f.icc"; done
    ;;
apply)
    # A 4 × 2 picture: eight colours, as a binary PPM.
    printf 'P6\n4 2\n255\n' >"$WORK/in.ppm"
    printf '\377\000\000\000\377\000\000\000\377\377\377\377\200\200\200\000\000\000\100\200\300\300\200\100' \
        >>"$WORK/in.ppm"
    expect 0 apply "$WORK/in.ppm" --chain '*srgb,*lab,*srgb' -o "$WORK/out.png"
    [ "$(head -c 8 "$WORK/out.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "not a PNG"
    expect 0 apply "$WORK/in.ppm" --chain '*srgb,*srgb' --bits 16 -o "$WORK/out16.png"
    # The IHDR bit depth (byte 25) of a 16-bit PNG.
    [ "$(od -An -tu1 -j24 -N1 "$WORK/out16.png" | tr -d ' ')" = 16 ] || fail "not 16 bits"
    mkdir "$WORK/dir"
    cp "$WORK/in.ppm" "$WORK/second.ppm"
    expect 0 apply "$WORK/in.ppm" "$WORK/second.ppm" --chain '*srgb,*argb' --output-dir "$WORK/dir"
    [ -s "$WORK/dir/in.ppm" ] && [ -s "$WORK/dir/second.ppm" ] || fail "results missing"
    expect 1 apply "$WORK/in.ppm" --chain '*srgb,*nothing,*srgb' -o "$WORK/x.png"
    contains "$WORK/err" "Cannot open profile: *nothing"
    expect 1 apply "$WORK/in.ppm" --chain "*srgb,$PRESS" -o "$WORK/x.png"
    contains "$WORK/err" "PNG holds no CMYK"
    expect 2 apply "$WORK/in.ppm" --chain '*srgb' -o "$WORK/x.png" --output-dir "$WORK"
    # Results have the permissions the umask gives new files, whether the
    # program's own writers or the toolkit's (loaded while another image is
    # being written) write them.
    mkdir "$WORK/masked"
    (umask 027 && "$CLI" --quiet apply "$WORK/in.ppm" "$WORK/second.ppm" --chain '*srgb' --output-dir "$WORK/masked" \
        && "$CLI" --quiet apply "$WORK/in.ppm" --chain '*srgb' -o "$WORK/masked/in.tif") 2>/dev/null \
        || fail "apply under umask 027"
    for f in in.ppm second.ppm in.tif; do
        [ "$(stat -c %a "$WORK/masked/$f")" = 640 ] || fail "$f has mode $(stat -c %a "$WORK/masked/$f") under umask 027"
    done
    ;;
apply-profiles)
    # Images whose profile was embedded by other programs: red in a space
    # whose red and green primaries are swapped is sRGB green.
    $MAKE tiff "$WORK/sw.tif" 8 rgb "255,0,0 0,255,0 255,255,255" "$SWAPPED"
    $MAKE png "$WORK/sw.png" 16 rgba "65535,0,0,4660 0,65535,0,65535 65535,65535,65535,0" "$SWAPPED"
    $MAKE ppm "$WORK/red.ppm" "$(python3 -c "print('/'.join([' '.join(['255,0,0'] * 16)] * 16))")"
    cjpeg -quality 100 "$WORK/red.ppm" >"$WORK/plain.jpg"
    exiftool -q "-ICC_Profile<=$SWAPPED" -o "$WORK/sw.jpg" "$WORK/plain.jpg"
    expect 0 apply "$WORK/sw.tif" --chain '*srgb' --compression none -o "$WORK/tif.tif"
    [ "$($MAKE dump "$WORK/tif.tif" | sed -n 2p)" = "1,255,0 255,0,0 255,255,255" ] || fail "TIFF: embedded profile not used"
    # The same in tiles with LZW (tiffcp), and a profile put in by exiftool.
    tiffcp -t -w 16 -l 16 -c lzw "$WORK/sw.tif" "$WORK/tiled.tif"
    expect 0 apply "$WORK/tiled.tif" --chain '*srgb' --compression none -o "$WORK/tiled-out.tif"
    [ "$($MAKE dump "$WORK/tiled-out.tif" | sed -n 2p)" = "1,255,0 255,0,0 255,255,255" ] || fail "tiled TIFF"
    $MAKE tiff "$WORK/later.tif" 8 rgb "255,0,0 0,255,0 255,255,255"
    exiftool -q -overwrite_original "-ICC_Profile<=$SWAPPED" "$WORK/later.tif"
    expect 0 apply "$WORK/later.tif" --chain '*srgb' --compression none -o "$WORK/later-out.tif"
    [ "$($MAKE dump "$WORK/later-out.tif" | sed -n 2p)" = "1,255,0 255,0,0 255,255,255" ] || fail "exiftool's TIFF profile"
    expect 0 apply "$WORK/sw.png" --chain '*srgb' --compression none -o "$WORK/png.tif"
    # 16 bits and alpha are kept.
    [ "$($MAKE dump "$WORK/png.tif" | sed -n 1p)" = "bits=16 spp=4 photometric=2" ] || fail "PNG: not 16-bit RGBA"
    $MAKE dump "$WORK/png.tif" | sed -n 2p | awk '{ split($1, p, ","); exit !(p[1] < 600 && p[2] > 65000 && p[4] == 4660) }' \
        || fail "PNG: embedded profile or alpha lost"
    expect 0 apply "$WORK/sw.jpg" --chain '*srgb' --compression none -o "$WORK/jpg.tif"
    $MAKE dump "$WORK/jpg.tif" | sed -n 2p | awk '{ split($1, p, ","); exit !(p[1] < 8 && p[2] > 247 && p[3] < 8) }' \
        || fail "JPEG: embedded profile not used"
    # Without --source-profile nothing overrides the embedded one; with it, the image is taken as named.
    expect 0 apply "$WORK/sw.tif" --source-profile '*srgb' --chain '*srgb' --compression none -o "$WORK/as.tif"
    [ "$($MAKE dump "$WORK/as.tif" | sed -n 2p)" = "255,0,0 0,255,0 255,255,255" ] || fail "--source-profile ignored"
    # The chain's last profile travels byte for byte into TIFF, PNG and JPEG
    # results, also in several APP2 chunks (the press profile is 183 kB).
    for out in a.tif a.png a.jpg; do
        expect 0 apply "$WORK/sw.tif" --chain "$ADOBE" -o "$WORK/$out"
        exiftool -b -ICC_Profile "$WORK/$out" >"$WORK/got.icc"
        cmp -s "$WORK/got.icc" "$ADOBE" || fail "$out does not carry the chain's last profile"
    done
    # A photo's orientation, set by exiftool in a JPEG and in a TIFF, travels
    # into every kind of result (the rows are written as stored).
    exiftool -q -Orientation=6 -n -o "$WORK/turned.jpg" "$WORK/sw.jpg"
    exiftool -q -Orientation=8 -n -o "$WORK/turned.tif" "$WORK/sw.tif"
    for pair in turned.jpg:t.tif:6 turned.jpg:t.png:6 turned.jpg:t.jpg:6 turned.tif:u.jpg:8 turned.tif:u.png:8; do
        IFS=: read -r in out orientation <<<"$pair"
        expect 0 apply "$WORK/$in" --chain '*srgb' -o "$WORK/$out"
        [ "$(exiftool -Orientation -n -s3 "$WORK/$out")" = "$orientation" ] || fail "$out lost the orientation of $in"
    done
    expect 0 apply "$WORK/sw.tif" --chain "$PRESS" -o "$WORK/press.jpg"
    exiftool -b -ICC_Profile "$WORK/press.jpg" >"$WORK/got.icc"
    cmp -s "$WORK/got.icc" "$PRESS" || fail "the CMYK JPEG does not carry the press profile"
    # A chain that leaves the values alone copies them: the embedded profile
    # and the chain are the same file.
    $MAKE tiff "$WORK/a98.tif" 8 rgb "1,2,3 250,128,7" "$ADOBE"
    expect 0 apply "$WORK/a98.tif" --chain "$ADOBE" --compression none -o "$WORK/same.tif"
    [ "$($MAKE dump "$WORK/same.tif" | sed -n 2p)" = "1,2,3 250,128,7" ] || fail "identity chain changed pixels"
    # Images without a profile are sRGB, said once.
    $MAKE tiff "$WORK/u1.tif" 8 rgb "10,20,30"
    cp "$WORK/u1.tif" "$WORK/u2.tif"
    mkdir "$WORK/results"
    expect 0 apply "$WORK/u1.tif" "$WORK/u2.tif" --chain '*srgb' --output-dir "$WORK/results"
    [ "$(grep -c 'taken as sRGB' "$WORK/err")" = 1 ] || fail "the sRGB assumption not said exactly once"
    [ "$($MAKE dump "$WORK/results/u2.tif" | sed -n 2p)" = "10,20,30" ] || fail "sRGB to sRGB changed pixels"
    # An invalid embedded profile skips that file with a reason; the others are written.
    $MAKE tiff "$WORK/bad.tif" 8 rgb "10,20,30" "$WORK/u1.tif"
    $MAKE png "$WORK/bad.png" 8 rgb "10,20,30" "$WORK/u1.tif"
    python3 -c "import sys; d = bytearray(open(sys.argv[1], 'rb').read()); d[d.find(b'ICC_PROFILE') + 12] = 9; open(sys.argv[2], 'wb').write(d)" \
        "$WORK/sw.jpg" "$WORK/bad.jpg"
    mkdir "$WORK/res2"
    expect 1 apply "$WORK/bad.tif" "$WORK/bad.png" "$WORK/bad.jpg" "$WORK/u1.tif" --chain '*srgb' --output-dir "$WORK/res2"
    contains "$WORK/err" "bad.tif: the embedded ICC profile cannot be used"
    contains "$WORK/err" "bad.png: the embedded ICC profile cannot be used"
    contains "$WORK/err" "bad.jpg: the embedded ICC profile cannot be used (the ICC profile's APP2 chunks are damaged"
    [ "$(ls "$WORK/res2")" = u1.tif ] || fail "skipped files left output"
    ;;
apply-cmyk)
    # CMYK out, 8 and 16 bits, alpha as an extra sample; read back by libtiff.
    $MAKE tiff "$WORK/rgba.tif" 16 rgba "65535,65535,65535,0 0,0,0,65535 0,0,65535,30000"
    expect 0 apply "$WORK/rgba.tif" --chain "*srgb,$PRESS" --compression lzw -o "$WORK/cmyk16.tif"
    tiffinfo "$WORK/cmyk16.tif" >"$WORK/info"
    contains "$WORK/info" "Photometric Interpretation: separated"
    contains "$WORK/info" "Bits/Sample: 16"
    contains "$WORK/info" "Samples/Pixel: 5"
    contains "$WORK/info" "Extra Samples: 1<unassoc-alpha>"
    contains "$WORK/info" "Compression Scheme: LZW"
    contains "$WORK/info" "ICC Profile: <present>, 187484 bytes"
    # CMYK in: the press profile is the TIFF's own; back to RGB.
    expect 0 apply "$WORK/cmyk16.tif" --chain '*srgb' --bits 8 --compression none -o "$WORK/back.tif"
    pixels="$($MAKE dump "$WORK/back.tif" | sed -n 2p)"
    echo "$pixels" | awk '{ split($1, w, ","); split($2, k, ","); split($3, b, ",")
        exit !(w[1] > 245 && w[3] > 245 && w[4] == 0 && k[1] < 60 && k[4] == 255 && b[3] > b[1] + 60 && b[4] == 117) }' \
        || fail "CMYK round trip: $pixels"
    expect 0 apply "$WORK/cmyk16.tif" --chain "$PRESS" --bits 8 --compression none -o "$WORK/cmyk8.tif"
    [ "$($MAKE dump "$WORK/cmyk8.tif" | sed -n 1p)" = "bits=8 spp=5 photometric=5" ] || fail "not 8-bit CMYK"
    ;;
apply-damaged)
    # Cut short or damaged: a clear error, no result and no partial file.
    block="$(python3 -c "print('/'.join([' '.join(['200,100,50'] * 64)] * 64))")"
    $MAKE tiff "$WORK/in.tif" 8 rgb "$block"
    $MAKE png "$WORK/in.png" 8 rgb "$block"
    $MAKE ppm "$WORK/in.ppm" "$block"
    cjpeg "$WORK/in.ppm" >"$WORK/in.jpg"
    # A 64 x 64 24-bit BMP, bottom-up: the toolkit reads it.
    python3 -c "import struct, sys; rows = bytes([50, 100, 200] * 64) * 64
open(sys.argv[1], 'wb').write(b'BM' + struct.pack('<IHHIIiiHHIIiiII', 54 + len(rows), 0, 0, 54, 40, 64, 64, 1, 24,
                                                   0, len(rows), 2835, 2835, 0, 0) + rows)" "$WORK/in.bmp"
    expect 0 apply "$WORK/in.bmp" --chain '*srgb,*argb' -o "$WORK/whole-bmp.tif"
    rm "$WORK/whole-bmp.tif"
    mkdir "$WORK/results"
    for f in in.tif in.png in.jpg in.bmp in.ppm; do
        head -c $(($(stat -c %s "$WORK/$f") * 2 / 3)) "$WORK/$f" >"$WORK/cut-$f"
        expect 1 apply "$WORK/cut-$f" --chain '*srgb,*argb' -o "$WORK/results/$f"
        contains "$WORK/err" "Cannot read image $WORK/cut-$f: "
    done
    printf 'II*\000\377\377\377\377garbage' >"$WORK/bad.tif"
    expect 1 apply "$WORK/bad.tif" --chain '*srgb,*argb' -o "$WORK/results/bad.tif"
    contains "$WORK/err" "Cannot read image $WORK/bad.tif: "
    # A profile whose tone curve tag is gone opens but links to nothing.
    python3 -c "import sys; d = bytearray(open(sys.argv[1], 'rb').read()); d[d.find(b'rTRC')] = ord('x'); open(sys.argv[2], 'wb').write(d)" \
        "$ADOBE" "$WORK/broken.icc"
    expect 1 apply "$WORK/in.tif" --chain "*srgb,$WORK/broken.icc" -o "$WORK/results/broken.tif"
    contains "$WORK/err" "I cannot create a color transformation"
    # Many bands in flight: cut short after some of them, and a file size
    # limit reached while the result is written.
    python3 "$(dirname "$0")/../../../bench/make_tiff.py" "$WORK/big.tif" 2000 2500
    head -c 9000000 "$WORK/big.tif" >"$WORK/cut-big.tif"
    expect 1 apply "$WORK/cut-big.tif" --chain "*srgb,$PRESS" -o "$WORK/results/big.tif"
    contains "$WORK/err" "Cannot read image $WORK/cut-big.tif: "
    (ulimit -f 8000; trap '' XFSZ; expect 1 apply "$WORK/big.tif" --chain "*srgb,$PRESS" -o "$WORK/results/big.tif") ||
        exit 1
    contains "$WORK/err" "Cannot write image $WORK/results/big.tif: "
    [ -z "$(ls -A "$WORK/results")" ] || fail "a failed image left files: $(ls "$WORK/results")"
    ;;
apply-chain)
    # A look that tints white keeps doing so: 0.8 of blue, as the table says.
    printf 'LUT_3D_SIZE 2\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 0.8\n1 0 0.8\n0 1 0.8\n1 1 0.8\n' >"$WORK/warm.cube"
    expect 0 import-cube "$WORK/warm.cube" --space '*srgb' --intent relative -o "$WORK/warm.icc"
    $MAKE tiff "$WORK/white.tif" 8 rgb "255,255,255"
    expect 0 apply "$WORK/white.tif" --chain "*srgb,$WORK/warm.icc,*srgb" --intent relative --compression none \
        -o "$WORK/warm.tif"
    pixel="$($MAKE dump "$WORK/warm.tif" | sed -n 2p)"
    echo "$pixel" | awk -F, '{ exit !($1 >= 252 && $2 >= 252 && $3 >= 201 && $3 <= 207) }' || fail "white tinted to $pixel"
    # Neighbours that do not meet are named, with the way a soft proof is written.
    expect 1 apply "$WORK/white.tif" --chain "*srgb,$PRESS,*srgb" -o "$WORK/x.tif"
    contains "$WORK/err" "The profiles default_cmyk.icc and *srgb do not meet: default_cmyk.icc gives CMYK values where *srgb takes RGB values"
    contains "$WORK/err" "*srgb,press.icc,press.icc,*srgb"
    expect 0 apply "$WORK/white.tif" --chain "*srgb,$PRESS,$PRESS,*srgb" -o "$WORK/proof.tif"
    # An existing result is refused without --overwrite and replaced with it.
    expect 1 apply "$WORK/white.tif" --chain "*srgb,$PRESS,$PRESS,*srgb" -o "$WORK/proof.tif"
    contains "$WORK/err" "proof.tif exists; use --overwrite to replace it"
    expect 0 apply "$WORK/white.tif" --chain '*srgb' --overwrite --compression deflate -o "$WORK/proof.tif"
    tiffinfo "$WORK/proof.tif" | grep -q "AdobeDeflate" || fail "--compression deflate"
    # Two images of one name from two folders would meet in one result.
    mkdir "$WORK/a" "$WORK/b" "$WORK/both"
    cp "$WORK/white.tif" "$WORK/a/w.tif"
    cp "$WORK/white.tif" "$WORK/b/w.tif"
    expect 2 apply "$WORK/a/w.tif" "$WORK/b/w.tif" --chain '*srgb' --output-dir "$WORK/both"
    contains "$WORK/err" "two images would be written to $WORK/both/w.tif"
    # A result named without an extension is of the input's kind.
    expect 0 apply "$WORK/white.tif" --chain '*srgb' -o "$WORK/plain"
    tiffinfo "$WORK/plain" >/dev/null 2>&1 || fail "a result without an extension is not a TIFF"
    # The JPEG quality reaches the file.
    $MAKE ppm "$WORK/noise.ppm" "$(python3 -c "import random; random.seed(1); print('/'.join(' '.join(','.join(str(random.randrange(256)) for _ in range(3)) for _ in range(64)) for _ in range(64)))")"
    expect 0 apply "$WORK/noise.ppm" --chain '*srgb' --quality 20 -o "$WORK/q20.jpg"
    expect 0 apply "$WORK/noise.ppm" --chain '*srgb' --quality 95 -o "$WORK/q95.jpg"
    [ "$(stat -c %s "$WORK/q20.jpg")" -lt "$(($(stat -c %s "$WORK/q95.jpg") * 3 / 4))" ] || fail "--quality has no effect"
    ;;
cube-safety)
    # Never over its own input, however named; an existing file only with
    # --overwrite, which keeps its permissions.
    expect 0 cube '*lab' --points 5 -o "$WORK/a.cube"
    expect 0 import-cube "$WORK/a.cube" -o "$WORK/w.icc"
    refuses_own_input "$WORK/w.icc" cube "$WORK/w.icc"
    expect 1 cube '*lab' --points 7 -o "$WORK/a.cube"
    contains "$WORK/err" "$WORK/a.cube exists; use --overwrite to replace it"
    [ "$(sed -n 5p "$WORK/a.cube")" = 'LUT_3D_SIZE 5' ] || fail "a refused cube changed the file"
    chmod 600 "$WORK/a.cube"
    expect 0 cube '*lab' --points 7 -o "$WORK/a.cube" --overwrite
    [ "$(sed -n 5p "$WORK/a.cube")" = 'LUT_3D_SIZE 7' ] || fail "--overwrite did not replace the table"
    [ "$(stat -c %a "$WORK/a.cube")" = 600 ] || fail "--overwrite changed the mode"
    ;;
import-cube-safety)
    # A last line without its line end, and the input ranges grading tools
    # write: the identity in the range's own units is the identity.
    printf 'LUT_3D_SIZE 2\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1' >"$WORK/open.cube"
    expect 0 import-cube "$WORK/open.cube" -o "$WORK/open.icc"
    awk 'BEGIN { print "LUT_3D_INPUT_RANGE -0.25 1.25"; print "LUT_3D_SIZE 7"
        for (b = 0; b < 7; b++) for (g = 0; g < 7; g++) for (r = 0; r < 7; r++)
            printf "%.6f %.6f %.6f\n", -0.25 + 1.5 * r / 6, -0.25 + 1.5 * g / 6, -0.25 + 1.5 * b / 6 }' >"$WORK/range.cube"
    expect 0 import-cube "$WORK/range.cube" --intent relative -o "$WORK/range.icc"
    expect 0 cube "$WORK/range.icc" --points 9 -o "$WORK/range-back.cube"
    below "$(cube_error "$WORK/range-back.cube" 9 0 1)" 0.0039 "identity over LUT_3D_INPUT_RANGE -0.25 1.25"
    # What is wrong is said with its line.
    printf 'LUT_3D_SIZE 2\n0 0 0\n0 nan 0\n' >"$WORK/nan.cube"
    expect 1 import-cube "$WORK/nan.cube" -o "$WORK/nan.icc"
    contains "$WORK/err" "This is not a .CUBE file: $WORK/nan.cube: Line 3, Number expected, found \"nan\""
    printf 'LUT_3D_SIZE 3\n0 0 0\n' >"$WORK/short.cube"
    expect 1 import-cube "$WORK/short.cube" -o "$WORK/short.icc"
    contains "$WORK/err" "the 3D table ends after 1 of its 27 lines"
    # Nothing that holds no table becomes a profile.
    : >"$WORK/empty.cube"
    printf '\n' >"$WORK/newline.cube"
    cp "$ADOBE" "$WORK/profile.cube"
    mkdir "$WORK/folder.cube"
    for t in empty newline profile folder; do
        expect 1 import-cube "$WORK/$t.cube" -o "$WORK/$t.icc"
        contains "$WORK/err" "This is not a .CUBE file: $WORK/$t.cube"
        [ ! -e "$WORK/$t.icc" ] || fail "$t.cube became a profile"
    done
    # Never over its own input; an existing file only with --overwrite.
    refuses_own_input "$WORK/open.cube" import-cube "$WORK/open.cube"
    expect 1 import-cube "$WORK/open.cube" -o "$WORK/open.icc"
    contains "$WORK/err" "open.icc exists; use --overwrite to replace it"
    expect 0 import-cube "$WORK/open.cube" -o "$WORK/open.icc" --overwrite
    ;;
rebuild-safety)
    printf 'LUT_3D_SIZE 2\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n' >"$WORK/t.cube"
    expect 0 import-cube "$WORK/t.cube" -o "$WORK/look.icc"
    cp "$WORK/look.icc" "$WORK/keep.icc"
    # The recipe's table, replaced by an endless device or a folder: said,
    # within bounded memory.
    for what in /dev/zero /dev/urandom folder; do
        rm -rf "$WORK/t.cube"
        if [ "$what" = folder ]; then mkdir "$WORK/t.cube"; else ln -s "$what" "$WORK/t.cube"; fi
        (ulimit -v 4000000; expect 1 rebuild "$WORK/look.icc" --report) || exit 1
        contains "$WORK/err" "This is not a .CUBE file: $WORK/t.cube"
    done
    # Never over the profile it reads, however named.
    refuses_own_input "$WORK/look.icc" rebuild "$WORK/look.icc"
    # A recipe the builder cannot use says which part: the tab, the viewing
    # conditions, the LUT's space (each edited in place, same length).
    edit() { python3 -c "import sys; d = open(sys.argv[1], 'rb').read(); a, b = sys.argv[3].encode(), sys.argv[4].encode()
assert len(a) == len(b) and a in d; open(sys.argv[2], 'wb').write(d.replace(a, b, 1))" "$@"; }
    vc="$(python3 -c "import re, sys; print(re.search(rb'SOURCE_VC\t\"([^\"]*)\"', open(sys.argv[1], 'rb').read()).group(1).decode())" "$WORK/look.icc")"
    edit "$WORK/keep.icc" "$WORK/tab.icc" 'GENERATOR	2' 'GENERATOR	7'
    edit "$WORK/keep.icc" "$WORK/space.icc" 'CUBE_ICC	"*srgb"' 'CUBE_ICC	"*none"'
    edit "$WORK/keep.icc" "$WORK/cam.icc" 'GENERATOR	2' 'GENERATOR	1'
    edit "$WORK/cam.icc" "$WORK/vc.icc" "SOURCE_VC	\"$vc" "SOURCE_VC	\"$(printf '%*s' ${#vc} '' | tr ' ' '!')"
    for pair in tab:"GENERATOR 7" space:"*none" vc:"source viewing conditions (SOURCE_VC) cannot be read"; do
        IFS=: read -r name want <<<"$pair"
        expect 1 rebuild "$WORK/$name.icc" -o "$WORK/$name-out.icc"
        contains "$WORK/err" "$want"
    done
    ;;
embed-safety)
    expect 0 cube '*lab' --points 5 -o "$WORK/id.cube"
    expect 0 import-cube "$WORK/id.cube" -o "$WORK/look.icc"
    cp "$PRESS" "$WORK/base.icc"
    for input in base.icc look.icc; do
        refuses_own_input "$WORK/$input" embed "$WORK/base.icc" "$WORK/look.icc" --intents none --grid 17
    done
    expect 0 embed "$WORK/base.icc" "$WORK/look.icc" --intents none --grid 17 -o "$WORK/out.icc"
    expect 1 embed "$WORK/base.icc" "$WORK/look.icc" --intents none --grid 17 -o "$WORK/out.icc"
    contains "$WORK/err" "out.icc exists; use --overwrite to replace it"
    chmod 640 "$WORK/out.icc"
    expect 0 embed "$WORK/base.icc" "$WORK/look.icc" --intents none --grid 17 -o "$WORK/out.icc" --overwrite
    [ "$(stat -c %a "$WORK/out.icc")" = 640 ] || fail "--overwrite changed the mode"
    ;;
apply-safety)
    $MAKE tiff "$WORK/in.tif" 8 rgb "200,100,50 10,20,30"
    # The image itself, or a profile of the chain, is never replaced: not
    # through a linked folder, a linked image or a second name of the file.
    mkdir "$WORK/imgs" "$WORK/res"
    cp "$WORK/in.tif" "$WORK/imgs/a.tif"
    cp "$WORK/in.tif" "$WORK/keep.tif"
    cp "$ADOBE" "$WORK/a98.icc"
    ln -s "$WORK/imgs" "$WORK/linked"
    ln -s "$WORK/imgs/a.tif" "$WORK/link.tif"
    ln "$WORK/imgs/a.tif" "$WORK/second.tif"
    for run in "imgs/a.tif -o linked/a.tif" "imgs/a.tif --output-dir linked" "link.tif -o imgs/a.tif" \
               "second.tif -o imgs/a.tif" "linked/a.tif --output-dir imgs"; do
        set -- $run
        expect 1 apply "$WORK/$1" --chain '*srgb,*argb' "$2" "$WORK/$3" --overwrite
        contains "$WORK/err" "the result would replace the image itself"
    done
    expect 1 apply "$WORK/in.tif" --chain "$WORK/a98.icc" -o "$WORK/a98.icc" --overwrite
    contains "$WORK/err" "the result would replace $WORK/a98.icc, which it reads"
    cmp -s "$WORK/imgs/a.tif" "$WORK/keep.tif" || fail "an input was replaced"
    cmp -s "$WORK/a98.icc" "$ADOBE" || fail "a profile of the chain was replaced"
    # A file of several pages is refused, not cut to its first.
    tiffcp "$WORK/in.tif" "$WORK/keep.tif" "$WORK/pages.tif"
    expect 1 apply "$WORK/pages.tif" --chain '*srgb' -o "$WORK/res/pages.tif"
    contains "$WORK/err" "Cannot read image $WORK/pages.tif: it holds 2 pages"
    [ ! -e "$WORK/res/pages.tif" ] || fail "a page was written alone"
    # A replaced result keeps its permissions and, for root, its owner.
    expect 0 apply "$WORK/in.tif" --chain '*srgb' -o "$WORK/res/kept.tif"
    chmod 600 "$WORK/res/kept.tif"
    [ "$(id -u)" != 0 ] || chown 4321:4322 "$WORK/res/kept.tif"
    owner="$(stat -c %u:%g "$WORK/res/kept.tif")"
    expect 0 apply "$WORK/in.tif" --chain '*argb' -o "$WORK/res/kept.tif" --overwrite
    [ "$(stat -c %a "$WORK/res/kept.tif")" = 600 ] || fail "--overwrite changed the mode to $(stat -c %a "$WORK/res/kept.tif")"
    [ "$(stat -c %u:%g "$WORK/res/kept.tif")" = "$owner" ] || fail "--overwrite changed the owner"
    # Messages name the file and say what is wrong with it.
    : >"$WORK/empty.tif"
    expect 1 apply "$WORK/imgs" --chain '*srgb' -o "$WORK/res/x.tif"
    contains "$WORK/err" "Cannot read image $WORK/imgs: it is a folder"
    expect 1 apply "$WORK/empty.tif" --chain '*srgb' -o "$WORK/res/x.tif"
    contains "$WORK/err" "Cannot read image $WORK/empty.tif: the file is empty"
    python3 -c "import sys; d = bytearray(open(sys.argv[1], 'rb').read()); d[d.find(b'rTRC')] = ord('x'); open(sys.argv[2], 'wb').write(d)" \
        "$ADOBE" "$WORK/broken.icc"
    expect 1 apply "$WORK/in.tif" --chain "*srgb,$WORK/broken.icc" -o "$WORK/res/x.tif"
    contains "$WORK/err" "$WORK/in.tif: I cannot create a color transformation"
    # Kinds the toolkit writes: what they cannot carry is said, and a kind
    # it cannot write is refused before the image is read.
    expect 0 apply "$WORK/in.tif" --chain '*srgb,*argb' -o "$WORK/res/a.bmp"
    contains "$WORK/err" "carries no ICC profile: its values are *argb's"
    $MAKE tiff "$WORK/deep.tif" 16 rgb "51400,25700,12850"
    expect 0 apply "$WORK/deep.tif" --chain '*srgb' -o "$WORK/res/deep.ppm"
    contains "$WORK/err" "written with 8 bits per channel"
    [ "$(head -c 15 "$WORK/res/deep.ppm" | tr '\n' ' ' | awk '{ print $4 }')" = 255 ] || fail "the PPM is not 8-bit"
    expect 1 apply "$WORK/in.tif" --chain '*srgb' -o "$WORK/res/a.gif"
    contains "$WORK/err" "Cannot write image $WORK/res/a.gif: no .gif files can be written"
    # A full disk is named as such, whatever the kind of file.
    python3 -c "import os, sys; sys.stdout.buffer.write(b'P6\n1024 512\n255\n' + os.urandom(1024 * 512 * 3))" >"$WORK/noise.ppm"
    expect 0 apply "$WORK/noise.ppm" --chain '*srgb' -o "$WORK/noise.tif"
    if unshare -rm true 2>/dev/null; then
        mkdir "$WORK/small"
        for ext in tif png jpg bmp; do
            unshare -rm bash -c 'mount -t tmpfs -o size=256k none "$1" && "$2" --quiet apply "$3" --chain "*srgb" -o "$1/out.$4" 2>"$5"' \
                _ "$WORK/small" "$CLI" "$WORK/noise.tif" "$ext" "$WORK/err" && fail "a full disk took a .$ext"
            contains "$WORK/err" "Cannot write image $WORK/small/out.$ext: no space left on the device"
        done
    else
        echo "SKIP: no mount namespace for a full disk (unshare -rm)"
    fi
    # Print resolution and its unit travel into every kind of result.
    cp "$WORK/in.tif" "$WORK/dpi.tif"
    exiftool -q -overwrite_original -XResolution=300 -YResolution=300 -ResolutionUnit=inches "$WORK/dpi.tif"
    cp "$WORK/in.tif" "$WORK/cm.tif"
    exiftool -q -overwrite_original -XResolution=118 -YResolution=120 -ResolutionUnit=cm "$WORK/cm.tif"
    expect 0 apply "$WORK/dpi.tif" --chain '*srgb' -o "$WORK/dpi.jpg"
    expect 0 apply "$WORK/dpi.tif" --chain '*srgb' -o "$WORK/dpi.png"
    for pair in dpi.tif:r.tif:"300 300 inches" dpi.tif:r.jpg:"300 300 inches" dpi.tif:r.png:"11811 11811 meters" \
                dpi.jpg:s.jpg:"300 300 inches" dpi.jpg:s.tif:"300 300 inches" dpi.png:t.tif:"300 300 inches" \
                cm.tif:u.tif:"118 120 cm" cm.tif:u.jpg:"118 120 cm"; do
        IFS=: read -r in out want <<<"$pair"
        expect 0 apply "$WORK/$in" --chain '*srgb' -o "$WORK/res/$out"
        case "$out" in
            *.png) got="$(exiftool -s3 -PixelsPerUnitX -PixelsPerUnitY -PixelUnits "$WORK/res/$out" | tr '\n' ' ')" ;;
            *.jpg) got="$(exiftool -s3 -JFIF:XResolution -JFIF:YResolution -JFIF:ResolutionUnit "$WORK/res/$out" | tr '\n' ' ')" ;;
            *) got="$(exiftool -s3 -XResolution -YResolution -ResolutionUnit "$WORK/res/$out" | tr '\n' ' ')" ;;
        esac
        [ "$got" = "$want " ] || fail "$in to $out: resolution '$got', expected '$want'"
    done
    ;;
apply-signals)
    # Stopped half way by Ctrl+C, a kill or a closed terminal: no temporary
    # file stays behind, and the status is the signal's (128 + its number).
    # Many large images, so that the run is still going when the signal comes.
    python3 "$(dirname "$0")/../../../bench/make_tiff.py" "$WORK/big.tif" 6000 4000
    images=("$WORK/big.tif")
    for i in $(seq 2 40); do ln "$WORK/big.tif" "$WORK/big$i.tif"; images+=("$WORK/big$i.tif"); done
    set -m   # background runs take SIGINT as a terminal's would
    for signal in INT TERM HUP; do
        rm -rf "$WORK/res"
        mkdir "$WORK/res"
        "$CLI" --quiet apply "${images[@]}" --chain "*srgb,$PRESS" --jobs 2 --output-dir "$WORK/res" 2>"$WORK/err" &
        pid=$!
        for _ in $(seq 600); do
            compgen -G "$WORK/res/*.partial-*" >/dev/null && break
            sleep 0.05
        done
        compgen -G "$WORK/res/*.partial-*" >/dev/null || fail "no temporary file appeared before SIG$signal"
        kill -s "$signal" "$pid"
        wait "$pid"
        status=$?
        [ "$status" = $((128 + $(kill -l "$signal"))) ] || fail "SIG$signal: exit status $status"
        ! compgen -G "$WORK/res/*.partial-*" >/dev/null || fail "SIG$signal left $(ls "$WORK/res")"
        # An image finished before the signal is whole.
        for f in "$WORK"/res/*; do
            [ -e "$f" ] || continue
            tiffinfo -D "$f" >/dev/null 2>&1 || fail "SIG$signal left a damaged $f"
        done
    done
    ;;
*)
    fail "unknown case $CASE"
    ;;
esac
exit 0
