#include "app/widgets/qgraphicsviewmap.h"
#include "curves/core/channelcurve.h"
#include "curves/widgets/curvesscene.h"

#include <QGraphicsPathItem>
#include <QGraphicsSimpleTextItem>
#include <QImage>
#include <QPainter>
#include <QtTest>

#include <cmath>

namespace {

ChannelCurve curveOf(CurveFamily f, double value, double offset)
{
    ChannelCurve c;
    c.selectFamily(f);
    c.setValue(value);
    c.setOffset(offset);
    return c;
}

// The scene drawn at one pixel per unit.
QImage renderScene(QGraphicsScene& scene)
{
    const QRectF r = scene.sceneRect();
    QImage image(r.size().toSize(), QImage::Format_ARGB32);
    image.fill(Qt::red);
    QPainter painter(&image);
    scene.render(&painter, QRectF(QPointF(0, 0), r.size()), r);
    return image;
}

bool isGrid(QRgb pixel) { return pixel == 0xFF000A00; }

// Runs of grid-coloured pixels along a row or a column: one per grid line crossed.
int gridRuns(const QImage& image, bool alongRow, int at)
{
    const int length = alongRow ? image.width() : image.height();
    int runs = 0;
    bool inside = false;
    for (int i = 0; i < length; ++i) {
        const bool grid = isGrid(alongRow ? image.pixel(i, at) : image.pixel(at, i));
        if (grid && !inside) ++runs;
        inside = grid;
    }
    return runs;
}

} // namespace

class CurvesSceneTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(registerCurveFamilyPlugin()); }

    void identityPath()
    {
        const QPainterPath path = curvePath(curveOf(CurveFamily::Preserve, 1, 0), 1023, 511, 64);
        QCOMPARE(path.elementCount(), 64);
        QCOMPARE(QPointF(path.elementAt(0)), QPointF(-1, 510));
        QCOMPARE(QPointF(path.elementAt(63)), QPointF(1022, -1));
        QVERIFY(path.elementAt(0).isMoveTo());
        for (int i = 1; i < 64; ++i) {
            const QPainterPath::Element e = path.elementAt(i);
            QVERIFY(e.isLineTo());
            // On the straight line from (-1, 510) to (1022, -1), at t = i / 63.
            const double t = i / 63.0;
            QVERIFY(std::fabs(e.x - (1023 * t - 1)) < 1e-9);
            QVERIFY(std::fabs(e.y - ((1 - t) * 511 - 1)) < 1e-3);
        }
    }

    void gammaPathFollowsTheCurve()
    {
        const QPainterPath path = curvePath(curveOf(CurveFamily::Gamma, 2, 0), 1023, 511, 5);
        QCOMPARE(path.elementCount(), 5);
        // t = 0.25: y = 0.0625, drawn at (1023 · 0.25 - 1, 0.9375 · 511 - 1).
        QVERIFY(std::fabs(path.elementAt(1).x - 254.75) < 1e-9);
        QVERIFY(std::fabs(path.elementAt(1).y - 478.0625) < 1e-3);
    }

    void valuesAboveOneAreClipped()
    {
        // Lifted by a third: above 1 from t = 2/3 on, drawn along the top edge y = -1.
        const QPainterPath path = curvePath(curveOf(CurveFamily::Offset, 0, 1), 1023, 511, 64);
        QCOMPARE(path.elementCount(), 64);
        for (int i = 0; i < 64; ++i) {
            const double t = i / 63.0;
            const double expected = t + 1.0 / 3.0 >= 1.0 ? -1.0 : (1 - (t + 1.0 / 3.0)) * 511 - 1;
            QVERIFY2(std::fabs(path.elementAt(i).y - expected) < 1e-3, qPrintable(QString::number(i)));
        }
        QCOMPARE(path.elementAt(63).y, -1.0);
        // And values below 0 at the bottom edge.
        const QPainterPath low = curvePath(curveOf(CurveFamily::Offset, 0, -1), 1023, 511, 64);
        QCOMPARE(low.elementAt(0).y, 510.0);
        QCOMPARE(low.elementAt(10).y, 510.0);
    }

    void nothingToDraw()
    {
        QVERIFY(curvePath(curveOf(CurveFamily::Preserve, 1, 0), 1023, 511, 1).isEmpty());
        QVERIFY(curvePath(curveOf(CurveFamily::Preserve, 1, 0), 1023, 511, 0).isEmpty());
        ChannelCurve tooLong = curveOf(CurveFamily::Tabulated, 1, 0);
        tooLong.setUserData(false, 0.0, QList<float>(70000, 0.5f));   // more entries than the engine takes
        QVERIFY(curvePath(tooLong, 1023, 511, 64).isEmpty());
    }

    void gridOfACurveScene()
    {
        CurvesScene scene(QRectF(0, 0, 1024, 512), false);
        QVERIFY(!scene.isPlain());
        const QImage image = renderScene(scene);
        // 32 vertical lines at 0, 32, ..., 992 and the right edge at 1023.
        QCOMPARE(gridRuns(image, true, 100), 33);
        // 16 horizontal lines at 0, 32, ..., 480 and the bottom edge at 511.
        QCOMPARE(gridRuns(image, false, 100), 17);
        // Lines are 3 units wide, centred on their coordinate.
        QVERIFY(isGrid(image.pixel(31, 100)) && isGrid(image.pixel(32, 100)) && isGrid(image.pixel(33, 100)));
        QVERIFY(isGrid(image.pixel(1023, 300)));
        QVERIFY(isGrid(image.pixel(300, 511)));
        // Between the lines: black.
        QCOMPARE(image.pixel(16, 16), qRgb(0, 0, 0));
        QCOMPARE(image.pixel(1010, 500), qRgb(0, 0, 0));
    }

    void gridOfAnOddSizedScene()
    {
        // W = 99, H = 40: vertical lines at 0, 32, 64, 96 and 99; horizontal at 0, 32 and 40.
        CurvesScene scene(QRectF(0, 0, 100.7, 41.2), false);
        const QImage image = renderScene(scene);
        QCOMPARE(gridRuns(image, true, 16), 4);   // 96 and 99 touch: one run
        QVERIFY(isGrid(image.pixel(99, 16)));
        QCOMPARE(gridRuns(image, false, 16), 3);
        QVERIFY(isGrid(image.pixel(16, 40)));
    }

    void plainSceneIsBlack()
    {
        CurvesScene scene(QRectF(0, 0, 1500, 900), true);
        const QImage image = renderScene(scene);
        for (int y = 0; y < image.height(); y += 7)
            for (int x = 0; x < image.width(); x += 7) QCOMPARE(image.pixel(x, y), qRgb(0, 0, 0));
        scene.setPlain(false);
        QCOMPARE(gridRuns(renderScene(scene), true, 100), 48);   // 0 … 1472 and 1499
    }

    void plottingOnTheView()
    {
        QGraphicsViewMap view;
        QCOMPARE(view.drawingWidth(), 0);
        QCOMPARE(view.drawingHeight(), 0);
        QVERIFY(!view.addCurve(QPainterPath()));

        CurvesScene scene(QRectF(0, 0, 1024, 512), false);
        view.setScene(&scene);
        QCOMPARE(view.drawingWidth(), 1023);
        QCOMPARE(view.drawingHeight(), 511);

        view.clearCurves();
        const QList<QGraphicsSimpleTextItem*> legend =
            view.setLegend({"C", "M", "Y"}, {0xFF00FFFF, 0xFFFF00FF, 0xFFFFFF00});
        QCOMPARE(legend.size(), 3);
        QCOMPARE(legend[1]->text(), QStringLiteral("M"));
        QCOMPARE(legend[1]->pos(), QPointF(40, 80));
        QCOMPARE(legend[2]->pos(), QPointF(40, 130));
        QCOMPARE(legend[0]->scale(), 3.0);
        QCOMPARE(legend[1]->brush().color().rgba(), 0xFFFF00FFu);

        // Four curves, three colours: the fourth is white.
        QList<QGraphicsPathItem*> curves;
        for (CurveFamily f : {CurveFamily::Preserve, CurveFamily::Gamma, CurveFamily::Sigmoidal, CurveFamily::Offset})
            curves.append(view.addCurve(curvePath(curveOf(f, 2, 0.5), view.drawingWidth(), view.drawingHeight(), 64)));
        QCOMPARE(curves[0]->pen().color().rgba(), 0xFF00FFFFu);
        QCOMPARE(curves[2]->pen().color().rgba(), 0xFFFFFF00u);
        QCOMPARE(curves[3]->pen().color().rgba(), 0xFFFFFFFFu);
        QCOMPARE(curves[0]->pen().widthF(), QPen().widthF());
        QCOMPARE(curves[0]->brush().style(), Qt::NoBrush);
        QCOMPARE(scene.items().size(), 7);

        // A redraw starts over with colour 0; an empty colour list keeps the colours.
        view.clearCurves();
        QVERIFY(scene.items().isEmpty());
        const QList<QGraphicsSimpleTextItem*> again = view.setLegend({"J"}, {});
        QCOMPARE(again[0]->brush().color().rgba(), 0xFF00FFFFu);
        QCOMPARE(view.addCurve(QPainterPath())->pen().color().rgba(), 0xFF00FFFFu);

        // Fewer colours than names: the extra names are white too.
        view.clearCurves();
        const QList<QGraphicsSimpleTextItem*> more = view.setLegend({"a", "b"}, {0xFF03A9F4});
        QCOMPARE(more[0]->brush().color().rgba(), 0xFF03A9F4u);
        QCOMPARE(more[1]->brush().color().rgba(), 0xFFFFFFFFu);
        view.setScene(nullptr);
    }
};

QTEST_MAIN(CurvesSceneTest)
#include "curvesscene_qtest.moc"
