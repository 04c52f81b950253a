// The preview pane of the main window: loading, dropping and pasting sample
// images, the original and proofed views, live preview and the messages.
#include "app/core/appinfo.h"
#include "app/widgets/qgraphicsviewmap.h"
#include "app/widgets/luttab.h"
#include "app/widgets/previewpane.h"
#include "app/widgets/recipecurvepanels.h"
#include "app/widgets/tonemolder.h"
#include "curves/widgets/channelmodifier.h"
#include "profiles/widgets/iccprofileselector.h"
#include "windowtest.h"

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QGraphicsScene>
#include <QImageReader>
#include <QImageWriter>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <functional>
#include <memory>

namespace {

// A picture of moderate colours, far from the gamut's edges (where the
// abstract profile's table, interpolated across the clipping, is least exact).
QImage samplePicture()
{
    QImage image(24, 16, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) image.setPixel(x, y, qRgb(90 + x * 3, 100 + y * 4, 140 - x - y));
    return image;
}

// A viewing-conditions preset far from the first one: a projector in the dark.
constexpr int DarkProjector = 8;

}   // namespace

class TonemolderPreviewTest : public QObject, protected WindowFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void loadingAnImageShowsItAndEnablesTheControls();
    void aJpegShowsAsItReads();
    void palettesShowLikeAnyImage_data();
    void palettesShowLikeAnyImage();
    void theImageDialogOffersEveryReadableType();
    void aDroppedFileIsLoaded();
    void aFileDroppedOnTheTableViewIsNotLoaded();
    void aPastedImageIsShown();
    void aClipboardWithoutAnImageChangesNothing();
    void unreadableFilesAreReported_data();
    void unreadableFilesAreReported();
    void thePreviewDiffersOnlyForAChangingRecipe();
    void softproofCurvesShowInThePreview();
    void anImportedTableShowsInThePreview();
    void proofingWithoutAnImageDoesNothing();
    void showingTheOriginalUnchecksLivePreview();
    void livePreviewFollowsCurveChangesOnlyWhenChecked();
    void livePreviewFollowsTheRecipeTab();
    void anotherImageProfileRedrawsAtOnce();
    void aNewImageIsFittedToTheView();
    void largeImagesShowAProxyFirst();

private:
    QString writePicture(const QString& name, const QImage& image);
    void loadSample();
    // Waits until the preview shows the latest request.
    bool proofed();
    QImage original() const;
};

void TonemolderPreviewTest::initTestCase()
{
    Q_INIT_RESOURCE(tonemolder);
    useOwnSettings();
}

void TonemolderPreviewTest::init()
{
    freshSettings();
    makeWindow();
}

void TonemolderPreviewTest::cleanup()
{
    closeWindow();
}

QString TonemolderPreviewTest::writePicture(const QString& name, const QImage& image)
{
    const QString path = files_.filePath(name);
    if (!image.save(path)) qWarning("cannot write %s", qPrintable(path));
    return path;
}

