// Sample images through chains of profiles, the table picture, and images
// put on a view.
#include "app/widgets/previewimage.h"
#include "app/widgets/qgraphicsviewmap.h"
#include "curves/widgets/curvesscene.h"
#include "profiles/core/builtinspaces.h"

#include <tiffio.h>

#include <QGraphicsScene>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <functional>

namespace {

// The sRGB transfer function, from its definition.
double srgbToLinear(double c)
{
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double linearToSrgb(double y)
{
    return y <= 0.0031308 ? y * 12.92 : 1.055 * std::pow(y, 1.0 / 2.4) - 0.055;
}

// A test picture: every pixel its own colour, alpha varying where there is one.
QImage testPicture(QImage::Format format, int width = 5, int height = 3)
{
    QImage image(width, height, format);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int i = y * width + x;
            image.setPixelColor(x, y, QColor((i * 53) % 256, (i * 101 + 40) % 256, 255 - (i * 37) % 256,
                                             255 - (i * 9) % 200));
        }
    }
    return image;
}

struct Chain {
    std::vector<ProfilePtr> owned;
    std::vector<IccProfile*> profiles() const
    {
        std::vector<IccProfile*> p;
        for (const ProfilePtr& o : owned) p.push_back(o.get());
        return p;
    }
};

Chain chainOf(const QStringList& names)
{
    Chain c;
    for (const QString& name : names) c.owned.push_back(adoptProfile(openProfileByName(name)));
    return c;
}

// Compares every pixel of `out` with `expect` applied to the same pixel of
// `in`, in units of the larger of the two formats' steps.
void comparePixels(const QImage& in, const QImage& out, const std::function<QColor(const QColor&)>& expect,
                   double tolerance)
{
    QCOMPARE(out.size(), in.size());
    for (int y = 0; y < in.height(); ++y) {
        for (int x = 0; x < in.width(); ++x) {
            const QColor want = expect(in.pixelColor(x, y));
            const QColor got = out.pixelColor(x, y);
            const double channels[4][2] = {{want.redF(), got.redF()},
                                           {want.greenF(), got.greenF()},
                                           {want.blueF(), got.blueF()},
                                           {want.alphaF(), got.alphaF()}};
            for (const auto& c : channels) {
                if (std::abs(c[0] - c[1]) > tolerance)
                    QFAIL(qPrintable(QString("pixel (%1, %2): want %3, got %4")
                                         .arg(x)
                                         .arg(y)
                                         .arg(want.name(QColor::HexArgb), got.name(QColor::HexArgb))));
            }
        }
    }
}

QColor linearised(const QColor& c)
{
    QColor r;
    r.setRgbF(float(srgbToLinear(c.redF())), float(srgbToLinear(c.greenF())), float(srgbToLinear(c.blueF())),
              c.alphaF());
    return r;
}

}   // namespace

class PreviewImageTest : public QObject {
    Q_OBJECT

private slots:
    void everyFormatOfTheTableKeepsItsLayout_data();
    void everyFormatOfTheTableKeepsItsLayout();
    void grayImagesInGrayChains();
    void grayImagesInRgbChainsBecomeRgb();
    void premultipliedImagesAreTransformedStraight();
    void anAbstractProfileInTheMiddle();
    void formatsOutsideTheTableGiveNothing_data();
    void formatsOutsideTheTableGiveNothing();
    void chainsThatCannotBeMadeGiveNothing();
    void lutDumpImageHoldsTheDump();
    void imagesGoOnAPlainBlackSceneOfTheirSize();
    void otherLayoutsBecomeTransformable_data();
    void otherLayoutsBecomeTransformable();
    void bandsMakeTheWholeImage();
    void tiffSamplesAreReadByTheProgramsOwnReader();
    void tiffSamplesShowAsTheirOrientationSays();
};

