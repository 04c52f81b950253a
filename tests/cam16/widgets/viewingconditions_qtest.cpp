// The viewing-conditions editor: its controls moving together, the white
// point by table, locus and daylight, cloning, saving and removing presets.
#include "cam16/widgets/viewingconditions.h"

#include "cam16/core/whitepoints.h"
#include "osl.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <functional>
#include <memory>

namespace {

// Runs `act` on the next modal widget of type W, polling the event loop of the
// dialog that is about to run. Gives up (and says so) after about 5 s.
template <typename W>
void onNextModal(std::function<void(W*)> act, bool* done = nullptr)
{
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, act, tries, done] {
        if (auto* w = qobject_cast<W*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            act(w);
            if (done) *done = true;
        } else if (++*tries > 500) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

}   // namespace

class ViewingConditionsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<ViewingConditions> dialog;

    template <typename T>
    T* child(const char* name)
    {
        T* w = dialog->findChild<T*>(QString::fromLatin1(name));
        if (w == nullptr) qFatal("no control %s", name);
        return w;
    }
    QComboBox* comboPreset() { return child<QComboBox>("comboPreset"); }
    QComboBox* comboWhitePoint() { return child<QComboBox>("comboWhitePoint"); }
    QComboBox* comboSurround() { return child<QComboBox>("comboSurround"); }
    QSpinBox* editTempK() { return child<QSpinBox>("editTempK"); }
    QDoubleSpinBox* editX() { return child<QDoubleSpinBox>("editX"); }
    QDoubleSpinBox* editY() { return child<QDoubleSpinBox>("editY"); }
    QDoubleSpinBox* editSurround() { return child<QDoubleSpinBox>("editSurround"); }
    QDoubleSpinBox* editLa() { return child<QDoubleSpinBox>("editLa"); }
    QSpinBox* editYb() { return child<QSpinBox>("editYb"); }
    QSlider* sliderSurround() { return child<QSlider>("sliderSurround"); }
    QSlider* sliderLa() { return child<QSlider>("sliderLa"); }
    QSlider* sliderYb() { return child<QSlider>("sliderYb"); }
    QLabel* labelLux() { return child<QLabel>("labelLux"); }
    QLabel* labelWhitePointCmt() { return child<QLabel>("labelWhitePointCmt"); }
    QCheckBox* discounting() { return child<QCheckBox>("checkBoxDiscounting"); }

    QString path() const { return dir.filePath("tonemolder.ini"); }

    void restart()
    {
        dialog.reset();
        settings = std::make_unique<QSettings>(path(), QSettings::IniFormat);
        dialog = std::make_unique<ViewingConditions>(settings.get(), "vclist");
        dialog->fillPresetCombo(comboPreset(), 0);
    }

    // Clones the selected preset, answering the name prompt with `name`
    // (the proposal when null); returns the proposal the prompt showed.
    QString clone(const QString* name)
    {
        QString proposal;
        bool answered = false;
        onNextModal<QInputDialog>(
            [&](QInputDialog* input) {
                proposal = input->textValue();
                if (name) input->setTextValue(*name);
                input->accept();
            },
            &answered);
        dialog->cloneConditions();
        if (!answered) qWarning("the name prompt did not appear");
        return proposal;
    }

private slots:
    void initTestCase()
    {
        QApplication::setApplicationDisplayName("Tonemolder test");
        QVERIFY(dir.isValid());
    }

    void init()
    {
        QFile::remove(path());
        restart();
    }

    void cleanup()
    {
        dialog.reset();
        settings.reset();
    }

