// The colour readout panel.
#include "app/widgets/readoutpanel.h"

#include "app/widgets/qgraphicsviewmap.h"

#include <QDockWidget>
#include <QGraphicsEllipseItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QVBoxLayout>

namespace {

// How near (in image pixels) an Alt+click must be to remove a sampler.
constexpr int RemoveReach = 12;

}   // namespace

ReadoutPanel::ReadoutPanel(QMainWindow* window, QGraphicsViewMap* view, PreviewScheduler* scheduler,
                           ReadoutSource source)
    : QObject(window), window_(window), view_(view), source_(std::move(source))
{
    setObjectName(QStringLiteral("readoutPanel"));
    dock_ = new QDockWidget(tr("Colour readout"), window_);
    dock_->setObjectName(QStringLiteral("readoutDock"));
    auto* body = new QWidget(dock_);
    cursor_ = new QLabel(tr("Move the cursor over the image; Shift+click pins a sampler, Alt+click removes one."), body);
    cursor_->setObjectName(QStringLiteral("readoutCursor"));
    cursor_->setWordWrap(true);
    cursor_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    list_ = new QLabel(body);
    list_->setObjectName(QStringLiteral("readoutSamplers"));
    list_->setWordWrap(true);
    list_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* layout = new QVBoxLayout(body);
    layout->addWidget(cursor_);
    layout->addWidget(list_);
    layout->addStretch();
    dock_->setWidget(body);
    window_->addDockWidget(Qt::BottomDockWidgetArea, dock_);
    dock_->hide();
    QAction* toggle = dock_->toggleViewAction();
    toggle->setObjectName(QStringLiteral("action_colour_readout"));
    if (QMenu* preview = window_->findChild<QMenu*>(QStringLiteral("menuPreview"))) preview->addAction(toggle);

    view_->viewport()->setMouseTracking(true);
    view_->viewport()->installEventFilter(this);
    connect(scheduler, &PreviewScheduler::frameReady, this, &ReadoutPanel::takeFrame);
}

void ReadoutPanel::takeFrame(const PreviewFrame& frame)
{
    look_ = frame.look;
    rebuildModel();
    showSamplers();
    markSamplers();
}

void ReadoutPanel::rebuildModel()
{
    const QImage image = source_.image();
    const SharedProfile profile = source_.imageProfile();
    if (image.isNull() || !profile) {
        model_ = {};
        return;
    }
    const auto [proof, settings] = source_.proof();
    const bool gray = channelsOfSpace(profileColorSpace(profile.get())) == 1;
    model_ = ReadoutModel::make(profile.get(), look_.get(), proof.get(), settings, source_.conditions(),
                                gray ? FormatGray16 : FormatRgb16);
}

std::optional<PixelReadout> ReadoutPanel::readAt(const QPoint& pixel) const
{
    const QImage image = source_.image();
    if (model_.isNull() || !image.valid(pixel)) return std::nullopt;
    const QRgba64 c = image.pixelColor(pixel).rgba64();
    const bool deep = image.depth() > 32;
    const bool gray = image.isGrayscale() && image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32;
    std::vector<int> stored;
    if (gray) stored = {deep ? qGray(c.red(), c.green(), c.blue()) : qGray(image.pixel(pixel))};
    else if (deep) stored = {c.red(), c.green(), c.blue()};
    else stored = {qRed(image.pixel(pixel)), qGreen(image.pixel(pixel)), qBlue(image.pixel(pixel))};
    const uint16_t values[3] = {c.red(), c.green(), c.blue()};
    // A gray profile reads one value; the pixel's gray is its first channel.
    return model_.read(values, std::move(stored));
}

void ReadoutPanel::showSamplers()
{
    samplerReadouts_.clear();
    QStringList lines;
    for (int i = 0; i < samplers_.positions().size(); ++i) {
        const QPoint at = samplers_.positions()[i];
        const std::optional<PixelReadout> r = readAt(at);
        if (!r) continue;
        samplerReadouts_ << *r;
        lines << QStringLiteral("#%1 (%2, %3)  %4").arg(i + 1).arg(at.x()).arg(at.y()).arg(readoutText(*r));
    }
    list_->setText(lines.join(QLatin1Char('\n')));
}

// A small numbered ring on the image for each sampler.
void ReadoutPanel::markSamplers()
{
    if (!view_) return;
    if (markedScene_ == view_->imageScene()) qDeleteAll(marks_);
    marks_.clear();
    markedScene_ = view_->imageScene();
    if (!markedScene_) return;
    for (int i = 0; i < samplers_.positions().size(); ++i) {
        const QPointF at = QPointF(samplers_.positions()[i]) + QPointF(0.5, 0.5);
        auto* ring = new QGraphicsEllipseItem(-5, -5, 10, 10);
        ring->setPen(QPen(Qt::white, 0));
        ring->setFlag(QGraphicsItem::ItemIgnoresTransformations);
        ring->setPos(at);
        ring->setZValue(3);
        auto* number = new QGraphicsSimpleTextItem(QString::number(i + 1), ring);
        number->setBrush(Qt::white);
        number->setPos(6, -6);
        markedScene_->addItem(ring);
        marks_ << ring;
    }
}

bool ReadoutPanel::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::MouseMove && event->type() != QEvent::MouseButtonPress) return false;
    if (!view_ || watched != view_->viewport()) return false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QPointF scene = view_->mapToScene(mouse->position().toPoint());
    const QPoint pixel(int(std::floor(scene.x())), int(std::floor(scene.y())));
    if (event->type() == QEvent::MouseMove) {
        if (const std::optional<PixelReadout> r = readAt(pixel))
            cursor_->setText(QStringLiteral("(%1, %2)  %3").arg(pixel.x()).arg(pixel.y()).arg(readoutText(*r)));
        return false;
    }
    if (mouse->button() != Qt::LeftButton) return false;
    const Qt::KeyboardModifiers keys = mouse->modifiers();
    bool changed = false;
    if (keys & Qt::ShiftModifier) changed = source_.image().valid(pixel) && samplers_.pin(pixel);
    else if (keys & Qt::AltModifier) changed = samplers_.removeNear(pixel, RemoveReach);
    else return false;
    if (changed) {
        dock_->show();
        showSamplers();
        markSamplers();
    }
    return true;
}
