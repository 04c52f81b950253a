#include "tools/cli/imageapply.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>

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
