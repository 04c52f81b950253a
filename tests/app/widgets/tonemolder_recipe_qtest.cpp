// The recipe the main window's controls hold, and the profiles it names.
#include "app/core/appinfo.h"
#include "app/widgets/qgraphicsviewmap.h"
#include "app/core/recipe.h"
#include "app/widgets/luttab.h"
#include "app/widgets/previewpane.h"
#include "app/widgets/proofingtools.h"
#include "app/widgets/recipecurvepanels.h"
#include "app/widgets/tonemolder.h"
#include "curves/widgets/channelmodifier.h"
#include "profiles/widgets/iccprofileselector.h"
#include "windowtest.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGraphicsScene>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString ProfileFolder = QStringLiteral("/usr/share/color/icc/ghostscript");
const QString PressProfile = QStringLiteral("default_cmyk.icc");

}   // namespace

class TonemolderRecipeTest : public QObject, protected WindowFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void aNewDocumentIsTheNewRecipe();
    void everyControlGoesIntoTheRecipe();
    void aProfileOfAFolderIsNamedByItsFileAndStillBuilds();
    void aProfileThatCannotBeOpenedIsReported();

private:

};

void TonemolderRecipeTest::initTestCase()
{
    Q_INIT_RESOURCE(tonemolder);
    useOwnSettings();
}

void TonemolderRecipeTest::init()
{
    freshSettings();
    makeWindow();
}

void TonemolderRecipeTest::cleanup()
{
    closeWindow();
}

void TonemolderRecipeTest::aNewDocumentIsTheNewRecipe()
{
    const Recipe fresh;
    const Recipe read = window_->recipeFromControls();
    QCOMPARE(read.description, fresh.description);
    QCOMPARE(read.copyright, fresh.copyright);
    QCOMPARE(read.tab, RecipeTab::Softproof);
    QCOMPARE(read.softproofProfile, QString("*srgb"));
    QCOMPARE(read.lutProfile, QString("*srgb"));
    QVERIFY(read.cubeFile.isEmpty());
    QVERIFY(read.resolution == ResolutionPreferences{});
    QVERIFY(read.sourceConditions);
    QCOMPARE(read.sourceConditions->name, QString("ICC Standard"));
    QVERIFY(!read.separateDestination);
    // The same text as a new recipe: the same neutral curves and choices.
    QCOMPARE(recipeToText(read), recipeToText(fresh));
}

void TonemolderRecipeTest::everyControlGoesIntoTheRecipe()
{
    settings_->setValue("icc/version", 1);
    settings_->setValue("icc/grid_lstar", 33);
    settings_->setValue("icc/grid_abstar", 9);
    settings_->setValue("icc/grid_curves", 2048);
    settings_->setValue("icc/sigmoid_sh", 5.5);

    child<QLineEdit>("edit_description")->setText("Warmer press");
    child<QLineEdit>("edit_copyright")->setText("Mine");
    QVERIFY(child<ICCProfileSelector>("iccProfile")->setSelection(ProfileFolder, PressProfile));
    child<QComboBox>("comboIntent")->setCurrentIndex(2);
    auto* yellow = child<ChannelModifier>("chan_3");
    yellow->selectFamily(2);
    yellow->setValue(1.7);
    child<QComboBox>("comboSourceVC")->setCurrentIndex(4);
    child<QComboBox>("comboDestVC")->setCurrentIndex(6);
    child<QCheckBox>("cbDestVC")->setChecked(true);
    auto* chroma = child<ChannelModifier>("corr_2");
    chroma->findChild<QComboBox*>("comboCorrelates")->setCurrentIndex(1);
    chroma->selectFamily(4);
    chroma->setValue(2.5);
    QVERIFY(child<ICCProfileSelector>("iccProfileLUT")->selectByName("*argb"));
    child<QComboBox>("comboIntentLUT")->setCurrentIndex(3);
    const QString table = files_.filePath("t.cube");
    {
        QFile file(table);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("LUT_3D_SIZE 2\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n");
    }
    window_->lutTab()->loadCubeFile(table);
    child<QTabWidget>("generator")->setCurrentIndex(2);

    const Recipe r = window_->recipeFromControls();
    QCOMPARE(r.description, QString("Warmer press"));
    QCOMPARE(r.copyright, QString("Mine"));
    QCOMPARE(r.tab, RecipeTab::CubeImport);
    QCOMPARE(r.resolution.versionIndex, 1);
    QCOMPARE(r.resolution.gridLstar, 33);
    QCOMPARE(r.resolution.gridAbstar, 9);
    QCOMPARE(r.resolution.gridCurves, 2048);
    QCOMPARE(r.resolution.sigmoidShape, 5.5);

    QCOMPARE(r.softproofProfile, PressProfile);
    QCOMPARE(r.softproofIntent, 2);
    QCOMPARE(r.channels[2].family(), CurveFamily::Gamma);
    QCOMPARE(r.channels[2].value(), 1.7);
    for (int i : {0, 1, 3}) QCOMPARE(r.channels[size_t(i)].family(), CurveFamily::Preserve);
    const char* channels[4] = {"chan_1", "chan_2", "chan_3", "chan_4"};
    for (int i = 0; i < 4; ++i)
        QCOMPARE(r.channels[size_t(i)].toStateString(), child<ChannelModifier>(channels[i])->toStateString());

    QVERIFY(r.sourceConditions && r.destConditions);
    QCOMPARE(r.sourceConditions->name, QString("Monitor in typical work environment"));
    QCOMPARE(r.destConditions->name, QString("Monitor in darkened work environment"));
    QVERIFY(r.separateDestination);
    QCOMPARE(r.correlates[1].correlateIndex(), 1);
    QCOMPARE(r.correlates[1].family(), CurveFamily::Sigmoidal);
    QCOMPARE(r.correlates[1].value(), 2.5);
    QCOMPARE(r.correlateFlags(), 0x10u);

    QCOMPARE(r.lutProfile, QString("*argb"));
    QCOMPARE(r.lutIntent, 3);
    QCOMPARE(r.cubeFile, table);
}

