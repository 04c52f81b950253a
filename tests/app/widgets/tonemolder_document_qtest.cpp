// The recipe document through the main window's own menus and dialogs, the
// dialogs answered as a user would: saving, opening and re-editing each
// recipe, the messages of every failure, the question before unsaved work is
// dropped, the recent profiles, undo and redo, and the command line.
#include "app/core/document.h"
#include "app/core/previewmodel.h"
#include "app/widgets/qgraphicsviewmap.h"
#include "app/widgets/tonemolder.h"
#include "cam16/widgets/viewingconditions.h"
#include "curves/widgets/channelmodifier.h"
#include "curves/core/curvefamily.h"
#include "profiles/widgets/iccprofileselector.h"
#include "tests/app/widgets/profilebytes.h"
#include "tests/failing_files.h"
#include "tools/core/toolfiles.h"
#include "window_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>

#include <memory>

Q_DECLARE_METATYPE(ResolutionPreferences)

using namespace WindowTest;

namespace {

const QString ProfileFolder = QStringLiteral("/usr/share/color/icc/ghostscript");
const QString PressProfile = QStringLiteral("default_cmyk.icc");
const QString Title = QStringLiteral("Osterlane Color Tonemolder");

// A two-point table: a warm tint.
constexpr char WarmTable[] = "TITLE \"Warm\"\nLUT_3D_SIZE 2\n0.1 0 0\n1 0 0\n0.1 1 0\n1 1 0\n"
                             "0.1 0 1\n1 0 1\n0.1 1 1\n1 1 1\n";
constexpr char CoolTable[] = "TITLE \"Cool\"\nLUT_3D_SIZE 2\n0 0 0.1\n1 0 0.1\n0 1 0.1\n1 1 0.1\n"
                             "0 0 1\n1 0 1\n0 1 1\n1 1 1\n";

enum class Kind { Softproof, Cam16, Cube };

}   // namespace

class TonemolderDocumentTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void eachRecipeComesBackAsSaved_data();
    void eachRecipeComesBackAsSaved();
    void viewingConditionsEditedFromTheWindowTravelWithTheRecipe();
    void profileVersionFromPreferencesReachesTheFile_data();
    void profileVersionFromPreferencesReachesTheFile();
    void openRefusesWhatItCannotEdit_data();
    void openRefusesWhatItCannotEdit();
    void openWarnsAboutWhatThisMachineLacks_data();
    void openWarnsAboutWhatThisMachineLacks();
    void openAsksAboutAnotherResolution_data();
    void openAsksAboutAnotherResolution();
    void aFailedSaveLeavesTheFileAsItWas_data();
    void aFailedSaveLeavesTheFileAsItWas();
    void closePromptDoesWhatItsAnswersSay_data();
    void closePromptDoesWhatItsAnswersSay();
    void recentProfilesReopenAndForgetMissingFiles();
    void undoAndRedoWalkThroughChangesOnEveryTab();
    void aSliderDragIsOneStep();
    void theCommandLineOpensProfilesAndImages();

private:
    template <class T> T* child(const char* name) const { return WindowTest::child<T>(window_.get(), name); }
    QAction* action(const char* name) const { return child<QAction>(name); }
    QString path(const QString& name) const { return files_->filePath(name); }
    // The controls as a user sees them, one entry per control.
    QStringList controlState() const;
    void setUpRecipe(Kind kind);
    void loadTableWithTheButton(const QString& table);
    // File ▸ Save as... to `file`; the message boxes seen.
    QList<Box> saveAs(const QString& file);
    QList<Box> open(const QString& file, QMessageBox::StandardButton unsavedAnswer = QMessageBox::NoButton);
    // A saved recipe file made without the window.
    QString savedRecipe(const QString& name, const Recipe& recipe, const ResolutionPreferences& res = {});
    QByteArray builtTables();

    QTemporaryDir configDir_;
    std::unique_ptr<QTemporaryDir> files_;
    std::unique_ptr<QSettings> settings_;
    std::unique_ptr<Tonemolder> window_;
};

void TonemolderDocumentTest::initTestCase()
{
    Q_INIT_RESOURCE(tonemolder);
    QVERIFY(configDir_.isValid());
    useSettingsIn(configDir_);
    QVERIFY(registerCurveFamilyPlugin());
}

