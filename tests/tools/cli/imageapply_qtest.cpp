#include "tools/cli/imageapply.h"
#include "tools/core/toolfiles.h"

#include <tiffio.h>

#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using TransformPtr = std::unique_ptr<Transform, decltype(&deleteTransform)>;

// Samples of a test picture: smooth ramps with every value of a channel
// somewhere, and alpha varying.
std::vector<uint16_t> rampSamples(uint32_t width, uint32_t height, uint32_t channels)
{
    std::vector<uint16_t> v(size_t(width) * height * channels);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            for (uint32_t c = 0; c < channels; ++c)
                v[(size_t(y) * width + x) * channels + c] = uint16_t((x * 37 + y * 91 + c * 20011) * 13 % 65536);
    return v;
}

// A TIFF written with libtiff itself, in tiles or strips.
bool writeTiff(const QString& path, const std::vector<uint16_t>& samples, uint32_t width, uint32_t height,
               uint32_t channels, uint32_t bits, bool tiled)
{
    TIFF* t = TIFFOpen(path.toLocal8Bit().constData(), "w");
    if (!t) return false;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(bits));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(channels));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    const uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
    if (channels == 4) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &alpha);
    const size_t pixel = channels * bits / 8;
    std::vector<uint8_t> packed(samples.size() * bits / 8);
    for (size_t i = 0; i < samples.size(); ++i)
        if (bits == 8) packed[i] = uint8_t(samples[i] >> 8);
        else std::memcpy(&packed[i * 2], &samples[i], 2);
    bool ok = true;
    if (tiled) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 64u);
        TIFFSetField(t, TIFFTAG_TILELENGTH, 48u);
        std::vector<uint8_t> tile(size_t(64) * 48 * pixel, 0);
        for (uint32_t ty = 0; ty < height; ty += 48)
            for (uint32_t tx = 0; tx < width; tx += 64) {
                for (uint32_t r = 0; r < 48 && ty + r < height; ++r)
                    std::memcpy(&tile[size_t(r) * 64 * pixel], &packed[(size_t(ty + r) * width + tx) * pixel],
                                std::min<uint32_t>(64, width - tx) * pixel);
                ok &= TIFFWriteTile(t, tile.data(), tx, ty, 0, 0) >= 0;
            }
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 7u);
        for (uint32_t y = 0; y < height; ++y) ok &= TIFFWriteScanline(t, &packed[size_t(y) * width * pixel], y, 0) >= 0;
    }
    TIFFClose(t);
    return ok;
}

// What libtiff reads back: the layout tags and the samples.
struct TiffContent {
    uint16_t photometric = 0, bits = 0, samples = 0, inkset = 0;
    std::vector<uint8_t> data;
    std::vector<uint8_t> icc;
};

TiffContent readTiff(const QString& path)
{
    TiffContent c;
    TIFF* t = TIFFOpen(path.toLocal8Bit().constData(), "r");
    if (!t) return c;
    uint32_t width = 0, height = 0, iccSize = 0;
    void* icc = nullptr;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &c.photometric);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &c.bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &c.samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_INKSET, &c.inkset);
    if (TIFFGetField(t, TIFFTAG_ICCPROFILE, &iccSize, &icc)) c.icc.assign((uint8_t*)icc, (uint8_t*)icc + iccSize);
    const size_t row = size_t(TIFFScanlineSize(t));
    c.data.resize(row * height);
    for (uint32_t y = 0; y < height; ++y)
        if (TIFFReadScanline(t, &c.data[row * y], y, 0) < 0) c.data.clear();
    TIFFClose(t);
    return c;
}

}   // namespace

class ImageApplyTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;

    // A picture with every combination of a few levels and alphas.
    QImage sample(QImage::Format format) const
    {
        QImage image(16, 9, QImage::Format_ARGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, qRgba((x * 17) & 255, (y * 31) & 255, ((x + y) * 13) & 255, (x * 16 + y) & 255));
        return image.convertToFormat(format);
    }

    QString save(const QImage& image, const char* name) const
    {
        const QString path = dir_.filePath(QString::fromLatin1(name));
        image.save(path);
        return path;
    }

    ApplyResult run(const QString& in, const QString& out, const QStringList& chain, int bits = 0) const
    {
        ApplyRequest r;
        r.input = in;
        r.output = out;
        r.chain = chain;
        r.bits = bits;
        return applyProfiles(r);
    }

private slots:
    // Every band of a large image, read in tiles or strips, transformed and
    // written on their own threads, ends up as one engine call over the
    // whole picture gives it; CMYK and 16-bit results as libtiff reads them.
    void bandsGiveWhatOneTransformGives_data()
    {
        QTest::addColumn<bool>("tiled");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("outBits");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<int>("photometric");
        const QString press = QStringLiteral("/usr/share/color/icc/ghostscript/default_cmyk.icc");
        QTest::newRow("tiles 16 -> RGB 16") << true << 16 << 16 << QStringLiteral("*argb") << int(PHOTOMETRIC_RGB);
        QTest::newRow("strips 8 -> CMYK 8") << false << 8 << 8 << press << int(PHOTOMETRIC_SEPARATED);
        QTest::newRow("tiles 8 -> CMYK 16") << true << 8 << 16 << press << int(PHOTOMETRIC_SEPARATED);
    }

    void bandsGiveWhatOneTransformGives()
    {
        QFETCH(bool, tiled);
        QFETCH(int, bits);
        QFETCH(int, outBits);
        QFETCH(QString, destination);
        QFETCH(int, photometric);
        constexpr uint32_t Width = 1100, Height = 800;   // several bands of rows, none whole
        const std::vector<uint16_t> samples = rampSamples(Width, Height, 4);
        const QString src = dir_.filePath(QStringLiteral("bands-in.tif"));
        const QString dst = dir_.filePath(QStringLiteral("bands-out-%1.tif").arg(QTest::currentDataTag()).replace(' ', '_'));
        QVERIFY(writeTiff(src, samples, Width, Height, 4, uint32_t(bits), tiled));

        ApplyRequest r;
        r.input = src;
        r.output = dst;
        r.chain = QStringList{QStringLiteral("*srgb"), destination};
        r.bits = outBits;
        r.compression = imagefiles::Compression::Lzw;
        const ApplyResult result = applyProfiles(r);
        QVERIFY2(result.ok, qPrintable(result.message));

        const TiffContent got = readTiff(dst);
        QCOMPARE(int(got.photometric), photometric);
        QCOMPARE(int(got.bits), outBits);
        const uint32_t colors = photometric == PHOTOMETRIC_SEPARATED ? 4 : 3;
        QCOMPARE(uint32_t(got.samples), colors + 1);
        if (photometric == PHOTOMETRIC_SEPARATED) QCOMPARE(int(got.inkset), int(INKSET_CMYK));
        QFile profile(destination);
        if (profile.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = profile.readAll();
            QVERIFY(got.icc == std::vector<uint8_t>(bytes.begin(), bytes.end()));
        }

        // The reference: the engine over the whole buffer at once.
        ProfilePtr a = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
        ProfilePtr b = adoptProfile(openProfileByName(destination));
        const uint32_t inFormat = pixelFormat(PixelRgb, 3, uint32_t(bits) / 8, 1);
        const uint32_t outFormat = pixelFormat(colors == 4 ? PixelCmyk : PixelRgb, colors, uint32_t(outBits) / 8, 1);
        TransformPtr t{createTransform(a.get(), inFormat, b.get(), outFormat, 0, XformCopyAlpha), &deleteTransform};
        QVERIFY(t);
        std::vector<uint8_t> in(samples.size() * size_t(bits) / 8);
        for (size_t i = 0; i < samples.size(); ++i)
            if (bits == 8) in[i] = uint8_t(samples[i] >> 8);
            else std::memcpy(&in[i * 2], &samples[i], 2);
        std::vector<uint8_t> want(size_t(Width) * Height * (colors + 1) * size_t(outBits) / 8);
        doTransform(t.get(), in.data(), want.data(), Width * Height);
        QCOMPARE(got.data.size(), want.size());
        // The message is made only for a mismatch: at the end there is no byte to show.
        const auto diff = std::mismatch(got.data.begin(), got.data.end(), want.begin());
        if (diff.first != got.data.end())
            QFAIL(qPrintable(QStringLiteral("byte %1: %2, expected %3")
                                 .arg(diff.first - got.data.begin()).arg(*diff.first).arg(*diff.second)));
    }

    // A device link alone takes the image as it is and gives the link's
    // values; no profile describes them, so none is embedded.
    void aDeviceLinkAloneTakesTheImage()
    {
        ProfilePtr srgb = adoptProfile(openProfileByName(QStringLiteral("*srgb")));
        ProfilePtr press = adoptProfile(openProfileByName(QStringLiteral("/usr/share/color/icc/ghostscript/default_cmyk.icc")));
        QVERIFY(srgb && press);
        TransformPtr t{createTransform(srgb.get(), FormatRgb8, press.get(), FormatCmyk8, 1, 0), &deleteTransform};
        ProfilePtr link = adoptProfile(transformToDeviceLink(t.get(), 4.3, 0));
        QVERIFY(link);
        const QString linkPath = dir_.filePath(QStringLiteral("link.icc"));
        QVERIFY(saveProfileToFile(link.get(), linkPath));

        const std::vector<uint16_t> samples = rampSamples(40, 30, 3);
        const QString src = dir_.filePath(QStringLiteral("link-in.tif"));
        QVERIFY(writeTiff(src, samples, 40, 30, 3, 8, false));
        ApplyRequest r;
        r.input = src;
        r.output = dir_.filePath(QStringLiteral("link-out.tif"));
        r.chain = QStringList{linkPath};
        r.intent = 1;
        const ApplyResult result = applyProfiles(r);
        QVERIFY2(result.ok, qPrintable(result.message));
        QVERIFY(result.notes.join(QLatin1Char(' ')).contains(QStringLiteral("no profile embedded")));
        const TiffContent got = readTiff(r.output);
        QCOMPARE(int(got.photometric), int(PHOTOMETRIC_SEPARATED));
        QVERIFY(got.icc.empty());
        std::vector<uint8_t> in(samples.size()), want(size_t(40) * 30 * 4);
        for (size_t i = 0; i < samples.size(); ++i) in[i] = uint8_t(samples[i] >> 8);
        doTransform(t.get(), in.data(), want.data(), 40 * 30);
        int worst = 0;
        for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::abs(int(got.data[i]) - int(want[i])));
        QVERIFY2(worst <= 2, qPrintable(QString::number(worst)));   // the link's own table, against the chain
    }

    void identityKeepsColoursAndAlpha()
    {
        const QImage in = sample(QImage::Format_ARGB32);
        const QString src = save(in, "alpha.png");
        const QString dst = dir_.filePath(QStringLiteral("alpha-out.png"));
        const ApplyResult r = run(src, dst, {QStringLiteral("*srgb"), QStringLiteral("*srgb")});
        QVERIFY2(r.ok, qPrintable(r.message));
        const QImage out = QImage(dst).convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(out.size(), in.size());
        for (int y = 0; y < in.height(); ++y)
            for (int x = 0; x < in.width(); ++x) {
                const QRgb a = in.pixel(x, y), b = out.pixel(x, y);
                QCOMPARE(qAlpha(b), qAlpha(a));
                QVERIFY(std::abs(qRed(a) - qRed(b)) <= 1 && std::abs(qGreen(a) - qGreen(b)) <= 1 &&
                        std::abs(qBlue(a) - qBlue(b)) <= 1);
            }
    }

    void sixteenBitsKeepAlpha()
    {
        const QImage in = sample(QImage::Format_ARGB32);
        const QString src = save(in, "alpha16.png");
        const QString dst = dir_.filePath(QStringLiteral("alpha16-out.png"));
        const ApplyResult r = run(src, dst, {QStringLiteral("*srgb"), QStringLiteral("*lab"), QStringLiteral("*srgb")}, 16);
        QVERIFY2(r.ok, qPrintable(r.message));
        const QImage out(dst);
        QCOMPARE(out.depth(), 64);
        for (int y = 0; y < in.height(); ++y)
            for (int x = 0; x < in.width(); ++x) {
                const QRgba64 p = out.pixelColor(x, y).rgba64();
                QCOMPARE(int(p.alpha()), qAlpha(in.pixel(x, y)) * 257);
                QVERIFY(std::abs(int(p.red()) - qRed(in.pixel(x, y)) * 257) <= 2 * 257);
            }
    }

    void opaqueImagesStayOpaque()
    {
        const QImage in = sample(QImage::Format_RGB888);
        const QString src = save(in, "opaque.ppm");
        const QString dst = dir_.filePath(QStringLiteral("opaque-out.png"));
        const ApplyResult r = run(src, dst, {QStringLiteral("*srgb"), QStringLiteral("*argb")});
        QVERIFY2(r.ok, qPrintable(r.message));
        const QImage out(dst);
        QVERIFY(!out.hasAlphaChannel() || out.convertToFormat(QImage::Format_ARGB32).pixel(3, 3) >> 24 == 0xFF);
        // sRGB red is less saturated in Adobe RGB.
        const QImage red = [] {
            QImage i(1, 1, QImage::Format_RGB888);
            i.setPixel(0, 0, qRgb(255, 0, 0));
            return i;
        }();
        const QString redIn = save(red, "red.ppm"), redOut = dir_.filePath(QStringLiteral("red-out.png"));
        QVERIFY(run(redIn, redOut, {QStringLiteral("*srgb"), QStringLiteral("*argb")}).ok);
        const QRgb p = QImage(redOut).pixel(0, 0);
        QVERIFY(qRed(p) < 255 && qGreen(p) < 5 && qBlue(p) < 5);
        QVERIFY(qRed(p) > 200);
    }

    void grayChains()
    {
        const QImage in = sample(QImage::Format_RGB32);
        const QString src = save(in, "tograyscale.png");
        const QString dst = dir_.filePath(QStringLiteral("gray-out.png"));
        const ApplyResult r = run(src, dst, {QStringLiteral("*srgb"), QStringLiteral("*gray22")});
        QVERIFY2(r.ok, qPrintable(r.message));
        QVERIFY(QImage(dst).isGrayscale());
    }

    void failuresLeaveFilesAlone()
    {
        const QString keep = dir_.filePath(QStringLiteral("keep.png"));
        {
            QFile f(keep);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("precious");
        }
        const QString garbage = dir_.filePath(QStringLiteral("garbage.png"));
        {
            QFile f(garbage);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("\x89PNG\r\n\x1a\n truncated");
        }
        ApplyResult r = run(garbage, keep, {QStringLiteral("*srgb"), QStringLiteral("*srgb")});
        QVERIFY(!r.ok);
        QVERIFY(r.message.startsWith(QStringLiteral("Cannot read image")));
        r = run(save(sample(QImage::Format_RGB32), "ok.png"), keep, {QStringLiteral("*srgb"), QStringLiteral("*missing")});
        QVERIFY(!r.ok);
        QFile f(keep);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("precious"));
        r = run(save(sample(QImage::Format_RGB32), "ok2.png"), dir_.filePath(QStringLiteral("no/dir/x.png")),
                {QStringLiteral("*srgb"), QStringLiteral("*srgb")});
        QVERIFY(!r.ok);
        QVERIFY(r.message.startsWith(QStringLiteral("Cannot write image")));
        r = run(keep, keep, {});
        QVERIFY(!r.ok);
    }
};

QTEST_GUILESS_MAIN(ImageApplyTest)
#include "imageapply_qtest.moc"