void TonemolderRecipeTest::aProfileOfAFolderIsNamedByItsFileAndStillBuilds()
{
    QVERIFY(child<ICCProfileSelector>("iccProfile")->setSelection(ProfileFolder, PressProfile));
    QCOMPARE(window_->recipeFromControls().softproofProfile, PressProfile);

    QImage picture(8, 8, QImage::Format_RGB32);
    picture.fill(qRgb(30, 90, 200));
    const QString image = files_.filePath("blue.png");
    QVERIFY(picture.save(image));
    window_->previewPane()->loadImageFile(image);
    child<QTabWidget>("generator")->setCurrentIndex(0);
    child<QComboBox>("comboIntent")->setCurrentIndex(1);
    const BoxSeen box = answeringBoxes([&] {
        window_->previewPane()->proofImage();
        QVERIFY(waitForPreview(window_.get()));
    });
    QVERIFY2(!box.shown, qPrintable(box.text));
    // A saturated blue seen through a press: duller.
    const QRgb proofed = shownImage(child<QGraphicsViewMap>("imageViewer")).pixel(4, 4);
    QVERIFY(qBlue(proofed) < 190);
}

void TonemolderRecipeTest::aProfileThatCannotBeOpenedIsReported()
{
    // A profile selected from a folder, then the folder's file is gone.
    QFile::copy(ProfileFolder + "/" + PressProfile, files_.filePath("press.icc"));
    QVERIFY(child<ICCProfileSelector>("iccProfile")->setSelection(files_.path(), "press.icc"));
    QVERIFY(QFile::remove(files_.filePath("press.icc")));
    // Not proofed against the press the tab names (which the preview does
    // by default), so that the image shows as it is.
    settings_->setValue("proofing/enabled", false);
    settings_->setValue("proofing/profile", QString());
    window_->previewPane()->proofingTools()->takeSettings();

    QImage picture(4, 4, QImage::Format_RGB32);
    picture.fill(qRgb(100, 100, 100));
    QVERIFY(picture.save(files_.filePath("gray.png")));
    window_->previewPane()->loadImageFile(files_.filePath("gray.png"));
    QVERIFY(waitForPreview(window_.get()));
    const BoxSeen box = answeringBoxes([&] {
        window_->previewPane()->proofImage();
        QVERIFY(waitForPreview(window_.get()));
    });
    // What is wrong, and with which file; the image as it is meanwhile.
    QCOMPARE(box.count, 1);
    QCOMPARE(box.text, QString("The color space for adjusts cannot be opened: press.icc\nChoose another one."));
    QCOMPARE(shownImage(child<QGraphicsViewMap>("imageViewer")).pixel(2, 2), qRgb(100, 100, 100));
    QVERIFY(child<QWidget>("btnOriginal")->isEnabled());
}

QTEST_MAIN(TonemolderRecipeTest)
#include "tonemolder_recipe_qtest.moc"
