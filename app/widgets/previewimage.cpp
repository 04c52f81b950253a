#include "app/widgets/previewimage.h"

#include "app/widgets/qgraphicsviewmap.h"
#include "curves/widgets/curvesscene.h"
#include "tools/imagefiles/imagefile.h"

#include <QImageReader>
#include <QTransform>
#include <QPixmap>

#include <algorithm>
#include <array>

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

// An image whose rows are stored as a TIFF orientation tag or EXIF says,
// turned and mirrored to show as meant, as the toolkit does for its formats.
QImage shownAsMeant(const QImage& image, uint16_t orientation)
{
    const auto turned = [&image](int degrees) { return image.transformed(QTransform().rotate(degrees)); };
    switch (orientation) {
    case 2: return image.mirrored(true, false);
    case 3: return image.mirrored(true, true);
    case 4: return image.mirrored(false, true);
    case 5: return turned(90).mirrored(true, false);
    case 6: return turned(90);
    case 7: return turned(90).mirrored(false, true);
    case 8: return turned(270);
    default: return image;
    }
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
    return shownAsMeant(image, reader->orientation());
}

}   // namespace

QImage readSampleImage(const QString& path, QString* error)
{
    if (imagefiles::fileKindOfContent(path.toStdString()) == imagefiles::FileKind::Tiff) return readTiff(path, error);
    if (const std::string cut = imagefiles::shortfall(path.toStdString()); !cut.empty()) {
        if (error) *error = QString::fromStdString(cut);
        return {};
    }
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

QImage transformableImage(const QImage& image)
{
    if (image.isNull()) return image;
    const QImage::Format straight = unpremultiplied(image.format());
    if (previewPixelFormat(straight) != 0) return straight == image.format() ? image : image.convertToFormat(straight);
    // Palettes, one-bit, 16-bit-per-pixel and packed layouts.
    if (image.depth() > 32) return image.convertToFormat(QImage::Format_RGBA64);
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
}

bool ImageTransform::chooseLayouts(QImage::Format source, IccProfile* first, IccProfile* last, uint32_t* flags)
{
    QImage::Format in = unpremultiplied(source);
    if (previewPixelFormat(in) == 0) return false;
    if (isGray(in) && entrySpace(first) == PixelRgb) in = rgbForGray(in);
    QImage::Format out = in;
    if (isGray(out) && exitSpace(last) == PixelRgb) out = rgbForGray(out);
    // Alpha is copied only between layouts that both carry it; a filler
    // byte the input lacks is made opaque.
    if (formatExtra(previewPixelFormat(in)) != formatExtra(previewPixelFormat(out))) *flags &= ~XformCopyAlpha;
    in_ = in;
    out_ = out;
    fillOpaque_ = !(*flags & XformCopyAlpha) && formatExtra(previewPixelFormat(out)) != 0;
    return true;
}

ImageTransform ImageTransform::make(QImage::Format source, const std::vector<IccProfile*>& chain, uint32_t intent,
                                    uint32_t flags)
{
    ImageTransform t;
    if (chain.empty() || chain.size() > MaxProfilesInChain) return t;
    for (IccProfile* p : chain)
        if (!p) return t;
    if (!t.chooseLayouts(source, chain.front(), chain.back(), &flags)) return {};
    Transform* made = createMultiTransform(nullptr, chain.data(), uint32_t(chain.size()), previewPixelFormat(t.in_),
                                           previewPixelFormat(t.out_), intent, flags);
    if (!made) return {};
    t.transform_.reset(made, &deleteTransform);
    return t;
}

ImageTransform ImageTransform::make(QImage::Format source, const ProfileChain& chain, uint32_t flags)
{
    ImageTransform t;
    if (chain.empty() || !chain.front().profile || !chain.back().profile) return t;
    if (!t.chooseLayouts(source, chain.front().profile, chain.back().profile, &flags)) return {};
    TransformPtr made = makeChainTransform(chain, previewPixelFormat(t.in_), previewPixelFormat(t.out_), flags);
    if (!made) return {};
    t.transform_.reset(made.release(), &deleteTransform);
    return t;
}

QImage ImageTransform::prepared(const QImage& source) const
{
    return source.format() == in_ ? source : source.convertToFormat(in_);
}

void ImageTransform::apply(const QImage& prepared, QImage& target, int first, int count) const
{
    if (!transform_ || prepared.format() != in_ || target.format() != out_ || target.size() != prepared.size()) return;
    first = std::clamp(first, 0, prepared.height());
    count = std::clamp(count, 0, prepared.height() - first);
    if (count == 0) return;
    uchar* to = target.scanLine(first);
    if (fillOpaque_) std::memset(to, 0xFF, size_t(target.bytesPerLine()) * size_t(count));
    doTransformLineStride(transform_.get(), prepared.constScanLine(first), to, uint32_t(prepared.width()),
                          uint32_t(count), uint32_t(prepared.bytesPerLine()), uint32_t(target.bytesPerLine()), 0, 0);
}

QImage ImageTransform::apply(const QImage& source) const
{
    if (!transform_ || source.isNull()) return {};
    const QImage in = prepared(source);
    QImage out(in.size(), out_);
    if (out.isNull()) return {};
    apply(in, out, 0, in.height());
    return out;
}

QImage transformImage(const QImage& source, const std::vector<IccProfile*>& chain, uint32_t intent, uint32_t flags)
{
    if (source.isNull()) return {};
    return ImageTransform::make(source.format(), chain, intent, flags).apply(source);
}

namespace {

// Paints the pixels of rows [first, first + count) that `choose` picks by
// their difference (in the table's steps), in the colour it gives.
template <class Choose>
void paintByDifference(const QImage& prepared, QImage& target, int first, int count, const DifferenceTable& table,
                       Choose choose)
{
    if (table.isNull() || prepared.size() != target.size()) return;
    first = std::clamp(first, 0, prepared.height());
    count = std::clamp(count, 0, prepared.height() - first);
    if (count == 0) return;
    const bool words = target.format() == QImage::Format_RGB32 || target.format() == QImage::Format_ARGB32;
    const size_t width = size_t(prepared.width());
    std::vector<uint8_t> differences(width * size_t(count));
    table.measureRows(prepared.constScanLine(first), uint32_t(width), uint32_t(count),
                      uint32_t(prepared.bytesPerLine()), differences.data());
    for (int y = first; y < first + count; ++y) {
        const uint8_t* d = differences.data() + width * size_t(y - first);
        auto* row = reinterpret_cast<QRgb*>(target.scanLine(y));
        for (size_t x = 0; x < width; ++x) {
            QRgb colour;
            if (!choose(d[x], &colour)) continue;
            if (words) row[x] = 0xFF000000u | colour;
            else target.setPixel(int(x), y, 0xFF000000u | colour);
        }
    }
}

}   // namespace

void paintOverTolerance(const QImage& prepared, QImage& target, int first, int count, const DifferenceTable& table,
                        double tolerance, QRgb colour)
{
    const double limit = tolerance * DifferenceTable::Scale;
    paintByDifference(prepared, target, first, count, table, [limit, colour](uint8_t d, QRgb* c) {
        *c = colour;
        return d > limit;
    });
}

void paintDifferenceMap(const QImage& prepared, QImage& target, int first, int count, const DifferenceTable& table)
{
    // The 256 colours a step can take.
    std::array<QRgb, 256> colours;
    for (size_t i = 0; i < colours.size(); ++i) colours[i] = differenceColour(double(i) / DifferenceTable::Scale);
    paintByDifference(prepared, target, first, count, table, [&colours](uint8_t d, QRgb* c) {
        *c = colours[d];
        return true;
    });
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
    showImageOnView(view, image, image.size());
}

void showImageOnView(QGraphicsViewMap* view, const QImage& image, const QSize& sceneSize)
{
    const QRectF rect(QPointF(0, 0), QSizeF(sceneSize));
    ImageItem* item = nullptr;
    if (QGraphicsScene* shown = view->imageScene(); shown && view->scene() == shown && shown->sceneRect() == rect) {
        // The image's own item; the proofing tools may have put theirs beside it.
        for (QGraphicsItem* shownItem : shown->items())
            if (auto* image = dynamic_cast<ImageItem*>(shownItem)) item = image;
    }
    if (!item) {
        auto* scene = new CurvesScene(rect, true);
        scene->setBackgroundBrush(QBrush(Qt::black));
        view->setAcceptDrops(true);
        item = new ImageItem(QPixmap());
        scene->addItem(item);
        view->setImageScene(scene);
    }
    item->setPixmap(QPixmap::fromImage(image));
    // A smaller picture is stretched over the scene it stands for.
    const bool stretched = !image.isNull() && image.size() != sceneSize;
    item->setTransformationMode(stretched ? Qt::SmoothTransformation : Qt::FastTransformation);
    item->setTransform(stretched ? QTransform::fromScale(qreal(sceneSize.width()) / image.width(),
                                                         qreal(sceneSize.height()) / image.height())
                                 : QTransform());
}