void PreviewImageTest::everyFormatOfTheTableKeepsItsLayout_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<double>("tolerance");
    const double step8 = 1.0 / 255 + 1e-6;
    QTest::newRow("RGB32") << QImage::Format_RGB32 << step8;
    QTest::newRow("ARGB32") << QImage::Format_ARGB32 << step8;
    QTest::newRow("RGB888") << QImage::Format_RGB888 << step8;
    QTest::newRow("BGR888") << QImage::Format_BGR888 << step8;
    QTest::newRow("RGBX8888") << QImage::Format_RGBX8888 << step8;
    QTest::newRow("RGBA8888") << QImage::Format_RGBA8888 << step8;
    QTest::newRow("RGBX64") << QImage::Format_RGBX64 << 1e-3;
    QTest::newRow("RGBA64") << QImage::Format_RGBA64 << 1e-3;
}

void PreviewImageTest::everyFormatOfTheTableKeepsItsLayout()
{
    QFETCH(QImage::Format, format);
    QFETCH(double, tolerance);
    // sRGB into its linear twin (same primaries and white): each channel
    // goes through the sRGB decoding alone, so a channel read from the wrong
    // place shows.
    const Chain chain = chainOf({"*srgb", "*srgblin"});
    const QImage in = testPicture(format);
    const QImage out = transformImage(in, chain.profiles());
    QVERIFY(!out.isNull());
    QCOMPARE(out.format(), format);
    comparePixels(in, out, linearised, tolerance);
}

void PreviewImageTest::grayImagesInGrayChains()
{
    // Gamma 2.2 into gamma 1.0: y = x^2.2.
    const Chain chain = chainOf({"*gray22", "*gray10"});
    for (QImage::Format format : {QImage::Format_Grayscale8, QImage::Format_Grayscale16}) {
        QImage in(7, 2, format);
        for (int x = 0; x < 7; ++x) {
            in.setPixelColor(x, 0, QColor::fromRgbF(x / 6.0f, x / 6.0f, x / 6.0f));
            in.setPixelColor(x, 1, QColor::fromRgbF(0.3f + x / 20.0f, 0.3f + x / 20.0f, 0.3f + x / 20.0f));
        }
        const QImage out = transformImage(in, chain.profiles());
        QVERIFY(!out.isNull());
        QCOMPARE(out.format(), format);
        comparePixels(
            in, out,
            [](const QColor& c) {
                const float y = float(std::pow(c.redF(), 2.2));
                return QColor::fromRgbF(y, y, y);
            },
            format == QImage::Format_Grayscale8 ? 1.0 / 255 + 1e-6 : 1e-3);
    }
}

void PreviewImageTest::grayImagesInRgbChainsBecomeRgb()
{
    QImage gray(6, 2, QImage::Format_Grayscale8);
    for (int x = 0; x < 6; ++x) {
        gray.setPixelColor(x, 0, QColor(x * 51, x * 51, x * 51));
        gray.setPixelColor(x, 1, QColor(10 + x * 7, 10 + x * 7, 10 + x * 7));
    }

    // Gray pixels in an RGB image profile: R = G = B.
    const Chain rgb = chainOf({"*srgb", "*srgblin"});
    QImage out = transformImage(gray, rgb.profiles());
    QVERIFY(!out.isNull());
    QCOMPARE(out.format(), QImage::Format_RGB32);
    comparePixels(gray, out, linearised, 1.0 / 255 + 1e-6);

    // A gray image profile shown on an RGB monitor.
    const Chain grayToRgb = chainOf({"*gray22", "*srgb"});
    out = transformImage(gray, grayToRgb.profiles());
    QVERIFY(!out.isNull());
    QCOMPARE(out.format(), QImage::Format_RGB32);
    comparePixels(
        gray, out,
        [](const QColor& c) {
            const float v = float(linearToSrgb(std::pow(c.redF(), 2.2)));
            return QColor::fromRgbF(v, v, v);
        },
        1.0 / 255 + 1e-6);
}

void PreviewImageTest::premultipliedImagesAreTransformedStraight()
{
    const Chain chain = chainOf({"*srgb", "*srgblin"});
    const QImage premultiplied = testPicture(QImage::Format_ARGB32).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage out = transformImage(premultiplied, chain.profiles());
    QVERIFY(!out.isNull());
    QCOMPARE(out.format(), QImage::Format_ARGB32);
    comparePixels(premultiplied.convertToFormat(QImage::Format_ARGB32), out, linearised, 1.0 / 255 + 1e-6);
}

