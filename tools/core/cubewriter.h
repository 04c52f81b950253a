// Writing an abstract profile as a .cube 3D table that applies its effect in
// a chosen RGB space: RGB → that space's PCS → the abstract profile → the same
// RGB, sampled on an N × N × N grid (red fastest).
#pragma once

#include "profiles/core/builtinspaces.h"
#include "tools/core/outputembedder.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace CubeWriterText {
inline constexpr char CannotOpen[] = "I cannot open the profiles";
inline constexpr char CannotTransform[] = "I cannot create a color transformation for those profiles";
inline constexpr char CannotWrite[] = "Could not write the file: ";
}   // namespace CubeWriterText

struct CubeRequest {
    QString abstractProfile;   // by name (built-in or file)
    QString rgbProfile;        // the RGB space the table works in
    QString outputFile;
    QString title;             // TITLE line (double quotes become single ones)
    QString copyright;         // comment line(s)
    int gridPoints = 33;       // 2..255 (the tool offers 17..255)
    bool overwrite = true;     // replace an existing file (the dialog has asked)
};

// Called after each blue slice with the slices done and their total.
using CubeProgress = std::function<void(int done, int total)>;

// The text of the table. Every value is exactly what one float pixel through
// the [RGB, abstract, RGB] transform gives (relative colorimetric, no
// optimisation), printed with six significant digits like a C-locale text
// stream ("0.5", "1", "1e-05"); values are not clamped. Empty on failure.
QByteArray cubeText(const CubeRequest& request, IccProfile* rgbSpace, IccProfile* abstract,
                    const CubeProgress& progress = {}, QString* error = nullptr);

// Opens both profiles, makes the text and writes it; the file is replaced
// only when everything succeeded.
ToolResult writeCubeFile(const CubeRequest& request, const ProfileOpener& open = openProfileByName,
                         const CubeProgress& progress = {});

// A real number as the tool prints it: %g with six significant digits.
QByteArray formatCubeNumber(float value);