void TonemolderPreviewTest::loadSample()
{
    const BoxSeen box = answeringBoxes([&] {
        window_->previewPane()->loadImageFile(writePicture("sample.png", samplePicture()));
        QVERIFY(waitForPreview(window_.get()));
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
}

bool TonemolderPreviewTest::proofed()
{
    return waitForPreview(window_.get());
}

QImage TonemolderPreviewTest::original() const
{
    return shownImage(window_->findChild<QGraphicsViewMap*>("imageViewer"));
}

void TonemolderPreviewTest::loadingAnImageShowsItAndEnablesTheControls()
{
    loadSample();
    // sRGB image, sRGB monitor: the picture as it is.
    const QImage shown = original();
    QCOMPARE(shown.size(), QSize(24, 16));
    QVERIFY(largestDifference(shown, samplePicture()) <= 1);

    for (const char* name : {"btnOriginal", "btnPreview", "chkLive", "iccPreviewImage"})
        QVERIFY2(child<QWidget>(name)->isEnabled(), name);
    for (const char* name : {"action_view_original", "action_view_abstract", "action_zoom_in", "action_zoom_out"})
        QVERIFY2(child<QAction>(name)->isEnabled(), name);
    QVERIFY(!child<QCheckBox>("chkLive")->isChecked());
}

void TonemolderPreviewTest::aJpegShowsAsItReads()
{
    const QString path = files_.filePath("sample.jpg");
    QVERIFY(samplePicture().save(path, "JPEG", 95));
    QImageReader reader(path);
    const QImage decoded = reader.read();
    QCOMPARE(decoded.format(), QImage::Format_RGB32);
    const BoxSeen box = answeringBoxes([&] {
        window_->previewPane()->loadImageFile(path);
        QVERIFY(proofed());
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
    QCOMPARE(original().size(), decoded.size());
    QVERIFY(largestDifference(original(), decoded) <= 1);
}

void TonemolderPreviewTest::palettesShowLikeAnyImage_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("format");
    QTest::newRow("indexed PNG") << "palette.png" << QByteArray("PNG");
    QTest::newRow("GIF") << "palette.gif" << QByteArray("GIF");
}

void TonemolderPreviewTest::palettesShowLikeAnyImage()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, format);
    const QString path = files_.filePath(file);
    if (QImageWriter::supportedImageFormats().contains(format.toLower())) {
        QVERIFY(samplePicture().convertToFormat(QImage::Format_Indexed8).save(path, format.constData()));
    } else {
        // Without a writer: a one-pixel GIF of a two-colour palette, by hand.
        QFile gif(path);
        QVERIFY(gif.open(QIODevice::WriteOnly));
        gif.write(QByteArray::fromHex("4749463839610100010080000020a0e0000000"
                                      "2c00000000010001000002024401003b"));
    }
    const QImage decoded = QImageReader(path).read();
    QVERIFY(!decoded.isNull());
    const BoxSeen box = answeringBoxes([&] {
        window_->previewPane()->loadImageFile(path);
        QVERIFY(proofed());
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
    // sRGB to sRGB: the picture's own colours, not an empty pane.
    QCOMPARE(original().size(), decoded.size());
    QVERIFY(largestDifference(original(), decoded.convertToFormat(QImage::Format_RGB32)) <= 1);
    QVERIFY(child<QWidget>("btnPreview")->isEnabled());
}

void TonemolderPreviewTest::theImageDialogOffersEveryReadableType()
{
    bool seen = false;
    QTimer::singleShot(0, this, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        seen = true;
        QCOMPARE(dialog->windowTitle(), QString("Select image for proofing"));
        const QStringList types = dialog->mimeTypeFilters();
        QVERIFY(types.contains("image/png"));
        QVERIFY(types.contains("image/jpeg"));
        QStringList sorted = types;
        sorted.sort();
        QCOMPARE(types, sorted);
        QCOMPARE(dialog->selectedMimeTypeFilter(), QString("image/jpeg"));
        dialog->reject();
    });
    window_->previewPane()->loadImage();
    QVERIFY(seen);
    QVERIFY(original().isNull());
}

void TonemolderPreviewTest::aDroppedFileIsLoaded()
{
    const QString path = writePicture("dropped.png", samplePicture());
    auto* view = child<QGraphicsViewMap>("imageViewer");
    // Of several files only the first local one counts.
    QMimeData data;
    data.setUrls({QUrl("https://example.org/remote.png"), QUrl::fromLocalFile(path),
                  QUrl::fromLocalFile(files_.filePath("other.png"))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    const BoxSeen box = answeringBoxes([&] {
        QApplication::sendEvent(view->viewport(), &drop);
        QVERIFY(proofed());
    });
    QVERIFY(drop.isAccepted());
    QVERIFY2(!box.shown, qPrintable(box.text));
    QCOMPARE(original().size(), QSize(24, 16));
    QVERIFY(child<QWidget>("btnPreview")->isEnabled());
}

void TonemolderPreviewTest::aFileDroppedOnTheTableViewIsNotLoaded()
{
    const QString path = writePicture("dropped.png", samplePicture());
    auto* view = child<QGraphicsViewMap>("imageViewerLUT");
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &drop);
    QVERIFY(original().isNull());
    QVERIFY(!child<QWidget>("btnPreview")->isEnabled());
}

void TonemolderPreviewTest::aPastedImageIsShown()
{
    QApplication::clipboard()->setImage(samplePicture());
    window_->previewPane()->pasteImage();
    QVERIFY(proofed());
    QVERIFY(largestDifference(original(), samplePicture()) <= 1);
    for (const char* name : {"btnPreview", "chkLive", "iccPreviewImage"})
        QVERIFY2(child<QWidget>(name)->isEnabled(), name);
    // A pasted image can be zoomed like a loaded one.
    for (const char* name : {"action_view_original", "action_view_abstract", "action_zoom_in", "action_zoom_out",
                             "action_zoom_fit", "action_zoom_actual"})
        QVERIFY2(child<QAction>(name) && child<QAction>(name)->isEnabled(), name);
}

void TonemolderPreviewTest::aClipboardWithoutAnImageChangesNothing()
{
    QApplication::clipboard()->setText("no picture here");
    window_->previewPane()->pasteImage();
    QVERIFY(original().isNull());
    QVERIFY(!child<QWidget>("chkLive")->isEnabled());
}

void TonemolderPreviewTest::unreadableFilesAreReported_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("text");   // %1: the path

    QTest::newRow("missing") << "missing.png" << int(QMessageBox::Critical) << "This is not an image file";
    QTest::newRow("folder") << "" << int(QMessageBox::Critical) << "This is not an image file";
    QTest::newRow("not an image") << "words.png" << int(QMessageBox::Critical) << "I cannot read from %1";
    QTest::newRow("cut short") << "cut.png" << int(QMessageBox::Information) << "Cannot load %1: ";
}

void TonemolderPreviewTest::unreadableFilesAreReported()
{
    QFETCH(QString, file);
    QFETCH(int, icon);
    QFETCH(QString, text);

    {
        QFile words(files_.filePath("words.png"));
        QVERIFY(words.open(QIODevice::WriteOnly));
        words.write("Nothing but words in here, whatever the name says.\n");
    }
    {
        const QString whole = writePicture("whole.png", samplePicture());
        QFile source(whole);
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QByteArray bytes = source.readAll();
        QFile cut(files_.filePath("cut.png"));
        QVERIFY(cut.open(QIODevice::WriteOnly));
        cut.write(bytes.left(bytes.size() / 2));
    }

    const QString path = file.isEmpty() ? files_.path() : files_.filePath(file);
    const BoxSeen box = answeringBoxes([&] { window_->previewPane()->loadImageFile(path); });
    QVERIFY(box.shown);
    QCOMPARE(int(box.icon), icon);
    QCOMPARE(box.title, QApplication::applicationDisplayName());
    const QString expected = text.contains("%1") ? text.arg(QDir::toNativeSeparators(path)) : text;
    if (expected.endsWith(": ")) {
        QVERIFY2(box.text.startsWith(expected), qPrintable(box.text));
        QVERIFY(box.text.size() > expected.size());   // the reader's reason follows
    } else {
        QCOMPARE(box.text, expected);
    }
    QVERIFY(original().isNull());
    QVERIFY(!child<QWidget>("btnOriginal")->isEnabled());
}

void TonemolderPreviewTest::thePreviewDiffersOnlyForAChangingRecipe()
{
    loadSample();
    const QImage before = original();
    child<QTabWidget>("generator")->setCurrentIndex(1);

    // CIE CAM16 from one set of viewing conditions into another changes colours.
    auto* destination = child<QComboBox>("comboDestVC");
    QVERIFY(destination->count() > DarkProjector);
    child<QCheckBox>("cbDestVC")->setChecked(true);
    destination->setCurrentIndex(DarkProjector);
    BoxSeen box = answeringBoxes([&] {
        window_->previewPane()->proofImage();
        QVERIFY(proofed());
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
    const QImage changed = original();
    QCOMPARE(changed.size(), before.size());
    QVERIFY(largestDifference(changed, before) > 3);
    QVERIFY(child<QWidget>("btnOriginal")->isEnabled());

    // The same conditions on both sides change nothing.
    child<QCheckBox>("cbDestVC")->setChecked(false);
    box = answeringBoxes([&] {
        window_->previewPane()->proofImage();
        QVERIFY(proofed());
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
    QVERIFY(largestDifference(original(), before) <= 1);

    // The original again, asked for before the proof was shown.
    destination->setCurrentIndex(DarkProjector);
    child<QCheckBox>("cbDestVC")->setChecked(true);
    window_->previewPane()->proofImage();
    window_->previewPane()->origImage();
    QVERIFY(proofed());
    QVERIFY(largestDifference(original(), before) <= 1);
}

void TonemolderPreviewTest::softproofCurvesShowInThePreview()
{
    loadSample();
    child<ICCProfileSelector>("iccProfile")->selectByName("*srgb");
    child<QTabWidget>("generator")->setCurrentIndex(0);

    // Neutral curves: the picture as it was.
    BoxSeen box = answeringBoxes([&] {
        window_->previewPane()->proofImage();
        QVERIFY(proofed());
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
    QVERIFY(largestDifference(original(), samplePicture()) <= 1);

    // Gamma 2 on red alone: red darkens, green and blue stay.
    auto* red = child<ChannelModifier>("chan_1");
    red->selectFamily(2);
    red->setValue(2.0);
    box = answeringBoxes([&] {
        window_->previewPane()->proofImage();
        QVERIFY(proofed());
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
    const QImage proofed = original();
    const QImage sample = samplePicture();
    for (const QPoint at : {QPoint(0, 0), QPoint(12, 8), QPoint(23, 15)}) {
        const QRgb was = sample.pixel(at);
        const QRgb is = proofed.pixel(at);
        QVERIFY2(qRed(is) < qRed(was) - 20, qPrintable(QString("%1 → %2").arg(qRed(was)).arg(qRed(is))));
        QVERIFY(std::abs(qGreen(is) - qGreen(was)) <= 2);
        QVERIFY(std::abs(qBlue(is) - qBlue(was)) <= 2);
    }
}

void TonemolderPreviewTest::anImportedTableShowsInThePreview()
{
    loadSample();
    child<ICCProfileSelector>("iccProfileLUT")->selectByName("*srgb");
    child<QComboBox>("comboIntentLUT")->setCurrentIndex(1);
    child<QTabWidget>("generator")->setCurrentIndex(2);

    // A table that changes nothing, then one that swaps red and blue.
    QByteArray identity = "LUT_3D_SIZE 2\n";
    QByteArray swap = "LUT_3D_SIZE 2\n";
    for (int k = 0; k < 8; ++k) {
        const int r = k & 1, g = k >> 1 & 1, b = k >> 2;
        identity += QByteArray::number(r) + ' ' + QByteArray::number(g) + ' ' + QByteArray::number(b) + '\n';
        swap += QByteArray::number(b) + ' ' + QByteArray::number(g) + ' ' + QByteArray::number(r) + '\n';
    }
    for (const auto& [name, table] : {std::pair{"identity.cube", identity}, std::pair{"swap.cube", swap}}) {
        QFile file(files_.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(table);
    }

    BoxSeen box = answeringBoxes([&] {
        window_->lutTab()->loadCubeFile(files_.filePath("identity.cube"));
        QVERIFY(proofed());
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
    QVERIFY(largestDifference(original(), samplePicture()) <= 1);

    box = answeringBoxes([&] {
        window_->lutTab()->loadCubeFile(files_.filePath("swap.cube"));
        QVERIFY(proofed());
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
    const QImage proofed = original();
    const QImage sample = samplePicture();
    for (const QPoint at : {QPoint(0, 0), QPoint(12, 8), QPoint(23, 15)}) {
        QVERIFY(std::abs(qRed(proofed.pixel(at)) - qBlue(sample.pixel(at))) <= 3);
        QVERIFY(std::abs(qBlue(proofed.pixel(at)) - qRed(sample.pixel(at))) <= 3);
    }
}

void TonemolderPreviewTest::proofingWithoutAnImageDoesNothing()
{
    // Even a recipe that cannot be built is not tried.
    child<QTabWidget>("generator")->setCurrentIndex(0);
    const BoxSeen box = answeringBoxes([&] {
        window_->previewPane()->proofImage();
        QVERIFY(proofed());
    });
    QVERIFY(!box.shown);
    QVERIFY(original().isNull());
    QVERIFY(!child<QWidget>("btnOriginal")->isEnabled());
}

void TonemolderPreviewTest::showingTheOriginalUnchecksLivePreview()
{
    loadSample();
    child<QTabWidget>("generator")->setCurrentIndex(1);
    child<QCheckBox>("chkLive")->setChecked(true);
    QVERIFY(!child<QWidget>("btnPreview")->isEnabled());
    child<QAction>("action_view_original")->trigger();
    QVERIFY(!child<QCheckBox>("chkLive")->isChecked());
    QVERIFY(child<QWidget>("btnPreview")->isEnabled());
    QVERIFY(child<QWidget>("chkLive")->isEnabled());
}

void TonemolderPreviewTest::livePreviewFollowsCurveChangesOnlyWhenChecked()
{
    loadSample();
    child<QTabWidget>("generator")->setCurrentIndex(1);
    auto* live = child<QCheckBox>("chkLive");
    QSignalSpy frames(previewSchedulerOf(window_.get()), &PreviewScheduler::frameReady);

    // Unchecked: a curve change leaves the shown image alone.
    child<ChannelModifier>("corr_1")->selectFamily(2);
    child<ChannelModifier>("corr_1")->setValue(1.5);
    child<ChannelModifier>("chan_2")->setValue(0.5);
    QVERIFY(proofed());
    QCOMPARE(frames.count(), 0);
    QVERIFY(child<QWidget>("btnPreview")->isEnabled());

    // Checked: checking proofs at once, and every curve change proofs again.
    live->setChecked(true);
    QVERIFY(proofed());
    QCOMPARE(frames.count(), 1);
    QVERIFY(frames.last().at(0).value<PreviewFrame>().proofed);
    QVERIFY(!child<QWidget>("btnPreview")->isEnabled());
    for (const char* editor : {"corr_1", "corr_3", "chan_1"}) {
        frames.clear();
        child<ChannelModifier>(editor)->setValue(2.0);
        QVERIFY(proofed());
        QVERIFY2(frames.count() == 1, editor);
    }
    // And what it shows follows the curve: lightness through gamma 0.5 brightens.
    const QImage before = original();
    auto* lightness = child<ChannelModifier>("corr_1");
    lightness->selectFamily(2);
    lightness->setValue(0.5);
    QVERIFY(proofed());
    const QImage after = original();
    QVERIFY(qGray(after.pixel(12, 8)) > qGray(before.pixel(12, 8)) + 10);

    // Unchecking leaves the preview button as it is.
    live->setChecked(false);
    QVERIFY(!child<QWidget>("btnPreview")->isEnabled());
    frames.clear();
    child<ChannelModifier>("corr_2")->setValue(0.7);
    QVERIFY(proofed());
    QCOMPARE(frames.count(), 0);
}

void TonemolderPreviewTest::livePreviewFollowsTheRecipeTab()
{
    loadSample();
    auto* tabs = child<QTabWidget>("generator");
    tabs->setCurrentIndex(1);
    child<QCheckBox>("cbDestVC")->setChecked(true);
    child<QComboBox>("comboDestVC")->setCurrentIndex(DarkProjector);
    child<QCheckBox>("chkLive")->setChecked(true);
    QVERIFY(proofed());
    const QImage cam16 = original();
    QVERIFY(largestDifference(cam16, samplePicture()) > 3);

    // The CUBE tab without a table has no effect to show: the image as it
    // is, not the CIE CAM16 tab's effect, and the status bar says why.
    const BoxSeen box = answeringBoxes([&] {
        tabs->setCurrentIndex(2);
        QVERIFY(proofed());
    });
    QVERIFY(!box.shown);
    QVERIFY(largestDifference(original(), samplePicture()) <= 1);
    QVERIFY2(window_->statusBar()->currentMessage().contains(".CUBE"),
             qPrintable(window_->statusBar()->currentMessage()));

    // Once a table is loaded the hint is gone.
    QFile table(files_.filePath("gray.cube"));
    QVERIFY(table.open(QIODevice::WriteOnly));
    table.write("LUT_3D_SIZE 2\n" + QByteArray("0.5 0.5 0.5\n").repeated(8));
    table.close();
    window_->lutTab()->loadCubeFile(table.fileName());
    QVERIFY(proofed());
    QVERIFY2(window_->statusBar()->currentMessage().isEmpty(), qPrintable(window_->statusBar()->currentMessage()));
}

// Another profile for the image redraws what is shown at once, whether the
// original or the preview.
void TonemolderPreviewTest::anotherImageProfileRedrawsAtOnce()
{
    loadSample();
    auto* imageIn = child<ICCProfileSelector>("iccPreviewImage");
    QVERIFY(imageIn->selectByName("*prophoto"));
    QVERIFY(proofed());
    // A ProPhoto picture shown in sRGB: more saturated than the numbers say.
    const QImage wide = original();
    QVERIFY(largestDifference(wide, samplePicture()) > 10);

    window_->previewPane()->proofImage();
    QVERIFY(proofed());
    QVERIFY(imageIn->selectByName("*srgb"));
    QVERIFY(proofed());
    QVERIFY(largestDifference(original(), samplePicture()) <= 1);   // neutral recipe, sRGB again
}

// A new image comes fitted into the view, whatever its size; the image menu
// shows it whole again or at one image pixel per screen pixel.
void TonemolderPreviewTest::aNewImageIsFittedToTheView()
{
    window_->resize(1000, 700);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    auto* view = child<QGraphicsViewMap>("imageViewer");
    const auto fitted = [view] {
        const QRect shown = view->mapFromScene(view->scene()->itemsBoundingRect()).boundingRect();
        const QRect viewport = view->viewport()->rect();
        return viewport.adjusted(-2, -2, 2, 2).contains(shown) &&
               (shown.width() >= viewport.width() - 8 || shown.height() >= viewport.height() - 8);
    };
    QImage large(3000, 2000, QImage::Format_RGB32);
    large.fill(qRgb(90, 120, 150));
    window_->previewPane()->loadImageFile(writePicture("large.png", large));
    QVERIFY(proofed());
    QVERIFY(fitted());

    child<QAction>("action_zoom_actual")->trigger();
    QVERIFY(qFuzzyCompare(view->transform().m11() * view->devicePixelRatioF(), 1.0));
    child<QAction>("action_zoom_fit")->trigger();
    QVERIFY(fitted());

    // A small one grows to fill the view, too.
    window_->previewPane()->loadImageFile(writePicture("small.png", samplePicture()));
    QVERIFY(proofed());
    QVERIFY(fitted());
}

// A camera-sized image: a proxy no larger than the view comes first, then
// the full resolution; long work shows the busy indicator, which goes away
// when it ends.
void TonemolderPreviewTest::largeImagesShowAProxyFirst()
{
    window_->resize(900, 600);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QImage large(3000, 2000, QImage::Format_RGB32);
    for (int y = 0; y < large.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(large.scanLine(y));
        for (int x = 0; x < large.width(); ++x) row[x] = qRgb(x / 12, y / 8, 128);
    }
    QApplication::clipboard()->setImage(large);
    window_->previewPane()->pasteImage();
    QVERIFY(proofed());

    // When work starts, each frame, when it ends; and whether the busy
    // indicator (bar and cursor) showed. A long pause before the full
    // resolution makes a wait the indicator must show.
    PreviewScheduler* scheduler = previewSchedulerOf(window_.get());
    scheduler->setPause(600);
    QSignalSpy frames(scheduler, &PreviewScheduler::frameReady);
    auto* bar = child<QProgressBar>("previewProgress");
    auto* view = child<QGraphicsViewMap>("imageViewer");
    QElapsedTimer clock;
    clock.start();
    QList<qint64> moments;
    bool indicated = false;
    const auto note = [&] { moments.append(clock.elapsed()); };
    QObject::connect(scheduler, &PreviewScheduler::frameReady, this, note);
    QObject::connect(scheduler, &PreviewScheduler::busyChanged, this, note);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, this, [&] {
        if (bar->isVisible() && view->viewport()->cursor().shape() == Qt::BusyCursor) indicated = true;
    });
    watch.start(10);

    child<QTabWidget>("generator")->setCurrentIndex(1);
    child<QCheckBox>("cbDestVC")->setChecked(true);
    child<QComboBox>("comboDestVC")->setCurrentIndex(DarkProjector);
    window_->previewPane()->proofImage();
    QVERIFY(proofed());
    watch.stop();
    QVERIFY(!bar->isVisible());
    QCOMPARE(view->viewport()->cursor().shape(), Qt::ArrowCursor);

    // The longest wait with nothing new on screen decides: well over the
    // delay, the indicator showed; well under it, it never did.
    qint64 longest = 0;
    for (qsizetype i = 1; i < moments.size(); ++i) longest = std::max(longest, moments[i] - moments[i - 1]);
    QVERIFY2(longest > 500, qPrintable(QString::number(longest)));
    QVERIFY(indicated);

    QVERIFY(frames.count() >= 2);
    const PreviewFrame proxy = frames.first().at(0).value<PreviewFrame>();
    const PreviewFrame full = frames.last().at(0).value<PreviewFrame>();
    const QSize device = view->viewport()->size() * view->devicePixelRatioF();
    QVERIFY(!proxy.fullResolution);
    QVERIFY(proxy.image.width() <= device.width() && proxy.image.height() <= device.height());
    QVERIFY(full.fullResolution);
    QCOMPARE(full.image.size(), large.size());
    QCOMPARE(shownImage(view).size(), large.size());

    // A small picture is shown at once, without an indicator.
    indicated = false;
    moments.clear();
    watch.start(10);
    loadSample();
    window_->previewPane()->proofImage();
    QVERIFY(proofed());
    watch.stop();
    QVERIFY(moments.size() >= 2);
    if (moments.last() - moments.first() < 250) QVERIFY(!indicated);   // unless the machine is that busy
}

QTEST_MAIN(TonemolderPreviewTest)
#include "tonemolder_preview_qtest.moc"