void PreviewImageTest::anAbstractProfileInTheMiddle()
{
    // The preview's own chain: image, abstract (here one that changes nothing), monitor.
    Chain chain = chainOf({"*srgb"});
    chain.owned.push_back(adoptProfile(createLabIdentityV4(nullptr, nullptr)));
    chain.owned.push_back(adoptProfile(openProfileByName("*srgb")));
    const QImage in = testPicture(QImage::Format_ARGB32, 16, 16);
    const QImage out = transformImage(in, chain.profiles());
    QVERIFY(!out.isNull());
    comparePixels(in, out, [](const QColor& c) { return c; }, 1.0 / 255 + 1e-6);
}

void PreviewImageTest::formatsOutsideTheTableGiveNothing_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::newRow("indexed") << QImage::Format_Indexed8;
    QTest::newRow("mono") << QImage::Format_Mono;
    QTest::newRow("RGB16") << QImage::Format_RGB16;
    QTest::newRow("RGB30") << QImage::Format_RGB30;
    QTest::newRow("float") << QImage::Format_RGBA32FPx4;
}

void PreviewImageTest::formatsOutsideTheTableGiveNothing()
{
    QFETCH(QImage::Format, format);
    const Chain chain = chainOf({"*srgb", "*srgb"});
    QImage in = testPicture(QImage::Format_RGB32).convertToFormat(format);
    QCOMPARE(in.format(), format);
    QVERIFY(transformImage(in, chain.profiles()).isNull());
    QCOMPARE(previewPixelFormat(format), 0u);
}

void PreviewImageTest::chainsThatCannotBeMadeGiveNothing()
{
    const QImage in = testPicture(QImage::Format_RGB32);
    const Chain press = chainOf({"*srgb", "/usr/share/color/icc/ghostscript/default_cmyk.icc"});
    QVERIFY2(press.owned[1], "the press profile is missing");
    QVERIFY(transformImage(in, press.profiles()).isNull());   // the output is CMYK, the pixels RGB
    QVERIFY(transformImage(in, {}).isNull());
    QVERIFY(transformImage(in, {press.owned[0].get(), nullptr}).isNull());
    QVERIFY(transformImage(QImage(), chainOf({"*srgb"}).profiles()).isNull());
}

void PreviewImageTest::lutDumpImageHoldsTheDump()
{
    LutDump dump;
    dump.width = 3;
    dump.height = 2;
    dump.rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30, 40, 50, 60, 0, 0, 0};
    const QImage image = lutDumpImage(dump);
    QCOMPARE(image.format(), QImage::Format_RGB888);
    QCOMPARE(image.size(), QSize(3, 2));
    const QRgb expected[6] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255),
                              qRgb(10, 20, 30), qRgb(40, 50, 60), qRgb(0, 0, 0)};
    for (int i = 0; i < 6; ++i) QCOMPARE(image.pixel(i % 3, i / 3), expected[i]);

    dump.rgb.pop_back();
    QVERIFY(lutDumpImage(dump).isNull());
    QVERIFY(lutDumpImage(LutDump{}).isNull());
}

