// The curve panels of the main window: channel editors named and shown for
// the colour space, correlate editors, and the curves drawn above them.
#include "app/appinfo.h"
#include "app/qgraphicsviewmap.h"
#include "app/tonemolder.h"
#include "curves/channelmodifier.h"
#include "curves/curvesscene.h"
#include "profiles/iccprofileselector.h"

#include <QComboBox>
#include <QGraphicsPathItem>
#include <QGraphicsSimpleTextItem>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

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

class TonemolderPanelsTest : public QObject {
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
    void withoutAColourSpaceTheEditorsStayAndNothingIsDrawn();

private:
    template <class T> T* child(const char* name) const
    {
        T* w = window_->findChild<T*>(QString::fromLatin1(name));
        if (!w) qWarning("no child %s", name);
        return w;
    }

    QTemporaryDir configDir_;
    std::unique_ptr<QSettings> settings_;
    std::unique_ptr<Tonemolder> window_;
};

void TonemolderPanelsTest::initTestCase()
{
    Q_INIT_RESOURCE(tonemolder);
    QVERIFY(configDir_.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir_.path());
    QCoreApplication::setOrganizationName(AppInfo::OrganizationName);
    QCoreApplication::setApplicationName(AppInfo::ApplicationName);
}

void TonemolderPanelsTest::init()
{
    settings_ = std::make_unique<QSettings>();
    settings_->clear();
    settings_->setValue("monitor_sRGB", true);
    window_ = std::make_unique<Tonemolder>(settings_.get());
}

void TonemolderPanelsTest::cleanup()
{
    window_.reset();
    settings_.reset();
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
    window_->drawSlidersCorrelates();
    const Panel panel = panelOf(child<QGraphicsViewMap>("correlatesGraphicsView"));
    QCOMPARE(panel.curves.size(), 3);
    for (const QPainterPath& curve : panel.curves) QCOMPARE(curve.elementCount(), points);
}

void TonemolderPanelsTest::aRedrawReplacesTheCurves()
{
    auto* view = child<QGraphicsViewMap>("correlatesGraphicsView");
    child<ChannelModifier>("corr_2")->setValue(2.0);
    window_->resetCorrelates();
    window_->drawSlidersCorrelates();
    const Panel panel = panelOf(view);
    QCOMPARE(panel.legend.size(), 3);
    QCOMPARE(panel.curves.size(), 3);
    QCOMPARE(view->scene()->sceneRect(), QRectF(0, 0, 1024, 512));
}

void TonemolderPanelsTest::withoutAColourSpaceTheEditorsStayAndNothingIsDrawn()
{
    if (child<ICCProfileSelector>("iccProfile")->currentSpaceCode() != 0) QSKIP("a colour space is selected");
    auto* first = child<ChannelModifier>("chan_1");
    first->setLabel("kept");
    child<ChannelModifier>("chan_4")->hide();
    window_->setSlidersSoftProof();
    QCOMPARE(first->componentName(), QString("kept"));
    QVERIFY(child<ChannelModifier>("chan_4")->isHidden());
    QVERIFY(child<QGraphicsViewMap>("curvesGraphicsView")->scene()->items().isEmpty());
}

QTEST_MAIN(TonemolderPanelsTest)
#include "tonemolder_panels_qtest.moc"
