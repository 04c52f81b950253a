// The curve panels of the main window: channel editors named and shown for
// the colour space, correlate editors, and the curves drawn above them.
#include "app/core/appinfo.h"
#include "app/widgets/qgraphicsviewmap.h"
#include "app/core/recipe.h"
#include "app/widgets/luttab.h"
#include "app/widgets/previewpane.h"
#include "app/widgets/recipecurvepanels.h"
#include "app/widgets/tonemolder.h"
#include "curves/widgets/channelmodifier.h"
#include "curves/widgets/curvesscene.h"
#include "profiles/widgets/iccprofileselector.h"
#include "windowtest.h"

#include <QComboBox>
#include <QGraphicsPathItem>
#include <QGraphicsSimpleTextItem>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// Where the tests find a CMYK press profile and a Lab colour-space profile.
const QString ProfileFolder = QStringLiteral("/usr/share/color/icc/ghostscript");
const QString PressProfile = QStringLiteral("default_cmyk.icc");
const QString LabProfile = QStringLiteral("lab.icc");

struct Panel {
    QStringList legend;
    QList<QRgb> legendColors;
    QList<QPainterPath> curves;
    QList<QRgb> curveColors;
};

// What a curve view shows, legend entries from top to bottom and curves in
// the order they were added.
Panel panelOf(QGraphicsViewMap* view)
{
    Panel p;
    QList<QGraphicsSimpleTextItem*> texts;
    QList<QGraphicsPathItem*> paths;
    for (QGraphicsItem* item : view->scene()->items(Qt::AscendingOrder)) {
        if (auto* text = dynamic_cast<QGraphicsSimpleTextItem*>(item)) texts << text;
        if (auto* path = dynamic_cast<QGraphicsPathItem*>(item)) paths << path;
    }
    std::sort(texts.begin(), texts.end(), [](auto* a, auto* b) { return a->pos().y() < b->pos().y(); });
    for (auto* t : texts) {
        p.legend << t->text();
        p.legendColors << t->brush().color().rgba();
    }
    for (auto* c : paths) {
        p.curves << c->path();
        p.curveColors << c->pen().color().rgba();
    }
    return p;
}

}   // namespace

class TonemolderPanelsTest : public QObject, protected WindowFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void bothViewsHoldACurveSceneOf1024By512();
    void correlateEditorsOfferTheirCorrelates();
    void theCorrelatePanelDrawsThreeCurvesWithTheirLegend();
    void curvesHaveAsManyPointsAsTheSettingSays_data();
    void curvesHaveAsManyPointsAsTheSettingSays();
    void aRedrawReplacesTheCurves();
    void choosingTheCorrelateRenamesItsCurve();
    void channelEditorsFollowTheColourSpace_data();
    void channelEditorsFollowTheColourSpace();
    void aHiddenChannelKeepsItsCurve();
    void theIntentMattersOnlyForTableProfiles();
    void curvesShowTheEditorsShapes();
    void withoutAColourSpaceTheEditorsStayAndNothingIsDrawn();
    void theBlackLegendReadsOnTheBlackPanel();
    void anotherNumberOfEditorsRefitsThePanel();

private:
    // A built-in space, or a profile of the press and Lab profiles' folder.
    void selectSpace(const QString& name)
    {
        auto* selector = child<ICCProfileSelector>("iccProfile");
        const bool selected =
            name.startsWith('*') ? selector->selectByName(name) : selector->setSelection(ProfileFolder, name);
        QVERIFY2(selected, qPrintable(name));
    }
};

void TonemolderPanelsTest::initTestCase()
{
    Q_INIT_RESOURCE(tonemolder);
    useOwnSettings();
}

void TonemolderPanelsTest::init()
{
    freshSettings();
    makeWindow();
}

void TonemolderPanelsTest::cleanup()
{
    closeWindow();
}