    void freshInstallationShowsTheBuiltIns()
    {
        QComboBox* box = comboPreset();
        QCOMPARE(box->count(), 11);
        QCOMPARE(dialog->presetCount(), 11);
        for (int i = 0; i < 11; ++i) {
            QCOMPARE(box->itemText(i), ViewingConditionsPresets::builtIns()[i].name);
            QVERIFY(!box->itemData(i).isValid());
        }
        QVERIFY(!child<QPushButton>("btnSave")->isEnabled());
        QVERIFY(!child<QPushButton>("btnRemove")->isEnabled());
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Viewing conditions"));
        QCOMPARE(dialog->size(), QSize(850, 365));
        QCOMPARE(dialog->windowModality(), Qt::ApplicationModal);
        QVERIFY(!dialog->presetAt(-1));
        QVERIFY(!dialog->presetAt(11));
        QCOMPARE(dialog->presetAt(10)->name, QStringLiteral("Original scene - bright Outdoors"));

        // Filling another combo: past the end selects 0, negative selects nothing.
        QComboBox other;
        dialog->fillPresetCombo(&other, 99);
        QCOMPARE(other.currentIndex(), 0);
        dialog->fillPresetCombo(&other, -1);
        QCOMPARE(other.currentIndex(), -1);
        QCOMPARE(other.count(), 11);
        dialog->fillPresetCombo(&other, 7);
        QCOMPARE(other.currentIndex(), 7);
    }

    void loadingIccStandardFillsEveryControl()
    {
        comboPreset()->setCurrentIndex(6);
        comboPreset()->setCurrentIndex(0);
        QCOMPARE(editX()->value(), 0.3457);    // 96.42 / 278.91, four decimals
        QCOMPARE(editY()->value(), 0.3585);
        QCOMPARE(comboWhitePoint()->currentIndex(), 4);
        QCOMPARE(comboWhitePoint()->currentText(), QStringLiteral("D50"));
        QCOMPARE(labelWhitePointCmt()->text(), QStringLiteral("Horizon Light. ICC profile PCS"));
        QCOMPARE(editTempK()->value(), 5003);
        QCOMPARE(editSurround()->value(), 2.0);
        QCOMPARE(sliderSurround()->value(), 20);
        QCOMPARE(comboSurround()->currentIndex(), 2);
        QCOMPARE(editLa()->value(), 31.83);
        QCOMPARE(sliderLa()->value(), 35);
        QCOMPARE(labelLux()->text(), QStringLiteral("500 lux"));
        QCOMPARE(editYb()->value(), 20);
        QCOMPARE(sliderYb()->value(), 20);
        QVERIFY(discounting()->isChecked());
    }

    void loadingADimPresetMovesSurroundControls()
    {
        comboPreset()->setCurrentIndex(6);   // "Monitor in darkened work environment": L_A 4, dim
        QCOMPARE(editSurround()->value(), 1.0);
        QCOMPARE(sliderSurround()->value(), 10);
        QCOMPARE(comboSurround()->currentIndex(), 1);
        QCOMPARE(editLa()->value(), 4.0);
        QCOMPARE(sliderLa()->value(), 10);   // ln(8.5 / 4.79675) / 0.05665185 = 10.1
        QCOMPARE(labelLux()->text(), QStringLiteral("63 lux"));
    }

    void adaptingLuminanceSliderAndValue()
    {
        sliderLa()->setValue(0);
        QCOMPARE(editLa()->value(), 0.8);                  // 0 clamped to the minimum
        QCOMPARE(labelLux()->text(), QStringLiteral("0 lux"));   // from the unclamped 0
        sliderLa()->setValue(120);
        QCOMPARE(editLa()->value(), 4100.0);               // 4294 clamped
        QCOMPARE(labelLux()->text(), QStringLiteral("67450 lux"));
        sliderLa()->setValue(60);
        QCOMPARE(editLa()->value(), 139.0);
        QCOMPARE(labelLux()->text(), QStringLiteral("2183 lux"));

        editLa()->setValue(31.83);
        QCOMPARE(sliderLa()->value(), 35);
        QCOMPARE(labelLux()->text(), QStringLiteral("500 lux"));
        QCOMPARE(editLa()->value(), 31.83);   // the slider's own change did not write back
    }