void PreviewImageTest::imagesGoOnAPlainBlackSceneOfTheirSize()
{
    QGraphicsViewMap view;
    view.setAcceptDrops(false);
    QImage first(30, 20, QImage::Format_RGB32);
    first.fill(qRgb(200, 100, 50));
    showImageOnView(&view, first);

    auto* scene = qobject_cast<CurvesScene*>(view.scene());
    QVERIFY(scene);
    QVERIFY(scene->isPlain());
    QCOMPARE(scene->sceneRect(), QRectF(0, 0, 30, 20));
    QCOMPARE(scene->backgroundBrush().color(), QColor(Qt::black));
    QCOMPARE(scene->backgroundBrush().style(), Qt::SolidPattern);
    QVERIFY(view.acceptDrops());
    QCOMPARE(scene->items().size(), 1);
    auto* item = dynamic_cast<ImageItem*>(scene->items().constFirst());
    QVERIFY(item);
    QCOMPARE(item->pixmap().toImage().pixel(5, 5), qRgb(200, 100, 50));

    // A new image keeps the zoom and replaces the scene.
    view.scale(2, 2);
    QPointer<QGraphicsScene> previous = scene;
    showImageOnView(&view, QImage(8, 9, QImage::Format_RGB32));
    QVERIFY(previous.isNull());
    QCOMPARE(view.scene()->sceneRect(), QRectF(0, 0, 8, 9));
    QCOMPARE(view.transform(), QTransform::fromScale(2, 2));

    // A proxy a quarter the size covers the scene of the image it stands
    // for; the scene of that size stays, with its zoom and pan.
    showImageOnView(&view, QImage(80, 90, QImage::Format_RGB32));
    QGraphicsScene* full = view.scene();
    view.centerOn(60, 70);
    const QPointF centre = view.mapToScene(view.viewport()->rect().center());
    QImage proxy(20, 22, QImage::Format_RGB32);
    proxy.fill(qRgb(10, 20, 30));
    showImageOnView(&view, proxy, QSize(80, 90));
    QCOMPARE(view.scene(), full);
    QCOMPARE(view.mapToScene(view.viewport()->rect().center()), centre);
    auto* stretched = dynamic_cast<ImageItem*>(full->items().constFirst());
    QCOMPARE(stretched->pixmap().size(), QSize(20, 22));
    QCOMPARE(stretched->sceneBoundingRect(), QRectF(0, 0, 80, 90));
}

// Layouts the table does not have are converted first, keeping every colour.
void PreviewImageTest::otherLayoutsBecomeTransformable_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::newRow("palette") << QImage::Format_Indexed8;
    QTest::newRow("one bit") << QImage::Format_Mono;
    QTest::newRow("16-bit RGB") << QImage::Format_RGB16;
    QTest::newRow("12-bit RGB") << QImage::Format_RGB444;
    QTest::newRow("float RGBA") << QImage::Format_RGBA32FPx4;
    QTest::newRow("premultiplied") << QImage::Format_ARGB32_Premultiplied;
}

void PreviewImageTest::otherLayoutsBecomeTransformable()
{
    QFETCH(QImage::Format, format);
    const QImage source = testPicture(QImage::Format_ARGB32, 16, 9).convertToFormat(format);
    const QImage ready = transformableImage(source);
    QVERIFY(previewPixelFormat(ready.format()) != 0);
    QCOMPARE(ready.hasAlphaChannel(), source.hasAlphaChannel());
    // Through sRGB to sRGB: the colours the source had.
    const Chain c = chainOf({"*srgb", "*srgb"});
    const QImage out = transformImage(ready, c.profiles());
    QVERIFY(!out.isNull());
    comparePixels(source, out, [](const QColor& in) { return in; }, 1.5 / 255);
}

// Bands of rows through one transform make the image the whole call makes.
void PreviewImageTest::bandsMakeTheWholeImage()
{
    const QImage source = testPicture(QImage::Format_RGB32, 37, 23);
    const Chain c = chainOf({"*srgb", "*argb"});
    const ImageTransform t = ImageTransform::make(source.format(), c.profiles());
    QVERIFY(!t.isNull());
    QImage banded(source.size(), t.outputFormat());
    for (int y = 0; y < source.height(); y += 5) t.apply(t.prepared(source), banded, y, 5);
    QCOMPARE(banded, transformImage(source, c.profiles()));
}