void TonemolderDocumentTest::init()
{
    files_ = std::make_unique<QTemporaryDir>();
    QVERIFY(files_->isValid());
    settings_ = std::make_unique<QSettings>();
    settings_->clear();
    settings_->setValue("monitor_sRGB", true);
    // The fixtures are built at a coarse resolution: quick, and enough to tell tables apart.
    storeResolutionPreferences(*settings_, {0, 9, 7, 256, 3.0});
    window_ = std::make_unique<Tonemolder>(settings_.get());
}

void TonemolderDocumentTest::cleanup()
{
    window_.reset();
    settings_.reset();
    files_.reset();
}

QStringList TonemolderDocumentTest::controlState() const
{
    QStringList s;
    s << child<QLineEdit>("edit_description")->text() << child<QLineEdit>("edit_copyright")->text()
      << QString::number(child<QTabWidget>("generator")->currentIndex())
      << child<ICCProfileSelector>("iccProfile")->currentName()
      << QString::number(child<QComboBox>("comboIntent")->currentIndex());
    for (const char* name : {"chan_1", "chan_2", "chan_3", "chan_4", "corr_1", "corr_2", "corr_3"})
        s << QString("%1 %2").arg(name, child<ChannelModifier>(name)->toStateString());
    for (const char* name : {"comboSourceVC", "comboDestVC"})
        s << QString("%1 %2").arg(child<QComboBox>(name)->currentIndex()).arg(child<QComboBox>(name)->currentText());
    s << QString::number(child<QCheckBox>("cbDestVC")->isChecked())
      << child<ICCProfileSelector>("iccProfileLUT")->currentName()
      << QString::number(child<QComboBox>("comboIntentLUT")->currentIndex()) << child<QLabel>("titleLUT")->text()
      << QString::number(child<QGraphicsViewMap>("imageViewerLUT")->imageScene() != nullptr)
      << window_->recipeFromControls().cubeFile;
    return s;
}

void TonemolderDocumentTest::loadTableWithTheButton(const QString& table)
{
    Answers answers;
    answers.file(table);
    answers.run([&] { QTest::mouseClick(child<QPushButton>("selectLUTbutton"), Qt::LeftButton); });
    QVERIFY(answers.allUsed());
}

void TonemolderDocumentTest::setUpRecipe(Kind kind)
{
    child<QLineEdit>("edit_description")->setText("Look " + QString::number(int(kind)));
    child<QLineEdit>("edit_copyright")->setText("Mine");
    switch (kind) {
    case Kind::Softproof: {
        QVERIFY(child<ICCProfileSelector>("iccProfile")->setSelection(ProfileFolder, PressProfile));
        child<QComboBox>("comboIntent")->setCurrentIndex(2);
        auto* cyan = child<ChannelModifier>("chan_1");
        cyan->selectFamily(int(CurveFamily::Gamma));
        cyan->setValue(1.4);
        child<ChannelModifier>("chan_2")->selectFamily(int(CurveFamily::Tabulated));
        child<ChannelModifier>("chan_2")->setUserData(true, 1.5, {0.f, 0.2f, 0.45f, 1.f});
        auto* yellow = child<ChannelModifier>("chan_3");
        yellow->selectFamily(int(CurveFamily::Sigmoidal));
        yellow->setValue(2.5);
        yellow->setOffset(0.1);
        child<ChannelModifier>("chan_4")->selectFamily(int(CurveFamily::PointList));
        child<ChannelModifier>("chan_4")->setUserData(false, {{0.f, 0.f}, {50.f, 40.f}, {100.f, 100.f}});
        child<QTabWidget>("generator")->setCurrentIndex(0);
        break;
    }
    case Kind::Cam16: {
        child<QTabWidget>("generator")->setCurrentIndex(1);
        child<QComboBox>("comboSourceVC")->setCurrentIndex(4);
        child<QCheckBox>("cbDestVC")->setChecked(true);
        child<QComboBox>("comboDestVC")->setCurrentIndex(6);
        auto* lightness = child<ChannelModifier>("corr_1");
        lightness->findChild<QComboBox*>("comboCorrelates")->setCurrentIndex(1);
        lightness->selectFamily(int(CurveFamily::Gamma));
        lightness->setValue(0.8);
        auto* chroma = child<ChannelModifier>("corr_2");
        chroma->findChild<QComboBox*>("comboCorrelates")->setCurrentIndex(2);
        chroma->selectFamily(int(CurveFamily::Sigmoidal));
        chroma->setValue(1.5);
        child<ChannelModifier>("corr_3")->selectFamily(int(CurveFamily::Offset));
        child<ChannelModifier>("corr_3")->setValue(0.05);
        break;
    }
    case Kind::Cube:
        QVERIFY(writeFile(path("warm.cube"), WarmTable));
        QVERIFY(child<ICCProfileSelector>("iccProfileLUT")->selectByName("*argb"));
        child<QComboBox>("comboIntentLUT")->setCurrentIndex(1);
        loadTableWithTheButton(path("warm.cube"));
        child<QTabWidget>("generator")->setCurrentIndex(2);
        break;
    }
}

