// The CUBE import tab of the main window: loading a table, its title and
// picture, the refused files and the refreshed preview.
#include "app/core/appinfo.h"
#include "app/widgets/qgraphicsviewmap.h"
#include "app/core/recipe.h"
#include "app/widgets/luttab.h"
#include "app/widgets/previewpane.h"
#include "app/widgets/recipecurvepanels.h"
#include "app/widgets/tonemolder.h"
#include "windowtest.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGraphicsScene>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

// Eight lines of a 2-point table, each its own colour.
constexpr char TableLines[] = "0.1 0.9 0.5\n0.2 0.8 0\n0.3 0.7 1\n0.4 0.6 0.999\n"
                              "0 1 0.5\n0.6 0.4 0.1\n0.7 0.3 0.9\n0.8 0.2 0.5\n";
// The same as the picture shows them, line by line.
const QRgb TablePixels[8] = {qRgb(25, 229, 127), qRgb(51, 204, 0),   qRgb(76, 178, 255), qRgb(102, 153, 254),
                             qRgb(0, 255, 127),  qRgb(153, 102, 25), qRgb(178, 76, 229), qRgb(204, 51, 127)};

}   // namespace

class TonemolderCubeTest : public QObject, protected WindowFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void aTableShowsItsTitleAndPicture();
    void aTableWithoutTitleSaysSo();
    void aLutFileReadsLikeACubeFile();
    void aFileThatIsNoTableIsRefused_data();
    void aFileThatIsNoTableIsRefused();
    void aPathThatIsNoFileIsIgnoredSilently();
    void loadingATableRefreshesThePreview();
    void theTableDialogOffersCubeLutAndAnyFiles();

private:
    QString writeFile(const QString& name, const QByteArray& text);
    QString cubeFileName() const { return window_->recipeFromControls().cubeFile; }

};

void TonemolderCubeTest::initTestCase()
{
    Q_INIT_RESOURCE(tonemolder);
    useOwnSettings();
}

void TonemolderCubeTest::init()
{
    freshSettings();
    makeWindow();
}

void TonemolderCubeTest::cleanup()
{
    closeWindow();
}

QString TonemolderCubeTest::writeFile(const QString& name, const QByteArray& text)
{
    const QString path = files_.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) qWarning("cannot write %s", qPrintable(path));
    file.write(text);
    return path;
}

void TonemolderCubeTest::aTableShowsItsTitleAndPicture()
{
    const QString path =
        writeFile("warm.cube", QByteArray("TITLE \"Warm evening\"\nLUT_3D_SIZE 2\n") + TableLines);
    const BoxSeen box = answeringBoxes([&] { window_->lutTab()->loadCubeFile(path); });
    QVERIFY2(!box.shown, qPrintable(box.text));
    QCOMPARE(child<QLabel>("titleLUT")->text(), QString("Warm evening"));
    QCOMPARE(cubeFileName(), path);

    // One pixel per node, two nodes a row.
    const QImage dump = shownImage(child<QGraphicsViewMap>("imageViewerLUT"));
    QCOMPARE(dump.size(), QSize(2, 4));
    for (int k = 0; k < 8; ++k) QCOMPARE(dump.pixel(k % 2, k / 2), TablePixels[k]);
    QCOMPARE(child<QGraphicsViewMap>("imageViewerLUT")->scene()->sceneRect(), QRectF(0, 0, 2, 4));
}

void TonemolderCubeTest::aTableWithoutTitleSaysSo()
{
    const QString path = writeFile("plain.cube", QByteArray("LUT_3D_SIZE 2\n") + TableLines);
    window_->lutTab()->loadCubeFile(path);
    QCOMPARE(child<QLabel>("titleLUT")->text(), QString("No title"));
    QCOMPARE(cubeFileName(), path);
}

void TonemolderCubeTest::aLutFileReadsLikeACubeFile()
{
    const QString path = writeFile("warm.lut", QByteArray("TITLE \"As a lut\"\nLUT_3D_SIZE 2\n") + TableLines);
    window_->lutTab()->loadCubeFile(path);
    QCOMPARE(child<QLabel>("titleLUT")->text(), QString("As a lut"));
    QCOMPARE(shownImage(child<QGraphicsViewMap>("imageViewerLUT")).pixel(1, 3), TablePixels[7]);
    QCOMPARE(cubeFileName(), path);
}

void TonemolderCubeTest::aFileThatIsNoTableIsRefused_data()
{
    QTest::addColumn<bool>("complain");
    QTest::newRow("complaining") << true;
    QTest::newRow("silent") << false;
}

