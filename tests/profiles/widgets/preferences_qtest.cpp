// The preferences dialog: every key read with its default, shown within the
// controls' ranges, written on OK and left alone on Cancel; the version
// layout, the monitor list and the prelinearisation preview.
#include "profiles/widgets/preferences.h"

#include "app/widgets/qgraphicsviewmap.h"
#include "curves/widgets/channelmodifier.h"
#include "curves/core/curvefamily.h"
#include "profiles/core/builtinspaces.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGraphicsPathItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>

namespace {

IccProfile* builtinSrgb()
{
    return openProfileByName(QStringLiteral("*srgb"));
}

// The prelinearisation shape S(x; c) of the curve family, written out.
double referenceShape(double x, double c)
{
    if (c == 0) return x;
    const double k = 0.5 / (1.0 / (1.0 + std::exp(-c)) - 0.5);
    return (1.0 / (1.0 + std::exp(-c * (2 * x - 1))) - 0.5) * k + 0.5;
}

}   // namespace

class PreferencesTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::unique_ptr<QSettings> settings_;

    template <class T>
    static T* child(Preferences& d, const char* name)
    {
        T* w = d.findChild<T*>(QString::fromLatin1(name));
        if (!w) qFatal("no %s", name);
        return w;
    }

    static QGraphicsPathItem* curveItem(Preferences& d)
    {
        QGraphicsPathItem* found = nullptr;
        int count = 0;
        for (QGraphicsItem* item : child<QGraphicsViewMap>(d, "curvesGraphicsView")->scene()->items()) {
            if (auto* path = qgraphicsitem_cast<QGraphicsPathItem*>(item)) {
                found = path;
                ++count;
            }
        }
        return count == 1 ? found : nullptr;
    }

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(tonemolder);
        QVERIFY(registerCurveFamilyPlugin());
        QVERIFY(dir_.isValid());
    }

    void init()
    {
        settings_.reset();   // its last sync must not outlive the removal
        QFile::remove(dir_.filePath("prefs.ini"));
        settings_ = std::make_unique<QSettings>(dir_.filePath("prefs.ini"), QSettings::IniFormat);
    }

    void theDialogItself()
    {
        Preferences d(settings_.get(), nullptr, builtinSrgb);
        QCOMPARE(d.objectName(), QString("preferences"));
        QCOMPARE(d.windowTitle(), QString("Preferences"));
        QCOMPARE(d.windowModality(), Qt::ApplicationModal);
        QVERIFY(d.isSizeGripEnabled());
        QCOMPARE(d.size(), QSize(600, 600));
        QVERIFY(child<QPushButton>(d, "okButton")->isDefault());
        QCOMPARE(child<QComboBox>(d, "comboProfileVersion")->count(), 2);
        QCOMPARE(child<QComboBox>(d, "comboProfileVersion")->itemText(0), QString("V4 ICC profile (recommended)"));
        QCOMPARE(child<QComboBox>(d, "comboProfileVersion")->itemText(1),
                 QString("V2 ICC profile (compatibility only)"));
        QCOMPARE(child<ChannelModifier>(d, "prelin")->componentName(), QString("PCS prelin:"));
        QCOMPARE(child<ChannelModifier>(d, "prelin")->family(), 32);
        QVERIFY(!child<ChannelModifier>(d, "prelin")->isLocked());
        QVERIFY(child<QWidget>(d, "lockButton")->isHidden());
        QVERIFY(child<QComboBox>(d, "comboFamily")->isHidden());
        QVERIFY(child<QDoubleSpinBox>(d, "spinOffset")->isHidden());

        // The shape's control: 1 to 9 at two decimals, as profiles are built.
        auto* shape = child<QDoubleSpinBox>(d, "spinValue");
        QVERIFY(!shape->isHidden());
        QCOMPARE(shape->decimals(), 2);
        QCOMPARE(shape->minimum(), 1.0);
        QCOMPARE(shape->maximum(), 9.0);
    }

    void emptySettingsShowTheDefaults()
    {
        Preferences d(settings_.get(), nullptr, builtinSrgb);
        QCOMPARE(child<QComboBox>(d, "comboProfileVersion")->currentIndex(), 0);
        QCOMPARE(child<QSpinBox>(d, "editLStar")->value(), 33);
        QCOMPARE(child<QSpinBox>(d, "editAbStar")->value(), 33);
        QCOMPARE(child<QSpinBox>(d, "editCurvePoints")->value(), 1024);
        QCOMPARE(d.values().resolution.sigmoidShape, 1.5);
        QCOMPARE(child<QDoubleSpinBox>(d, "spinValue")->text(), QString("1.50"));
        QCOMPARE(child<QSpinBox>(d, "editDrawCurveRes")->value(), 64);
        QVERIFY(!child<QCheckBox>(d, "cbDontDark")->isChecked());
        QComboBox* monitors = child<QComboBox>(d, "comboMonitors");
        QCOMPARE(monitors->count(), 2);
        QCOMPARE(monitors->currentIndex(), 0);
        QCOMPARE(monitors->itemText(0), QString("Monitor: sRGB-like color space"));
        QCOMPARE(monitors->itemText(1), QString("Forced sRGB Monitor"));
        QCOMPARE(d.values(), PreferenceSettings{});
    }

    void storedValuesAreShownAndWrittenBackOnOk()
    {
        settings_->setValue("icc/version", 1);
        settings_->setValue("icc/grid_lstar", 33);
        settings_->setValue("icc/grid_abstar", 100);   // above 64
        settings_->setValue("icc/grid_curves", 100);   // below 512
        settings_->setValue("icc/sigmoid_sh", 4.5);
        settings_->setValue("draw_curve_res", 256);
        settings_->setValue("gui/undecorated", true);
        settings_->setValue("monitor_sRGB", 1);

        Preferences d(settings_.get(), nullptr, builtinSrgb);
        QCOMPARE(child<QComboBox>(d, "comboProfileVersion")->currentIndex(), 1);
        QCOMPARE(child<QSpinBox>(d, "editLStar")->value(), 33);
        QCOMPARE(child<QSpinBox>(d, "editAbStar")->value(), 64);
        QCOMPARE(child<QSpinBox>(d, "editCurvePoints")->value(), 512);
        QCOMPARE(d.values().resolution.sigmoidShape, 4.5);
        QCOMPARE(child<QSpinBox>(d, "editDrawCurveRes")->value(), 256);
        QVERIFY(child<QCheckBox>(d, "cbDontDark")->isChecked());
        QCOMPARE(child<QComboBox>(d, "comboMonitors")->currentIndex(), 1);

        settings_->clear();
        QTest::mouseClick(child<QPushButton>(d, "okButton"), Qt::LeftButton);
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(settings_->value("icc/version").toInt(), 1);
        QCOMPARE(settings_->value("icc/grid_lstar").toInt(), 33);
        QCOMPARE(settings_->value("icc/grid_abstar").toInt(), 64);
        QCOMPARE(settings_->value("icc/grid_curves").toInt(), 512);
        QCOMPARE(settings_->value("icc/sigmoid_sh").toDouble(), 4.5);
        QCOMPARE(settings_->value("draw_curve_res").toInt(), 256);
        QCOMPARE(settings_->value("gui/undecorated").toBool(), true);
        QCOMPARE(settings_->value("monitor_sRGB").toInt(), 1);
    }

    void okWritesWhatTheUserSet()
    {
        Preferences d(settings_.get(), nullptr, builtinSrgb);
        child<QComboBox>(d, "comboProfileVersion")->setCurrentIndex(1);
        child<QSpinBox>(d, "editLStar")->setValue(3);          // clamped by the control
        child<QSpinBox>(d, "editAbStar")->setValue(40);
        child<QSpinBox>(d, "editCurvePoints")->setValue(2048);
        child<ChannelModifier>(d, "prelin")->setValue(1.25);
        child<QSpinBox>(d, "editDrawCurveRes")->setValue(5000);
        child<QCheckBox>(d, "cbDontDark")->setChecked(true);
        child<QComboBox>(d, "comboMonitors")->setCurrentIndex(1);
        QTest::mouseClick(child<QPushButton>(d, "okButton"), Qt::LeftButton);

        PreferenceSettings expected;
        expected.resolution.versionIndex = 1;
        expected.resolution.gridLstar = 7;
        expected.resolution.gridAbstar = 40;
        expected.resolution.gridCurves = 2048;
        expected.resolution.sigmoidShape = 1.25;
        expected.drawCurveRes = 4096;
        expected.undecorated = true;
        expected.monitorSrgb = 1;
        QCOMPARE(PreferenceSettings::read(*settings_), expected);
        QCOMPARE(settings_->value("monitor_sRGB").toInt(), 1);
    }

    // The preview's gamut warning: ΔE76 2 in magenta until changed.
    void theGamutWarningTakesItsToleranceAndColourHere()
    {
        {
            Preferences d(settings_.get(), nullptr, builtinSrgb);
            QCOMPARE(child<QDoubleSpinBox>(d, "editGamutTolerance")->value(), 2.0);
            QCOMPARE(child<QPushButton>(d, "buttonGamutColour")->text(), QString("#ff00ff"));
            child<QDoubleSpinBox>(d, "editGamutTolerance")->setValue(3.5);
            QTest::mouseClick(child<QPushButton>(d, "okButton"), Qt::LeftButton);
        }
        QCOMPARE(settings_->value("proofing/gamut_tolerance").toDouble(), 3.5);
        QCOMPARE(settings_->value("proofing/gamut_colour").toUInt(), 0xFF00FFu);
        settings_->setValue("proofing/gamut_colour", 0x00FF00u);
        Preferences again(settings_.get(), nullptr, builtinSrgb);
        QCOMPARE(child<QDoubleSpinBox>(again, "editGamutTolerance")->value(), 3.5);
        QCOMPARE(child<QPushButton>(again, "buttonGamutColour")->text(), QString("#00ff00"));
    }

    void cancelWritesNothing()
    {
        settings_->setValue("icc/grid_lstar", 30);
        Preferences d(settings_.get(), nullptr, builtinSrgb);
        child<QSpinBox>(d, "editLStar")->setValue(50);
        child<QCheckBox>(d, "cbDontDark")->setChecked(true);
        QTest::mouseClick(child<QPushButton>(d, "cancelButton"), Qt::LeftButton);
        QCOMPARE(d.result(), int(QDialog::Rejected));
        QCOMPARE(settings_->allKeys(), QStringList{"icc/grid_lstar"});
        QCOMPARE(settings_->value("icc/grid_lstar").toInt(), 30);
    }

    void versionTwoUsesOneGridSize()
    {
        Preferences d(settings_.get(), nullptr, builtinSrgb);
        QLabel* lstar = child<QLabel>(d, "labelLstar");
        QCOMPARE(lstar->text(), QString("L* Grid points:"));
        QVERIFY(!child<QLabel>(d, "labelAbStar")->isHidden());
        QVERIFY(!child<QSpinBox>(d, "editAbStar")->isHidden());

        child<QComboBox>(d, "comboProfileVersion")->setCurrentIndex(1);
        QCOMPARE(lstar->text(), QString("Grid points:"));
        QVERIFY(child<QLabel>(d, "labelAbStar")->isHidden());
        QVERIFY(child<QSpinBox>(d, "editAbStar")->isHidden());

        child<QComboBox>(d, "comboProfileVersion")->setCurrentIndex(0);
        QCOMPARE(lstar->text(), QString("L* Grid points:"));
        QVERIFY(!child<QSpinBox>(d, "editAbStar")->isHidden());

        // Opened on a stored version 2, the layout is already the single grid.
        settings_->setValue("icc/version", 1);
        Preferences v2(settings_.get(), nullptr, builtinSrgb);
        QCOMPARE(child<QLabel>(v2, "labelLstar")->text(), QString("Grid points:"));
        QVERIFY(child<QSpinBox>(v2, "editAbStar")->isHidden());
    }

    void unreadableMonitorProfileFallsBackToSrgb()
    {
        QString title, text;
        bool closed = false;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                title = box->windowTitle();
                text = box->text();
                QCOMPARE(box->icon(), QMessageBox::Critical);
                box->accept();
                closed = true;
            }
        });
        QApplication::setApplicationDisplayName("Tonemolder test");
        Preferences d(settings_.get(), nullptr, [] { return static_cast<IccProfile*>(nullptr); });
        QVERIFY(closed);
        QCOMPARE(title, QString("Tonemolder test"));
        QCOMPARE(text, QString("The profile you have assiged to your monitor is corrupted!\nassuming sRGB"));

        ProfilePtr srgb = adoptProfile(createSrgbProfile(nullptr));
        QCOMPARE(child<QComboBox>(d, "comboMonitors")->itemText(0), monitorEntryText(monitorDescription(srgb.get())));
        QVERIFY(child<QComboBox>(d, "comboMonitors")->itemText(0).startsWith("Monitor: "));
    }

    void longMonitorDescriptionsAreCut()
    {
        const auto withDescription = [](const char* text) {
            return [text]() -> IccProfile* {
                IccProfile* p = createSrgbProfile(nullptr);
                std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)> t{newLocalizedText(nullptr, 1),
                                                                                &freeLocalizedText};
                setText8(t.get(), "en", "US", text);
                storeTag(p, sig("desc"), t.get());
                return p;
            };
        };
        Preferences d22(settings_.get(), nullptr, withDescription("  Twenty-two chars ok!!!  "));
        QCOMPARE(child<QComboBox>(d22, "comboMonitors")->itemText(0), QString("Monitor: Twenty-two chars ok!!! ..."));
        Preferences d40(settings_.get(), nullptr, withDescription("Forty characters of monitor description."));
        QCOMPARE(child<QComboBox>(d40, "comboMonitors")->itemText(0), QString("Monitor: Forty characters of monit ..."));
    }

    void previewPlotsTheShape()
    {
        settings_->setValue("draw_curve_res", 5);
        Preferences d(settings_.get(), nullptr, builtinSrgb);
        QGraphicsViewMap* view = child<QGraphicsViewMap>(d, "curvesGraphicsView");
        QVERIFY(view->scene());
        QCOMPARE(view->scene()->sceneRect(), QRectF(0, 0, 1024, 512));
        QVERIFY(view->renderHints().testFlag(QPainter::Antialiasing));
        QCOMPARE(view->dragMode(), QGraphicsView::ScrollHandDrag);

        int legends = 0;
        for (QGraphicsItem* item : view->scene()->items()) {
            if (auto* text = qgraphicsitem_cast<QGraphicsSimpleTextItem*>(item)) {
                QCOMPARE(text->text(), QString("PCS a*/b* prelinearization"));
                QCOMPARE(text->brush().color().rgba(), 0xFF03A9F4u);
                ++legends;
            }
        }
        QCOMPARE(legends, 1);

        // Five samples of S(x; 1.5) on the 1023 x 511 drawing.
        const auto check = [&](double shape, int n) {
            QGraphicsPathItem* curve = curveItem(d);
            QVERIFY(curve);
            const QPainterPath& path = curve->path();
            QCOMPARE(path.elementCount(), n);
            for (int i = 0; i < n; ++i) {
                const double t = double(i) / (n - 1);
                const double y = std::clamp(referenceShape(t, shape), 0.0, 1.0);
                QVERIFY(std::abs(path.elementAt(i).x - (1023 * t - 1)) < 1e-6);
                QVERIFY2(std::abs(path.elementAt(i).y - ((1 - y) * 511 - 1)) < 0.1,
                         qPrintable(QString("point %1 of %2 at shape %3").arg(i).arg(n).arg(shape)));
            }
        };
        check(1.5, 5);

        child<ChannelModifier>(d, "prelin")->setValue(6.5);
        check(6.5, 5);
        child<QSpinBox>(d, "editDrawCurveRes")->setValue(33);
        check(6.5, 33);
        child<ChannelModifier>(d, "prelin")->setValue(0.0);   // below the range: the lowest
        check(1.0, 33);

        // Each step of the shape's slider redraws once, with the new shape.
        auto* slider = child<QSlider>(d, "sliderValue");
        QSignalSpy changed(child<ChannelModifier>(d, "prelin"), &ChannelModifier::valueChanged);
        for (int step = 1; step <= 3; ++step) {
            slider->triggerAction(QAbstractSlider::SliderSingleStepAdd);
            QCOMPARE(changed.count(), step);
            const double shape = d.values().resolution.sigmoidShape;
            QCOMPARE(shape, child<QDoubleSpinBox>(d, "spinValue")->value());
            QVERIFY(shape > 1.0);
            check(shape, 33);
        }
    }

    // What the dialog offers is what profiles are built with: its lowest and
    // its highest values, written on OK, come back unchanged from the
    // builder's clamp.
    void offersOnlyWhatTheBuilderUses()
    {
        for (const bool highest : {false, true}) {
            settings_->clear();
            Preferences d(settings_.get(), nullptr, builtinSrgb);
            for (const char* name : {"editLStar", "editAbStar", "editCurvePoints"}) {
                auto* edit = child<QSpinBox>(d, name);
                edit->setValue(highest ? edit->maximum() : edit->minimum());
            }
            auto* shape = child<QDoubleSpinBox>(d, "spinValue");
            child<ChannelModifier>(d, "prelin")->setValue(highest ? shape->maximum() : shape->minimum());
            child<QComboBox>(d, "comboProfileVersion")->setCurrentIndex(highest ? 1 : 0);
            QTest::mouseClick(child<QPushButton>(d, "okButton"), Qt::LeftButton);

            const ResolutionPreferences stored = resolutionPreferences(*settings_);
            const ResolutionPreferences expected =
                highest ? ResolutionPreferences{1, 64, 64, 4096, 9.0} : ResolutionPreferences{0, 7, 7, 512, 1.0};
            QVERIFY(stored == expected);
            QVERIFY(stored.clamped() == stored);
        }
    }

    void storedShapeOutsideTheRange()
    {
        settings_->setValue("icc/sigmoid_sh", 12.0);
        Preferences d(settings_.get(), nullptr, builtinSrgb);
        QCOMPARE(child<QDoubleSpinBox>(d, "spinValue")->value(), 9.0);
        QTest::mouseClick(child<QPushButton>(d, "okButton"), Qt::LeftButton);
        QCOMPARE(settings_->value("icc/sigmoid_sh").toDouble(), 9.0);
    }
};

QTEST_MAIN(PreferencesTest)
#include "preferences_qtest.moc"
