#include "app/previewimage.h"

#include "app/qgraphicsviewmap.h"
#include "curves/curvesscene.h"
#include "tools/imagefiles/imagefile.h"

#include <QImageReader>
#include <QPixmap>

#include <cstring>

namespace {

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

// 32-bit QImage pixels are 0xAARRGGBB words: B, G, R, A in memory on a
// little-endian machine.
constexpr uint32_t Argb32Pixel = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? FormatBgra8 : FormatArgb8;

// Colours are never transformed premultiplied.
QImage::Format unpremultiplied(QImage::Format f)
{
    switch (f) {
    case QImage::Format_ARGB32_Premultiplied: return QImage::Format_ARGB32;
    case QImage::Format_RGBA8888_Premultiplied: return QImage::Format_RGBA8888;
    case QImage::Format_RGBA64_Premultiplied: return QImage::Format_RGBA64;
    default: return f;
    }
}

// The RGB format a gray image is expanded to.
QImage::Format rgbForGray(QImage::Format f)
{
    return f == QImage::Format_Grayscale16 ? QImage::Format_RGBX64 : QImage::Format_RGB32;
}

bool isGray(QImage::Format f)
{
    return f == QImage::Format_Grayscale8 || f == QImage::Format_Grayscale16;
}

// The pixel space a chain takes in and gives out.
uint32_t entrySpace(IccProfile* first)
{
    return pixelSpaceOf(profileColorSpace(first));
}

uint32_t exitSpace(IccProfile* last)
{
    const bool link = profileDeviceClass(last) == ClassLink || profileDeviceClass(last) == ClassAbstract;
    return pixelSpaceOf(link ? profilePcs(last) : profileColorSpace(last));
}

// A TIFF as a QImage, row by row through the image-file reader.
QImage readTiff(const QString& path, QString* error)
{
    using namespace imagefiles;
    std::string why;
    const std::unique_ptr<ImageReader> reader = openImageFile(path.toStdString(), why);
    if (!reader) {
        if (error) *error = QString::fromStdString(why);
        return {};
    }
    const PixelLayout& l = reader->layout();
    if (l.model == ColorModel::Cmyk) {
        if (error) *error = QStringLiteral("CMYK images cannot be shown in the preview");
        return {};
    }
    const bool sixteen = l.bits == 16;
    const bool gray = l.model == ColorModel::Gray && !l.alpha;
    const QImage::Format format = gray      ? (sixteen ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8)
                                  : sixteen ? (l.alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64)
                                  : l.alpha ? QImage::Format_RGBA8888
                                            : QImage::Format_RGB888;
    QImage image(int(l.width), int(l.height), format);
    if (image.isNull()) {
        if (error) *error = QStringLiteral("The image is too large");
        return {};
    }
    std::vector<uint8_t> row(l.rowBytes());
    const size_t sample = l.bits / 8, colors = l.colorChannels(), channels = l.channels();
    const size_t outChannels = gray ? 1 : (format == QImage::Format_RGB888 ? 3 : 4);
    for (uint32_t y = 0; y < l.height; ++y) {
        if (!reader->readRows(row.data(), row.size(), 1)) {
            if (error) *error = QString::fromStdString(reader->error());
            return {};
        }
        uchar* dst = image.scanLine(int(y));
        for (uint32_t x = 0; x < l.width; ++x) {
            const uint8_t* p = row.data() + x * channels * sample;
            uint8_t* q = dst + x * outChannels * sample;
            for (size_t c = 0; c < std::min<size_t>(outChannels, 3); ++c)
                std::memcpy(q + c * sample, p + (colors == 1 ? 0 : c) * sample, sample);
            if (outChannels == 4) {
                if (l.alpha) std::memcpy(q + 3 * sample, p + colors * sample, sample);
                else std::memset(q + 3 * sample, 0xFF, sample);
            }
        }
    }
    return image;
}

}   // namespace

QImage readSampleImage(const QString& path, QString* error)
{
    if (imagefiles::fileKindOfContent(path.toStdString()) == imagefiles::FileKind::Tiff) return readTiff(path, error);
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QImage image = reader.read();
    if (image.isNull() && error) *error = reader.errorString();
    return image;
}

uint32_t previewPixelFormat(QImage::Format format)
{
    switch (format) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32: return Argb32Pixel;
    case QImage::Format_RGB888: return FormatRgb8;
    case QImage::Format_RGBX8888:
    case QImage::Format_RGBA8888: return FormatRgba8;
    case QImage::Format_Grayscale8: return FormatGray8;
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64: return FormatRgba16;
    case QImage::Format_Grayscale16: return FormatGray16;
    case QImage::Format_BGR888: return FormatBgr8;
    default: return 0;
    }
}

QImage transformImage(const QImage& source, const std::vector<IccProfile*>& chain, uint32_t intent, uint32_t flags)
{
    if (source.isNull() || chain.empty() || chain.size() > MaxProfilesInChain) return {};
    for (IccProfile* p : chain)
        if (!p) return {};
    if (previewPixelFormat(unpremultiplied(source.format())) == 0) return {};

    QImage in = source;
    if (unpremultiplied(in.format()) != in.format()) in.convertTo(unpremultiplied(in.format()));
    if (isGray(in.format()) && entrySpace(chain.front()) == PixelRgb) in.convertTo(rgbForGray(in.format()));

    QImage::Format outFormat = in.format();
    if (isGray(outFormat) && exitSpace(chain.back()) == PixelRgb) outFormat = rgbForGray(outFormat);

    const uint32_t inPixel = previewPixelFormat(in.format());
    const uint32_t outPixel = previewPixelFormat(outFormat);
    // Alpha is copied only between layouts that both carry it; a filler
    // byte the input lacks is made opaque.
    if (formatExtra(inPixel) != formatExtra(outPixel)) flags &= ~XformCopyAlpha;

    QImage out(in.size(), outFormat);
    if (out.isNull()) return {};
    if (!(flags & XformCopyAlpha) && formatExtra(outPixel) != 0) out.fill(Qt::white);

    TransformPtr transform{createMultiTransform(nullptr, chain.data(), uint32_t(chain.size()), inPixel, outPixel,
                                                intent, flags),
                           &deleteTransform};
    if (!transform) return {};
    doTransformLineStride(transform.get(), in.constBits(), out.bits(), uint32_t(in.width()), uint32_t(in.height()),
                          uint32_t(in.bytesPerLine()), uint32_t(out.bytesPerLine()), 0, 0);
    return out;
}

QImage lutDumpImage(const LutDump& dump)
{
    if (dump.width <= 0 || dump.height <= 0 || dump.rgb.size() != size_t(dump.width) * size_t(dump.height) * 3)
        return {};
    QImage image(dump.width, dump.height, QImage::Format_RGB888);
    if (image.isNull()) return {};
    const size_t row = size_t(dump.width) * 3;
    for (int y = 0; y < dump.height; ++y) std::memcpy(image.scanLine(y), dump.rgb.data() + row * size_t(y), row);
    return image;
}

void showImageOnView(QGraphicsViewMap* view, const QImage& image)
{
    auto* scene = new CurvesScene(QRectF(0, 0, image.width(), image.height()), true);
    scene->setBackgroundBrush(QBrush(Qt::black));
    view->setAcceptDrops(true);
    scene->addItem(new ImageItem(QPixmap::fromImage(image)));
    view->setImageScene(scene);
}