void TonemolderPanelsTest::bothViewsHoldACurveSceneOf1024By512()
{
    for (const char* name : {"curvesGraphicsView", "correlatesGraphicsView"}) {
        auto* view = child<QGraphicsViewMap>(name);
        auto* scene = qobject_cast<CurvesScene*>(view->scene());
        QVERIFY2(scene, name);
        QVERIFY(!scene->isPlain());
        QCOMPARE(scene->sceneRect(), QRectF(0, 0, 1024, 512));
        QCOMPARE(view->drawingWidth(), 1023);
        QCOMPARE(view->drawingHeight(), 511);
    }
}

void TonemolderPanelsTest::correlateEditorsOfferTheirCorrelates()
{
    QCOMPARE(child<ChannelModifier>("corr_1")->componentName(), QString("J - lightness"));
    QCOMPARE(child<ChannelModifier>("corr_2")->componentName(), QString("C - chroma"));
    QCOMPARE(child<ChannelModifier>("corr_3")->componentName(), QString("h - hue"));
    for (const char* name : {"corr_1", "corr_2", "corr_3"}) {
        QVERIFY2(!child<ChannelModifier>(name)->isHidden(), name);
        QCOMPARE(child<ChannelModifier>(name)->correlateIndex(), 0);
    }
}

void TonemolderPanelsTest::theCorrelatePanelDrawsThreeCurvesWithTheirLegend()
{
    const Panel panel = panelOf(child<QGraphicsViewMap>("correlatesGraphicsView"));
    QCOMPARE(panel.legend, (QStringList{"J - lightness", "C - chroma", "h - hue"}));
    const QList<QRgb> colors{0xFFFFFFFF, 0xFF03A9F4, 0xFFFFEB3B};
    QCOMPARE(panel.legendColors, colors);
    QCOMPARE(panel.curveColors, colors);
    // Neutral curves: the diagonal from the bottom left to the top right.
    QCOMPARE(panel.curves.size(), 3);
    for (const QPainterPath& curve : panel.curves) {
        QCOMPARE(curve.elementCount(), 64);
        QCOMPARE(QPointF(curve.elementAt(0)), QPointF(-1, 510));
        QCOMPARE(QPointF(curve.elementAt(63)), QPointF(1022, -1));
    }
}

void TonemolderPanelsTest::curvesHaveAsManyPointsAsTheSettingSays_data()
{
    QTest::addColumn<QVariant>("setting");
    QTest::addColumn<int>("points");
    QTest::newRow("100") << QVariant(100) << 100;
    QTest::newRow("fewest") << QVariant(5) << 5;
    QTest::newRow("most") << QVariant(4096) << 4096;
    QTest::newRow("beyond the preferences") << QVariant(100000) << 4096;
    QTest::newRow("not a number") << QVariant("many") << 5;
}

void TonemolderPanelsTest::curvesHaveAsManyPointsAsTheSettingSays()
{
    QFETCH(QVariant, setting);
    QFETCH(int, points);
    settings_->setValue("draw_curve_res", setting);
    window_->curvePanels()->drawSlidersCorrelates();
    const Panel panel = panelOf(child<QGraphicsViewMap>("correlatesGraphicsView"));
    QCOMPARE(panel.curves.size(), 3);
    for (const QPainterPath& curve : panel.curves) QCOMPARE(curve.elementCount(), points);
}

void TonemolderPanelsTest::aRedrawReplacesTheCurves()
{
    auto* view = child<QGraphicsViewMap>("correlatesGraphicsView");
    child<ChannelModifier>("corr_2")->setValue(2.0);
    window_->curvePanels()->resetCorrelates();
    window_->curvePanels()->drawSlidersCorrelates();
    const Panel panel = panelOf(view);
    QCOMPARE(panel.legend.size(), 3);
    QCOMPARE(panel.curves.size(), 3);
    QCOMPARE(view->scene()->sceneRect(), QRectF(0, 0, 1024, 512));
}

