// The channel editor: families on offer, the controls each family shows, the
// coupled parameters, the lock, the change signal and the context menu.
#include "tests/curves/widgets/channelmodifiertesting.h"

class ChannelModifierTest : public ChannelModifierFixture {
    Q_OBJECT

private slots:
    void initTestCase() { initCase(); }
    void init() { makeEditor(); }
    void cleanup() { dropEditor(); }

    void startsWithNothingOffered()
    {
        QWidget holder;
        ChannelModifier fresh(&holder);
        QCOMPARE(fresh.families(), 0);
        for (QWidget* w : fresh.findChildren<QWidget*>())
            if (w->objectName() != "lockButton" && w->objectName() != "labelComponent" && !w->objectName().isEmpty() &&
                w->parentWidget() == &fresh)
                QVERIFY2(w->isHidden(), qPrintable(w->objectName()));
    }

    void familySelector_data()
    {
        QTest::addColumn<int>("mask");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QList<int>>("values");
        QTest::addColumn<bool>("selectorShown");
        QTest::addColumn<int>("family");
        QTest::newRow("softproofing channel")
            << 479
            << QStringList{"preserve", "gamma", "sigmoidal  ", "offset", "inverse gamma", "inverse sigmoid",
                           "Tabulated", "Point list"}
            << QList<int>{1, 2, 4, 8, 64, 128, 16, 256} << true << 1;
        QTest::newRow("CAM16 correlate")
            << 287 << QStringList{"preserve", "gamma", "sigmoidal  ", "offset", "Tabulated", "Point list"}
            << QList<int>{1, 2, 4, 8, 16, 256} << true << 1;
        QTest::newRow("prelinearisation") << 32 << QStringList{""} << QList<int>{32} << false << 32;
        QTest::newRow("bits out of order") << (256 | 2) << QStringList{"gamma", "Point list"} << QList<int>{2, 256}
                                           << true << 2;
    }

    void familySelector()
    {
        QFETCH(int, mask);
        QFETCH(QStringList, labels);
        QFETCH(QList<int>, values);
        QFETCH(bool, selectorShown);
        QFETCH(int, family);
        m->setFamilies(mask);
        QCOMPARE(m->families(), mask);
        QStringList shownLabels;
        QList<int> shownValues;
        for (int i = 0; i < familyBox()->count(); ++i) {
            shownLabels << familyBox()->itemText(i);
            shownValues << familyBox()->itemData(i, Qt::UserRole).toInt();
            QVERIFY(familyBox()->itemIcon(i).isNull());
        }
        QCOMPARE(shownLabels, labels);
        QCOMPARE(shownValues, values);
        QCOMPARE(!familyBox()->isHidden(), selectorShown);
        QCOMPARE(m->family(), family);
        QCOMPARE(int(m->curve().family()), family);
        if (selectorShown) QCOMPARE(familyBox()->currentIndex(), 0);
    }

    void controlsPerFamily_data()
    {
        QTest::addColumn<int>("family");
        QTest::addColumn<bool>("valueShown");
        QTest::addColumn<bool>("offsetShown");
        QTest::addColumn<bool>("dataShown");
        QTest::addColumn<double>("valueMin");
        QTest::addColumn<double>("valueMax");
        QTest::addColumn<double>("valueStep");
        QTest::addColumn<double>("valueDefault");
        QTest::addColumn<int>("sliderMin");
        QTest::addColumn<int>("sliderMax");
        QTest::addColumn<bool>("inverted");
        // Ranges are checked only where the family configures the value control.
        QTest::newRow("preserve") << 1 << false << false << false << 0.0 << 0.0 << 0.0 << 0.0 << 0 << 0 << false;
        QTest::newRow("gamma") << 2 << true << true << false << 0.25 << 4.0 << 0.01 << 1.0 << 1 << 100 << true;
        QTest::newRow("sigmoidal") << 4 << true << true << false << -9.0 << 9.0 << 0.1 << 0.0 << -100 << 100 << false;
        QTest::newRow("offset") << 8 << false << true << false << -1.0 << 1.0 << 0.01 << 0.0 << -100 << 100 << false;
        QTest::newRow("inverse gamma") << 64 << true << true << false << 0.25 << 4.0 << 0.01 << 1.0 << 1 << 100 << true;
        QTest::newRow("inverse sigmoid") << 128 << true << true << false << -9.0 << 9.0 << 0.1 << 0.0 << -100 << 100
                                         << false;
        QTest::newRow("Tabulated") << 16 << false << false << true << 0.0 << 0.0 << 0.0 << 0.0 << 0 << 0 << false;
        QTest::newRow("Point list") << 256 << false << false << true << 0.0 << 0.0 << 0.0 << 0.0 << 0 << 0 << false;
    }

