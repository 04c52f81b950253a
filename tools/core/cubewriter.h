// Writing an abstract profile as a 3D table that applies its effect in a
// chosen RGB space: RGB → that space's PCS → the abstract profile → the same
// RGB, sampled on an N × N × N grid (red fastest), as a .cube file or in any
// other LUT format (app/core/lutformats).
#pragma once

#include "app/core/lutformats/lut3d.h"
#include "profiles/core/builtinspaces.h"
#include "tools/core/outputembedder.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace CubeWriterText {
inline constexpr char CannotOpen[] = "I cannot open the profiles";
inline constexpr char CannotTransform[] = "I cannot create a color transformation for those profiles";
inline constexpr char CannotWrite[] = "Could not write the file: ";
inline constexpr char CannotHold[] = "This file format cannot hold the table";
}   // namespace CubeWriterText

struct CubeRequest {
    QString abstractProfile;   // by name (built-in or file)
    QString rgbProfile;        // the RGB space the table works in
    QString outputFile;
    QString title;             // TITLE line (double quotes become single ones)
    QString copyright;         // comment line(s)
    int gridPoints = 33;       // 2..255 (the tool offers 17..255)
    bool overwrite = true;     // replace an existing file (the dialog has asked)
    QString format;            // a LUT format key ("3dl", "hald-png" ...); empty: by the file's extension
    int haldLevel = 8;         // Hald CLUTs: level² points per side instead of gridPoints
    int haldBits = 16;         // Hald CLUTs: 8 or 16 bits per sample
};

// The format of a request's file: the one named, else the one the file's
// extension asks for, else .cube.
QString cubeRequestFormat(const QString& outputFile, const QString& format = {});

// Called after each blue slice with the slices done and their total.
using CubeProgress = std::function<void(int done, int total)>;

// The text of the table. Every value is exactly what one float pixel through
// the [RGB, abstract, RGB] transform gives (relative colorimetric, no
// optimisation), printed with six significant digits like a C-locale text
// stream ("0.5", "1", "1e-05"); values are not clamped. Empty on failure.
QByteArray cubeText(const CubeRequest& request, IccProfile* rgbSpace, IccProfile* abstract,
                    const CubeProgress& progress = {}, QString* error = nullptr);

// The table itself (the request's format decides only whether it is a Hald
// CLUT's grid): every node exactly what one float pixel through the
// transform gives, unclamped. Empty on failure.
lutformats::Lut3D sampleLut(const CubeRequest& request, IccProfile* rgbSpace, IccProfile* abstract,
                            const CubeProgress& progress = {});

// Opens both profiles, makes the table in the request's format and writes it;
// the file is replaced only when everything succeeded.
ToolResult writeCubeFile(const CubeRequest& request, const ProfileOpener& open = openProfileByName,
                         const CubeProgress& progress = {});

// A real number as the tool prints it: %g with six significant digits.
QByteArray formatCubeNumber(float value);
