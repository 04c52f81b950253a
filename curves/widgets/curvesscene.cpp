#include "curves/widgets/curvesscene.h"

#include "curves/core/channelcurve.h"

#include <QLineF>
#include <QPainter>
#include <QVarLengthArray>

#include <algorithm>
#include <cmath>

namespace {

// The scene's extent minus one, truncated, as the grid's far edge.
int lastUnit(qreal extent)
{
    return int(std::clamp<qreal>(extent - 1.0, -1.0, 1 << 24));
}

} // namespace

CurvesScene::CurvesScene(bool plain, QObject* parent)
    : QGraphicsScene(parent)
    , m_plain(plain)
{
}

CurvesScene::CurvesScene(const QRectF& sceneRect, bool plain, QObject* parent)
    : QGraphicsScene(sceneRect, parent)
    , m_plain(plain)
{
}

void CurvesScene::setPlain(bool plain)
{
    if (plain == m_plain) return;
    m_plain = plain;
    update();
}

void CurvesScene::drawBackground(QPainter* painter, const QRectF& rect)
{
    painter->setBackground(QBrush(Qt::black));
    painter->fillRect(rect, Qt::black);
    if (m_plain) return;

    painter->setPen(QPen(QColor::fromRgba(CurvesGridColor), CurvesGridPenWidth));
    const int w = lastUnit(width());
    const int h = lastUnit(height());

    QVarLengthArray<QLineF, 64> lines;
    if (w > 0 && h > 0) {
        for (int x = 0; x < w; x += CurvesGridStep) lines.append(QLineF(x, 0, x, h));
        for (int y = 0; y < h; y += CurvesGridStep) lines.append(QLineF(0, y, w, y));
    }
    // The closing edges, on the last unit of the scene.
    lines.append(QLineF(0, h, w, h));
    lines.append(QLineF(w, 0, w, h));
    painter->drawLines(lines.constData(), int(lines.size()));
}

QPainterPath curvePath(const ChannelCurve& curve, int w, int h, int n)
{
    QPainterPath path;
    if (n < 2) return path;
    const ToneCurvePtr tone = curve.buildCurvePtr();
    if (!tone) return path;

    path.reserve(n);
    for (int i = 0; i < n; ++i) {
        const double t = double(i) / double(n - 1);
        const float v = evalCurveFloat(tone.get(), float(t));
        const double y = v > 0.0f ? std::min(double(v), 1.0) : 0.0;   // NaN plots at 0
        const QPointF point(w * t - 1.0, (1.0 - y) * h - 1.0);
        if (i == 0)
            path.moveTo(point);
        else
            path.lineTo(point);
    }
    return path;
}
