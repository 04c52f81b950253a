// The device-link dialog: its choices reach the request and come back the
// next time, and saving writes a device link of the chosen chain.
#include "tools/widgets/devicelinkdialog.h"

#include "profiles/widgets/iccprofileselector.h"
#include "tests/tools/widgets/tooldialogtesting.h"
#include "tools/core/toolfiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

using LinkDialog = Answered<DeviceLinkDialog>;

class DeviceLinkDialogTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::unique_ptr<QSettings> settings_;

private slots:
    void init()
    {
        QFile::remove(dir_.filePath("settings.ini"));
        settings_ = std::make_unique<QSettings>(dir_.filePath("settings.ini"), QSettings::IniFormat);
        // A look of its own in the folder the look selector lists.
        ProfilePtr look = adoptProfile(createLabIdentityV4(nullptr, nullptr));
        QVERIFY(saveProfileToFile(look.get(), dir_.filePath("look.icc")));
        settings_->setValue("devlink/source_prf", "*srgb");
        settings_->setValue("devlink/look_dir", dir_.path());
        settings_->setValue("devlink/look_prf", dir_.filePath("look.icc"));
        settings_->setValue("devlink/destination_prf", "*argb");
    }

    void cleanup() { settings_.reset(); }

    void choicesReachTheRequestAndAreKept()
    {
        {
            LinkDialog dialog(settings_.get());
            QCOMPARE(dialog.windowTitle(), QStringLiteral("Make device link"));
            dialog.control<QComboBox>("comboIntent")->setCurrentIndex(1);
            dialog.control<QCheckBox>("checkBpc")->setChecked(true);
            dialog.control<QComboBox>("comboVersion")->setCurrentIndex(1);
            dialog.control<QSpinBox>("editGridPoints")->setValue(17);
            const DeviceLinkRequest r = dialog.linkRequest("/somewhere/link.icc");
            QCOMPARE(r.source, QStringLiteral("*srgb"));
            QCOMPARE(r.destination, QStringLiteral("*argb"));
            QCOMPARE(r.intent, 1);
            QVERIFY(r.blackPointCompensation);
            QCOMPARE(r.versionIndex, 1);
            QCOMPARE(r.gridPoints, 17);
        }
        LinkDialog dialog(settings_.get());
        QCOMPARE(dialog.control<QComboBox>("comboIntent")->currentIndex(), 1);
        QVERIFY(dialog.control<QCheckBox>("checkBpc")->isChecked());
        QCOMPARE(dialog.control<QComboBox>("comboVersion")->currentIndex(), 1);
        QCOMPARE(dialog.control<QSpinBox>("editGridPoints")->value(), 17);
    }

    void saveWritesTheLink()
    {
        LinkDialog dialog(settings_.get());
        dialog.control<QComboBox>("comboVersion")->setCurrentIndex(1);
        dialog.answer = dir_.filePath("link.icc");
        dialog.control<QPushButton>("buttonSave")->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.writtenFile(), dialog.answer);
        ProfilePtr link = adoptProfile(openProfileByName(dialog.answer));
        QVERIFY(link);
        QCOMPARE(profileDeviceClass(link.get()), sig("link"));
        QCOMPARE(profileVersion(link.get()), 0x02100000u);
        QCOMPARE(profileColorSpace(link.get()), SpaceRgb);
        QCOMPARE(profilePcs(link.get()), SpaceRgb);
    }
};

QTEST_MAIN(DeviceLinkDialogTest)
#include "devicelinkdialog_qtest.moc"
