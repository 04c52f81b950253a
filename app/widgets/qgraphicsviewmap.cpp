#include "app/widgets/qgraphicsviewmap.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGraphicsPathItem>
#include <QGraphicsSceneDragDropEvent>
#include <QGraphicsSimpleTextItem>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTimeLine>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

constexpr int DeltaPerNotch = 120;
constexpr int AnimationMs = 350;
constexpr int TickMs = 20;

constexpr QRgb FallbackCurveColor = 0xFFFFFFFF;
constexpr qreal LegendScale = 3.0;
constexpr qreal LegendX = 40.0;
constexpr qreal LegendTop = 30.0;
constexpr qreal LegendSpacing = 50.0;

QColor colorAt(const QList<QRgb>& colors, qsizetype i)
{
    return QColor::fromRgba(i >= 0 && i < colors.size() ? colors[i] : FallbackCurveColor);
}

// The scene's extent less one, truncated; huge or negative extents are held
// to what an int can carry.
int drawingExtent(qreal extent)
{
    return int(std::clamp<qreal>(extent - 1.0, 0.0, 1 << 30));
}

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
    timeLine_->stop();
    scheduled_ = 0;
    animated_ = 0;
}

void QGraphicsViewMap::setFitOnResize(bool fit)
{
    fitOnResize_ = fit;
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

void QGraphicsViewMap::clearImage()
{
    resetScheduledSteps();
    if (imageScene_) setImageScene(nullptr);
}

void QGraphicsViewMap::clearCurves()
{
    nextCurve_ = 0;
    if (scene()) scene()->clear();
}

QList<QGraphicsSimpleTextItem*> QGraphicsViewMap::setLegend(const QStringList& names, const QList<QRgb>& colors)
{
    if (!colors.isEmpty()) curveColors_ = colors;
    QList<QGraphicsSimpleTextItem*> items;
    if (!scene()) return items;
    for (qsizetype i = 0; i < names.size(); ++i) {
        QGraphicsSimpleTextItem* item = scene()->addSimpleText(names[i]);
        item->setScale(LegendScale);
        item->setPos(LegendX, LegendSpacing * qreal(i) + LegendTop);
        item->setBrush(colorAt(curveColors_, i));
        items.append(item);
    }
    return items;
}

QGraphicsPathItem* QGraphicsViewMap::addCurve(const QPainterPath& path)
{
    if (!scene()) return nullptr;
    QGraphicsPathItem* item = scene()->addPath(path, QPen(colorAt(curveColors_, nextCurve_)), Qt::NoBrush);
    ++nextCurve_;
    return item;
}

QList<QRgb> QGraphicsViewMap::curveColors() const
{
    return curveColors_;
}

int QGraphicsViewMap::drawingWidth() const
{
    return scene() ? drawingExtent(scene()->width()) : 0;
}

int QGraphicsViewMap::drawingHeight() const
{
    return scene() ? drawingExtent(scene()->height()) : 0;
}

void QGraphicsViewMap::autoFit()
{
    if (!scene()) return;
    fitInView(scene()->itemsBoundingRect(), Qt::KeepAspectRatio);
}

void QGraphicsViewMap::actualSize()
{
    resetScheduledSteps();
    const qreal unit = 1.0 / devicePixelRatioF();
    setTransform(QTransform::fromScale(unit, unit));
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
    // The new animation shares out everything still due.
    animated_ = scheduled_;
    lastProgress_ = 0;
    timeLine_->stop();
    timeLine_->start();
    event->accept();
}

bool QGraphicsViewMap::scaleAllowed(double factor) const
{
    const QTransform scaled = QTransform(transform()).scale(factor, factor);
    return scaled.mapRect(QRectF(0, 0, 1, 1)).width() >= MinimumScale;
}

void QGraphicsViewMap::scalingTime(qreal value)
{
    const qreal progress = std::clamp<qreal>(value, lastProgress_, 1.0);
    const double due = animated_ * (progress - lastProgress_);
    lastProgress_ = progress;
    zoomAboutWheel(due);
}

void QGraphicsViewMap::animFinished()
{
    timeLine_->stop();
    zoomAboutWheel(scheduled_);
    animated_ = 0;
}

// Zooms by `notches` (of NotchFactor each) about the wheel position: the
// scene point under it stays under it. Nothing past the zoom-out limit.
void QGraphicsViewMap::zoomAboutWheel(double notches)
{
    if (notches == 0) return;
    scheduled_ -= notches;
    if (std::abs(scheduled_) < 1e-9) scheduled_ = 0;
    const double factor = std::pow(NotchFactor, notches);
    if (!scaleAllowed(factor)) return;

    const QPointF anchor = mapToScene(wheelPosition_);
    const ViewportAnchor saved = transformationAnchor();
    setTransformationAnchor(NoAnchor);
    scale(factor, factor);
    setTransformationAnchor(saved);

    const QPointF moved = mapFromScene(anchor) - QPointF(wheelPosition_);
    horizontalScrollBar()->setValue(horizontalScrollBar()->value() + qRound(moved.x()));
    verticalScrollBar()->setValue(verticalScrollBar()->value() + qRound(moved.y()));
}

void QGraphicsViewMap::resizeEvent(QResizeEvent* event)
{
    QGraphicsView::resizeEvent(event);
    if (fitOnResize_) autoFit();
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
