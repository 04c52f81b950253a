// The zoomable view: wheel steps, zoom limits, fitting, context menu and drops.
#include "app/qgraphicsviewmap.h"

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
    void finishedAnimationTakesOneStepOff();
    void tickScalesByOneThreeHundredthPerStep();
    void tickKeepsTheScenePointUnderTheWheel();
    void zoomOutStopsAtOneTenthPixelPerUnit();
    void zoomSlotsScaleAtOnce();
    void autoFitShowsEveryItem();
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

void QGraphicsViewMapTest::finishedAnimationTakesOneStepOff()
{
    QGraphicsViewMap view;
    turnWheel(view, 360);
    view.animFinished();
    QCOMPARE(view.scheduledSteps(), 2.0);

    QGraphicsViewMap down;
    turnWheel(down, -240);
    down.animFinished();
    QCOMPARE(down.scheduledSteps(), -1.0);
    down.animFinished();
    QCOMPARE(down.scheduledSteps(), 0.0);
    down.animFinished();   // nothing left: stays at rest
    QCOMPARE(down.scheduledSteps(), 0.0);

    // A new notch after the rest is one step again.
    turnWheel(down, 120);
    QCOMPARE(down.scheduledSteps(), 1.0);
}

void QGraphicsViewMapTest::tickScalesByOneThreeHundredthPerStep()
{
    QGraphicsScene scene(0, 0, 100, 100);
    QGraphicsViewMap view;
    view.setScene(&scene);
    view.resize(300, 300);

    turnWheel(view, 120);
    view.scalingTime(0.5);
    QVERIFY(qFuzzyCompare(horizontalScale(view), 1.0 + 1.0 / 300));

    turnWheel(view, 240);   // three steps now
    view.scalingTime(0.5);
    QVERIFY(qFuzzyCompare(horizontalScale(view), (1.0 + 1.0 / 300) * 1.01));
    QVERIFY(qFuzzyCompare(view.transform().m22(), view.transform().m11()));
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
    turnWheel(view, 3600, at);   // 30 steps: 10 % per tick
    for (int i = 0; i < 5; ++i) view.scalingTime(0.5);
    QVERIFY(qFuzzyCompare(horizontalScale(view), std::pow(1.1, 5)));

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

    turnWheel(view, -3600);   // 30 steps out: 0.9 per tick
    for (int i = 0; i < 40; ++i) view.scalingTime(0.5);
    // 0.9^21 = 0.1094 is the last scale at or above 0.1 (0.9^22 = 0.0985).
    QVERIFY(qFuzzyCompare(horizontalScale(view), std::pow(0.9, 21)));

    // The zoom-out slot stops at the same floor.
    QGraphicsViewMap stepped;
    stepped.setScene(&scene);
    for (int i = 0; i < 40; ++i) stepped.zoomOut();
    QVERIFY(qFuzzyCompare(horizontalScale(stepped), std::pow(0.9, 21)));

    // Zooming in again still works.
    turnWheel(view, 1200);
    view.scalingTime(0.5);
    QVERIFY(horizontalScale(view) > std::pow(0.9, 21));
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