void TonemolderPanelsTest::choosingTheCorrelateRenamesItsCurve()
{
    auto* choice = child<ChannelModifier>("corr_1")->findChild<QComboBox*>("comboCorrelates");
    QVERIFY(choice);
    choice->setCurrentIndex(1);
    child<ChannelModifier>("corr_2")->findChild<QComboBox*>("comboCorrelates")->setCurrentIndex(2);
    const Panel panel = panelOf(child<QGraphicsViewMap>("correlatesGraphicsView"));
    QCOMPARE(panel.legend, (QStringList{"Q - brightness", "s - saturation", "h - hue"}));
    // Brightness for the first curve, saturation for the second.
    QCOMPARE(window_->recipeFromControls().correlateFlags(), 0x21u);
}

void TonemolderPanelsTest::channelEditorsFollowTheColourSpace_data()
{
    QTest::addColumn<QString>("space");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QList<QRgb>>("colors");

    QTest::newRow("gray") << "*gray22" << QStringList{"G"} << QList<QRgb>{0xFF7F7F7F};
    QTest::newRow("RGB") << "*srgb" << QStringList{"R", "G", "B"} << QList<QRgb>{0xFFFF3232, 0xFF32FF32, 0xFF0033FF};
    QTest::newRow("CMYK") << PressProfile << QStringList{"C", "M", "Y", "K"}
                          << QList<QRgb>{0xFF00BCD4, 0xFFE91E63, 0xFFFFEB3B, 0xFFC8C8C8};
    QTest::newRow("Lab") << LabProfile << QStringList{"L", "a", "b"} << QList<QRgb>{0xFFFFFFFF, 0xFF03A9F4, 0xFFFFEB3B};
}

void TonemolderPanelsTest::channelEditorsFollowTheColourSpace()
{
    QFETCH(QString, space);
    QFETCH(QStringList, names);
    QFETCH(QList<QRgb>, colors);

    // From a space of another channel count, so that every editor changes.
    selectSpace(space == PressProfile ? "*gray22" : PressProfile);
    selectSpace(space);
    const char* editors[4] = {"chan_1", "chan_2", "chan_3", "chan_4"};
    for (int i = 0; i < 4; ++i) {
        auto* editor = child<ChannelModifier>(editors[i]);
        QCOMPARE(editor->isHidden(), i >= names.size());
        if (i < names.size()) QCOMPARE(editor->componentName(), names[i]);
    }
    const Panel panel = panelOf(child<QGraphicsViewMap>("curvesGraphicsView"));
    QCOMPARE(panel.legend, names);
    QCOMPARE(panel.legendColors, colors);
    QCOMPARE(panel.curveColors, colors);
    for (const QPainterPath& curve : panel.curves) QCOMPARE(curve.elementCount(), 64);
}

void TonemolderPanelsTest::aHiddenChannelKeepsItsCurve()
{
    selectSpace(PressProfile);
    auto* black = child<ChannelModifier>("chan_4");
    black->selectFamily(2);   // gamma
    black->setValue(2.0);
    selectSpace("*srgb");
    QVERIFY(black->isHidden());
    QCOMPARE(panelOf(child<QGraphicsViewMap>("curvesGraphicsView")).curves.size(), 3);
    selectSpace(PressProfile);
    QVERIFY(!black->isHidden());
    QCOMPARE(black->componentName(), QString("K"));
    QCOMPARE(black->curve().value(), 2.0);
    QCOMPARE(panelOf(child<QGraphicsViewMap>("curvesGraphicsView")).curves.size(), 4);
}

void TonemolderPanelsTest::theIntentMattersOnlyForTableProfiles()
{
    selectSpace(PressProfile);
    QVERIFY(child<QComboBox>("comboIntent")->isEnabled());
    selectSpace("*srgb");
    QVERIFY(!child<QComboBox>("comboIntent")->isEnabled());
}

