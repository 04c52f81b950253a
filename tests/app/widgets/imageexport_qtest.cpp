// File ▸ Export image… against the command line's apply of the same chain:
// the same bytes, for each kind of file, with and without a proof.
#include "app/widgets/imageexport.h"
#include "app/widgets/previewpane.h"
#include "curves/widgets/channelmodifier.h"
#include "profiles/widgets/iccprofileselector.h"
#include "windowtest.h"

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QTabWidget>
#include <QtTest>

namespace {

constexpr char PressProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";
// The image's profile from a file: a built-in one is made anew by each
// program, with the time of its making in its header, so two programs
// embed it with different bytes.
constexpr char ImageProfile[] = "/usr/share/color/icc/colord/sRGB.icc";

QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString cliProgram()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/cli/tonemolder-cli");
}

}   // namespace

class ImageExportTest : public QObject, protected WindowFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void theExportIsWhatApplyWrites_data();
    void theExportIsWhatApplyWrites();
    void theMenuOffersTheExport();
};

void ImageExportTest::initTestCase()
{
    Q_INIT_RESOURCE(tonemolder);
    useOwnSettings();
    QVERIFY2(QFile::exists(cliProgram()), qPrintable(cliProgram() + " is not built"));
}

void ImageExportTest::init()
{
    freshSettings();
}

void ImageExportTest::cleanup()
{
    closeWindow();
}

void ImageExportTest::theExportIsWhatApplyWrites_data()
{
    QTest::addColumn<QString>("extension");
    QTest::addColumn<bool>("proofed");
    QTest::newRow("png") << "png" << false;
    QTest::newRow("tif") << "tif" << false;
    QTest::newRow("jpg") << "jpg" << false;
    QTest::newRow("tif through the press") << "tif" << true;
}

void ImageExportTest::theExportIsWhatApplyWrites()
{
    QFETCH(QString, extension);
    QFETCH(bool, proofed);
    if (proofed) {
        settings_->setValue("proofing/enabled", true);
        settings_->setValue("proofing/profile", QString::fromLatin1(PressProfile));
        settings_->setValue("proofing/intent", 2);
    }
    makeWindow();
    QImage picture(48, 32, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) picture.setPixel(x, y, qRgb(x * 5, 60 + y * 4, 200 - x * 2 - y));
    const QString input = files_.filePath("picture.png");
    QVERIFY(picture.save(input));
    window_->previewPane()->loadImageFile(input);
    const QFileInfo imageProfile(ImageProfile);
    QVERIFY(child<ICCProfileSelector>("iccPreviewImage")->setSelection(imageProfile.absolutePath(), imageProfile.fileName()));
    QVERIFY(waitForPreview(window_.get()));

    // A look: gamma 2 on the red of sRGB, shown at full resolution.
    child<ICCProfileSelector>("iccProfile")->selectByName("*srgb");
    child<QTabWidget>("generator")->setCurrentIndex(0);
    auto* red = child<ChannelModifier>("chan_1");
    red->selectFamily(2);
    red->setValue(2.0);
    child<QAction>("action_view_abstract")->trigger();
    QVERIFY(waitForPreview(window_.get()));

    ImageExport* exporter = window_->previewPane()->imageExport();
    const QString exported = files_.filePath("exported." + extension);
    const QString failure = exporter->exportTo(exported);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QVERIFY(!exporter->lookBytes().isEmpty());

    const QString look = files_.filePath("look.icc");
    QFile lookFile(look);
    QVERIFY(lookFile.open(QIODevice::WriteOnly));
    lookFile.write(exporter->lookBytes());
    lookFile.close();
    const QString applied = files_.filePath("applied." + extension);
    QStringList args{"apply", input, "--overwrite", "--source-profile", ImageProfile, "--chain",
                     look + "," + QString::fromLatin1(proofed ? PressProfile : ImageProfile), "-o",
                     applied};
    if (proofed) args << "--intent" << "relative-bpc";
    QProcess cli;
    cli.start(cliProgram(), args);
    QVERIFY(cli.waitForFinished(60000));
    QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());

    const QByteArray a = bytesOf(exported), b = bytesOf(applied);
    QVERIFY(a.size() > 100);
    QVERIFY2(a == b, qPrintable(QString("%1 bytes exported, %2 applied").arg(a.size()).arg(b.size())));
    // The look is in the result: red is darker than in the picture.
    if (extension == "png") {
        const QImage result(exported);
        QVERIFY(qRed(result.pixel(30, 10)) < qRed(picture.pixel(30, 10)) - 20);
    }
}

void ImageExportTest::theMenuOffersTheExport()
{
    makeWindow();
    auto* file = child<QMenu>("menu_File");
    QAction* exportAction = child<QAction>("action_export_image");
    QVERIFY(file->actions().contains(exportAction));
    QCOMPARE(exportAction->text(), QStringLiteral("Export image…"));
}

QTEST_MAIN(ImageExportTest)
#include "imageexport_qtest.moc"