void TonemolderCubeTest::aFileThatIsNoTableIsRefused()
{
    QFETCH(bool, complain);
    const QString good = writeFile("good.cube", QByteArray("TITLE \"Kept\"\nLUT_3D_SIZE 2\n") + TableLines);
    window_->lutTab()->loadCubeFile(good);
    QCOMPARE(cubeFileName(), good);

    const QString bad = writeFile("bad.cube", "LUT_3D_SIZE 2\n0.1 0.2 0.3\nthis is where the table ends\n");
    const BoxSeen box = answeringBoxes([&] { window_->lutTab()->loadCubeFile(bad, complain); });
    QCOMPARE(box.shown, complain);
    if (complain) {
        QCOMPARE(box.icon, QMessageBox::Critical);
        // The reader's reason follows: the file and the line.
        QVERIFY2(box.text.startsWith(QString("This is not a .CUBE file\n")), qPrintable(box.text));
        QVERIFY2(box.text.contains(bad + ": Line 3"), qPrintable(box.text));
    }
    // The table is gone, and so are its title and picture.
    QVERIFY(cubeFileName().isEmpty());
    QCOMPARE(child<QLabel>("titleLUT")->text(), QString("Select the file to use "));
    QVERIFY(shownImage(child<QGraphicsViewMap>("imageViewerLUT")).isNull());
}

void TonemolderCubeTest::aPathThatIsNoFileIsIgnoredSilently()
{
    const QString good = writeFile("good.cube", QByteArray("LUT_3D_SIZE 2\n") + TableLines);
    window_->lutTab()->loadCubeFile(good);
    for (const QString& path : {files_.filePath("missing.cube"), files_.path(), QString()}) {
        window_->lutTab()->loadCubeFile(good);
        const BoxSeen box = answeringBoxes([&] { window_->lutTab()->loadCubeFile(path); });
        QVERIFY(!box.shown);
        QVERIFY(cubeFileName().isEmpty());
        QCOMPARE(child<QLabel>("titleLUT")->text(), QString("Select the file to use "));
        QVERIFY(shownImage(child<QGraphicsViewMap>("imageViewerLUT")).isNull());
    }
}

void TonemolderCubeTest::loadingATableRefreshesThePreview()
{
    QImage picture(8, 8, QImage::Format_RGB32);
    picture.fill(qRgb(120, 130, 140));
    const QString image = files_.filePath("sample.png");
    QVERIFY(picture.save(image));
    window_->previewPane()->loadImageFile(image);
    QVERIFY(waitForPreview(window_.get()));
    child<QTabWidget>("generator")->setCurrentIndex(1);
    QVERIFY(!child<QCheckBox>("chkLive")->isChecked());

    // Live preview off: the preview is refreshed all the same.
    auto* view = child<QGraphicsViewMap>("imageViewer");
    const BoxSeen box = answeringBoxes([&] {
        window_->lutTab()->loadCubeFile(writeFile("t.cube", QByteArray("LUT_3D_SIZE 2\n") + TableLines));
        QVERIFY(waitForPreview(window_.get()));
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
    QVERIFY(child<QWidget>("btnOriginal")->isEnabled());

    // On the CUBE tab the table's effect shows; a table that fails to load
    // takes it away again.
    child<QTabWidget>("generator")->setCurrentIndex(2);
    window_->lutTab()->loadCubeFile(writeFile("t.cube", QByteArray("LUT_3D_SIZE 2\n") + TableLines));
    QVERIFY(waitForPreview(window_.get()));
    QVERIFY(largestDifference(shownImage(view), picture) > 5);
    answeringBoxes([&] {
        window_->lutTab()->loadCubeFile(writeFile("bad.cube", "LUT_3D_SIZE 2\nnot a table\n"));
        QVERIFY(waitForPreview(window_.get()));
    });
    QVERIFY(largestDifference(shownImage(view), picture) <= 1);
}

void TonemolderCubeTest::theTableDialogOffersCubeLutAndAnyFiles()
{
    bool seen = false;
    QTimer::singleShot(0, this, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        seen = true;
        QCOMPARE(dialog->windowTitle(), QString("Select .cube file to import"));
        QCOMPARE(dialog->nameFilters(),
                 (QStringList{"CUBE files (*.cube)", "LUT files (*.lut)",
                              "3D LUT files (*.cube *.lut *.3dl *.csp *.spi3d *.clf)",
                              "Hald CLUT images (*.png *.tif *.tiff)", "Any files (*)"}));
        dialog->reject();
    });
    window_->lutTab()->loadCUBE();
    QVERIFY(seen);
    QCOMPARE(child<QLabel>("titleLUT")->text(), QString("Select the file to use "));
}

QTEST_MAIN(TonemolderCubeTest)
#include "tonemolder_cube_qtest.moc"