QList<Box> TonemolderDocumentTest::saveAs(const QString& file)
{
    Answers answers;
    answers.file(file);
    answers.run([&] { action("actionSave_as")->trigger(); });
    if (!answers.allUsed()) qWarning("the save dialog was not answered as expected");
    return answers.boxes;
}

QList<Box> TonemolderDocumentTest::open(const QString& file, QMessageBox::StandardButton unsavedAnswer)
{
    Answers answers;
    if (unsavedAnswer != QMessageBox::NoButton) answers.box(unsavedAnswer);
    answers.file(file);
    for (int i = 0; i < 3; ++i) answers.box();   // the warnings that may follow
    answers.run([&] { action("actionOpen")->trigger(); });
    if (answers.unexpected) qWarning("more dialogs than expected");
    return answers.boxes;
}

QString TonemolderDocumentTest::savedRecipe(const QString& name, const Recipe& recipe, const ResolutionPreferences& res)
{
    const QString file = path(name);
    const SaveOutcome saved = saveRecipeProfile(file, recipe, res);
    if (!saved.ok) qWarning("%s", qPrintable(saved.messages.join('\n')));
    return file;
}

// The tables of the profile the window's recipe builds now.
QByteArray TonemolderDocumentTest::builtTables()
{
    BuildResult built = buildRecipe(window_->recipeFromControls(), resolutionPreferences(*settings_),
                                    window_->selectedProfileOpener());
    return built.ok() ? tables(profileBytes(built.profile.get())) : QByteArray();
}

// ---------------------------------------------------------------------------

void TonemolderDocumentTest::eachRecipeComesBackAsSaved_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::newRow("softproofing") << Kind::Softproof;
    QTest::newRow("cie cam16") << Kind::Cam16;
    QTest::newRow("cube import") << Kind::Cube;
}

void TonemolderDocumentTest::eachRecipeComesBackAsSaved()
{
    QFETCH(Kind, kind);
    setUpRecipe(kind);
    QVERIFY(!window_->isSaved());

    const QString file = path("look.icc");
    QCOMPARE(saveAs(path("look")), QList<Box>{});   // the suffix is added
    QVERIFY(window_->isSaved());
    QCOMPARE(window_->windowTitle(), Title + " - " + file);
    const QStringList saved = controlState();
    const QByteArray savedTables = tables(fileBytes(file));
    QVERIFY(!tagData(fileBytes(file), "A2B0").isEmpty());
    QVERIFY(!tagData(fileBytes(file), "D2B0").isEmpty());
    const RecipeReadResult inFile = readRecipeFromFile(file);
    QVERIFY(inFile.ok());
    QCOMPARE(int(inFile.recipe.tab), int(kind));

    // A new document, and everything New leaves alone changed as well.
    action("actionNew")->trigger();
    QCOMPARE(window_->windowTitle(), Title);
    QVERIFY(child<ICCProfileSelector>("iccProfile")->selectByName("*gray22"));
    QVERIFY(child<ICCProfileSelector>("iccProfileLUT")->selectByName("*prophoto"));
    QVERIFY(writeFile(path("cool.cube"), CoolTable));
    loadTableWithTheButton(path("cool.cube"));
    child<QTabWidget>("generator")->setCurrentIndex((int(kind) + 1) % 3);
    QVERIFY(controlState() != saved);

    QCOMPARE(open(file, QMessageBox::No), QList<Box>{question(DocumentText::Unsaved)});
    QCOMPARE(controlState(), saved);
    QCOMPARE(window_->windowTitle(), Title + " - " + file);
    QVERIFY(window_->isSaved());
    QCOMPARE(builtTables(), savedTables);
}

