#!/usr/bin/env bash
# The layers, checked: headless code (<folder>/core, the engine, the image
# files and the command line) includes no widget header and no Qt Gui or
# Widgets class, and the command-line program loads neither library.
# Usage: layering_test.sh SOURCE_DIR CLI
set -euo pipefail
src="$1"; cli="$2"
status=0

# Qt Gui and Widgets headers by module path or by the classes the program uses.
gui='#include *[<"](QtGui/|QtWidgets/|Q(Widget|Application|Image|Pixmap|Painter|Color|Dialog|MessageBox|Gui[A-Za-z]*|Screen|Icon|Font|Action|Menu|Window)[>"])'
cd "$src"
headless=$(ls -d src tools/imagefiles tools/cli */core 2>/dev/null)
while IFS= read -r hit; do
    case "$hit" in
        tools/cli/toolkitimages.cpp:*) ;;   # the module loaded on demand for toolkit formats
        *) echo "headless code reaches the widgets layer: $hit"; status=1 ;;
    esac
done < <(grep -rnE "$gui|#include *\"[a-z0-9]+/widgets/" $headless --include='*.cpp' --include='*.h' || true)

if ldd "$cli" | grep -E 'libQt6(Gui|Widgets)'; then
    echo "the command-line program loads Qt Gui or Widgets"
    status=1
fi
exit $status