    void controlsPerFamily()
    {
        QFETCH(int, family);
        QFETCH(bool, valueShown);
        QFETCH(bool, offsetShown);
        QFETCH(bool, dataShown);
        m->setFamilies(479);
        // Come from a family with other ranges, so that nothing is left over.
        chooseFamily(family == 4 ? 2 : 4);
        chooseFamily(family);
        QCOMPARE(m->family(), family);
        QCOMPARE(!spinValue()->isHidden(), valueShown);
        QCOMPARE(!sliderValue()->isHidden(), valueShown);
        QCOMPARE(!spinOffset()->isHidden(), offsetShown);
        QCOMPARE(!sliderOffset()->isHidden(), offsetShown);
        QCOMPARE(!dataButton()->isHidden(), dataShown);
        QCOMPARE(spinValue()->decimals(), 2);
        QCOMPARE(spinOffset()->decimals(), 2);

        if (family == 2 || family == 4 || family == 8 || family == 64 || family == 128) {
            QFETCH(double, valueMin);
            QFETCH(double, valueMax);
            QFETCH(double, valueStep);
            QFETCH(double, valueDefault);
            QFETCH(int, sliderMin);
            QFETCH(int, sliderMax);
            QFETCH(bool, inverted);
            QCOMPARE(spinValue()->minimum(), valueMin);
            QCOMPARE(spinValue()->maximum(), valueMax);
            QCOMPARE(spinValue()->singleStep(), valueStep);
            QCOMPARE(spinValue()->value(), valueDefault);
            QCOMPARE(sliderValue()->minimum(), sliderMin);
            QCOMPARE(sliderValue()->maximum(), sliderMax);
            QCOMPARE(sliderValue()->invertedAppearance(), inverted);
            QCOMPARE(sliderValue()->singleStep(), 1);
            QCOMPARE(sliderValue()->pageStep(), 5);
            // The offset pair is the same for every family that has one.
            QCOMPARE(spinOffset()->minimum(), -1.0);
            QCOMPARE(spinOffset()->maximum(), 1.0);
            QCOMPARE(spinOffset()->singleStep(), 0.01);
            QCOMPARE(spinOffset()->value(), 0.0);
            QCOMPARE(sliderOffset()->minimum(), -100);
            QCOMPARE(sliderOffset()->maximum(), 100);
            QCOMPARE(m->curve().value(), valueDefault);
            QCOMPARE(m->curve().offset(), 0.0);
        }
    }

    void prelinearisationShapeAlone()
    {
        m->setLockVisible(false);
        m->setFamilies(32);
        QVERIFY(familyBox()->isHidden());
        QCOMPARE(m->family(), 32);
        QVERIFY(!spinValue()->isHidden());
        QVERIFY(!sliderValue()->isHidden());
        QVERIFY(spinOffset()->isHidden());
        QVERIFY(dataButton()->isHidden());
        QVERIFY(lockButton()->isHidden());
        QCOMPARE(spinValue()->value(), 2.5);
        QCOMPARE(spinValue()->minimum(), 1.0);   // as profiles are built
        QCOMPARE(spinValue()->maximum(), 9.0);
        QCOMPARE(sliderValue()->value(), 28);
        QCOMPARE(m->curve().value(), 2.5);

        // Another family cannot be chosen while only the shape is offered.
        m->selectFamily(2);
        QCOMPARE(m->family(), 32);
    }

    void slidersAndSpinBoxesMoveTogether()
    {
        m->setFamilies(479);
        chooseFamily(2);
        QSignalSpy spy(m, &ChannelModifier::valueChanged);
        sliderValue()->setValue(100);
        QCOMPARE(spinValue()->value(), 4.0);
        QCOMPARE(m->curve().value(), 4.0);
        spinValue()->setValue(1.0);
        QCOMPARE(sliderValue()->value(), 50);
        sliderOffset()->setValue(-37);
        QCOMPARE(spinOffset()->value(), -0.37);
        QCOMPARE(m->curve().offset(), -0.37);
        QCOMPARE(spy.count(), 3);   // one per change

        chooseFamily(4);
        sliderValue()->setValue(-100);
        QCOMPARE(spinValue()->value(), -9.0);
        spinValue()->setValue(0.5);
        QCOMPARE(sliderValue()->value(), 6);
        QCOMPARE(m->curve().value(), 0.5);
    }