void TonemolderDocumentTest::viewingConditionsEditedFromTheWindowTravelWithTheRecipe()
{
    child<QTabWidget>("generator")->setCurrentIndex(1);
    child<QComboBox>("comboSourceVC")->setCurrentIndex(2);
    // "..." beside the source: clone the preset as "Studio", brighter, and save it.
    Answers edit;
    edit.then([](QWidget* editor) {
            QCOMPARE(WindowTest::child<QComboBox>(editor, "comboPreset")->currentIndex(), 2);
            QTest::mouseClick(WindowTest::child<QPushButton>(editor, "btnAdd"), Qt::LeftButton);
            WindowTest::child<QDoubleSpinBox>(editor, "editLa")->setValue(200);
            QTest::mouseClick(WindowTest::child<QPushButton>(editor, "btnSave"), Qt::LeftButton);
        })
        .then([](QWidget* ask) {
            auto* input = qobject_cast<QInputDialog*>(ask);
            QVERIFY(input);
            input->setTextValue("Studio");
            input->accept();
        });
    edit.run([&] { QTest::mouseClick(child<QPushButton>("btnEditSrcVC"), Qt::LeftButton); });
    QVERIFY(edit.allUsed());
    for (const char* name : {"comboSourceVC", "comboDestVC"}) QCOMPARE(child<QComboBox>(name)->count(), 12);
    QCOMPARE(child<QComboBox>("comboSourceVC")->currentText(), QString("Studio"));
    QCOMPARE(child<QComboBox>("comboDestVC")->currentIndex(), 0);
    QVERIFY(action("actionUndo")->isEnabled());

    QCOMPARE(saveAs(path("studio.icc")), QList<Box>{});

    // On a machine that does not know "Studio", opening adds it to the presets.
    window_.reset();
    settings_->remove("vclist");
    window_ = std::make_unique<Tonemolder>(settings_.get());
    QCOMPARE(child<QComboBox>("comboSourceVC")->count(), 11);
    QCOMPARE(open(path("studio.icc")), QList<Box>{});
    for (const char* name : {"comboSourceVC", "comboDestVC"}) QCOMPARE(child<QComboBox>(name)->count(), 12);
    QCOMPARE(child<QComboBox>("comboSourceVC")->currentText(), QString("Studio"));
    QVERIFY(!child<QCheckBox>("cbDestVC")->isChecked());
    const Recipe r = window_->recipeFromControls();
    QVERIFY(r.sourceConditions);
    QCOMPARE(r.sourceConditions->values.La, 200.0);
}

void TonemolderDocumentTest::profileVersionFromPreferencesReachesTheFile_data()
{
    QTest::addColumn<int>("choice");
    QTest::addColumn<quint32>("version");
    QTest::addColumn<QByteArray>("tableType");
    QTest::addColumn<QByteArray>("floatTableType");   // empty: none
    QTest::newRow("v2.1") << 1 << quint32(0x02100000) << QByteArray("mft2") << QByteArray();
    QTest::newRow("v4.3") << 0 << quint32(0x04300000) << QByteArray("mAB ") << QByteArray("mpet");
}

void TonemolderDocumentTest::profileVersionFromPreferencesReachesTheFile()
{
    QFETCH(int, choice);
    QFETCH(quint32, version);
    QFETCH(QByteArray, tableType);
    QFETCH(QByteArray, floatTableType);

    // Start from the other version, so the choice has to reach the file.
    settings_->setValue("icc/version", 1 - choice);
    Answers preferences;
    preferences.then([choice](QWidget* dialog) {
        WindowTest::child<QComboBox>(dialog, "comboProfileVersion")->setCurrentIndex(choice);
        QTest::mouseClick(WindowTest::child<QPushButton>(dialog, "okButton"), Qt::LeftButton);
    });
    preferences.run([&] { action("actionPreferences")->trigger(); });
    QVERIFY(preferences.allUsed());

    QCOMPARE(saveAs(path("v.icc")), QList<Box>{});
    const QByteArray icc = fileBytes(path("v.icc"));
    QCOMPARE(be32(icc, 8), version);
    QCOMPARE(tagData(icc, "A2B0").left(4), tableType);
    QCOMPARE(tagData(icc, "D2B0").left(4), floatTableType);
    QCOMPARE(readRecipeFromFile(path("v.icc")).recipe.resolution.versionIndex, choice);
}

