// The slider and spin box coupling: each scale mode in both directions, one
// announcement per change, and the quiet reconfiguration and reset.
#include "curves/core/curvefamily.h"
#include "curves/widgets/spinnedslider.h"

#include <QDoubleSpinBox>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QWidget>

#include <memory>

namespace {

ParameterControl control(double minimum, double maximum, double step, double defaultValue, int scaleMode,
                         int sliderMinimum, int sliderMaximum, bool inverted = false)
{
    return {true, true, minimum, maximum, step, defaultValue, scaleMode, sliderMinimum, sliderMaximum, inverted};
}

} // namespace

Q_DECLARE_METATYPE(ParameterControl)

class SpinnedSliderTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QWidget> owner;
    QDoubleSpinBox* spin = nullptr;
    QSlider* slider = nullptr;
    SpinnedSlider* pair = nullptr;

    // A pair configured as `c`, with the spin box showing `decimals`.
    void makePair(const ParameterControl& c, int decimals = 2)
    {
        owner = std::make_unique<QWidget>();
        spin = new QDoubleSpinBox(owner.get());
        spin->setDecimals(decimals);
        slider = new QSlider(Qt::Horizontal, owner.get());
        pair = new SpinnedSlider(spin, slider, owner.get());
        pair->configure(c);
        pair->resetToDefault();
    }

