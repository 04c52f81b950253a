#!/usr/bin/python3
"""Reads manual.pdf back with pypdf and checks that it holds every chapter a
user needs: each title in the contents and again at the head of a later page,
with the page number the contents give. Usage: check_manual.py manual.pdf"""
import re
import sys
import unicodedata

import pypdf

# What the manual must cover: every recipe, control, dialog and tool, the
# command line, the recipe format, the profile folder and the preferences.
CHAPTERS = [
    "Introduction",
    "Installing and starting",
    "The main window",
    "The Softproofing recipe",
    "The CIE CAM16 recipe",
    "The Import LUT recipe",
    "Curve editors",
    "The preview",
    "Proofing the result",
    "Profiles and the profiles folder",
    "Saving and opening profiles",
    "Viewing conditions",
    "Preferences",
    "Tools",
    "The command line",
    "The recipe format",
    "Files and settings",
]

# Words a chapter must mention, so that a chapter cannot be an empty heading.
MENTIONS = {
    "The main window": ["Description:", "Copyright:", "Check for updates", "Zoom in"],
    "The Softproofing recipe": ["Color space for adjusts:", "Rendering Intent:", "Reset all"],
    "The CIE CAM16 recipe": ["Source Viewing conditions:", "Destination viewing conditions:", "Reset correlates"],
    "The Import LUT recipe": ["Load .CUBE file", "No title", ".3dl", ".csp", ".spi3d", "ProcessList", "Hald CLUT"],
    "Curve editors": ["inverse sigmoid", "Tabulated curve", "Point list curve", "Normalize", "Smooth:"],
    "The preview": ["Live preview", "Paste preview image", "Image in:"],
    "Profiles and the profiles folder": ["*prophoto", "/usr/share/color/icc", ".icm"],
    "Saving and opening profiles": ["Invalid or corrupted ICC profile", "Save as..."],
    "Viewing conditions": ["ICC Standard", "Discounting", "Clone preset as:"],
    "Preferences": ["L* Grid points:", "Prelin curve points:", "Forced sRGB Monitor"],
    "Tools": ["Output profile customizer", "Regenerate all LUTs", "Convert to .CUBE", "Grid points:",
              "Make device link", "Hald level:"],
    "The command line": ["import-cube", "import-lut", "--hald-level", "link", "rebuild", "embed", "apply",
                         "--profiles-dir"],
    "The recipe format": ["TONEMOLDER_VERSION", "SOFTPROOF_ICC", "SOURCE_VC", "CUBE_FILE", "CUBE_FORMAT"],
    "Files and settings": ["icc/grid_lstar", "updates/page", "vclist"],
}


def normalised(text):
    # Ligatures back to letters, every run of blanks to one space.
    return re.sub(r"\s+", " ", unicodedata.normalize("NFKC", text)).strip()


def main(path):
    pages = [normalised(p.extract_text()) for p in pypdf.PdfReader(path).pages]
    failures = []
    contents = pages[0]
    if "Contents" not in contents:
        failures.append("the first page has no contents")
    for i, title in enumerate(CHAPTERS):
        m = re.search(re.escape(title) + r" (\d+)", contents)
        if not m:
            failures.append("the contents do not list %r with a page" % title)
            continue
        page = int(m.group(1))
        if not 2 <= page <= len(pages):
            failures.append("%r is said to start on page %d of %d" % (title, page, len(pages)))
            continue
        body = pages[page - 1]
        if not body.startswith(title):
            failures.append("page %d does not start with %r: %r" % (page, title, body[:60]))
            continue
        following = CHAPTERS[i + 1] if i + 1 < len(CHAPTERS) else None
        end = len(pages)
        if following:
            n = re.search(re.escape(following) + r" (\d+)", contents)
            end = int(n.group(1)) - 1 if n else end
        text = " ".join(pages[page - 1:end])
        for word in MENTIONS.get(title, []):
            if word not in text:
                failures.append("chapter %r does not mention %r" % (title, word))
    for f in failures:
        print("FAIL:", f)
    print("%d chapters on %d pages checked, %d failures" % (len(CHAPTERS), len(pages), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
