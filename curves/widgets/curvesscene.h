// The canvas curves are drawn on: a black scene with a dark green grid of
// 32-unit squares (or plain black, as the backdrop of the preview image), and
// the path that plots a channel curve on it.
#pragma once

#include <QGraphicsScene>
#include <QPainterPath>

class ChannelCurve;

class CurvesScene : public QGraphicsScene {
    Q_OBJECT
public:
    // Curve panels use plain = false and the rectangle (0, 0, 1024, 512).
    explicit CurvesScene(bool plain = false, QObject* parent = nullptr);
    CurvesScene(const QRectF& sceneRect, bool plain, QObject* parent = nullptr);

    bool isPlain() const { return m_plain; }
    void setPlain(bool plain);

protected:
    void drawBackground(QPainter* painter, const QRectF& rect) override;

private:
    bool m_plain = false;
};

// Grid spacing and pen of a curve scene.
constexpr int CurvesGridStep = 32;
constexpr unsigned CurvesGridColor = 0xFF000A00;
constexpr int CurvesGridPenWidth = 3;

// The curve sampled at n points evenly spread over 0 … 1, each value clamped
// to 0 … 1, as a polyline from (−1, h − 1) to (w − 1, −1) for the identity:
// point i is (w·t − 1, (1 − y)·h − 1) with t = i / (n − 1). Empty when the
// curve cannot be built or n is below 2.
QPainterPath curvePath(const ChannelCurve& curve, int w, int h, int n);
