#!/usr/bin/env bash
# Whole-process wall time of `tonemolder-cli apply` beside ArgyllCMS cctiff
# (uncompressed output, its fast path) on the same 4000 x 3000 8-bit RGB TIFF,
# best of 3, for sRGB -> ClayRGB1998 and sRGB -> ghostscript's default CMYK;
# then the peak memory of apply on a 100-megapixel image.
#
# Usage: bench/apply_bench.sh [path/to/tonemolder-cli]   (default build/tools/cli/tonemolder-cli)
# Not a test: the figures depend on the machine and its load.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
CLI="${1:-$here/../build/tools/cli/tonemolder-cli}"
[ -x "$CLI" ] || { echo "no tonemolder-cli at $CLI (build it first)" >&2; exit 1; }

if ! command -v cctiff >/dev/null; then
    echo "Installing ArgyllCMS (Debian package argyll) for the comparison"
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends argyll
fi

SRGB=/usr/share/color/argyll/ref/sRGB.icm
CLAY=/usr/share/color/argyll/ref/ClayRGB1998.icm
CMYK=/usr/share/color/icc/ghostscript/default_cmyk.icc
for f in "$SRGB" "$CLAY" "$CMYK"; do [ -f "$f" ] || { echo "missing $f (scripts/setup.sh installs it)" >&2; exit 1; }; done

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
echo "Making the test images ..."
python3 "$here/make_tiff.py" "$WORK/in.tif" 4000 3000
# The new image on the disk before the clock starts: its writing out would
# otherwise run beside the first timed commands.
sync
echo "Load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) processors"

# Best wall times of three runs of two commands (separated by "--"), taken in
# turns so that a change of load hits both alike: "OURS PEER" in milliseconds.
# With FRESH set, each command's result (its last argument) is removed before
# it runs, outside the timing, so that it writes a new file instead of
# replacing one.
best_of_3() {
    FRESH="${FRESH:-}" python3 - "$@" <<'PY'
import os, subprocess, sys, time
cut = sys.argv.index("--")
commands = [sys.argv[1:cut], sys.argv[cut + 1:]]
best = [None, None]
for _ in range(3):
    for i, command in enumerate(commands):
        if os.environ["FRESH"] and os.path.exists(command[-1]):
            os.unlink(command[-1])
            os.sync()
        t = time.perf_counter()
        r = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        dt = time.perf_counter() - t
        if r.returncode != 0:
            sys.stderr.write(r.stderr.decode(errors="replace"))
            sys.exit("failed: " + " ".join(command))
        best[i] = dt if best[i] is None else min(best[i], dt)
print(f"{best[0] * 1000:.0f} {best[1] * 1000:.0f}")
PY
}

# Replacing the previous result, as repeated runs do, and writing a new file:
# the difference is what the file system takes to free the replaced file's
# blocks, which both programs wait for (apply when it renames its result
# over the old one, cctiff when it truncates it).
for fresh in "" 1; do
    printf '\n%-28s %12s %12s %8s   %s\n' "chain (4000x3000 RGB8)" "apply ms" "cctiff ms" "ratio" \
        "$([ -n "$fresh" ] && echo "into a new file" || echo "replacing the last result")"
    for case in "ClayRGB1998:$CLAY" "default_cmyk:$CMYK"; do
        name="${case%%:*}"
        dest="${case#*:}"
        read -r ours peer < <(FRESH="$fresh" best_of_3 \
            "$CLI" --quiet apply "$WORK/in.tif" --chain "$SRGB,$dest" --intent relative --overwrite -o "$WORK/ours.tif" \
            -- cctiff -N -i r "$SRGB" -i r "$dest" "$WORK/in.tif" "$WORK/peer.tif")
        printf '%-28s %12s %12s %8s\n' "sRGB -> $name" "$ours" "$peer" \
            "$(awk -v a="$ours" -v b="$peer" 'BEGIN { printf "%.2f", a / b }')"
    done
done

python3 "$here/make_tiff.py" "$WORK/big.tif" 10000 10000
peak=$(python3 - "$CLI" "$WORK/big.tif" "$WORK/big-out.tif" "$CMYK" "$SRGB" <<'PY'
import resource, subprocess, sys
cli, src, dst, cmyk, srgb = sys.argv[1:]
subprocess.run([cli, "--quiet", "apply", src, "--chain", f"{srgb},{cmyk}", "--overwrite", "-o", dst], check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024)
PY
)
echo
echo "Peak memory of apply, 10000 x 10000 RGB8 -> CMYK8: ${peak} MB (goal: under 200 MB)"
echo "Load after: $(cut -d' ' -f1-3 /proc/loadavg)"