// The TIFF plug-in of the toolkit is not installed: TIFF comes through the
// program's own reader, 16 bits and alpha intact, gray as gray.
void PreviewImageTest::tiffSamplesAreReadByTheProgramsOwnReader()
{
    QTemporaryDir dir;
    const auto write = [&](const char* name, uint16_t samples, uint16_t bits, const std::vector<uint16_t>& values) {
        const QString path = dir.filePath(QLatin1String(name));
        TIFF* t = TIFFOpen(path.toLocal8Bit().constData(), "w");
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(values.size() / samples));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, 1u);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISWHITE);
        const uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
        if (samples == 4) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &alpha);
        std::vector<uint8_t> row;
        for (uint16_t v : values)
            if (bits == 8) row.push_back(uint8_t(v));
            else row.insert(row.end(), {uint8_t(v & 0xFF), uint8_t(v >> 8)});
        TIFFWriteScanline(t, row.data(), 0, 0);
        TIFFClose(t);
        return path;
    };
    QString error;
    const QImage rgba = readSampleImage(write("rgba.tif", 4, 16, {1, 2, 3, 4, 65535, 32768, 258, 65534}), &error);
    QVERIFY2(!rgba.isNull(), qPrintable(error));
    QCOMPARE(rgba.format(), QImage::Format_RGBA64);
    const QRgba64 p = rgba.pixelColor(1, 0).rgba64();
    QCOMPARE(std::vector<int>({p.red(), p.green(), p.blue(), p.alpha()}), std::vector<int>({65535, 32768, 258, 65534}));
    QCOMPARE(int(rgba.pixelColor(0, 0).rgba64().alpha()), 4);

    // Minimum-is-white gray comes out as ordinary gray.
    const QImage gray = readSampleImage(write("gray.tif", 1, 8, {0, 200}), &error);
    QCOMPARE(gray.format(), QImage::Format_Grayscale8);
    QCOMPARE(gray.pixel(0, 0), qRgb(255, 255, 255));
    QCOMPARE(gray.pixel(1, 0), qRgb(55, 55, 55));

    QFile cut(dir.filePath(QStringLiteral("cut.tif")));
    QVERIFY(cut.open(QIODevice::WriteOnly));
    cut.write("II*\0\x08\0\0\0\x05");
    cut.close();
    error.clear();
    QVERIFY(readSampleImage(cut.fileName(), &error).isNull());
    QVERIFY(!error.isEmpty());
}

// Rows stored as each of the eight orientations say show as meant: the
// shown pixel (X, Y) is the stored one the TIFF and EXIF definitions name.
void PreviewImageTest::tiffSamplesShowAsTheirOrientationSays()
{
    QTemporaryDir dir;
    const int w = 3, h = 2;
    for (uint16_t orientation = 1; orientation <= 8; ++orientation) {
        const QString path = dir.filePath(QStringLiteral("o%1.tif").arg(orientation));
        TIFF* t = TIFFOpen(path.toLocal8Bit().constData(), "w");
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(w));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(h));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(t, TIFFTAG_ORIENTATION, orientation);
        for (int y = 0; y < h; ++y) {
            std::vector<uint8_t> row;
            for (int x = 0; x < w; ++x) row.insert(row.end(), {uint8_t(10 * x), uint8_t(10 * y), 7});
            TIFFWriteScanline(t, row.data(), uint32_t(y), 0);
        }
        TIFFClose(t);
        QString error;
        const QImage shown = readSampleImage(path, &error);
        QVERIFY2(!shown.isNull(), qPrintable(error));
        const bool across = orientation >= 5;
        QCOMPARE(shown.size(), across ? QSize(h, w) : QSize(w, h));
        for (int Y = 0; Y < shown.height(); ++Y)
            for (int X = 0; X < shown.width(); ++X) {
                const QPoint stored[9] = {{},
                                          {X, Y},
                                          {w - 1 - X, Y},
                                          {w - 1 - X, h - 1 - Y},
                                          {X, h - 1 - Y},
                                          {Y, X},
                                          {Y, h - 1 - X},
                                          {w - 1 - Y, h - 1 - X},
                                          {w - 1 - Y, X}};
                const QPoint s = stored[orientation];
                QCOMPARE(shown.pixel(X, Y), qRgb(10 * s.x(), 10 * s.y(), 7));
            }
    }
}

QTEST_MAIN(PreviewImageTest)
#include "previewimage_qtest.moc"