    void settersRoundAndClampThroughTheCurve()
    {
        m->setFamilies(479);
        chooseFamily(2);
        QSignalSpy spy(m, &ChannelModifier::valueChanged);
        m->setValue(5.0);
        QCOMPARE(spinValue()->value(), 4.0);
        QCOMPARE(m->curve().value(), 4.0);
        m->setValue(1.234);
        QCOMPARE(spinValue()->value(), 1.23);
        QCOMPARE(m->curve().value(), 1.23);
        m->setOffset(-3.0);
        QCOMPARE(m->curve().offset(), -1.0);
        QCOMPARE(spy.count(), 3);
        m->setValue(qQNaN());
        m->setValue(1.23);   // no change: nothing announced
        QCOMPARE(m->curve().value(), 1.23);
        QCOMPARE(spy.count(), 3);
    }

    void oneAnnouncementPerChange()
    {
        m->setFamilies(479);
        QSignalSpy spy(m, &ChannelModifier::valueChanged);

        chooseFamily(2);   // a family change
        QCOMPARE(signalValues(spy), QList<double>{1.0});

        m->setValue(3.0);
        spy.clear();
        m->reset();
        QCOMPARE(signalValues(spy), QList<double>{1.0});

        spy.clear();
        m->setFamilies(287);   // refilled in one go
        QCOMPARE(spy.count(), 1);

        // Free-form data arrive silently.
        spy.clear();
        m->setUserData(true, 2.5, QList<float>{0.0f, 0.5f, 1.0f});
        m->setUserData(false, QMap<float, float>{{0.0f, 0.0f}, {1.0f, 1.0f}});
        QCOMPARE(spy.count(), 0);
        QCOMPARE(m->curve().values(), (QList<float>{0.0f, 0.5f, 1.0f}));
        QCOMPARE(m->curve().smoothing(), 2.5);
        QCOMPARE(m->curve().points().size(), 2);
        QVERIFY(!m->curve().normalized());
    }

    void correlatesAndLabel()
    {
        QVERIFY(correlateBox()->isHidden());
        QCOMPARE(m->componentName(), QString("C"));
        QCOMPARE(m->correlateIndex(), 0);

        makeCorrelateEditor();
        QVERIFY(!correlateBox()->isHidden());
        QVERIFY(child<QLabel>("labelComponent")->isHidden());
        QCOMPARE(m->componentName(), QString("C - chroma"));
        correlateBox()->setCurrentIndex(2);
        QCOMPARE(m->correlateIndex(), 2);
        QCOMPARE(m->curve().correlateIndex(), 2);
        QCOMPARE(m->componentName(), QString("s - saturation"));

        m->setLabel("h - hue");
        QVERIFY(correlateBox()->isHidden());
        QCOMPARE(m->correlateIndex(), 0);
        QCOMPARE(m->componentName(), QString("h - hue"));
        QVERIFY(!m->curve().hasCorrelates());
    }