void TonemolderDocumentTest::openRefusesWhatItCannotEdit_data()
{
    QTest::addColumn<QByteArray>("content");   // empty: a profile of another program
    QTest::addColumn<QString>("message");
    QTest::newRow("not a profile") << QByteArray("LUT_3D_SIZE 2\n") << QString(RecipeText::InvalidProfile);
    QTest::newRow("cut short") << QByteArray(200, 'a') << QString(RecipeText::InvalidProfile);
    QTest::newRow("no recipe") << QByteArray() << QString(RecipeText::NotOurs);
    QTest::newRow("newer version") << QByteArray("2.0")
                                   << "This profile was created by tonemolder version 2, and this program is "
                                      "version 1.9.\n\nPlease update this program to open it.";
}

void TonemolderDocumentTest::openRefusesWhatItCannotEdit()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);

    QString file = path("other.icc");
    if (content.isEmpty()) {
        file = ProfileFolder + "/" + PressProfile;
    } else if (content == "2.0") {
        // A recipe profile whose program version reads 2.0.
        QByteArray icc = fileBytes(savedRecipe("newer.icc", Recipe()));
        const qsizetype at = icc.indexOf("TONEMOLDER_VERSION\t\"1.9\"");
        QVERIFY(at > 0);
        icc.replace(at + 20, 3, "2.0");
        QVERIFY(writeFile(file, icc));
    } else {
        QVERIFY(writeFile(file, content));
    }
    child<QLineEdit>("edit_description")->setText("Kept");
    const QStringList before = controlState();

    QCOMPARE(open(file, QMessageBox::No), (QList<Box>{question(DocumentText::Unsaved), critical(message)}));
    QCOMPARE(controlState(), before);
    QCOMPARE(window_->windowTitle(), Title);
    QVERIFY(!window_->isSaved());
}

void TonemolderDocumentTest::openWarnsAboutWhatThisMachineLacks_data()
{
    QTest::addColumn<QString>("lacking");
    QTest::newRow("softproofing profile") << "softproofing profile";
    QTest::newRow("cube file") << "cube file";
    QTest::newRow("table's colour space") << "table space";
}

void TonemolderDocumentTest::openWarnsAboutWhatThisMachineLacks()
{
    QFETCH(QString, lacking);
    Recipe r;
    QString message;
    if (lacking == "softproofing profile") {
        QVERIFY(QFile::copy(ProfileFolder + "/" + PressProfile, path("press.icc")));
        r.softproofProfile = path("press.icc");
        message = DocumentText::SoftproofMissing;
    } else if (lacking == "cube file") {
        r.tab = RecipeTab::CubeImport;
        QVERIFY(writeFile(path("warm.cube"), WarmTable));
        r.cubeFile = path("warm.cube");
        message = QString(DocumentText::CubeMissing).arg(r.cubeFile);
    } else {
        r.lutProfile = "somebody's rgb.icc";
        message = QString(DocumentText::LutSpaceMissing).arg(r.lutProfile);
    }
    r.description = "Elsewhere";
    // Saved with a profile from a folder this machine's selector does not
    // show, or with a table that has moved since (the table's space is only
    // named: the recipe of the first tab does not use it).
    const QString file = savedRecipe("elsewhere.icc", r, resolutionPreferences(*settings_));
    if (lacking != "table space") QVERIFY(QFile::remove(lacking == "cube file" ? r.cubeFile : r.softproofProfile));

    QCOMPARE(open(file), QList<Box>{critical(message)});
    QCOMPARE(child<QLineEdit>("edit_description")->text(), QString("Elsewhere"));
    if (lacking == "softproofing profile") {
        QCOMPARE(child<ICCProfileSelector>("iccProfile")->currentIndex(), 0);
    } else if (lacking == "table space") {
        QCOMPARE(child<ICCProfileSelector>("iccProfileLUT")->currentIndex(), 0);
    } else {
        QVERIFY(window_->recipeFromControls().cubeFile.isEmpty());
        QCOMPARE(child<QLabel>("titleLUT")->text(), QString("Select the file to use "));
    }
    // Saving now would not write what the file holds.
    QVERIFY(!window_->isSaved());
    QCOMPARE(window_->windowTitle(), Title + " - " + file);
}

