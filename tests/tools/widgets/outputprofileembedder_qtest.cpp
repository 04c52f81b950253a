#include "tools/widgets/outputprofileembedder.h"

#include "tests/tools/widgets/tooldialogtesting.h"

#include "app/core/builder.h"
#include "curves/core/curvefamily.h"
#include "app/widgets/tonemolder.h"
#include "profiles/widgets/iccprofileselector.h"
#include "tools/core/toolfiles.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

constexpr char PressProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";   // printer, Lab PCS

using Embedder = Answered<OutputProfileEmbedder>;

QString profileText(IccProfile* p, uint32_t which)
{
    char buffer[512] = {};
    profileTextUtf8(p, which, "en", "US", buffer, sizeof buffer);
    return QString::fromUtf8(buffer);
}

// The largest difference, in 16-bit units, between the same table of two
// profiles over a grid of Lab inputs; -1 when either is missing.
int tableDifference(IccProfile* a, IccProfile* b, uint32_t tag)
{
    const auto* ta = static_cast<const Pipeline*>(loadTag(a, tag));
    const auto* tb = static_cast<const Pipeline*>(loadTag(b, tag));
    if (!ta || !tb || pipelineOutputs(ta) != pipelineOutputs(tb)) return -1;
    int worst = 0;
    for (int i = 0; i < 9 * 9 * 9; ++i) {
        const uint16_t in[3] = {uint16_t(i % 9 * 8191), uint16_t(i / 9 % 9 * 8191), uint16_t(i / 81 * 8191)};
        uint16_t oa[16] = {}, ob[16] = {};
        evalPipeline16(in, oa, ta);
        evalPipeline16(in, ob, tb);
        for (uint32_t c = 0; c < pipelineOutputs(ta); ++c) worst = std::max(worst, std::abs(int(oa[c]) - int(ob[c])));
    }
    return worst;
}

}   // namespace

class OutputProfileEmbedderTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::unique_ptr<QSettings> settings_;
    QString base_, look_;

    // Both selectors bound to the test's files.
    void storeProfileChoice(const QString& baseFile, const QString& abstractFile)
    {
        settings_->setValue("outgen/output_dir", dir_.path());
        settings_->setValue("outgen/output_prf", baseFile);
        settings_->setValue("outgen/abstract_dir", dir_.path());
        settings_->setValue("outgen/abstract_prf", abstractFile);
    }

    // Whether the selectors can show a stored choice at all.
    static bool listsProfiles(const Embedder& dialog)
    {
        return dialog.control<ICCProfileSelector>("baseOutputProfile")->findChild<QComboBox*>()->count() > 0;
    }

    // Whether both selectors show the test's files.
    bool showsTheFiles(const Embedder& dialog) const
    {
        const auto canonical = [](const QString& path) { return QFileInfo(path).canonicalFilePath(); };
        return canonical(dialog.control<ICCProfileSelector>("baseOutputProfile")->currentName()) == canonical(base_) &&
               canonical(dialog.control<ICCProfileSelector>("abstractProfile")->currentName()) == canonical(look_);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        QVERIFY2(QFile::exists(PressProfile), PressProfile);
        QVERIFY(registerCurveFamilyPlugin());
        base_ = dir_.filePath("press.icc");
        QVERIFY(QFile::copy(PressProfile, base_));
        // A look that darkens and desaturates, saved as the program saves it.
        Recipe look;
        look.tab = RecipeTab::Cam16;
        look.correlates[0].selectFamily(CurveFamily::Gamma);
        look.correlates[0].setValue(1.4);
        look.correlates[1].selectFamily(CurveFamily::Gamma);
        look.correlates[1].setValue(1.5);
        BuildResult built = buildProfileWithRecipe(look, ResolutionPreferences{});
        QVERIFY(built.ok());
        look_ = dir_.filePath("look.icc");
        QVERIFY(saveProfileToFile(built.profile.get(), look_));
    }

    void init()
    {
        QFile::remove(dir_.filePath("settings.ini"));
        settings_ = std::make_unique<QSettings>(dir_.filePath("settings.ini"), QSettings::IniFormat);
    }

    void cleanup() { settings_.reset(); }

    void formCarriesTheTexts()
    {
        Embedder dialog(settings_.get());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Output profile customizer"));
        QCOMPARE(dialog.font().family(), QStringLiteral("Helvetica"));
        QCOMPARE(dialog.control<QLabel>("label")->text(),
                 QStringLiteral("This utility allows to incorporate your abstract profile into an output profile. Use "
                                "it with care since it is likely the accuracy of the output profile will be affected. "
                                "Always keep a copy of the originals output profile and abstract. \n\nCan also be "
                                "used to upgrade an output profile to V4, but double check accuracy in this case."));
        QCOMPARE(dialog.control<ICCProfileSelector>("baseOutputProfile")->prompt(), QStringLiteral("Base Output profile:"));
        QCOMPARE(dialog.control<ICCProfileSelector>("abstractProfile")->prompt(), QStringLiteral("Abstract profile:"));
        QCOMPARE(dialog.control<ICCProfileSelector>("baseOutputProfile")->pclass(), 1);
        QCOMPARE(dialog.control<ICCProfileSelector>("baseOutputProfile")->space(), 6);
        QCOMPARE(dialog.control<ICCProfileSelector>("abstractProfile")->pclass(), 4);
        QCOMPARE(dialog.control<ICCProfileSelector>("abstractProfile")->space(), 31);
        auto* combo = dialog.control<QComboBox>("comboProfileVersion");
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->itemText(0), QStringLiteral("V4 ICC profile (recommended)"));
        QCOMPARE(combo->itemText(1), QStringLiteral("V2 ICC profile (compatibility only)"));
        QCOMPARE(dialog.control<QSpinBox>("editGridPoints")->minimum(), 17);
        QCOMPARE(dialog.control<QSpinBox>("editGridPoints")->maximum(), 255);
        QVERIFY(dialog.control<QPushButton>("buttonClose")->isDefault());
        QCOMPARE(dialog.control<QPushButton>("buttonSave")->toolTip(),
                 QStringLiteral("Press here to store an output profile with the result of  calculations."));
    }

    void firstOpeningShowsTheDefaults()
    {
        Embedder dialog(settings_.get());
        QCOMPARE(dialog.control<QSpinBox>("editGridPoints")->value(), 33);
        QVERIFY(dialog.control<QCheckBox>("checkBoxPerceptual")->isChecked());
        QVERIFY(dialog.control<QCheckBox>("checkBoxSaturation")->isChecked());
        QVERIFY(!dialog.control<QCheckBox>("checkBoxRelCol")->isChecked());
        QVERIFY(!dialog.control<QCheckBox>("checkBoxGenAll")->isChecked());
        QCOMPARE(dialog.control<QComboBox>("comboProfileVersion")->currentIndex(), 0);
        QVERIFY(dialog.control<QLineEdit>("newDescription")->text().isEmpty());
        QVERIFY(dialog.control<QLineEdit>("newCopyright")->text().isEmpty());
    }

    void reopeningRestoresEveryControl()
    {
        settings_->setValue("icc/version", 1);
        {
            Embedder dialog(settings_.get());
            QCOMPARE(dialog.control<QComboBox>("comboProfileVersion")->currentIndex(), 1);
            dialog.control<QComboBox>("comboProfileVersion")->setCurrentIndex(0);
            dialog.control<QSpinBox>("editGridPoints")->setValue(45);
            dialog.control<QLineEdit>("newDescription")->setText("Press with a look");
            dialog.control<QLineEdit>("newCopyright")->setText("Mine, 2024");
            dialog.control<QCheckBox>("checkBoxPerceptual")->setChecked(false);
            dialog.control<QCheckBox>("checkBoxSaturation")->setChecked(false);
            dialog.control<QCheckBox>("checkBoxRelCol")->setChecked(true);
            dialog.control<QCheckBox>("checkBoxGenAll")->setChecked(true);
        }
        QCOMPARE(settings_->value("outgen/grid").toInt(), 45);
        QCOMPARE(settings_->value("outgen/description").toString(), QStringLiteral("Press with a look"));
        QCOMPARE(settings_->value("outgen/copyright").toString(), QStringLiteral("Mine, 2024"));
        QCOMPARE(settings_->value("outgen/perceptual").toBool(), false);
        QCOMPARE(settings_->value("outgen/saturation").toBool(), false);
        QCOMPARE(settings_->value("outgen/relcol").toBool(), true);
        QCOMPARE(settings_->value("outgen/all_luts").toBool(), true);
        // The version belongs to the preferences: choosing another one here is not kept.
        QCOMPARE(settings_->value("icc/version").toInt(), 1);

        Embedder dialog(settings_.get());
        QCOMPARE(dialog.control<QComboBox>("comboProfileVersion")->currentIndex(), 1);
        QCOMPARE(dialog.control<QSpinBox>("editGridPoints")->value(), 45);
        QCOMPARE(dialog.control<QLineEdit>("newDescription")->text(), QStringLiteral("Press with a look"));
        QCOMPARE(dialog.control<QLineEdit>("newCopyright")->text(), QStringLiteral("Mine, 2024"));
        QVERIFY(!dialog.control<QCheckBox>("checkBoxPerceptual")->isChecked());
        QVERIFY(!dialog.control<QCheckBox>("checkBoxSaturation")->isChecked());
        QVERIFY(dialog.control<QCheckBox>("checkBoxRelCol")->isChecked());
        QVERIFY(dialog.control<QCheckBox>("checkBoxGenAll")->isChecked());
    }

    void requestFollowsTheControls_data()
    {
        QTest::addColumn<bool>("perceptual");
        QTest::addColumn<bool>("saturation");
        QTest::addColumn<bool>("relcol");
        QTest::addColumn<bool>("all");
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("grid");
        QTest::newRow("perceptual only, v4") << true << false << false << false << 0 << 17;
        QTest::newRow("saturation only, v2") << false << true << false << true << 1 << 255;
        QTest::newRow("relative colorimetric only") << false << false << true << false << 0 << 33;
        QTest::newRow("none, regenerate all") << false << false << false << true << 1 << 65;
    }

    void requestFollowsTheControls()
    {
        QFETCH(bool, perceptual);
        QFETCH(bool, saturation);
        QFETCH(bool, relcol);
        QFETCH(bool, all);
        QFETCH(int, version);
        QFETCH(int, grid);
        Embedder dialog(settings_.get());
        dialog.control<QCheckBox>("checkBoxPerceptual")->setChecked(perceptual);
        dialog.control<QCheckBox>("checkBoxSaturation")->setChecked(saturation);
        dialog.control<QCheckBox>("checkBoxRelCol")->setChecked(relcol);
        dialog.control<QCheckBox>("checkBoxGenAll")->setChecked(all);
        dialog.control<QComboBox>("comboProfileVersion")->setCurrentIndex(version);
        dialog.control<QSpinBox>("editGridPoints")->setValue(grid);
        dialog.control<QLineEdit>("newDescription")->setText("Described");
        dialog.control<QLineEdit>("newCopyright")->setText("Copyrighted");

        const EmbedRequest r = dialog.embedRequest("/somewhere/out.icc");
        QCOMPARE(r.outputFile, QStringLiteral("/somewhere/out.icc"));
        QCOMPARE(r.baseProfile, dialog.control<ICCProfileSelector>("baseOutputProfile")->currentName());
        QCOMPARE(r.abstractProfile, dialog.control<ICCProfileSelector>("abstractProfile")->currentName());
        QCOMPARE(r.perceptual, perceptual);
        QCOMPARE(r.saturation, saturation);
        QCOMPARE(r.relativeColorimetric, relcol);
        QCOMPARE(r.regenerateAll, all);
        QCOMPARE(r.versionIndex, version);
        QCOMPARE(r.gridPoints, grid);
        QCOMPARE(r.description, QStringLiteral("Described"));
        QCOMPARE(r.copyright, QStringLiteral("Copyrighted"));
    }

    // On opening the stored texts stay; picking another base profile brings its own.
    void newBaseProfileBringsItsTexts()
    {
        settings_->setValue("outgen/description", "Stored description");
        settings_->setValue("outgen/copyright", "Stored copyright");
        storeProfileChoice("press.icc", "look.icc");
        Embedder dialog(settings_.get());
        QCOMPARE(dialog.control<QLineEdit>("newDescription")->text(), QStringLiteral("Stored description"));
        QCOMPARE(dialog.control<QLineEdit>("newCopyright")->text(), QStringLiteral("Stored copyright"));

        auto* base = dialog.control<ICCProfileSelector>("baseOutputProfile");
        emit base->valueChanged();
        QCOMPARE(dialog.control<QLineEdit>("newDescription")->text(), base->currentDescription());
        QCOMPARE(dialog.control<QLineEdit>("newCopyright")->text(), base->currentCopyright());
        // Another abstract profile changes nothing.
        dialog.control<QLineEdit>("newDescription")->setText("Edited");
        emit dialog.control<ICCProfileSelector>("abstractProfile")->valueChanged();
        QCOMPARE(dialog.control<QLineEdit>("newDescription")->text(), QStringLiteral("Edited"));
    }

    void saveAsksInTheSystemColourDirectory_data()
    {
        QTest::addColumn<bool>("userFolder");
        QTest::newRow("the user's folder") << true;
        QTest::newRow("the shared folder") << false;
    }

    void saveAsksInTheSystemColourDirectory()
    {
        QFETCH(bool, userFolder);
        QTemporaryDir dataHome;
        if (userFolder) QVERIFY(QDir(dataHome.path()).mkdir("icc"));
        const QByteArray saved = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());

        Embedder dialog(settings_.get());
        MessageCatcher messages;
        dialog.control<QPushButton>("buttonSave")->click();   // answered with nothing: a cancel
        qputenv("XDG_DATA_HOME", saved);

        const QString expected = userFolder ? dataHome.filePath("icc") : QStringLiteral("/usr/share/color/icc");
        QCOMPARE(dialog.asked,
                 QStringList({"Save modified output profile", expected,
                              "ICC profiles_tweaked (*.icc *.icm *.pf);;All files (*.*)"}));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(messages.count, 0);
    }

    void saveEmbedsTheLookIntoTheTickedIntent()
    {
        storeProfileChoice("press.icc", "look.icc");
        Embedder dialog(settings_.get());
        QVERIFY(listsProfiles(dialog));
        QVERIFY(showsTheFiles(dialog));
        dialog.control<QCheckBox>("checkBoxPerceptual")->setChecked(true);
        dialog.control<QCheckBox>("checkBoxSaturation")->setChecked(false);
        dialog.control<QCheckBox>("checkBoxRelCol")->setChecked(false);
        dialog.control<QCheckBox>("checkBoxGenAll")->setChecked(false);
        dialog.control<QComboBox>("comboProfileVersion")->setCurrentIndex(1);
        dialog.control<QSpinBox>("editGridPoints")->setValue(17);
        dialog.control<QLineEdit>("newDescription")->setText("Press with a look");
        dialog.control<QLineEdit>("newCopyright")->setText("Mine");
        dialog.answer = dir_.filePath("embedded.icc");
        MessageCatcher messages;
        dialog.control<QPushButton>("buttonSave")->click();
        QCOMPARE(messages.count, 0);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));

        ProfilePtr base = adoptProfile(openProfileFile(base_));
        ProfilePtr out = adoptProfile(openProfileFile(dialog.answer));
        QVERIFY(out);
        QCOMPARE(profileVersion(out.get()), 0x02100000u);
        QCOMPARE(profileText(out.get(), InfoDescription), QStringLiteral("Press with a look"));
        QCOMPARE(profileText(out.get(), InfoCopyright), QStringLiteral("Mine"));
        QVERIFY(tableDifference(base.get(), out.get(), sig("B2A0")) > 1000);
        for (const uint32_t tag : {sig("B2A1"), sig("B2A2")}) {
            const int d = tableDifference(base.get(), out.get(), tag);
            QVERIFY2(d >= 0 && d <= 32, qPrintable(QString::number(d)));
        }
        // The base profile's file is never written.
        QCOMPARE(readFile(base_), readFile(PressProfile));
    }

    void failureShowsWhyAndKeepsTheTarget()
    {
        storeProfileChoice("press.icc", "gone.icc");   // the abstract profile no longer exists
        failureKeepsTheTarget<OutputProfileEmbedder>(settings_.get(), dir_.filePath("kept.icc"),
                                                     "I cannot open the base profiles");
    }

    void unwritableTargetShowsTheSaveMessage()
    {
        storeProfileChoice("press.icc", "look.icc");
        Embedder dialog(settings_.get());
        QVERIFY(listsProfiles(dialog));
        QVERIFY(showsTheFiles(dialog));
        dialog.control<QCheckBox>("checkBoxPerceptual")->setChecked(false);
        dialog.control<QCheckBox>("checkBoxSaturation")->setChecked(false);
        dialog.answer = dir_.filePath("look.icc/out.icc");   // a file where a folder should be
        MessageCatcher messages;
        dialog.control<QPushButton>("buttonSave")->click();
        QCOMPARE(messages.count, 1);
        QCOMPARE(messages.text, QStringLiteral("Something went wrong...\n\nCouldn't save the profile. Maybe the file "
                                               "is taken by other program?"));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    // A base profile dropped from another folder, of the same name and the
    // same description as one of the stored folder: the file used, then and
    // when the dialog is opened again, is the file chosen.
    void theFileUsedIsTheFileChosen()
    {
        QTemporaryDir elsewhere;
        const QString twin = elsewhere.filePath("press.icc");
        {
            ProfilePtr other = adoptProfile(openProfileFile("/usr/share/color/icc/ghostscript/ps_cmyk.icc"));
            ProfilePtr base = adoptProfile(openProfileFile(base_));
            QVERIFY(other && base);
            QVERIFY(storeTag(other.get(), sig("desc"), loadTag(base.get(), sig("desc"))));
            QVERIFY(saveProfileToFile(other.get(), twin));
        }
        storeProfileChoice("press.icc", "look.icc");
        {
            Embedder dialog(settings_.get());
            auto* base = dialog.control<ICCProfileSelector>("baseOutputProfile");
            QVERIFY(base->setSelection(elsewhere.path(), "press.icc"));   // as a drop does
            QCOMPARE(base->currentDescription(), profileText(adoptProfile(openProfileFile(base_)).get(), InfoDescription));
        }
        Embedder dialog(settings_.get());
        QCOMPARE(QFileInfo(dialog.control<ICCProfileSelector>("baseOutputProfile")->currentName()).canonicalFilePath(),
                 QFileInfo(twin).canonicalFilePath());
        for (const char* box : {"checkBoxPerceptual", "checkBoxSaturation", "checkBoxRelCol", "checkBoxGenAll"})
            dialog.control<QCheckBox>(box)->setChecked(false);
        dialog.answer = dir_.filePath("from-twin.icc");
        MessageCatcher messages;
        dialog.control<QPushButton>("buttonSave")->click();
        QCOMPARE(messages.count, 0);

        // The result carries the tables of the file chosen, not of its namesake.
        ProfilePtr out = adoptProfile(openProfileFile(dialog.answer));
        ProfilePtr chosen = adoptProfile(openProfileFile(twin));
        ProfilePtr namesake = adoptProfile(openProfileFile(base_));
        QVERIFY(out);
        QCOMPARE(tableDifference(out.get(), chosen.get(), sig("B2A0")), 0);
        QVERIFY(tableDifference(out.get(), namesake.get(), sig("B2A0")) > 1000);
    }

    // The Tools menu entry runs the dialog modally with the program's settings.
    void menuEntryRunsTheDialog()
    {
        Tonemolder window(settings_.get());
        auto* entry = window.findChild<QAction*>("action_Embed_to_output_profile");
        QVERIFY(entry);
        QString seen;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<OutputProfileEmbedder*>(QApplication::activeModalWidget());
            if (!dialog) return;
            seen = dialog->windowTitle();
            dialog->findChild<QPushButton*>("buttonClose")->click();
        });
        poll.start(10);
        entry->trigger();
        QCOMPARE(seen, QStringLiteral("Output profile customizer"));
        QVERIFY(settings_->contains("outgen/grid"));   // written when the dialog went away
    }
};

QTEST_MAIN(OutputProfileEmbedderTest)
#include "outputprofileembedder_qtest.moc"
