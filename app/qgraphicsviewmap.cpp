#include "app/qgraphicsviewmap.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGraphicsSceneDragDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTimeLine>
#include <QWheelEvent>

namespace {

constexpr int DeltaPerNotch = 120;
constexpr double TickDivisor = 300.0;
constexpr int AnimationMs = 350;
constexpr int TickMs = 20;

} // namespace

QGraphicsViewMap::QGraphicsViewMap(QWidget* parent)
    : QGraphicsView(parent), timeLine_(new QTimeLine(AnimationMs, this))
{
    setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    setTransformationAnchor(AnchorUnderMouse);
    setDragMode(ScrollHandDrag);

    timeLine_->setUpdateInterval(TickMs);
    connect(timeLine_, &QTimeLine::valueChanged, this, &QGraphicsViewMap::scalingTime);
    connect(timeLine_, &QTimeLine::finished, this, &QGraphicsViewMap::animFinished);
}

QGraphicsViewMap::~QGraphicsViewMap()
{
    // Detach the image scene before deleting it.
    if (imageScene_ && scene() == imageScene_) setScene(nullptr);
    delete imageScene_;
}

int QGraphicsViewMap::wheelNotches(int angleDelta)
{
    return angleDelta / DeltaPerNotch;
}

double QGraphicsViewMap::scheduleSteps(double scheduled, int steps)
{
    if ((scheduled > 0 && steps < 0) || (scheduled < 0 && steps > 0)) return steps;
    return scheduled + steps;
}

double QGraphicsViewMap::stepTowardZero(double scheduled)
{
    if (scheduled >= 1) return scheduled - 1;
    if (scheduled <= -1) return scheduled + 1;
    return 0;
}

double QGraphicsViewMap::tickFactor(double scheduled)
{
    return 1.0 + scheduled / TickDivisor;
}

void QGraphicsViewMap::setContextMenu(QMenu* menu)
{
    menu_ = menu;
}

QMenu* QGraphicsViewMap::contextMenu() const
{
    return menu_;
}

double QGraphicsViewMap::scheduledSteps() const
{
    return scheduled_;
}

void QGraphicsViewMap::resetScheduledSteps()
{
    scheduled_ = 0;
}

void QGraphicsViewMap::setImageScene(QGraphicsScene* scene)
{
    const QTransform kept = transform();
    QGraphicsScene* previous = imageScene_;
    imageScene_ = scene;
    setScene(scene);
    setTransform(kept);
    if (previous != scene) delete previous;
}

QGraphicsScene* QGraphicsViewMap::imageScene() const
{
    return imageScene_;
}

void QGraphicsViewMap::autoFit()
{
    if (!scene()) return;
    fitInView(scene()->itemsBoundingRect(), Qt::KeepAspectRatio);
}

void QGraphicsViewMap::zoomIn()
{
    scale(1.1, 1.1);
}

void QGraphicsViewMap::zoomOut()
{
    // The same floor as the wheel: a view scaled to nothing cannot come back.
    if (scaleAllowed(0.9)) scale(0.9, 0.9);
}

void QGraphicsViewMap::wheelEvent(QWheelEvent* event)
{
    wheelPosition_ = event->position().toPoint();
    scheduled_ = scheduleSteps(scheduled_, wheelNotches(event->angleDelta().y()));
    timeLine_->stop();
    timeLine_->start();
    event->accept();
}

bool QGraphicsViewMap::scaleAllowed(double factor) const
{
    const QTransform scaled = QTransform(transform()).scale(factor, factor);
    return scaled.mapRect(QRectF(0, 0, 1, 1)).width() >= MinimumScale;
}

void QGraphicsViewMap::scalingTime(qreal)
{
    const double factor = tickFactor(scheduled_);
    if (!scaleAllowed(factor)) return;

    // Scale about the wheel position: the scene point under it stays under it.
    const QPointF anchor = mapToScene(wheelPosition_);
    const ViewportAnchor saved = transformationAnchor();
    setTransformationAnchor(NoAnchor);
    scale(factor, factor);
    setTransformationAnchor(saved);

    const QPointF moved = mapFromScene(anchor) - QPointF(wheelPosition_);
    horizontalScrollBar()->setValue(horizontalScrollBar()->value() + qRound(moved.x()));
    verticalScrollBar()->setValue(verticalScrollBar()->value() + qRound(moved.y()));
}

void QGraphicsViewMap::animFinished()
{
    scheduled_ = stepTowardZero(scheduled_);
    timeLine_->stop();
}

void QGraphicsViewMap::contextMenuEvent(QContextMenuEvent* event)
{
    if (!menu_) {
        QGraphicsView::contextMenuEvent(event);
        return;
    }
    menu_->exec(event->globalPos());
    event->accept();
}

void QGraphicsViewMap::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void QGraphicsViewMap::dragMoveEvent(QDragMoveEvent* event)
{
    // Files may be dropped anywhere in the view, not only over the image.
    if (event->mimeData()->hasUrls()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void QGraphicsViewMap::dropEvent(QDropEvent* event)
{
    const QMimeData* data = event->mimeData();
    if (!data->hasUrls()) {
        event->ignore();
        return;
    }
    for (const QUrl& url : data->urls()) {
        if (url.isValid() && url.isLocalFile() && !url.toLocalFile().isEmpty()) {
            event->setDropAction(Qt::CopyAction);
            event->accept();
            emit fileDropped(url.toLocalFile());
            return;
        }
    }
    event->ignore();
}

ImageItem::ImageItem(const QPixmap& pixmap, QGraphicsItem* parent) : QGraphicsPixmapItem(pixmap, parent)
{
    setAcceptDrops(true);
}

void ImageItem::dragEnterEvent(QGraphicsSceneDragDropEvent* event)
{
    event->setAccepted(true);
}

void ImageItem::dragMoveEvent(QGraphicsSceneDragDropEvent* event)
{
    event->setAccepted(true);
}