    void surroundAndBackgroundControls()
    {
        sliderSurround()->setValue(15);
        QCOMPARE(editSurround()->value(), 1.5);
        QCOMPARE(comboSurround()->currentIndex(), 1);
        editSurround()->setValue(0.55);
        QCOMPARE(sliderSurround()->value(), 5);
        QCOMPARE(comboSurround()->currentIndex(), 0);
        QCOMPARE(editSurround()->value(), 0.55);
        comboSurround()->setCurrentIndex(2);
        QCOMPARE(editSurround()->value(), 2.0);
        QCOMPARE(sliderSurround()->value(), 20);
        comboSurround()->setCurrentIndex(1);
        QCOMPARE(editSurround()->value(), 1.0);
        QCOMPARE(sliderSurround()->value(), 10);

        sliderYb()->setValue(37);
        QCOMPARE(editYb()->value(), 37);
        editYb()->setValue(81);
        QCOMPARE(sliderYb()->value(), 81);
    }

    void temperatureSelectsTableRowsLocusOrDaylight()
    {
        editTempK()->setValue(5003);
        QCOMPARE(comboWhitePoint()->currentText(), QStringLiteral("D50"));
        QCOMPARE(editX()->value(), 0.3457);
        QCOMPARE(editY()->value(), 0.3585);

        editTempK()->setValue(2856);
        QCOMPARE(comboWhitePoint()->currentText(), QStringLiteral("A"));
        QCOMPARE(labelWhitePointCmt()->text(), QStringLiteral("Incandescent / Tungsten"));

        // Below 4000 K: the locus row at or below the temperature.
        editTempK()->setValue(2855);
        QCOMPARE(comboWhitePoint()->currentIndex(), 0);
        QCOMPARE(labelWhitePointCmt()->text(), QStringLiteral("Other"));
        const LocusRow& row = lowTemperatureLocus()[185];
        QCOMPARE(row.kelvin, int64_t(2850));
        QCOMPARE(editX()->value(), std::round(row.x * 1e4) / 1e4);
        QCOMPARE(editY()->value(), std::round(row.y * 1e4) / 1e4);
        QCOMPARE(editTempK()->value(), 2855);   // not changed by the new x, y

        // From 4000 K: the CIE daylight locus.
        editTempK()->setValue(6000);
        QCOMPARE(comboWhitePoint()->currentIndex(), 0);
        const double T = 6000;
        const double x = -4.6070e9 / (T * T * T) + 2.9678e6 / (T * T) + 0.09911e3 / T + 0.244063;
        const double y = -3 * x * x + 2.87 * x - 0.275;
        QCOMPARE(editX()->value(), std::round(x * 1e4) / 1e4);
        QCOMPARE(editY()->value(), std::round(y * 1e4) / 1e4);
        QCOMPARE(editTempK()->value(), 6000);
    }

    void chromaticitySelectsRowsOrComputesTemperature()
    {
        editTempK()->setValue(1500);
        editX()->setValue(0.3127);
        editY()->setValue(0.3290);   // D65 within 1e-4
        QCOMPARE(comboWhitePoint()->currentText(), QStringLiteral("D65"));
        QCOMPARE(editTempK()->value(), 6504);
        QCOMPARE(labelWhitePointCmt()->text(), QStringLiteral("Noon Daylight: Television, sRGB color space"));

        editX()->setValue(0.3);
        editY()->setValue(0.3);
        QCOMPARE(comboWhitePoint()->currentIndex(), 0);
        double kelvin = 0;
        QVERIFY(tempFromWhitePoint(&kelvin, {0.3, 0.3, 100}));
        QCOMPARE(editTempK()->value(), int(kelvin));
    }

    void choosingOtherByHandLoadsZeros()
    {
        comboWhitePoint()->setCurrentIndex(6);
        QCOMPARE(editTempK()->value(), 6504);
        comboWhitePoint()->setCurrentIndex(0);
        QCOMPARE(editX()->value(), 0.0);
        QCOMPARE(editY()->value(), 0.0);
        QCOMPARE(editTempK()->value(), 1000);   // 0 clamped
        QCOMPARE(labelWhitePointCmt()->text(), QStringLiteral("Other"));
    }