void TonemolderPanelsTest::curvesShowTheEditorsShapes()
{
    selectSpace("*srgb");
    // Gamma 2 on green: y = x^2 at every point of its curve, the others diagonal.
    auto* green = child<ChannelModifier>("chan_2");
    green->selectFamily(2);
    green->setValue(2.0);
    const Panel panel = panelOf(child<QGraphicsViewMap>("curvesGraphicsView"));
    QCOMPARE(panel.curves.size(), 3);
    const QPainterPath& curve = panel.curves[1];
    for (int i = 0; i < curve.elementCount(); ++i) {
        const double t = i / 63.0;
        const double y = 1.0 - std::pow(t, 2.0);
        QVERIFY(std::abs(curve.elementAt(i).x - (1023 * t - 1)) < 1e-3);
        QVERIFY2(std::abs(curve.elementAt(i).y - (y * 511 - 1)) < 0.05, qPrintable(QString::number(i)));
    }
    const QPointF middle = panel.curves[0].elementAt(32);
    QVERIFY(std::abs(middle.y() - ((1 - 32 / 63.0) * 511 - 1)) < 0.05);
}

void TonemolderPanelsTest::withoutAColourSpaceTheEditorsStayAndNothingIsDrawn()
{
    selectSpace(PressProfile);
    child<ChannelModifier>("chan_1")->setLabel("kept");
    // Nothing selected: class 0.
    auto* list = child<ICCProfileSelector>("iccProfile")->findChild<QComboBox*>();
    QVERIFY(list);
    list->setCurrentIndex(-1);
    QCOMPARE(child<ICCProfileSelector>("iccProfile")->currentSpaceCode(), 0);
    QCOMPARE(child<ChannelModifier>("chan_1")->componentName(), QString("kept"));
    QVERIFY(!child<ChannelModifier>("chan_4")->isHidden());
    QVERIFY(child<QGraphicsViewMap>("curvesGraphicsView")->scene()->items().isEmpty());
}

// Every legend stands out from the panel's black: a contrast ratio (WCAG 2,
// from relative luminance) of at least 4.5, the "K" of CMYK included.
void TonemolderPanelsTest::theBlackLegendReadsOnTheBlackPanel()
{
    const auto linear = [](int c) {
        const double v = c / 255.0;
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    selectSpace(PressProfile);
    const Panel panel = panelOf(child<QGraphicsViewMap>("curvesGraphicsView"));
    QCOMPARE(panel.legend.value(3), QString("K"));
    const QRgb k = panel.legendColors.value(3);
    const double luminance = 0.2126 * linear(qRed(k)) + 0.7152 * linear(qGreen(k)) + 0.0722 * linear(qBlue(k));
    QVERIFY2((luminance + 0.05) / 0.05 >= 4.5, qPrintable(QString::number((luminance + 0.05) / 0.05)));
}

// Four editors take more room than three: the curves are fitted into what
// is left, without scroll bars.
void TonemolderPanelsTest::anotherNumberOfEditorsRefitsThePanel()
{
    window_->resize(1000, 650);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    auto* view = child<QGraphicsViewMap>("curvesGraphicsView");
    const auto fitted = [view] {
        const QRect shown = view->mapFromScene(view->scene()->sceneRect()).boundingRect();
        return !view->horizontalScrollBar()->isVisible() && !view->verticalScrollBar()->isVisible() &&
               view->viewport()->rect().adjusted(-2, -2, 2, 2).contains(shown);
    };
    selectSpace("*srgb");
    QTest::qWait(50);
    QVERIFY(fitted());
    for (const QString& space : {PressProfile, QString("*gray22"), PressProfile}) {
        selectSpace(space);
        QTest::qWait(50);
        QVERIFY2(fitted(), qPrintable(space));
    }
}

QTEST_MAIN(TonemolderPanelsTest)
#include "tonemolder_panels_qtest.moc"
