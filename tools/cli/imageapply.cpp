#include "tools/cli/imageapply.h"

#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

// Rows per transform call: large enough for the engine's workers to share,
// small enough to report progress often.
constexpr int StripRows = 256;

// How the pixels of a QImage format lie, as an engine PixelFormat.
struct Layout {
    QImage::Format image;
    uint32_t pixel;
};

// 32-bit QImage pixels are 0xAARRGGBB words: B, G, R, A in memory on a
// little-endian machine.
constexpr uint32_t Argb32Pixel = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? FormatBgra8 : FormatArgb8;

bool isSixteenBit(QImage::Format f)
{
    switch (f) {
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
    case QImage::Format_Grayscale16:
    case QImage::Format_RGBX16FPx4:
    case QImage::Format_RGBA16FPx4:
    case QImage::Format_RGBA16FPx4_Premultiplied:
    case QImage::Format_RGBX32FPx4:
    case QImage::Format_RGBA32FPx4:
    case QImage::Format_RGBA32FPx4_Premultiplied:
    case QImage::Format_BGR30:
    case QImage::Format_A2BGR30_Premultiplied:
    case QImage::Format_RGB30:
    case QImage::Format_A2RGB30_Premultiplied: return true;
    default: return false;
    }
}

// The format the input is read in for a chain starting in `space`: the
// image's own when the engine can read it directly, else the nearest one it
// can (colours are never transformed premultiplied).
Layout inputLayout(const QImage& image, uint32_t space, bool sixteen)
{
    const bool alpha = image.hasAlphaChannel();
    if (space == SpaceGray) {
        if (sixteen) return {QImage::Format_Grayscale16, FormatGray16};
        return {QImage::Format_Grayscale8, FormatGray8};
    }
    switch (image.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32: return {image.format(), Argb32Pixel};
    case QImage::Format_RGBX8888:
    case QImage::Format_RGBA8888: return {image.format(), FormatRgba8};
    case QImage::Format_RGB888: return {image.format(), FormatRgb8};
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64: return {image.format(), FormatRgba16};
    default: break;
    }
    if (sixteen) return {alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64, FormatRgba16};
    return {alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32, Argb32Pixel};
}

Layout outputLayout(uint32_t space, bool sixteen, bool alpha)
{
    if (space == SpaceGray) {
        if (sixteen) return {QImage::Format_Grayscale16, FormatGray16};
        return {QImage::Format_Grayscale8, FormatGray8};
    }
    if (sixteen) return {alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64, FormatRgba16};
    return {alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32, Argb32Pixel};
}

ApplyResult failure(const QString& message)
{
    return {false, message};
}

}   // namespace

ApplyResult applyProfiles(const ApplyRequest& request, const ProfileOpener& open, const ApplyProgress& progress)
{
    if (request.chain.isEmpty()) return failure(QStringLiteral("No profiles to apply"));
    if (request.bits != 0 && request.bits != 8 && request.bits != 16)
        return failure(QStringLiteral("Bits per channel must be 8 or 16"));

    std::vector<ProfilePtr> profiles;
    std::vector<IccProfile*> chain;
    for (const QString& name : request.chain) {
        profiles.push_back(adoptProfile(open(name)));
        if (!profiles.back()) return failure(QStringLiteral("Cannot open profile: %1").arg(name));
        chain.push_back(profiles.back().get());
    }
    const uint32_t inSpace = profileColorSpace(chain.front());
    const uint32_t lastSpace = profileDeviceClass(chain.back()) == ClassLink ? profilePcs(chain.back())
                                                                            : profileColorSpace(chain.back());
    if (inSpace != SpaceRgb && inSpace != SpaceGray)
        return failure(QStringLiteral("The first profile must be an RGB or gray profile"));
    if (lastSpace != SpaceRgb && lastSpace != SpaceGray)
        return failure(QStringLiteral("The last profile must be an RGB or gray profile"));

    QImageReader reader(request.input);
    QImage image = reader.read();
    if (image.isNull())
        return failure(QStringLiteral("Cannot read image %1: %2").arg(request.input, reader.errorString()));

    const bool inSixteen = isSixteenBit(image.format());
    const bool outSixteen = request.bits == 0 ? inSixteen : request.bits == 16;
    const Layout in = inputLayout(image, inSpace, inSixteen);
    if (image.format() != in.image) image.convertTo(in.image);
    const bool alpha = inSpace == SpaceRgb && formatExtra(in.pixel) == 1;
    const Layout out = outputLayout(lastSpace, outSixteen, lastSpace == SpaceRgb && image.hasAlphaChannel());
    const bool copyAlpha = alpha && formatExtra(out.pixel) == 1;

    QImage result(image.size(), out.image);
    if (result.isNull()) return failure(QStringLiteral("Not enough memory for the image"));
    if (!copyAlpha && formatExtra(out.pixel) == 1) result.fill(Qt::white);   // opaque filler channel

    uint32_t flags = copyAlpha ? XformCopyAlpha : 0;
    if (request.blackPointCompensation) flags |= XformBlackPointCompensation;
    TransformPtr transform{createMultiTransform(nullptr, chain.data(), uint32_t(chain.size()), in.pixel, out.pixel,
                                                uint32_t(request.intent), flags),
                           &deleteTransform};
    if (!transform) return failure(QStringLiteral("I cannot create a color transformation for those profiles"));
    profiles.clear();

    const int height = image.height();
    for (int y = 0; y < height; y += StripRows) {
        const int rows = std::min(StripRows, height - y);
        doTransformLineStride(transform.get(), image.constScanLine(y), result.scanLine(y), uint32_t(image.width()),
                              uint32_t(rows), uint32_t(image.bytesPerLine()), uint32_t(result.bytesPerLine()), 0, 0);
        if (progress) progress(y + rows, height);
    }
    image = QImage();   // the input is no longer needed while the output is encoded

    QSaveFile file(request.output);
    if (!file.open(QIODevice::WriteOnly))
        return failure(QStringLiteral("Cannot write image %1: %2").arg(request.output, file.errorString()));
    QImageWriter writer(&file, QFileInfo(request.output).suffix().toLatin1());
    if (!writer.write(result) || !file.commit())
        return failure(QStringLiteral("Cannot write image %1: %2")
                           .arg(request.output, writer.error() != QImageWriter::UnknownError ? writer.errorString()
                                                                                             : file.errorString()));
    return {true, {}};
}