    void cloningProposesFreeNames()
    {
        comboPreset()->setCurrentIndex(0);
        QCOMPARE(clone(nullptr), QStringLiteral("ICC Standard - Copy"));
        QCOMPARE(comboPreset()->count(), 12);
        QCOMPARE(comboPreset()->currentIndex(), 11);
        QCOMPARE(comboPreset()->currentText(), QStringLiteral("ICC Standard - Copy"));
        const auto copy = dialog->presetAt(11);
        QVERIFY(copy && !copy->builtIn);
        QCOMPARE(copy->values.La, 31.83);
        QVERIFY(child<QPushButton>("btnSave")->isEnabled());
        QVERIFY(child<QPushButton>("btnRemove")->isEnabled());

        // The clone takes the stored values, not unsaved edits of the controls.
        comboPreset()->setCurrentIndex(0);
        editLa()->setValue(999);
        QCOMPARE(clone(nullptr), QStringLiteral("ICC Standard - Copy (1)"));
        QCOMPARE(dialog->presetAt(12)->values.La, 31.83);

        // Nothing is written until Save or Remove.
        QSettings fresh(path(), QSettings::IniFormat);
        QVERIFY(!fresh.contains("vclist"));
    }

    void cloningUnderAnExistingNameIsRefused()
    {
        comboPreset()->setCurrentIndex(3);
        QString message;
        onNextModal<QMessageBox>([&](QMessageBox* box) {
            message = box->text();
            QCOMPARE(box->windowTitle(), QStringLiteral("Tonemolder test"));
            QCOMPARE(box->icon(), QMessageBox::Critical);
            box->accept();
        });
        const QString name = QStringLiteral("ICC Standard");
        clone(&name);
        QCOMPARE(message, QStringLiteral("'ICC Standard' already exists."));
        QCOMPARE(comboPreset()->count(), 11);

        const QString empty;
        clone(&empty);
        QCOMPARE(comboPreset()->count(), 11);

        onNextModal<QInputDialog>([](QInputDialog* input) { input->reject(); });
        dialog->cloneConditions();
        QCOMPARE(comboPreset()->count(), 11);
    }

    void savedPresetsSurviveARestart()
    {
        comboPreset()->setCurrentIndex(0);
        const QString name = QStringLiteral("Viewing booth");
        clone(&name);
        QCOMPARE(comboPreset()->currentIndex(), 11);

        editTempK()->setValue(6504);   // D65
        editYb()->setValue(35);
        editLa()->setValue(64);
        editSurround()->setValue(1.5);
        discounting()->setChecked(false);
        dialog->save();
        QCOMPARE(dialog->result(), int(QDialog::Accepted));

        restart();
        QCOMPARE(dialog->presetCount(), 12);
        const auto saved = dialog->presetAt(11);
        QVERIFY(saved);
        QCOMPARE(saved->name, name);
        QVERIFY(!saved->builtIn);
        const CieXyz white = xyYToXyz({0.3127, 0.329, 100});
        QCOMPARE(saved->values.Xw, white.X);
        QCOMPARE(saved->values.Yw, 100.0);
        QCOMPARE(saved->values.Zw, white.Z);
        QCOMPARE(saved->values.Yb, 35.0);
        QCOMPARE(saved->values.La, 64.0);
        QCOMPARE(saved->values.surround, 1.5);
        QCOMPARE(saved->values.discounting, 0);

        comboPreset()->setCurrentIndex(11);
        QCOMPARE(comboWhitePoint()->currentText(), QStringLiteral("D65"));
        QVERIFY(!discounting()->isChecked());
    }

