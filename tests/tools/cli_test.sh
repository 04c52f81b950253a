#!/usr/bin/env bash
# The command-line program run as a user runs it. Usage: cli_test.sh CLI CASE
set -u
CLI="$1"
CASE="$2"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
PRESS=/usr/share/color/icc/ghostscript/default_cmyk.icc

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
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }' || fail "$3: $1 is not below $2"; }

[ -f "$PRESS" ] || fail "$PRESS is missing"

case "$CASE" in
help)
    expect 0 --help
    contains "$WORK/out" "import-cube"
    for c in info rebuild import-cube cube embed apply; do
        expect 0 "$c" --help
        contains "$WORK/out" "Usage: tonemolder-cli $c"
    done
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
    expect 1 embed "$PRESS" "$WORK/missing.icc" -o "$WORK/keep.icc"
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
    # An identity table and back: the imported profile is an identity again
    # (checked away from the faces of the RGB cube, where the profile's
    # outer grid nodes are clipped).
    expect 0 cube '*lab' --space '*srgb' --points 17 -o "$WORK/id.cube"
    expect 0 import-cube "$WORK/id.cube" --space '*srgb' --intent relative -o "$WORK/id.icc"
    expect 0 info "$WORK/id.icc"
    contains "$WORK/out" "Class:            abst"
    contains "$WORK/out" "Recipe:           yes"
    contains "$WORK/out" "CUBE import"
    expect 0 cube "$WORK/id.icc" --space '*srgb' --points 9 -o "$WORK/back.cube"
    below "$(cube_error "$WORK/back.cube" 9 0.24 0.76)" 0.01 "imported identity"
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
    contains "$WORK/err" "The last profile must be an RGB or gray profile"
    expect 2 apply "$WORK/in.ppm" --chain '*srgb' -o "$WORK/x.png" --output-dir "$WORK"
    ;;
*)
    fail "unknown case $CASE"
    ;;
esac
exit 0
