// Sample images through chains of profiles, the picture of an imported
// table, and putting an image into one of the image views.
#pragma once

#include "app/lutdump.h"
#include "osl.h"

#include <QImage>

#include <cstdint>
#include <vector>

class QGraphicsViewMap;

// How the preview transforms: perceptual, extra channels copied (alpha
// passes unchanged), no white-point fix-up.
constexpr uint32_t PreviewIntent = 0;
constexpr uint32_t PreviewTransformFlags = XformCopyAlpha | XformNoWhiteFixup;

// The engine's layout of a QImage format's pixels, 0 for a format the preview
// does not transform: 32-bit (A)RGB words, RGB(A/X) bytes in either order,
// 8- and 16-bit gray, 16-bit RGBA/RGBX.
uint32_t previewPixelFormat(QImage::Format format);

// A new image of the source's size, the source's pixels sent through the
// chain (first the image's profile, last the one it is shown in) with one
// engine call over all rows. Null when the format is not transformable or
// the transform cannot be made.
//
// The result has the source's format, except that premultiplied sources are
// transformed (and returned) unpremultiplied, and a gray image in a chain
// that starts or ends in RGB is expanded to 32-bit RGB (16-bit RGBX for
// 16-bit gray) where the chain needs it.
QImage transformImage(const QImage& source, const std::vector<IccProfile*>& chain, uint32_t intent = PreviewIntent,
                      uint32_t flags = PreviewTransformFlags);

// A sample image from a file. TIFF is read through the program's own TIFF
// reader (gray or RGB, 8 or 16 bits, alpha kept); any other format through
// the toolkit's image reader, turned as its orientation says. Null with
// `error` when the file cannot be read.
QImage readSampleImage(const QString& path, QString* error);

// The dump as an 8-bit RGB image (null for an empty dump).
QImage lutDumpImage(const LutDump& dump);

// Shows the image alone on a plain black scene of its size that accepts
// drops; the view keeps its zoom and pan, and drops the scene it showed
// the previous image in.
void showImageOnView(QGraphicsViewMap* view, const QImage& image);