    void savingABuiltInDoesNothing()
    {
        comboPreset()->setCurrentIndex(2);
        editLa()->setValue(10);
        dialog->setResult(QDialog::Rejected);
        dialog->save();
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QCOMPARE(dialog->presetAt(2)->values.La, 64.0);
        QSettings fresh(path(), QSettings::IniFormat);
        QVERIFY(!fresh.contains("vclist"));
    }

    void whiteWithZeroYIsRefused()
    {
        comboPreset()->setCurrentIndex(0);
        clone(nullptr);
        editX()->setValue(0.3);
        editY()->setValue(0);
        dialog->setResult(QDialog::Rejected);
        QString message;
        onNextModal<QMessageBox>([&](QMessageBox* box) {
            message = box->text();
            box->accept();
        });
        dialog->save();
        QVERIFY(!message.isEmpty());
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QCOMPARE(dialog->presetAt(11)->values.Xw, 96.42);
        QSettings fresh(path(), QSettings::IniFormat);
        QVERIFY(!fresh.contains("vclist"));
    }

    void removingAsksFirst()
    {
        comboPreset()->setCurrentIndex(0);
        clone(nullptr);
        QCOMPARE(comboPreset()->count(), 12);

        QString question;
        onNextModal<QMessageBox>([&](QMessageBox* box) {
            question = box->text();
            box->button(QMessageBox::Cancel)->click();
        });
        dialog->removeConditions();
        QCOMPARE(question, QStringLiteral("Remove ICC Standard - Copy?"));
        QCOMPARE(comboPreset()->count(), 12);

        onNextModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        dialog->removeConditions();
        QCOMPARE(comboPreset()->count(), 11);
        QCOMPARE(comboPreset()->currentIndex(), 0);

        // The removal was written: a stored, empty list.
        restart();
        QCOMPARE(dialog->presetCount(), 11);
        QSettings fresh(path(), QSettings::IniFormat);
        QVERIFY(fresh.contains("vclist"));
    }

    void decodedPresetsAreKeptUntilSaveOrRemove()
    {
        const ViewingConditionsEntry builtIn = ViewingConditionsPresets::builtIns()[8];
        QCOMPARE(dialog->decodePreset(encodePreset(builtIn)), 8);
        QCOMPARE(dialog->decodePreset(QString()), -1);

        const ViewingConditionsEntry foreign{false, QStringLiteral("From a recipe"), {95, 100, 105, 25, 50, 1.2, 0}};
        QCOMPARE(dialog->decodePreset(encodePreset(foreign)), 11);
        QCOMPARE(dialog->presetCount(), 12);
        {
            QSettings fresh(path(), QSettings::IniFormat);
            QVERIFY(!fresh.contains("vclist"));
        }

        // A recipe's entry flagged built-in but unknown here can still be removed.
        ViewingConditionsEntry flagged = foreign;
        flagged.builtIn = true;
        flagged.name = QStringLiteral("Built-in elsewhere");
        QCOMPARE(dialog->decodePreset(encodePreset(flagged)), 12);
        dialog->fillPresetCombo(comboPreset(), 12);
        QVERIFY(!child<QPushButton>("btnSave")->isEnabled());
        QVERIFY(child<QPushButton>("btnRemove")->isEnabled());
        onNextModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        dialog->removeConditions();

        // Removing wrote the rest of the list, the decoded preset included.
        restart();
        QCOMPARE(dialog->presetCount(), 12);
        QCOMPARE(dialog->presetAt(11)->name, foreign.name);
    }

    void editPresetReturnsTheSelectedIndex()
    {
        onNextModal<ViewingConditions>([this](ViewingConditions*) {
            QCOMPARE(comboPreset()->currentIndex(), 4);
            comboPreset()->setCurrentIndex(9);
            child<QPushButton>("btnClose")->click();
        });
        int index = 4;
        const int result = dialog->editPreset(index);
        QCOMPARE(index, 9);
        QCOMPARE(result, int(QDialog::Rejected));
    }
};

QTEST_MAIN(ViewingConditionsTest)
#include "viewingconditions_qtest.moc"