void TonemolderDocumentTest::openAsksAboutAnotherResolution_data()
{
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::addColumn<ResolutionPreferences>("saved");
    QTest::addColumn<ResolutionPreferences>("theirs");   // as read: grids of 0 and 3 as 7, curve points of 0 as 16
    const ResolutionPreferences coarse{1, 0, 3, 0, 2.5}, coarseRead{1, 7, 7, 16, 2.5};
    // The defaults of earlier versions of the program.
    const ResolutionPreferences earlier{0, 23, 17, 1024, 3.0};
    QTest::newRow("take the profile's") << QMessageBox::Yes << coarse << coarseRead;
    QTest::newRow("keep mine") << QMessageBox::No << coarse << coarseRead;
    QTest::newRow("earlier defaults, take them") << QMessageBox::Yes << earlier << earlier;
    QTest::newRow("earlier defaults, keep mine") << QMessageBox::No << earlier << earlier;
}

void TonemolderDocumentTest::openAsksAboutAnotherResolution()
{
    QFETCH(QMessageBox::StandardButton, answer);
    QFETCH(ResolutionPreferences, saved);
    QFETCH(ResolutionPreferences, theirs);
    const ResolutionPreferences mine = resolutionPreferences(*settings_);
    const QString file = savedRecipe("other.icc", Recipe(), saved);

    Answers answers;
    answers.file(file).box(answer);
    answers.run([&] { action("actionOpen")->trigger(); });
    QVERIFY(answers.allUsed());
    QCOMPARE(answers.boxes, QList<Box>{question(RecipeText::ResolutionQuestion)});
    const bool taken = answer == QMessageBox::Yes;
    QVERIFY(resolutionPreferences(*settings_) == (taken ? theirs : mine));
    QCOMPARE(window_->isSaved(), taken);
}

void TonemolderDocumentTest::aFailedSaveLeavesTheFileAsItWas_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("message");   // then the file system's reason, if any
    QTest::newRow("read-only folder") << "read-only" << QString(DocumentText::CannotWrite);
    QTest::newRow("disk full") << "full" << QString(RecipeText::SaveFailed) + "\n";
    QTest::newRow("nothing to build") << "no table" << QString(RecipeText::SaveFailed);
}

void TonemolderDocumentTest::aFailedSaveLeavesTheFileAsItWas()
{
    QFETCH(QString, failure);
    QFETCH(QString, message);

    const QString folder = path("out");
    QVERIFY(QDir().mkpath(folder));
    const QString file = folder + "/look.icc";
    QVERIFY(writeFile(file, "the profile saved before"));
    if (failure == "no table") child<QTabWidget>("generator")->setCurrentIndex(2);
    child<QLineEdit>("edit_description")->setText("Changed");

    Answers answers;
    answers.file(file).box(QMessageBox::Yes).box();   // replace the file: yes
    const auto save = [&] { answers.run([&] { action("actionSave_as")->trigger(); }); };
    if (failure == "read-only") {
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        const WithoutDacOverride asAUser;
        save();
    } else if (failure == "full") {
        const FileSizeLimit limit(1000);
        save();
    } else {
        save();
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QVERIFY(answers.allUsed());
    QCOMPARE(answers.boxes.size(), 2);
    const Box failed = answers.boxes.last();
    QCOMPARE(failed.icon, QMessageBox::Critical);
    QVERIFY2(failed.text.startsWith(message) && (failed.text == message) == (failure == "no table"),
             qPrintable(failed.text));
    QCOMPARE(fileBytes(file), QByteArray("the profile saved before"));
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"look.icc"});   // no leftovers
    QVERIFY(!window_->isSaved());
    QCOMPARE(window_->windowTitle(), Title);
}

