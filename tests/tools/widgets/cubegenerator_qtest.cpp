#include "tools/widgets/cubegenerator.h"

#include "tests/tools/widgets/tooldialogtesting.h"

#include "app/widgets/tonemolder.h"
#include "profiles/widgets/iccprofileselector.h"
#include "tools/core/toolfiles.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
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

#include <cmath>
#include <memory>

namespace {

using Generator = Answered<CubeGenerator>;

// Three numbers of a data line, each within 0.001 of the expected value.
bool lineNear(const QByteArray& line, double r, double g, double b)
{
    const QList<QByteArray> v = line.split(' ');
    if (v.size() != 3) return false;
    const double want[3] = {r, g, b};
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        const double x = v[i].toDouble(&ok);
        if (!ok || std::fabs(x - want[i]) > 1e-3) return false;
    }
    return true;
}

}   // namespace

class CubeGeneratorTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::unique_ptr<QSettings> settings_;
    QString identity_;

    void storeProfileChoice(const QString& abstractFile, const QString& rgbFile)
    {
        settings_->setValue("cubegen/abstract_dir", dir_.path());
        settings_->setValue("cubegen/abstract_prf", abstractFile);
        settings_->setValue("cubegen/output_dir", dir_.path());
        settings_->setValue("cubegen/output_prf", rgbFile);
    }

    // Whether the selectors can show a stored choice at all.
    static bool listsProfiles(const Generator& dialog)
    {
        return dialog.control<ICCProfileSelector>("RgbWorkSpace")->findChild<QComboBox*>()->count() > 0;
    }

    // Whether the selectors show the identity profile and the built-in sRGB.
    bool showsTheChoice(const Generator& dialog) const
    {
        const QString abstract = dialog.control<ICCProfileSelector>("abstractProfile")->currentName();
        return QFileInfo(abstract).canonicalFilePath() == QFileInfo(identity_).canonicalFilePath() &&
               dialog.control<ICCProfileSelector>("RgbWorkSpace")->currentName() == QStringLiteral("*srgb");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        // An abstract profile that changes nothing.
        ProfilePtr identity = adoptProfile(createLabIdentityV4(nullptr, nullptr));
        QVERIFY(identity);
        identity_ = dir_.filePath("identity.icc");
        QVERIFY(saveProfileToFile(identity.get(), identity_));
    }

    void init()
    {
        QFile::remove(dir_.filePath("settings.ini"));
        settings_ = std::make_unique<QSettings>(dir_.filePath("settings.ini"), QSettings::IniFormat);
    }

    void cleanup() { settings_.reset(); }

    void formCarriesTheTexts()
    {
        Generator dialog(settings_.get());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Convert to .CUBE"));
        QCOMPARE(dialog.font().family(), QStringLiteral("Helvetica"));
        QVERIFY(dialog.control<QLabel>("label")->wordWrap());
        QCOMPARE(dialog.control<ICCProfileSelector>("abstractProfile")->prompt(), QStringLiteral("Abstract profile:"));
        QCOMPARE(dialog.control<ICCProfileSelector>("RgbWorkSpace")->prompt(), QStringLiteral("Rgb workspace:"));
        QCOMPARE(dialog.control<ICCProfileSelector>("abstractProfile")->pclass(), 4);
        QCOMPARE(dialog.control<ICCProfileSelector>("abstractProfile")->space(), 31);
        QCOMPARE(dialog.control<ICCProfileSelector>("RgbWorkSpace")->pclass(), 25);
        QCOMPARE(dialog.control<ICCProfileSelector>("RgbWorkSpace")->space(), 2);
        QCOMPARE(dialog.control<QLabel>("labelDescription")->text(), QStringLiteral("Title"));
        QCOMPARE(dialog.control<QSpinBox>("editGridPoints")->minimum(), 17);
        QCOMPARE(dialog.control<QSpinBox>("editGridPoints")->maximum(), 255);
        QCOMPARE(dialog.control<QPushButton>("buttonSave")->text(), QStringLiteral("&Save .CUBE file"));
        QVERIFY(dialog.control<QPushButton>("buttonClose")->isDefault());
    }

    void reopeningRestoresTheGrid()
    {
        {
            Generator dialog(settings_.get());
            QCOMPARE(dialog.control<QSpinBox>("editGridPoints")->value(), 33);
            dialog.control<QSpinBox>("editGridPoints")->setValue(65);
            dialog.control<QLineEdit>("editDescription")->setText("Not kept");
            dialog.control<QLineEdit>("editCopyright")->setText("Not kept either");
        }
        QCOMPARE(settings_->value("cubegen/grid").toInt(), 65);
        // Title and copyright are not stored; only the grid and the selectors' keys are.
        const QStringList allowed = {"cubegen/grid", "cubegen/abstract_dir", "cubegen/abstract_prf",
                                     "cubegen/output_dir", "cubegen/output_prf"};
        for (const QString& key : settings_->allKeys()) QVERIFY2(allowed.contains(key), qPrintable(key));

        Generator dialog(settings_.get());
        QCOMPARE(dialog.control<QSpinBox>("editGridPoints")->value(), 65);
    }

    void textsComeFromTheAbstractProfile()
    {
        storeProfileChoice("identity.icc", "*srgb");
        Generator dialog(settings_.get());
        auto* abstract = dialog.control<ICCProfileSelector>("abstractProfile");
        QCOMPARE(dialog.control<QLineEdit>("editDescription")->text(), abstract->currentDescription());
        QCOMPARE(dialog.control<QLineEdit>("editCopyright")->text(), abstract->currentCopyright());

        dialog.control<QLineEdit>("editDescription")->setText("Edited");
        dialog.control<QLineEdit>("editCopyright")->setText("Edited too");
        emit dialog.control<ICCProfileSelector>("RgbWorkSpace")->valueChanged();   // not the abstract one
        QCOMPARE(dialog.control<QLineEdit>("editDescription")->text(), QStringLiteral("Edited"));
        emit abstract->valueChanged();
        QCOMPARE(dialog.control<QLineEdit>("editDescription")->text(), abstract->currentDescription());
        QCOMPARE(dialog.control<QLineEdit>("editCopyright")->text(), abstract->currentCopyright());
    }

    void requestFollowsTheControls()
    {
        Generator dialog(settings_.get());
        dialog.control<QLineEdit>("editDescription")->setText("A \"warm\" look");
        dialog.control<QLineEdit>("editCopyright")->setText("(c) me");
        dialog.control<QSpinBox>("editGridPoints")->setValue(129);
        const CubeRequest r = dialog.cubeRequest("/somewhere/look.cube");
        QCOMPARE(r.outputFile, QStringLiteral("/somewhere/look.cube"));
        QCOMPARE(r.abstractProfile, dialog.control<ICCProfileSelector>("abstractProfile")->currentName());
        QCOMPARE(r.rgbProfile, dialog.control<ICCProfileSelector>("RgbWorkSpace")->currentName());
        QCOMPARE(r.title, QStringLiteral("A \"warm\" look"));
        QCOMPARE(r.copyright, QStringLiteral("(c) me"));
        QCOMPARE(r.gridPoints, 129);
    }

    void cancelledSaveDoesNothing()
    {
        Generator dialog(settings_.get());
        MessageCatcher messages;
        dialog.control<QPushButton>("buttonSave")->click();
        QCOMPARE(dialog.asked, QStringList({"Save LUT file", QString(), "LUT files (*.cube *.lut);;All files (*.*)"}));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(messages.count, 0);
    }

    void saveWritesTheTable()
    {
        storeProfileChoice("identity.icc", "*srgb");
        Generator dialog(settings_.get());
        QVERIFY(listsProfiles(dialog));
        QVERIFY(showsTheChoice(dialog));
        dialog.control<QLineEdit>("editDescription")->setText("Identity look");
        dialog.control<QLineEdit>("editCopyright")->setText("(c) me");
        dialog.control<QSpinBox>("editGridPoints")->setValue(17);
        dialog.answer = dir_.filePath("identity.cube");
        MessageCatcher messages;
        dialog.control<QPushButton>("buttonSave")->click();
        QCOMPARE(messages.count, 0);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));

        QByteArray text = readFile(dialog.answer);
        QVERIFY(text.endsWith('\n'));
        text.chop(1);
        const QList<QByteArray> lines = text.split('\n');
        QCOMPARE(lines.size(), 5 + 17 * 17 * 17);
        QCOMPARE(lines[0], QByteArray("TITLE \"Identity look\""));
        QCOMPARE(lines[1], QByteArray("# (c) me"));
        QCOMPARE(lines[2], QByteArray("DOMAIN_MIN 0 0 0"));
        QCOMPARE(lines[3], QByteArray("DOMAIN_MAX 1 1 1"));
        QCOMPARE(lines[4], QByteArray("LUT_3D_SIZE 17"));
        // Red varies fastest, blue slowest; the identity gives back its inputs.
        QVERIFY2(lineNear(lines[5], 0, 0, 0), lines[5].constData());
        QVERIFY2(lineNear(lines[6], 0.0625, 0, 0), lines[6].constData());
        QVERIFY2(lineNear(lines[5 + 17], 0, 0.0625, 0), lines[5 + 17].constData());
        QVERIFY2(lineNear(lines[5 + 17 * 17], 0, 0, 0.0625), lines[5 + 17 * 17].constData());
        QVERIFY2(lineNear(lines.last(), 1, 1, 1), lines.last().constData());
    }

    void failureShowsWhyAndKeepsTheTarget()
    {
        storeProfileChoice("gone.icc", "*srgb");   // the abstract profile no longer exists
        failureKeepsTheTarget<CubeGenerator>(settings_.get(), dir_.filePath("kept.cube"),
                                             "I cannot open the profiles");
    }

    void unwritableTargetSaysSo()
    {
        storeProfileChoice("identity.icc", "*srgb");
        Generator dialog(settings_.get());
        QVERIFY(listsProfiles(dialog));
        QVERIFY(showsTheChoice(dialog));
        dialog.control<QSpinBox>("editGridPoints")->setValue(17);
        dialog.answer = dir_.filePath("identity.icc/look.cube");   // a file where a folder should be
        MessageCatcher messages;
        dialog.control<QPushButton>("buttonSave")->click();
        QCOMPARE(messages.count, 1);
        QVERIFY2(messages.text.startsWith("Something went wrong...\n\nCould not write the file: "),
                 qPrintable(messages.text));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    // The Tools menu entry runs the dialog modally with the program's settings.
    void menuEntryRunsTheDialog()
    {
        Tonemolder window(settings_.get());
        auto* entry = window.findChild<QAction*>("actionConvert_to_CUBE_file");
        QVERIFY(entry);
        QString seen;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<CubeGenerator*>(QApplication::activeModalWidget());
            if (!dialog) return;
            seen = dialog->windowTitle();
            dialog->findChild<QPushButton*>("buttonClose")->click();
        });
        poll.start(10);
        entry->trigger();
        QCOMPARE(seen, QStringLiteral("Convert to .CUBE"));
        QVERIFY(settings_->contains("cubegen/grid"));   // written when the dialog went away
    }
};

QTEST_MAIN(CubeGeneratorTest)
#include "cubegenerator_qtest.moc"
