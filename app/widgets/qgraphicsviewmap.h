// The program's one view class: a graphics view with an animated wheel zoom,
// fixed-step zoom, fitting the scene into the view or showing it at one scene
// unit per device pixel, a context menu and the dropping of one file.
#pragma once

#include <QGraphicsPixmapItem>
#include <QGraphicsView>
#include <QList>
#include <QPoint>
#include <QRgb>
#include <QStringList>

class QGraphicsPathItem;
class QGraphicsSimpleTextItem;
class QMenu;
class QPainterPath;
class QTimeLine;

class QGraphicsViewMap : public QGraphicsView {
    Q_OBJECT

public:
    explicit QGraphicsViewMap(QWidget* parent = nullptr);
    ~QGraphicsViewMap() override;

    // Wheel notches in a vertical angle delta; a partial notch (a high-resolution
    // wheel's small delta) counts for nothing.
    static int wheelNotches(int angleDelta);
    // Zoom steps still to animate after `steps` more notches: turning the wheel
    // the other way starts over in the new direction.
    static double scheduleSteps(double scheduled, int steps);

    // One wheel notch zooms by this factor, shared out over the animation.
    static constexpr double NotchFactor = 1.25;
    // No zoom makes one scene unit narrower than this many pixels.
    static constexpr double MinimumScale = 0.1;

    void setContextMenu(QMenu* menu);   // not owned
    QMenu* contextMenu() const;

    // Notches of zoom still to animate.
    double scheduledSteps() const;
    void resetScheduledSteps();

    // Whether the view fits its scene again whenever it is resized (the curve
    // panels, whose views change size with the editors below them).
    void setFitOnResize(bool fit);

    // Installs a scene made for an image; the view owns it from now on and
    // deletes the image scene it had before. The view's transform is kept, so
    // zoom and pan survive a new image.
    void setImageScene(QGraphicsScene* scene);
    QGraphicsScene* imageScene() const;
    // Shows nothing: the image scene is dropped and no zoom is pending.
    void clearImage();

    // Curve plotting. A panel redraw is: clearCurves, setLegend, then one
    // addCurve per channel with a path of drawingWidth × drawingHeight.
    //
    // Removes every item from the scene; the next curve takes colour 0.
    void clearCurves();
    // Replaces the curve colours unless `colors` is empty, then puts name i
    // on the scene at (40, 50·i + 30), three times the default font size, in
    // colour i (white past the end of the colours). Returns the items.
    QList<QGraphicsSimpleTextItem*> setLegend(const QStringList& names, const QList<QRgb>& colors);
    // The path in the next curve's colour (white past the end of the
    // colours), unfilled. Null when the view has no scene.
    QGraphicsPathItem* addCurve(const QPainterPath& path);
    QList<QRgb> curveColors() const;
    // The scene's extent less one unit (1023 × 511 on a curve scene); 0
    // without a scene.
    int drawingWidth() const;
    int drawingHeight() const;

signals:
    void fileDropped(const QString& filename);

public slots:
    void autoFit();
    // One scene unit per device pixel: an image at its own resolution.
    void actualSize();
    void zoomIn();
    void zoomOut();
    void wheelEvent(QWheelEvent* event) override;
    // A tick of the wheel animation at `value` (0 to 1) of its time line:
    // the part of the scheduled zoom due since the last tick.
    void scalingTime(qreal value);
    // The animation ended: whatever zoom is still due, at once.
    void animFinished();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    bool scaleAllowed(double factor) const;
    void zoomAboutWheel(double notches);

    QMenu* menu_ = nullptr;
    QPoint wheelPosition_;
    double scheduled_ = 0.0;
    double animated_ = 0.0;       // notches the running animation shares out
    qreal lastProgress_ = 0.0;    // time-line value of its last tick
    bool fitOnResize_ = false;
    QGraphicsScene* imageScene_ = nullptr;
    QTimeLine* timeLine_ = nullptr;
    QList<QRgb> curveColors_;
    int nextCurve_ = 0;
};

// The pixmap item of the preview pane; it accepts drags, so that files dragged
// over the image are not refused by the item.
class ImageItem : public QGraphicsPixmapItem {
public:
    explicit ImageItem(const QPixmap& pixmap, QGraphicsItem* parent = nullptr);

protected:
    void dragEnterEvent(QGraphicsSceneDragDropEvent* event) override;
    void dragMoveEvent(QGraphicsSceneDragDropEvent* event) override;
};
