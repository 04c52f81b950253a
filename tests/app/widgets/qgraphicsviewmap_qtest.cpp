// The zoomable view: wheel steps, zoom limits, fitting, context menu and drops.
#include "app/widgets/qgraphicsviewmap.h"

#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QGraphicsSceneDragDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QSignalSpy>
#include <QTimer>
#include <QWheelEvent>
#include <QtTest>

#include <cmath>

namespace {

void turnWheel(QGraphicsViewMap& view, int delta, QPoint at = QPoint(50, 50))
{
    QWheelEvent event(QPointF(at), QPointF(view.viewport()->mapToGlobal(at)), QPoint(), QPoint(0, delta),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    view.wheelEvent(&event);
}

double horizontalScale(const QGraphicsView& view)
{
    return view.transform().mapRect(QRectF(0, 0, 1, 1)).width();
}

QMimeData* urlData(const QList<QUrl>& urls)
{
    auto* data = new QMimeData;
    data->setUrls(urls);
    return data;
}

} // namespace

class QGraphicsViewMapTest : public QObject {
    Q_OBJECT

private slots:
    void wheelSchedulesSteps_data();
    void wheelSchedulesSteps();
    void aNotchZoomsByAQuarter_data();
    void aNotchZoomsByAQuarter();
    void ticksShareOutTheScheduledZoom();
    void tickKeepsTheScenePointUnderTheWheel();
    void zoomOutStopsAtOneTenthPixelPerUnit();
    void zoomSlotsScaleAtOnce();
    void autoFitShowsEveryItem();
    void actualSizeShowsOneUnitPerDevicePixel();
    void fitOnResizeRefitsTheScene();
    void imageSceneIsReplacedAndTransformKept();
    void dropEmitsTheFirstLocalFileOnly_data();
    void dropEmitsTheFirstLocalFileOnly();
    void dragWithoutUrlsIsRefused();
    void contextMenuRunsAtTheEvent();
    void imageItemTakesDragsOverTheImage();
};

void QGraphicsViewMapTest::wheelSchedulesSteps_data()
{
    QTest::addColumn<QList<int>>("deltas");
    QTest::addColumn<double>("scheduled");

    QTest::newRow("one notch") << QList<int>{120} << 1.0;
    QTest::newRow("one notch back") << QList<int>{-120} << -1.0;
    QTest::newRow("three notches in one event") << QList<int>{360} << 3.0;
    QTest::newRow("notches add up") << QList<int>{120, 120, 240} << 4.0;
    QTest::newRow("partial notch is nothing") << QList<int>{119} << 0.0;
    QTest::newRow("partial notches never add up") << QList<int>{60, 60, 60} << 0.0;
    QTest::newRow("partial beyond a notch truncates") << QList<int>{250} << 2.0;
    QTest::newRow("negative partial truncates toward zero") << QList<int>{-250} << -2.0;
    QTest::newRow("reversal starts over") << QList<int>{240, -120} << -1.0;
    QTest::newRow("reversal from one step") << QList<int>{120, -120} << -1.0;
    QTest::newRow("reversal keeps its own size") << QList<int>{120, -360} << -3.0;
    QTest::newRow("reversal upward") << QList<int>{-360, 120} << 1.0;
    QTest::newRow("partial reverse changes nothing") << QList<int>{240, -100} << 2.0;
}

void QGraphicsViewMapTest::wheelSchedulesSteps()
{
    QFETCH(QList<int>, deltas);
    QFETCH(double, scheduled);

    QGraphicsViewMap view;
    for (int delta : deltas) turnWheel(view, delta);
    QCOMPARE(view.scheduledSteps(), scheduled);
}

void QGraphicsViewMapTest::aNotchZoomsByAQuarter_data()
{
    QTest::addColumn<int>("delta");
    QTest::addColumn<double>("scale");

    QTest::newRow("one notch in") << 120 << 1.25;
    QTest::newRow("one notch out") << -120 << 0.8;
    QTest::newRow("three notches") << 360 << 1.25 * 1.25 * 1.25;
}

void QGraphicsViewMapTest::aNotchZoomsByAQuarter()
{
    QFETCH(int, delta);
    QFETCH(double, scale);

    QGraphicsScene scene(0, 0, 100, 100);
    QGraphicsViewMap view;
    view.setScene(&scene);
    view.resize(300, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    // The whole animation, as the time line runs it.
    turnWheel(view, delta);
    QTRY_COMPARE(view.scheduledSteps(), 0.0);
    QVERIFY2(std::abs(horizontalScale(view) / scale - 1) < 1e-9, qPrintable(QString::number(horizontalScale(view))));
    QVERIFY(qFuzzyCompare(view.transform().m22(), view.transform().m11()));
}

void QGraphicsViewMapTest::ticksShareOutTheScheduledZoom()
{
    QGraphicsScene scene(0, 0, 100, 100);
    QGraphicsViewMap view;
    view.setScene(&scene);
    view.resize(300, 300);

    // Two notches: each tick zooms by the part of 1.25² due since the last.
    turnWheel(view, 240);
    view.scalingTime(0.25);
    QVERIFY(qFuzzyCompare(horizontalScale(view), std::pow(1.25, 0.5)));
    QVERIFY(qFuzzyCompare(view.scheduledSteps(), 1.5));
    view.scalingTime(0.25);   // nothing new is due
    QVERIFY(qFuzzyCompare(horizontalScale(view), std::pow(1.25, 0.5)));

    // A notch more mid-way: the new animation shares out all that is due.
    turnWheel(view, 120);
    QVERIFY(qFuzzyCompare(view.scheduledSteps(), 2.5));
    view.scalingTime(0.6);
    QVERIFY(qFuzzyCompare(horizontalScale(view), std::pow(1.25, 0.5 + 1.5)));
    view.animFinished();
    QVERIFY(qFuzzyCompare(horizontalScale(view), std::pow(1.25, 3)));
    QCOMPARE(view.scheduledSteps(), 0.0);

    // Turning back starts over from the notches in the new direction.
    turnWheel(view, 240);
    view.scalingTime(0.5);
    turnWheel(view, -120);
    QCOMPARE(view.scheduledSteps(), -1.0);
    view.animFinished();
    QVERIFY(qFuzzyCompare(horizontalScale(view), std::pow(1.25, 3 + 1 - 1)));
}

void QGraphicsViewMapTest::tickKeepsTheScenePointUnderTheWheel()
{
    QGraphicsScene scene(0, 0, 4000, 4000);
    QGraphicsViewMap view;
    view.setScene(&scene);
    view.resize(400, 400);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.centerOn(2000, 2000);

    const QPoint at(120, 260);
    const QPointF before = view.mapToScene(at);
    turnWheel(view, 480, at);
    for (int i = 1; i <= 5; ++i) view.scalingTime(0.2 * i);
    QVERIFY(qFuzzyCompare(horizontalScale(view), std::pow(1.25, 4)));

    // Scroll bars move in whole pixels: the point stays within a pixel.
    const QPointF after = view.mapToScene(at);
    QVERIFY2(std::abs(after.x() - before.x()) < 1.0 && std::abs(after.y() - before.y()) < 1.0,
             qPrintable(QString("(%1, %2) moved to (%3, %4)").arg(before.x()).arg(before.y()).arg(after.x()).arg(after.y())));
}

void QGraphicsViewMapTest::zoomOutStopsAtOneTenthPixelPerUnit()
{
    QGraphicsScene scene(0, 0, 100, 100);
    QGraphicsViewMap view;
    view.setScene(&scene);

    // Twenty notches out, one at a time: 0.8^10 = 0.107 is the last scale at
    // or above 0.1 (0.8^11 = 0.086).
    for (int i = 0; i < 20; ++i) {
        turnWheel(view, -120);
        view.animFinished();
    }
    QVERIFY(qFuzzyCompare(horizontalScale(view), std::pow(0.8, 10)));

    // The zoom-out slot stops at the same floor.
    QGraphicsViewMap stepped;
    stepped.setScene(&scene);
    for (int i = 0; i < 40; ++i) stepped.zoomOut();
    QVERIFY(qFuzzyCompare(horizontalScale(stepped), std::pow(0.9, 21)));

    // Zooming in again still works.
    turnWheel(view, 120);
    view.animFinished();
    QVERIFY(qFuzzyCompare(horizontalScale(view), std::pow(0.8, 10) * 1.25));
}

void QGraphicsViewMapTest::zoomSlotsScaleAtOnce()
{
    QGraphicsViewMap view;
    view.zoomIn();
    QVERIFY(qFuzzyCompare(horizontalScale(view), 1.1));
    view.zoomIn();
    QVERIFY(qFuzzyCompare(horizontalScale(view), 1.21));
    view.zoomOut();
    QVERIFY(qFuzzyCompare(horizontalScale(view), 1.089));
    QVERIFY(qFuzzyCompare(view.transform().m22(), 1.089));
    QCOMPARE(view.scheduledSteps(), 0.0);
}

void QGraphicsViewMapTest::autoFitShowsEveryItem()
{
    QGraphicsViewMap empty;
    empty.autoFit();   // no scene: nothing happens
    QCOMPARE(horizontalScale(empty), 1.0);

    QGraphicsScene scene(-5000, -5000, 10000, 10000);
    scene.addRect(100, 200, 1000, 500);
    scene.addRect(900, 600, 300, 300);   // together: (100, 200) to (1200, 900)
    QGraphicsViewMap view;
    view.setScene(&scene);
    view.resize(400, 400);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.autoFit();

    const QRect shown = view.mapFromScene(scene.itemsBoundingRect()).boundingRect();
    const QRect viewport = view.viewport()->rect();
    QVERIFY2(viewport.adjusted(-1, -1, 1, 1).contains(shown), qPrintable(QString("%1 %2").arg(shown.width()).arg(shown.height())));
    // Aspect ratio kept, and the wider side fills the viewport.
    QVERIFY(shown.width() >= viewport.width() - 8);
    QVERIFY(std::abs(double(shown.width()) / shown.height() - 1101.0 / 701.0) < 0.02);
}

void QGraphicsViewMapTest::actualSizeShowsOneUnitPerDevicePixel()
{
    QGraphicsScene scene(0, 0, 6000, 4000);
    scene.addRect(0, 0, 6000, 4000);
    QGraphicsViewMap view;
    view.setScene(&scene);
    view.resize(400, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.autoFit();
    QVERIFY(horizontalScale(view) < 0.1);
    view.actualSize();
    QVERIFY(qFuzzyCompare(horizontalScale(view) * view.devicePixelRatioF(), 1.0));
    QVERIFY(qFuzzyCompare(view.transform().m22(), view.transform().m11()));
}

void QGraphicsViewMapTest::fitOnResizeRefitsTheScene()
{
    QGraphicsScene scene(0, 0, 1024, 512);
    scene.addRect(0, 0, 1024, 512);
    QGraphicsViewMap view;
    view.setScene(&scene);
    view.resize(600, 400);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.autoFit();

    // A plain view keeps its zoom; a fitting one shows everything again.
    view.resize(300, 400);
    QVERIFY(view.mapFromScene(scene.itemsBoundingRect()).boundingRect().width() > view.viewport()->width() + 8);
    view.setFitOnResize(true);
    view.resize(320, 400);
    const QRect shown = view.mapFromScene(scene.itemsBoundingRect()).boundingRect();
    QVERIFY(view.viewport()->rect().adjusted(-1, -1, 1, 1).contains(shown));
    QVERIFY(shown.width() >= view.viewport()->width() - 8);
}

void QGraphicsViewMapTest::imageSceneIsReplacedAndTransformKept()
{
    QGraphicsViewMap view;
    QPointer<QGraphicsScene> first = new QGraphicsScene(0, 0, 10, 10);
    view.setImageScene(first);
    view.zoomIn();

    QPointer<QGraphicsScene> second = new QGraphicsScene(0, 0, 20, 20);
    view.setImageScene(second);
    QVERIFY(first.isNull());
    QCOMPARE(view.scene(), second.data());
    QVERIFY(qFuzzyCompare(horizontalScale(view), 1.1));

    // Scenes of others are not the view's to delete.
    QGraphicsScene curves;
    view.setScene(&curves);
    QVERIFY(!second.isNull());
    view.setImageScene(new QGraphicsScene);
    QVERIFY(second.isNull());
    QCOMPARE(curves.views().size(), 0);
}

void QGraphicsViewMapTest::dropEmitsTheFirstLocalFileOnly_data()
{
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<QString>("emitted");   // empty: no signal

    QTest::newRow("one file") << QList<QUrl>{QUrl::fromLocalFile("/tmp/a.png")} << "/tmp/a.png";
    QTest::newRow("several files") << QList<QUrl>{QUrl::fromLocalFile("/tmp/a.png"), QUrl::fromLocalFile("/tmp/b.png")}
                                   << "/tmp/a.png";
    QTest::newRow("web address skipped")
        << QList<QUrl>{QUrl("https://example.org/c.png"), QUrl::fromLocalFile("/tmp/b c.jpg"),
                       QUrl::fromLocalFile("/tmp/d.png")}
        << "/tmp/b c.jpg";
    QTest::newRow("invalid address skipped") << QList<QUrl>{QUrl("http://[::1"), QUrl::fromLocalFile("/x/y.tif")}
                                             << "/x/y.tif";
    QTest::newRow("no local file") << QList<QUrl>{QUrl("https://example.org/c.png"), QUrl("mailto:a@b.c")} << QString();
}

void QGraphicsViewMapTest::dropEmitsTheFirstLocalFileOnly()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(QString, emitted);

    QGraphicsViewMap view;
    QSignalSpy spy(&view, &QGraphicsViewMap::fileDropped);
    std::unique_ptr<QMimeData> data(urlData(urls));
    // As from a drag: the drag enters the view first, then drops.
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent enter(QPoint(10, 10), actions, data.get(), Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), actions, data.get(), Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &drop);

    if (emitted.isEmpty()) {
        QCOMPARE(spy.count(), 0);
        QVERIFY(!drop.isAccepted());
    } else {
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), emitted);
        QVERIFY(drop.isAccepted());
    }
}

