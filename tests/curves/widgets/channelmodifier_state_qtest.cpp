// The channel editor's state text and the free-form data editors it opens:
// states round-trip through the curve model, restoring goes through the
// controls, and the data dialogs change the curve or leave it as it was.
#include "tests/curves/widgets/channelmodifiertesting.h"

class ChannelModifierStateTest : public ChannelModifierFixture {
    Q_OBJECT

private slots:
    void initTestCase() { initCase(); }
    void init() { makeEditor(); }
    void cleanup() { dropEditor(); }

    void stateRoundTripMatchesTheCurve_data()
    {
        QTest::addColumn<bool>("correlates");
        QTest::addColumn<QString>("state");

        const auto state = [](bool correlates, int correlate, CurveFamily f, bool locked,
                              const std::function<void(ChannelCurve&)>& fill) {
            ChannelCurve c;
            c.setFamilies(correlates ? 287 : 479);
            if (correlates) {
                c.setCorrelateCount(3);
                c.setCorrelateIndex(correlate);
            }
            c.selectFamily(f);
            fill(c);
            c.setLocked(locked);
            return c.toStateString();
        };
        const auto params = [](double v, double o) { return [=](ChannelCurve& c) { c.setValue(v), c.setOffset(o); }; };
        QTest::newRow("preserve") << false << state(false, 0, CurveFamily::Preserve, false, params(1, 0));
        QTest::newRow("gamma, locked") << false << state(false, 0, CurveFamily::Gamma, true, params(2.5, 0.3));
        QTest::newRow("sigmoidal") << false << state(false, 0, CurveFamily::Sigmoidal, false, params(-3.5, -0.2));
        QTest::newRow("offset") << false << state(false, 0, CurveFamily::Offset, false, params(0, 0.4));
        QTest::newRow("inverse gamma") << false << state(false, 0, CurveFamily::InverseGamma, false, params(0.5, 1));
        QTest::newRow("inverse sigmoid, locked")
            << false << state(false, 0, CurveFamily::InverseSigmoid, true, params(9, -1));
        QTest::newRow("Tabulated") << false << state(false, 0, CurveFamily::Tabulated, false, [](ChannelCurve& c) {
            c.setUserData(true, 2.5, {0.0f, 0.3f, 1.7f});
        });
        QTest::newRow("Point list, locked")
            << false << state(false, 0, CurveFamily::PointList, true, [](ChannelCurve& c) {
                   c.setUserData(true, {{0.0f, 0.1f}, {0.4f, 0.7f}, {50.0f, 100.0f}});
               });
        QTest::newRow("saturation, gamma") << true << state(true, 2, CurveFamily::Gamma, false, params(0.75, 0.05));
        QTest::newRow("colourfulness, locked sigmoidal")
            << true << state(true, 1, CurveFamily::Sigmoidal, true, params(4.2, 0.5));
        QTest::newRow("correlate past the end") << true << QString("AAAACQAAAAIAP/AAAAAAAAA/4AAAAAAAAA==");
    }

    void stateRoundTripMatchesTheCurve()
    {
        QFETCH(bool, correlates);
        QFETCH(QString, state);
        if (correlates) {
            makeCorrelateEditor();
            correlateBox()->setCurrentIndex(1);
        } else {
            m->setFamilies(479);
        }
        ChannelCurve model;
        model.setFamilies(correlates ? 287 : 479);
        if (correlates) {
            model.setCorrelateCount(3);
            model.setCorrelateIndex(1);
        }

        QVERIFY(m->fromStateString(state));
        QVERIFY(model.fromStateString(state));
        QCOMPARE(m->toStateString(), model.toStateString());
        QCOMPARE(m->family(), int(model.family()));
        QCOMPARE(m->isLocked(), model.isLocked());
        QCOMPARE(m->correlateIndex(), model.correlateIndex());
        QCOMPARE(familyBox()->currentData().toInt(), m->family());
        QCOMPARE(!spinValue()->isEnabled(), m->isLocked());

        // The stream operators write and read the same record.
        QByteArray bytes;
        {
            QDataStream out(&bytes, QIODevice::WriteOnly);
            out.setVersion(QDataStream::Qt_6_0);
            out << *m;
        }
        QCOMPARE(QString::fromLatin1(bytes.toBase64()), m->toStateString());
        ChannelModifier other(panel.get());
        if (correlates) {
            other.setFamilies(287);
            other.setCorrelates({"C", "M", "s"});
        } else {
            other.setFamilies(479);
        }
        QDataStream in(bytes);
        in.setVersion(QDataStream::Qt_6_0);
        in >> other;
        QCOMPARE(in.status(), QDataStream::Ok);
        QCOMPARE(other.toStateString(), m->toStateString());
    }

    void restoringGoesThroughTheControls()
    {
        m->setFamilies(479);
        ChannelCurve c;
        c.setFamilies(479);
        c.selectFamily(CurveFamily::Gamma);
        c.setValue(2.5);
        c.setOffset(-0.4);
        QSignalSpy spy(m, &ChannelModifier::valueChanged);
        QVERIFY(m->fromStateString(c.toStateString()));
        QCOMPARE(spinValue()->value(), 2.5);
        QCOMPARE(sliderValue()->value(), 83);   // 35.9917 · ln(4.02306 · 2.5) = 83.08
        QCOMPARE(spinOffset()->value(), -0.4);
        QCOMPARE(sliderOffset()->value(), -40);
        QVERIFY(spy.count() >= 2);                 // the family change, then each parameter
        QCOMPARE(signalValues(spy).last(), -0.4);

        // Empty text changes nothing and says nothing.
        spy.clear();
        QVERIFY(!m->fromStateString(QString()));
        QCOMPARE(spy.count(), 0);
        QCOMPARE(m->family(), 2);
    }