private slots:
    void startsLogarithmicWithDefaultOne()
    {
        QWidget w;
        SpinnedSlider p(new QDoubleSpinBox(&w), new QSlider(&w));
        QCOMPARE(p.scaleMode(), 2);
        QCOMPARE(p.defaultValue(), 1.0);
        QVERIFY(!p.isBlocking());
    }

    void sliderMovesSpin_data()
    {
        QTest::addColumn<ParameterControl>("control");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<int>("position");
        QTest::addColumn<double>("shown");       // the spin box, rounded to its decimals
        QTest::addColumn<double>("announced");   // the signal, before rounding

        const ParameterControl gamma = control(0.25, 4.0, 0.01, 1.0, 2, 1, 100, true);
        const ParameterControl strength = control(-9, 9, 0.1, 0, 3, -100, 100);
        const ParameterControl offset = control(-1, 1, 0.01, 0, 0, -100, 100);
        const ParameterControl shape = control(0, 9, 0.1, 2.5, 4, 0, 100);
        const ParameterControl smoothing = control(0, 10, 0.1, 0, 1, 0, 1000);
        QTest::newRow("gamma at 100") << gamma << 2 << 100 << 4.0 << 4.0003312;
        QTest::newRow("gamma at 1") << gamma << 2 << 1 << 0.26 << 0.2555701;
        QTest::newRow("gamma at 75") << gamma << 2 << 75 << 2.0 << 1.9972518;
        QTest::newRow("strength at -100") << strength << 2 << -100 << -9.0 << -9.0;
        QTest::newRow("strength at 7") << strength << 2 << 7 << 0.63 << 0.63;
        QTest::newRow("offset at -37") << offset << 2 << -37 << -0.37 << -0.37;
        QTest::newRow("shape at 30") << shape << 2 << 30 << 2.7 << 2.7;
        QTest::newRow("smoothing at 256") << smoothing << 1 << 256 << 2.6 << 2.56;
    }

    void sliderMovesSpin()
    {
        QFETCH(ParameterControl, control);
        QFETCH(int, decimals);
        QFETCH(int, position);
        QFETCH(double, shown);
        QFETCH(double, announced);
        makePair(control, decimals);
        QSignalSpy spy(pair, &SpinnedSlider::valueChanged);
        slider->setValue(position);
        QCOMPARE(spin->value(), shown);
        QCOMPARE(spy.count(), 1);
        QVERIFY(qAbs(spy.at(0).at(0).toDouble() - announced) < 5e-7);
        QCOMPARE(slider->value(), position);   // the spin box's own signal did not come back
    }

    void spinMovesSlider_data()
    {
        QTest::addColumn<ParameterControl>("control");
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("position");
        const ParameterControl gamma = control(0.25, 4.0, 0.01, 1.0, 2, 1, 100, true);
        QTest::newRow("gamma 1") << gamma << 1.0 << 50;
        QTest::newRow("gamma 2") << gamma << 2.0 << 75;
        QTest::newRow("gamma 0.25 stops at the first position") << gamma << 0.25 << 1;
        QTest::newRow("strength 0.5") << control(-9, 9, 0.1, 0, 3, -100, 100) << 0.5 << 6;
        QTest::newRow("strength -9") << control(-9, 9, 0.1, 0, 3, -100, 100) << -9.0 << -100;
        QTest::newRow("offset 0.25") << control(-1, 1, 0.01, 0, 0, -100, 100) << 0.25 << 25;
        QTest::newRow("shape 2.5") << control(0, 9, 0.1, 2.5, 4, 0, 100) << 2.5 << 28;
        QTest::newRow("smoothing 7.5") << control(0, 10, 0.1, 0, 1, 0, 1000) << 7.5 << 750;
    }

    void spinMovesSlider()
    {
        QFETCH(ParameterControl, control);
        QFETCH(double, value);
        QFETCH(int, position);
        makePair(control);
        spin->setValue(control.maximum);   // away from the value under test
        QSignalSpy spy(pair, &SpinnedSlider::valueChanged);
        spin->setValue(value);
        QCOMPARE(slider->value(), position);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toDouble(), value);
        QCOMPARE(spin->value(), value);   // the slider's own signal did not come back
    }

    void typingAndKeysAreAnnouncedOnce()
    {
        makePair(control(0.25, 4.0, 0.01, 1.0, 2, 1, 100, true));
        owner->show();
        QSignalSpy spy(pair, &SpinnedSlider::valueChanged);

        spin->setKeyboardTracking(false);
        spin->selectAll();
        QTest::keyClicks(spin, "2");
        QTest::keyClick(spin, Qt::Key_Return);
        QCOMPARE(spin->value(), 2.0);
        QCOMPARE(slider->value(), 75);
        QCOMPARE(spy.count(), 1);

        // A step of the slider by keyboard.
        slider->setFocus();
        slider->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(slider->value(), 76);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spin->value(), 2.05);   // 0.248567 · e^(0.0277842 · 76) = 2.0535
    }

    void blockingStopsBothDirections()
    {
        makePair(control(-1, 1, 0.01, 0, 0, -100, 100));
        QSignalSpy spy(pair, &SpinnedSlider::valueChanged);
        pair->setBlocking(true);
        slider->setValue(50);
        QCOMPARE(spin->value(), 0.0);
        spin->setValue(-0.5);
        QCOMPARE(slider->value(), 50);
        QCOMPARE(spy.count(), 0);
        pair->setBlocking(false);
        slider->setValue(20);
        QCOMPARE(spin->value(), 0.2);
        QCOMPARE(spy.count(), 1);
    }

    void reconfigurationIsQuiet()
    {
        // A strength of 9 meets the gamma ranges: the spin box clamps it to 4,
        // nobody hears of it, and the slider goes where 4 belongs.
        makePair(control(-9, 9, 0.1, 0, 3, -100, 100));
        spin->setValue(9.0);
        QSignalSpy spy(pair, &SpinnedSlider::valueChanged);
        pair->configure(control(0.25, 4.0, 0.01, 1.0, 2, 1, 100, true));
        QCOMPARE(spy.count(), 0);
        QVERIFY(!pair->isBlocking());
        QCOMPARE(spin->value(), 4.0);
        QCOMPARE(spin->minimum(), 0.25);
        QCOMPARE(spin->singleStep(), 0.01);
        QCOMPARE(slider->minimum(), 1);
        QCOMPARE(slider->maximum(), 100);
        QCOMPARE(slider->singleStep(), 1);
        QCOMPARE(slider->pageStep(), 5);
        QVERIFY(slider->invertedAppearance());
        QCOMPARE(slider->value(), 100);
        QCOMPARE(pair->scaleMode(), 2);
        QCOMPARE(pair->defaultValue(), 1.0);

        // An unconfigured control leaves everything as it is.
        pair->configure(ParameterControl{});
        QCOMPARE(pair->scaleMode(), 2);
        QCOMPARE(spin->maximum(), 4.0);
    }

    void resetAnnouncesTheDefaultOnce()
    {
        makePair(control(0, 9, 0.1, 2.5, 4, 0, 100));
        spin->setValue(7.0);
        QSignalSpy spy(pair, &SpinnedSlider::valueChanged);
        pair->resetToDefault();
        QCOMPARE(spin->value(), 2.5);
        QCOMPARE(slider->value(), 28);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toDouble(), 2.5);

        // Already at the default: still announced, once.
        pair->resetToDefault();
        QCOMPARE(spy.count(), 2);

        // While blocking: the controls move, nothing is announced.
        spin->setValue(7.0);
        spy.clear();
        pair->setBlocking(true);
        pair->resetToDefault();
        QCOMPARE(spin->value(), 2.5);
        QCOMPARE(slider->value(), 28);
        QCOMPARE(spy.count(), 0);
        QVERIFY(pair->isBlocking());
    }
};

QTEST_MAIN(SpinnedSliderTest)
#include "spinnedslider_qtest.moc"