void QGraphicsViewMapTest::dragWithoutUrlsIsRefused()
{
    QGraphicsViewMap view;

    QMimeData text;
    text.setText("/tmp/a.png");
    QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &text, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &refused);
    QVERIFY(!refused.isAccepted());

    std::unique_ptr<QMimeData> files(urlData({QUrl::fromLocalFile("/tmp/a.png")}));
    QDragEnterEvent accepted(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, files.get(), Qt::NoButton,
                             Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &accepted);
    QVERIFY(accepted.isAccepted());
    QCOMPARE(accepted.dropAction(), Qt::CopyAction);

    // A text drop does nothing either.
    QSignalSpy spy(&view, &QGraphicsViewMap::fileDropped);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &text, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &drop);
    QCOMPARE(spy.count(), 0);
}

void QGraphicsViewMapTest::contextMenuRunsAtTheEvent()
{
    QGraphicsViewMap view;
    view.resize(200, 200);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    // Without a menu the event is not taken.
    QContextMenuEvent none(QContextMenuEvent::Mouse, QPoint(20, 20), view.viewport()->mapToGlobal(QPoint(20, 20)));
    QCoreApplication::sendEvent(view.viewport(), &none);

    QMenu menu;
    menu.addAction("Zoom in");
    view.setContextMenu(&menu);
    QCOMPARE(view.contextMenu(), &menu);

    bool shown = false;
    QPoint shownAt;
    QTimer::singleShot(0, &menu, [&] {
        shown = menu.isVisible();
        shownAt = menu.pos();
        menu.close();
    });
    const QPoint global = view.viewport()->mapToGlobal(QPoint(30, 40));
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(30, 40), global);
    QCoreApplication::sendEvent(view.viewport(), &event);
    QVERIFY(shown);
    QCOMPARE(shownAt, global);
}

void QGraphicsViewMapTest::imageItemTakesDragsOverTheImage()
{
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::gray);
    QGraphicsScene scene(0, 0, 40, 30);
    auto* item = new ImageItem(QPixmap::fromImage(image));
    scene.addItem(item);
    QVERIFY(item->acceptDrops());
    QCOMPARE(item->pixmap().size(), QSize(40, 30));

    std::unique_ptr<QMimeData> files(urlData({QUrl::fromLocalFile("/tmp/a.png")}));
    for (QEvent::Type type : {QEvent::GraphicsSceneDragEnter, QEvent::GraphicsSceneDragMove}) {
        QGraphicsSceneDragDropEvent event(type);
        event.setScenePos(QPointF(20, 15));
        event.setMimeData(files.get());
        event.setPossibleActions(Qt::CopyAction);
        event.setProposedAction(Qt::CopyAction);
        event.ignore();
        QCoreApplication::sendEvent(&scene, &event);
        QVERIFY2(event.isAccepted(), type == QEvent::GraphicsSceneDragEnter ? "enter" : "move");
    }
}

QTEST_MAIN(QGraphicsViewMapTest)
#include "qgraphicsviewmap_qtest.moc"