    void preserveStateIsNineBytes()
    {
        m->setFamilies(479);
        const QString text = m->toStateString();
        QCOMPARE(text.size(), 12);
        QCOMPARE(QByteArray::fromBase64(text.toLatin1()), QByteArray("\0\0\0\0\0\0\0\1\0", 9));
    }

    void storedFamilyNotOnOfferKeepsTheCurrentOne()
    {
        ChannelCurve c;
        c.setFamilies(479);
        c.selectFamily(CurveFamily::InverseGamma);
        c.setValue(3.0);
        c.setOffset(0.5);
        makeCorrelateEditor();
        chooseFamily(4);
        QVERIFY(m->fromStateString(c.toStateString()));
        QCOMPARE(m->family(), 4);
        QCOMPARE(m->curve().value(), 3.0);
        QCOMPARE(m->curve().offset(), 0.5);
    }

    void cutShortStatesAreApplied()
    {
        ChannelCurve c;
        c.setFamilies(479);
        c.selectFamily(CurveFamily::Tabulated);
        c.setUserData(true, 1.5, {0.25f, 0.5f});
        const QByteArray bytes = QByteArray::fromBase64(c.toStateString().toLatin1());
        for (int n = 1; n < bytes.size(); ++n) {
            ChannelModifier cut(panel.get());
            cut.setFamilies(479);
            cut.setUserData(false, 0.0, {1.0f, 2.0f, 3.0f});
            QVERIFY(!cut.fromStateString(QString::fromLatin1(bytes.left(n).toBase64())));
            QCOMPARE(cut.family(), n >= 8 ? 16 : 1);
            if (n >= 8) QVERIFY(cut.curve().values().isEmpty());   // a list cut short is empty
        }
    }

    void dataButtonEditsValues()
    {
        m->setFamilies(479);
        chooseFamily(16);
        m->setUserData(false, 0.0, {0.0f, 1.0f});
        lockButton()->click();   // the data button still works when locked
        QSignalSpy spy(m, &ChannelModifier::valueChanged);
        bool seen = false;
        onNextModal<TabulatedCurveDlg>([&seen](TabulatedCurveDlg* dialog) {
            seen = true;
            auto* list = dialog->findChild<QListWidget*>("listValues");
            QCOMPARE(list->count(), 2);
            list->item(1)->setText("0.5");
            list->addItem("1");
            dialog->findChild<QCheckBox*>("cbNormalize")->setChecked(true);
            dialog->findChild<QDoubleSpinBox*>("spinSmooth")->setValue(1.5);
            dialog->findChild<QPushButton*>("btnClose")->click();
        });
        dataButton()->click();
        QVERIFY(seen);
        QCOMPARE(m->curve().values(), (QList<float>{0.0f, 0.5f, 1.0f}));
        QVERIFY(m->curve().normalized());
        QCOMPARE(m->curve().smoothing(), 1.5);
        QCOMPARE(signalValues(spy), QList<double>{0.0});
    }

    void dataButtonEditsPoints()
    {
        m->setFamilies(479);
        chooseFamily(256);
        m->setUserData(true, {{0.0f, 0.0f}, {1.0f, 1.0f}});
        bool seen = false;
        onNextModal<TabulatedCurveXYDlg>([&seen](TabulatedCurveXYDlg* dialog) {
            seen = true;
            auto* table = dialog->findChild<QTableWidget*>("listValuesXY");
            QCOMPARE(table->rowCount(), 2);
            table->item(1, 1)->setText("0.8");
            dialog->findChild<QCheckBox*>("cbNormalize")->setChecked(false);
            dialog->findChild<QPushButton*>("btnClose")->click();
        });
        dataButton()->click();
        QVERIFY(seen);
        QCOMPARE(m->curve().points(), (QMap<float, float>{{0.0f, 0.0f}, {1.0f, 0.8f}}));
        QVERIFY(!m->curve().normalized());
    }

    void dismissedEditorChangesNothingButIsAnnounced()
    {
        m->setFamilies(479);
        chooseFamily(16);
        m->setUserData(true, 2.0, {0.0f, 1.0f});
        QSignalSpy spy(m, &ChannelModifier::valueChanged);
        onNextModal<TabulatedCurveDlg>([](TabulatedCurveDlg* dialog) {
            dialog->findChild<QListWidget*>("listValues")->clear();
            dialog->findChild<QDoubleSpinBox*>("spinSmooth")->setValue(9.0);
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        dataButton()->click();
        QCOMPARE(m->curve().values(), (QList<float>{0.0f, 1.0f}));
        QCOMPARE(m->curve().smoothing(), 2.0);
        QVERIFY(m->curve().normalized());
        QCOMPARE(signalValues(spy), QList<double>{0.0});
    }

    void curveAndPathComeFromTheModel()
    {
        m->setFamilies(479);
        chooseFamily(8);
        m->setOffset(0.3);
        ToneCurvePtr curve(m->buildCurve(), &freeCurve);
        QVERIFY(curve);
        QVERIFY(qAbs(evalCurveFloat(curve.get(), 0.5f) - 0.6f) < 1e-4f);
        const QPainterPath path = m->curvePath(1023, 511, 64);
        QCOMPARE(path.elementCount(), 64);
        QCOMPARE(path, curvePath(m->curve(), 1023, 511, 64));
    }
};

QTEST_MAIN(ChannelModifierStateTest)
#include "channelmodifier_state_qtest.moc"