    void correlateChangeResetsAnUnlockedCurve()
    {
        makeCorrelateEditor();
        chooseFamily(2);
        m->setValue(2.5);
        m->setOffset(0.3);
        QSignalSpy spy(m, &ChannelModifier::valueChanged);
        correlateBox()->setCurrentIndex(1);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spinValue()->value(), 1.0);
        QCOMPARE(spinOffset()->value(), 0.0);
        QCOMPARE(m->curve().value(), 1.0);
        QCOMPARE(m->curve().offset(), 0.0);
        QCOMPARE(sliderValue()->value(), 50);
    }

    void lockKeepsValuesAcrossSwitches()
    {
        makeCorrelateEditor();
        chooseFamily(2);
        m->setValue(2.5);
        m->setOffset(0.3);
        lockButton()->click();
        QVERIFY(m->isLocked());
        QVERIFY(m->curve().isLocked());
        for (QWidget* w : {static_cast<QWidget*>(correlateBox()), static_cast<QWidget*>(familyBox()),
                           static_cast<QWidget*>(spinValue()), static_cast<QWidget*>(sliderValue()),
                           static_cast<QWidget*>(spinOffset()), static_cast<QWidget*>(sliderOffset()),
                           static_cast<QWidget*>(child<QLabel>("labelComponent"))})
            QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
        QVERIFY(dataButton()->isEnabled());
        QVERIFY(lockButton()->isEnabled());

        correlateBox()->setCurrentIndex(2);
        QCOMPARE(m->curve().value(), 2.5);
        QCOMPARE(m->curve().offset(), 0.3);
        m->selectFamily(64);   // not on offer for a correlate
        QCOMPARE(m->family(), 2);
        m->selectFamily(4);    // kept, within the new ranges
        QCOMPARE(m->family(), 4);
        QCOMPARE(spinValue()->value(), 2.5);
        QCOMPARE(sliderValue()->value(), 28);   // moved to where 2.5 belongs on the new scale
        QCOMPARE(m->curve().value(), 2.5);
        QCOMPARE(m->curve().offset(), 0.3);

        // Reset does nothing while locked, and says nothing.
        QSignalSpy spy(m, &ChannelModifier::valueChanged);
        m->reset();
        QCOMPARE(spy.count(), 0);
        QCOMPARE(m->curve().value(), 2.5);

        // The setters still apply.
        m->setValue(-1.0);
        QCOMPARE(m->curve().value(), -1.0);

        lockButton()->click();
        QVERIFY(!m->curve().isLocked());
        QVERIFY(spinValue()->isEnabled());
        correlateBox()->setCurrentIndex(0);
        QCOMPARE(m->curve().value(), 0.0);
        QCOMPARE(m->curve().offset(), 0.0);
    }

    void hidingTheLockReleasesIt()
    {
        m->setFamilies(479);
        lockButton()->click();
        QVERIFY(m->isLocked());
        m->setLockVisible(false);
        QVERIFY(lockButton()->isHidden());
        QVERIFY(!m->isLocked());
        QVERIFY(!m->curve().isLocked());
        QVERIFY(familyBox()->isEnabled());
        m->setLockVisible(true);
        QVERIFY(!lockButton()->isHidden());
    }

    void lockIcons()
    {
        QCOMPARE(lockButton()->iconSize(), QSize(16, 22));
        QVERIFY(lockButton()->isCheckable());
        QVERIFY(lockButton()->autoRaise());
        const auto picture = [this](QIcon::State state) {
            return lockButton()->icon().pixmap(QSize(16, 22), QIcon::Normal, state).toImage().convertToFormat(
                QImage::Format_ARGB32_Premultiplied);
        };
        const auto file = [](const char* name) {
            return QImage(QString(":/") + name).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        };
        QVERIFY(!file("lock_white_off.png").isNull());
        QCOMPARE(picture(QIcon::Off), file("lock_white_off.png"));
        QCOMPARE(picture(QIcon::On), file("lock_white_on.png"));
        m->setLockIconsLight(false);
        QCOMPARE(picture(QIcon::Off), file("lock_black_off.png"));
        QCOMPARE(picture(QIcon::On), file("lock_black_on.png"));
    }

    void missingLockPicturesAreDrawn()
    {
        const QIcon icon = makeLockIcon(":/no_such_lock_off.png", ":/no_such_lock_on.png", Qt::white);
        const QImage off = icon.pixmap(QSize(16, 22), QIcon::Normal, QIcon::Off).toImage();
        const QImage on = icon.pixmap(QSize(16, 22), QIcon::Normal, QIcon::On).toImage();
        QCOMPARE(off.size(), QSize(16, 22));
        QVERIFY(off != on);
        QVERIFY(qAlpha(off.pixel(8, 15)) > 0);   // the body is painted
    }

    void tooltips()
    {
        QCOMPARE(lockButton()->toolTip(), QString("Check here to protect the curve. Locked curves cannot be modified."));
        QCOMPARE(correlateBox()->toolTip(), QString("Select the correlate to use in this family"));
        QCOMPARE(child<QLabel>("labelComponent")->toolTip(), QString("Settings at the right affects this component"));
        QCOMPARE(familyBox()->toolTip(), QString("Select curve family"));
        QCOMPARE(dataButton()->text(), QString("Data ..."));
        QCOMPARE(dataButton()->toolTip(), QString("With great power comes great responsibility"));
    }

    void contextMenuResetsUnlessLocked()
    {
        m->setFamilies(479);
        chooseFamily(2);
        m->setValue(3.0);
        panel->show();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        QSignalSpy spy(m, &ChannelModifier::valueChanged);

        QStringList texts;
        bool shown = false;
        onNextMenu(&texts, &shown, "Reset");
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(2, 2), m->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(m, &event);
        QVERIFY(shown);
        QCOMPARE(texts, QStringList{"Reset"});
        QCOMPARE(m->curve().value(), 1.0);
        QCOMPARE(spy.count(), 1);

        m->setValue(3.0);
        lockButton()->click();
        texts.clear();
        shown = true;
        onNextMenu(&texts, &shown);
        QApplication::sendEvent(m, &event);
        QTest::qWait(100);
        QVERIFY(!shown);
        QCOMPARE(m->curve().value(), 3.0);
    }
};

QTEST_MAIN(ChannelModifierTest)
#include "channelmodifier_qtest.moc"