void TonemolderDocumentTest::closePromptDoesWhatItsAnswersSay_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::addColumn<bool>("chooseFile");
    QTest::addColumn<bool>("left");      // the window closed, or the new document came
    QTest::addColumn<bool>("written");
    QTest::newRow("quit: yes saves, then quits") << "action_Quit" << QMessageBox::Yes << true << true << true;
    QTest::newRow("quit: yes, but no file chosen") << "action_Quit" << QMessageBox::Yes << false << false << false;
    QTest::newRow("quit: no quits without saving") << "action_Quit" << QMessageBox::No << false << true << false;
    QTest::newRow("quit: cancel stays") << "action_Quit" << QMessageBox::Cancel << false << false << false;
    QTest::newRow("new: yes saves, then starts anew") << "actionNew" << QMessageBox::Yes << true << true << true;
    QTest::newRow("new: no drops the work") << "actionNew" << QMessageBox::No << false << true << false;
    QTest::newRow("new: cancel keeps the work") << "actionNew" << QMessageBox::Cancel << false << false << false;
}

void TonemolderDocumentTest::closePromptDoesWhatItsAnswersSay()
{
    QFETCH(QString, action);
    QFETCH(QMessageBox::StandardButton, answer);
    QFETCH(bool, chooseFile);
    QFETCH(bool, left);
    QFETCH(bool, written);

    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    Answers none;   // nothing to save, nothing asked
    none.run([&] { QVERIFY(window_->close()); });
    QCOMPARE(none.boxes, QList<Box>{});
    window_->show();
    child<QLineEdit>("edit_description")->setText("Unsaved work");

    Answers answers;
    answers.box(answer);
    if (answer == QMessageBox::Yes) chooseFile ? answers.file(path("work.icc")) : answers.cancel();
    answers.run([&] { this->action(qPrintable(action))->trigger(); });
    QVERIFY(answers.allUsed());
    QCOMPARE(answers.boxes.first(), question(DocumentText::Unsaved));
    QCOMPARE(QFile::exists(path("work.icc")), written);
    if (written) QCOMPARE(readRecipeFromFile(path("work.icc")).recipe.description, QString("Unsaved work"));
    if (action == "action_Quit") {
        QCOMPARE(window_->isVisible(), !left);
    } else {
        QCOMPARE(child<QLineEdit>("edit_description")->text(), left ? "New abstract profile" : "Unsaved work");
        QCOMPARE(window_->isSaved(), left);
    }
}

void TonemolderDocumentTest::recentProfilesReopenAndForgetMissingFiles()
{
    QStringList made;
    for (int i = 0; i < 10; ++i) {
        Recipe r;
        r.description = QString("Look %1").arg(i);
        made << savedRecipe(QString("look%1.icc").arg(i), r, resolutionPreferences(*settings_));
        QCOMPARE(open(made.last()), QList<Box>{});
    }
    auto* recent = child<QMenu>("menuRecent");
    QStringList listed;
    for (QAction* a : recent->actions()) listed << a->data().toString();
    QStringList expected;
    for (int i = 9; i >= 2; --i) expected << made[i];
    QCOMPARE(listed, expected);   // the eight last, newest first

    // The oldest listed, reopened from the menu.
    recent->actions().last()->trigger();
    QCOMPARE(child<QLineEdit>("edit_description")->text(), QString("Look 2"));
    QCOMPARE(recent->actions().first()->data().toString(), made[2]);

    QVERIFY(QFile::remove(made[5]));
    Answers answers;
    answers.box();
    answers.run([&] {
        for (QAction* a : recent->actions())
            if (a->data().toString() == made[5]) a->trigger();
    });
    QCOMPARE(answers.boxes, QList<Box>{critical(QString(DocumentText::RecentMissing).arg(made[5]))});
    QCOMPARE(recent->actions().size(), 7);
    QCOMPARE(child<QLineEdit>("edit_description")->text(), QString("Look 2"));
}

