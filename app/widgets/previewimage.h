// Sample images through chains of profiles, the picture of an imported
// table, and putting an image into one of the image views.
#pragma once

#include "app/core/lutdump.h"
#include "app/core/proofing.h"
#include "osl.h"

#include <QImage>
#include <QSize>

#include <cstdint>
#include <memory>
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

// The image in a layout the preview transforms, converted when it has
// another: palette and one-bit images become 32-bit RGB (ARGB with an alpha
// channel), premultiplied ones straight, and any other layout the nearest
// of 32-bit (A)RGB or 16-bit RGBA by its depth. Null stays null.
QImage transformableImage(const QImage& image);

// A transform of one image layout through a chain, made once and applied to
// whole images or to bands of rows. Cheap to copy; the engine's transform is
// released with the last copy.
class ImageTransform {
public:
    ImageTransform() = default;
    // Null when the layout cannot be transformed or the chain not linked.
    // `flags` go to the engine as they are (grid points, optimisation ...).
    static ImageTransform make(QImage::Format source, const std::vector<IccProfile*>& chain,
                               uint32_t intent = PreviewIntent, uint32_t flags = PreviewTransformFlags);
    // The same over a chain whose profiles have intents of their own (a proof).
    static ImageTransform make(QImage::Format source, const ProfileChain& chain,
                               uint32_t flags = PreviewTransformFlags);

    bool isNull() const { return !transform_; }
    // The layout the transform reads (the source's, or the RGB a gray image
    // is expanded to) and the one it writes.
    QImage::Format inputFormat() const { return in_; }
    QImage::Format outputFormat() const { return out_; }

    // The source in the input layout (shared, not copied, when it has it).
    QImage prepared(const QImage& source) const;
    // Rows [first, first + count) of a prepared source into the same rows of
    // `target`, an image of the output layout and the source's size.
    void apply(const QImage& prepared, QImage& target, int first, int count) const;
    // The whole source into a new image; null when this transform is null.
    QImage apply(const QImage& source) const;

private:
    // The layouts the chain from `first` to `last` reads and writes;
    // false when the source's cannot be transformed.
    bool chooseLayouts(QImage::Format source, IccProfile* first, IccProfile* last, uint32_t* flags);

    std::shared_ptr<Transform> transform_;
    QImage::Format in_ = QImage::Format_Invalid;
    QImage::Format out_ = QImage::Format_Invalid;
    bool fillOpaque_ = false;   // the output has a filler byte the input does not give
};

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

// Marks of the proofing tools over rows [first, first + count) of a
// transformed image, measured on the same rows of the prepared source
// (ImageTransform::prepared) in the table's layout: `colour` over every
// pixel whose difference exceeds `tolerance` (the gamut warning), or every
// pixel in the false colour of its difference (the maps).
void paintOverTolerance(const QImage& prepared, QImage& target, int first, int count, const DifferenceTable& table,
                        double tolerance, QRgb colour);
void paintDifferenceMap(const QImage& prepared, QImage& target, int first, int count, const DifferenceTable& table);

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
// The same for an image that stands for a larger one (a preview's proxy):
// the scene has the size of the image it stands for, and the image is
// stretched over it. A view that already shows a scene of that size keeps
// it and only changes the picture, so that zoom and pan stay exactly.
void showImageOnView(QGraphicsViewMap* view, const QImage& image, const QSize& sceneSize);
