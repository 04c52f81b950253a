// The preview's scheduler: proxies sized to the view, the full resolution
// after a pause, newer requests replacing older ones, and the image as it is
// when no abstract profile can be built.
#include "app/widgets/previewscheduler.h"
#include "curves/core/curvefamily.h"

#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

QImage picture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(40 + x * 180 / width, 60 + y * 150 / height, 200 - (x + y) * 150 / (width + height)));
    return image;
}

SharedProfile named(const char* name)
{
    return shareProfile(adoptProfile(openProfileByName(QString::fromLatin1(name))));
}

// A recipe that darkens: gamma 2 on every channel of sRGB.
BuildResult darkening()
{
    Recipe r;
    r.tab = RecipeTab::Softproof;
    r.softproofProfile = QStringLiteral("*srgb");
    for (int i = 0; i < 3; ++i) {
        r.channels[size_t(i)].selectFamily(CurveFamily::Gamma);
        r.channels[size_t(i)].setValue(2.0);
    }
    return buildRecipe(r, ResolutionPreferences{});
}

int largestDifference(const QImage& a, const QImage& b)
{
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                              std::abs(qBlue(p) - qBlue(q))});
        }
    return worst;
}

QList<PreviewFrame> framesOf(const QSignalSpy& spy)
{
    QList<PreviewFrame> frames;
    for (const QList<QVariant>& args : spy) frames.append(args.at(0).value<PreviewFrame>());
    return frames;
}

}   // namespace

class PreviewSchedulerTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(registerCurveFamilyPlugin()); }

    void proxiesFitTheView_data()
    {
        QTest::addColumn<QSize>("image");
        QTest::addColumn<QSize>("limit");
        QTest::addColumn<QSize>("proxy");
        QTest::newRow("landscape in a wide view") << QSize(6000, 4000) << QSize(1600, 900) << QSize(1350, 900);
        QTest::newRow("landscape in a tall view") << QSize(6000, 4000) << QSize(800, 1000) << QSize(800, 533);
        QTest::newRow("portrait") << QSize(3000, 4500) << QSize(1000, 1000) << QSize(667, 1000);
        QTest::newRow("smaller than the view") << QSize(640, 480) << QSize(1600, 900) << QSize(640, 480);
        QTest::newRow("no view yet") << QSize(640, 480) << QSize() << QSize(640, 480);
        QTest::newRow("a line") << QSize(10000, 1) << QSize(100, 100) << QSize(100, 1);
    }

    void proxiesFitTheView()
    {
        QFETCH(QSize, image);
        QFETCH(QSize, limit);
        QFETCH(QSize, proxy);
        QCOMPARE(proxySize(image, limit), proxy);
    }

    // A proxy at once, through a coarse table close to the exact result;
    // then the exact full image.
    void aLargeImageShowsAProxyThenTheFullImage()
    {
        const QImage source = picture(600, 400);
        PreviewScheduler scheduler;
        scheduler.setImage(source);
        const SharedProfile srgb = named("*srgb");
        scheduler.setProfiles(srgb, srgb);
        scheduler.setProxyLimit(QSize(150, 150));
        scheduler.setPause(0);
        QSignalSpy frames(&scheduler, &PreviewScheduler::frameReady);
        QSignalSpy busy(&scheduler, &PreviewScheduler::busyChanged);

        const quint64 request = scheduler.showProof(darkening);
        QVERIFY(scheduler.isBusy());
        QTRY_COMPARE_WITH_TIMEOUT(frames.count(), 2, 10000);
        QVERIFY(!scheduler.isBusy());
        QCOMPARE(busy.count(), 2);
        QCOMPARE(busy.at(0).at(0).toBool(), true);
        QCOMPARE(busy.at(1).at(0).toBool(), false);

        const QList<PreviewFrame> shown = framesOf(frames);
        const BuildResult built = darkening();
        const QImage exact = transformImage(source, {srgb.get(), built.profile.get(), srgb.get()});
        QVERIFY(!exact.isNull());
        for (const PreviewFrame& f : shown) {
            QCOMPARE(f.request, request);
            QCOMPARE(f.sceneSize, source.size());
            QVERIFY(f.proofed);
            QVERIFY(f.message.isEmpty());
        }
        QCOMPARE(shown[0].image.size(), QSize(150, 100));
        QVERIFY(!shown[0].fullResolution);
        // The proxy: the picture scaled down and transformed, within the coarse table's error.
        const QImage scaled = source.scaled(150, 100, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const QImage scaledExact = transformImage(scaled, {srgb.get(), built.profile.get(), srgb.get()});
        QVERIFY2(largestDifference(shown[0].image, scaledExact) <= 2,
                 qPrintable(QString::number(largestDifference(shown[0].image, scaledExact))));
        // Darker than the picture: the profile was applied.
        QVERIFY(qGray(shown[0].image.pixel(75, 50)) < qGray(source.pixel(300, 200)) - 20);
        QVERIFY(shown[1].fullResolution);
        QCOMPARE(shown[1].image, exact);
    }

    // A picture no larger than the view is its own proxy: one exact frame.
    void aSmallImageIsShownOnceAndExactly()
    {
        const QImage source = picture(60, 40);
        PreviewScheduler scheduler;
        scheduler.setImage(source);
        const SharedProfile srgb = named("*srgb");
        const SharedProfile wide = named("*argb");
        scheduler.setProfiles(srgb, wide);
        scheduler.setProxyLimit(QSize(300, 300));
        QSignalSpy frames(&scheduler, &PreviewScheduler::frameReady);
        scheduler.showOriginal();
        QTRY_VERIFY(!scheduler.isBusy());
        QCOMPARE(frames.count(), 1);
        const PreviewFrame f = framesOf(frames).at(0);
        QVERIFY(f.fullResolution);
        QVERIFY(!f.proofed);
        QCOMPARE(f.image, transformImage(source, {srgb.get(), wide.get()}));
    }

    // Requests made while others are under way: only the latest is shown,
    // and every frame delivered is one of it.
    void theLatestRequestIsTheOneShown()
    {
        const QImage source = picture(400, 300);
        PreviewScheduler scheduler;
        scheduler.setImage(source);
        const SharedProfile srgb = named("*srgb");
        scheduler.setProfiles(srgb, srgb);
        scheduler.setProxyLimit(QSize(100, 100));
        scheduler.setPause(0);
        QSignalSpy frames(&scheduler, &PreviewScheduler::frameReady);

        std::atomic<int> builds{0};
        const auto slowDarkening = [&builds] {
            ++builds;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return darkening();
        };
        for (int i = 0; i < 10; ++i) scheduler.showProof(slowDarkening);
        // The last one says nothing can be built: the picture as it is.
        const quint64 last = scheduler.showProof([] {
            BuildResult r;
            r.message = QStringLiteral("No color space for adjusts is selected.");
            return r;
        });
        QTRY_VERIFY_WITH_TIMEOUT(!scheduler.isBusy(), 10000);
        QVERIFY2(builds < 10, "requests replaced before they started are never built");
        const QList<PreviewFrame> shown = framesOf(frames);
        QVERIFY(!shown.isEmpty());
        for (const PreviewFrame& f : shown) QCOMPARE(f.request, last);
        QVERIFY(shown.last().fullResolution);
        QVERIFY(!shown.last().proofed);
        QCOMPARE(shown.first().message, QStringLiteral("No color space for adjusts is selected."));
        QCOMPARE(shown.last().image, transformImage(source, {srgb.get(), srgb.get()}));
    }

    // The full resolution waits for the pause; a change within it starts over.
    void theFullResolutionWaitsForAPause()
    {
        const QImage source = picture(400, 300);
        PreviewScheduler scheduler;
        scheduler.setImage(source);
        const SharedProfile srgb = named("*srgb");
        scheduler.setProfiles(srgb, srgb);
        scheduler.setProxyLimit(QSize(100, 100));
        scheduler.setPause(400);
        QSignalSpy frames(&scheduler, &PreviewScheduler::frameReady);

        const quint64 first = scheduler.showOriginal();
        QTRY_COMPARE_WITH_TIMEOUT(frames.count(), 1, 10000);
        QCOMPARE(framesOf(frames).at(0).request, first);
        QVERIFY(!framesOf(frames).at(0).fullResolution);
        const quint64 second = scheduler.showProof(darkening);   // well within the pause
        QTRY_VERIFY_WITH_TIMEOUT(!scheduler.isBusy(), 10000);
        const QList<PreviewFrame> shown = framesOf(frames);
        QCOMPARE(shown.size(), 3);
        QCOMPARE(shown[1].request, second);
        QVERIFY(!shown[1].fullResolution);
        QCOMPARE(shown[2].request, second);
        QVERIFY(shown[2].fullResolution);
    }

    void theFullPassReportsItsProgress()
    {
        PreviewScheduler scheduler;
        scheduler.setImage(picture(2400, 1200));   // three bands of a million pixels
        const SharedProfile srgb = named("*srgb");
        scheduler.setProfiles(srgb, srgb);
        scheduler.setProxyLimit(QSize(200, 200));
        scheduler.setPause(0);
        QSignalSpy progress(&scheduler, &PreviewScheduler::progress);
        scheduler.showOriginal();
        QTRY_VERIFY_WITH_TIMEOUT(!scheduler.isBusy(), 10000);
        QVERIFY(progress.count() >= 2);
        int previous = 0;
        for (const QList<QVariant>& args : progress) {
            QVERIFY(args.at(0).toInt() > previous);
            previous = args.at(0).toInt();
        }
        QCOMPARE(previous, 100);
    }
};

QTEST_MAIN(PreviewSchedulerTest)
#include "previewscheduler_qtest.moc"