void TonemolderDocumentTest::undoAndRedoWalkThroughChangesOnEveryTab()
{
    QVERIFY(writeFile(path("warm.cube"), WarmTable));
    const QList<std::function<void()>> changes{
        [&] { child<QLineEdit>("edit_description")->setText("Step"); },
        [&] { QVERIFY(child<ICCProfileSelector>("iccProfile")->setSelection(ProfileFolder, PressProfile)); },
        [&] { child<QComboBox>("comboIntent")->setCurrentIndex(1); },
        [&] { child<ChannelModifier>("chan_4")->selectFamily(int(CurveFamily::Gamma)); },
        [&] { child<ChannelModifier>("chan_4")->setValue(2.2); },
        [&] { child<ChannelModifier>("chan_4")->findChild<QAbstractButton*>("lockButton")->click(); },
        [&] { child<QTabWidget>("generator")->setCurrentIndex(1); },
        [&] { child<QComboBox>("comboSourceVC")->setCurrentIndex(3); },
        [&] { child<QCheckBox>("cbDestVC")->setChecked(true); },
        [&] { child<QComboBox>("comboDestVC")->setCurrentIndex(7); },
        [&] { child<ChannelModifier>("corr_2")->findChild<QComboBox*>("comboCorrelates")->setCurrentIndex(1); },
        [&] { child<ChannelModifier>("corr_3")->selectFamily(int(CurveFamily::Offset)); },
        [&] { child<QTabWidget>("generator")->setCurrentIndex(2); },
        [&] { QVERIFY(child<ICCProfileSelector>("iccProfileLUT")->selectByName("*prophoto")); },
        [&] { child<QComboBox>("comboIntentLUT")->setCurrentIndex(3); },
        [&] { loadTableWithTheButton(path("warm.cube")); },
    };
    QList<QStringList> states{controlState()};
    for (const auto& change : changes) {
        change();
        QVERIFY(controlState() != states.last());
        states << controlState();
    }
    QVERIFY(!window_->isSaved());
    QVERIFY(!action("actionRedo")->isEnabled());

    for (qsizetype i = states.size() - 2; i >= 0; --i) {
        QVERIFY(action("actionUndo")->isEnabled());
        action("actionUndo")->trigger();
        QCOMPARE(controlState(), states[i]);
    }
    QVERIFY(!action("actionUndo")->isEnabled());
    QVERIFY(window_->isSaved());   // back where the document was new

    for (qsizetype i = 1; i < states.size(); ++i) {
        action("actionRedo")->trigger();
        QCOMPARE(controlState(), states[i]);
    }
    QVERIFY(!action("actionRedo")->isEnabled());

    // A change after undoing drops what was undone.
    action("actionUndo")->trigger();
    action("actionUndo")->trigger();
    child<QLineEdit>("edit_copyright")->setText("Branch");
    QVERIFY(!action("actionRedo")->isEnabled());
    action("actionUndo")->trigger();
    QCOMPARE(controlState(), states[states.size() - 3]);
}

void TonemolderDocumentTest::aSliderDragIsOneStep()
{
    auto* channel = child<ChannelModifier>("chan_1");
    channel->selectFamily(int(CurveFamily::Gamma));
    const QStringList before = controlState();
    auto* slider = channel->findChild<QSlider*>("sliderValue");
    QVERIFY(slider && !slider->isHidden());

    slider->setSliderDown(true);
    for (int step = 1; step <= 10; ++step) slider->setSliderPosition(slider->sliderPosition() + 3);
    slider->setSliderDown(false);
    QVERIFY(controlState() != before);
    // Two clicks after the drag are steps of their own.
    slider->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    slider->triggerAction(QAbstractSlider::SliderSingleStepAdd);

    for (int i = 0; i < 3; ++i) action("actionUndo")->trigger();
    QCOMPARE(controlState(), before);
}

void TonemolderDocumentTest::theCommandLineOpensProfilesAndImages()
{
    Recipe r;
    r.description = "From the shell";
    const QString profile = savedRecipe("shell.icc", r, resolutionPreferences(*settings_));
    QImage picture(4, 4, QImage::Format_RGB32);
    picture.fill(qRgb(200, 100, 50));
    QVERIFY(picture.save(path("photo.png")));

    Answers answers;
    answers.run([&] { window_->openFiles({profile, path("photo.png")}); });
    QCOMPARE(answers.boxes, QList<Box>{});
    QCOMPARE(window_->windowTitle(), Title + " - " + profile);
    QCOMPARE(child<QLineEdit>("edit_description")->text(), QString("From the shell"));
    QVERIFY(child<QWidget>("btnOriginal")->isEnabled());   // the image is shown
}

QTEST_MAIN(TonemolderDocumentTest)
#include "tonemolder_document_qtest.moc"
