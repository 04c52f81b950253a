// The proofing tools of the preview pane.
#include "app/widgets/proofingtools.h"

#include "app/widgets/previewscheduler.h"
#include "app/widgets/proofprofiledialog.h"
#include "app/widgets/qgraphicsviewmap.h"
#include "profiles/core/builtinspaces.h"
#include "ui_tonemolder.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QGraphicsLineItem>
#include <QGraphicsPixmapItem>
#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QSettings>
#include <QAbstractSpinBox>
#include <QStatusBar>
#include <QTextEdit>

namespace {

constexpr char SplitKey[] = "proofing/split";
constexpr char MapKey[] = "proofing/map";
constexpr char DividerKey[] = "proofing/divider";

// How near the divider (in device pixels) a press takes it.
constexpr int DividerGrip = 6;

// The legend of the maps: the false-colour scale with its ΔE00 stops.
class DifferenceLegend : public QWidget {
public:
    explicit DifferenceLegend(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("differenceLegend"));
        setMinimumSize(220, 18);
        setToolTip(QObject::tr("ΔE00 between the two images the map compares"));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        const int stops = int(std::size(DifferenceScale));
        const int labelWidth = fontMetrics().horizontalAdvance(QStringLiteral("ΔE00 "));
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(QRect(0, 0, labelWidth, height()), Qt::AlignVCenter, QStringLiteral("ΔE00"));
        const double cell = double(width() - labelWidth) / stops;
        for (int i = 0; i < stops; ++i) {
            const QRectF box(labelWidth + i * cell, 0, cell, height());
            const QColor fill = QColor::fromRgb(QRgb(DifferenceScale[i].rgb));
            p.fillRect(box, fill);
            p.setPen(fill.lightness() > 128 ? Qt::black : Qt::white);
            const QString text = (i + 1 == stops ? QStringLiteral("≥") : QString()) + QString::number(DifferenceScale[i].deltaE);
            p.drawText(box, Qt::AlignCenter, text);
        }
    }
};

// Whether a widget takes typed characters, so that a bare key stays a character there.
bool takesText(QWidget* w)
{
    return qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<QTextEdit*>(w) ||
           qobject_cast<QPlainTextEdit*>(w);
}

}   // namespace

ProofingTools::ProofingTools(Ui::TonemolderClass& ui, QSettings* settings, QMainWindow* window,
                             PreviewScheduler* scheduler, std::function<void()> refresh)
    : QObject(window), ui_(ui), settings_(settings), window_(window), scheduler_(scheduler),
      refresh_(std::move(refresh))
{
    setObjectName(QStringLiteral("proofingTools"));
    legend_ = new DifferenceLegend(window_);
    legend_->hide();
    window_->statusBar()->addPermanentWidget(legend_);
    setUpActions();
    divider_ = std::clamp(settings_->value(DividerKey, 0.5).toDouble(), 0.0, 1.0);

    connect(scheduler_, &PreviewScheduler::frameReady, this, &ProofingTools::showFrame);
    connect(ui_.iccProfile, &ICCProfileSelector::valueChanged, this, &ProofingTools::proofingChanged);
    view_ = ui_.imageViewer;
    previewAction_ = ui_.action_view_abstract;
    view_->viewport()->installEventFilter(this);
    qApp->installEventFilter(this);
    takeSettings();
}

ProofingTools::~ProofingTools()
{
    qApp->removeEventFilter(this);
}

void ProofingTools::setUpActions()
{
    const auto make = [this](const QString& text, const char* name, const QKeySequence& keys = {}) {
        auto* a = new QAction(text, window_);
        a->setObjectName(QString::fromLatin1(name));
        a->setShortcut(keys);
        return a;
    };
    const ProofSettings s = proofSettings();
    proofAction_ = make(tr(ProofText::ProofProfile), "action_proof_profile");
    paperAction_ = make(tr(ProofText::SimulatePaper), "action_simulate_paper");
    paperAction_->setCheckable(true);
    paperAction_->setChecked(s.simulatePaper);
    gamutAction_ = make(tr(ProofText::GamutWarning), "action_gamut_warning", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Y));
    gamutAction_->setCheckable(true);
    gamutAction_->setChecked(s.gamutWarning);
    strengthAction_ = make(tr("Show look strength"), "action_look_strength");
    proofErrorAction_ = make(tr("Show proof error"), "action_proof_error");
    splitAction_ = make(tr(ProofText::Split), "action_split", QKeySequence(Qt::Key_Y));
    splitHorizontalAction_ = make(tr("Split horizontally"), "action_split_horizontal", QKeySequence(Qt::SHIFT | Qt::Key_Y));
    for (QAction* a : {strengthAction_, proofErrorAction_, splitAction_, splitHorizontalAction_}) a->setCheckable(true);
    const QString map = settings_->value(MapKey).toString();
    strengthAction_->setChecked(map == QLatin1String("strength"));
    proofErrorAction_->setChecked(map == QLatin1String("proof_error"));

    QMenu* preview = ui_.menuPreview;
    preview->addSeparator();
    preview->addAction(proofAction_);
    preview->addAction(paperAction_);
    preview->addAction(gamutAction_);
    preview->addAction(strengthAction_);
    preview->addAction(proofErrorAction_);
    QMenu* compare = preview->addMenu(tr(ProofText::Compare));
    compare->setObjectName(QStringLiteral("menuCompare"));
    compare->addAction(splitAction_);
    compare->addAction(splitHorizontalAction_);

    connect(proofAction_, &QAction::triggered, this, &ProofingTools::chooseProofProfile);
    connect(paperAction_, &QAction::toggled, this, [this](bool on) {
        ProofSettings s = proofSettings();
        s.simulatePaper = on;
        s.write(*settings_);
        proofingChanged();
    });
    connect(gamutAction_, &QAction::toggled, this, [this](bool on) {
        ProofSettings s = proofSettings();
        s.gamutWarning = on;
        s.write(*settings_);
        proofingChanged();
    });
    // The two maps exclude each other; either may be off.
    const auto chooseMap = [this](QAction* chosen, bool on) {
        QAction* other = chosen == strengthAction_ ? proofErrorAction_ : strengthAction_;
        if (on && other->isChecked()) {
            const QSignalBlocker block(other);
            other->setChecked(false);
        }
        settings_->setValue(MapKey, strengthAction_->isChecked()   ? QStringLiteral("strength")
                                    : proofErrorAction_->isChecked() ? QStringLiteral("proof_error")
                                                                     : QString());
        proofingChanged();
    };
    connect(strengthAction_, &QAction::toggled, this, [=, this](bool on) { chooseMap(strengthAction_, on); });
    connect(proofErrorAction_, &QAction::toggled, this, [=, this](bool on) { chooseMap(proofErrorAction_, on); });
    connect(splitAction_, &QAction::toggled, this, [this](bool on) { setSplit(on ? Split::Vertical : Split::None); });
    connect(splitHorizontalAction_, &QAction::toggled, this,
            [this](bool on) { setSplit(on ? Split::Horizontal : Split::None); });

    const int stored = settings_->value(SplitKey, 0).toInt();
    if (stored == int(Split::Vertical) || stored == int(Split::Horizontal)) split_ = Split(stored);
    splitAction_->setChecked(split_ == Split::Vertical);
    splitHorizontalAction_->setChecked(split_ == Split::Horizontal);
}

ProofSettings ProofingTools::proofSettings() const
{
    // The Softproofing tab's colour space, when it is a press or printer.
    QString fallback;
    const QString tab = ui_.iccProfile->currentName();
    if (!tab.isEmpty()) {
        const ProfilePtr p(openProfileByName(tab), &closeProfile);
        if (p && profileDeviceClass(p.get()) == ClassOutput) fallback = tab;
    }
    return ProofSettings::read(*settings_, fallback);
}

std::pair<std::shared_ptr<IccProfile>, ProofSettings> ProofingTools::proof() const
{
    const ProofSettings settings = proofSettings();
    SharedProfile profile;
    if (settings.enabled) profile = shareProfile(ProfilePtr(openProfileByName(settings.profile), &closeProfile));
    return {profile, settings};
}

void ProofingTools::chooseProofProfile()
{
    ProofProfileDialog dialog(settings_, proofSettings().profile, window_);
    if (dialog.exec() != QDialog::Accepted) return;
    const QSignalBlocker block(paperAction_);
    paperAction_->setChecked(proofSettings().simulatePaper);
    proofingChanged();
}

void ProofingTools::proofingChanged()
{
    takeSettings();
    refresh_();
}

void ProofingTools::takeSettings()
{
    ProofingInputs in;
    std::tie(in.profile, in.settings) = proof();
    if (strengthAction_->isChecked()) in.map = Difference::LookStrength;
    if (proofErrorAction_->isChecked() && in.profile) in.map = Difference::ProofError;
    in.withOriginal = split_ != Split::None;
    legend_->setVisible(in.map.has_value());
    const bool proofed = in.profile != nullptr;
    proofErrorAction_->setEnabled(proofed);
    gamutAction_->setToolTip(proofed ? QString() : tr("Choose a proof profile first (Preview ▸ Proof profile…)"));
    scheduler_->setProofing(std::move(in));
}

void ProofingTools::setSplit(Split split)
{
    if (split == split_) return;
    split_ = split;
    settings_->setValue(SplitKey, int(split));
    {
        const QSignalBlocker a(splitAction_), b(splitHorizontalAction_);
        splitAction_->setChecked(split == Split::Vertical);
        splitHorizontalAction_->setChecked(split == Split::Horizontal);
    }
    if (split == Split::None) removeOverlay();
    proofingChanged();
}

void ProofingTools::setDividerPosition(double fraction)
{
    divider_ = std::clamp(fraction, 0.0, 1.0);
    settings_->setValue(DividerKey, divider_);
    placeDivider();
}

void ProofingTools::removeOverlay()
{
    if (overlayScene_) {
        delete clip_;   // and the original with it
        delete line_;
    }
    overlayScene_ = nullptr;
    clip_ = nullptr;
    original_ = nullptr;
    line_ = nullptr;
}

void ProofingTools::showFrame(const PreviewFrame& frame)
{
    if (!view_) return;
    QGraphicsScene* scene = view_->imageScene();
    if (split_ == Split::None || frame.original.isNull() || !scene) {
        removeOverlay();
        return;
    }
    if (scene != overlayScene_) {
        removeOverlay();
        overlayScene_ = scene;
        clip_ = new QGraphicsRectItem;
        clip_->setPen(Qt::NoPen);
        clip_->setFlag(QGraphicsItem::ItemClipsChildrenToShape);
        clip_->setZValue(1);
        original_ = new QGraphicsPixmapItem(clip_);
        line_ = new QGraphicsLineItem;
        line_->setPen(QPen(QColor(255, 255, 255, 200), 0));
        line_->setZValue(2);
        scene->addItem(clip_);
        scene->addItem(line_);
    }
    original_->setPixmap(QPixmap::fromImage(frame.original));
    const QSize size = frame.sceneSize;
    const bool stretched = frame.original.size() != size;
    original_->setTransformationMode(stretched ? Qt::SmoothTransformation : Qt::FastTransformation);
    original_->setTransform(stretched ? QTransform::fromScale(qreal(size.width()) / frame.original.width(),
                                                              qreal(size.height()) / frame.original.height())
                                      : QTransform());
    placeDivider();
}

void ProofingTools::placeDivider()
{
    if (!overlayScene_ || !clip_) return;
    const QRectF all = overlayScene_->sceneRect();
    if (split_ == Split::Vertical) {
        const qreal x = std::round(all.width() * divider_);
        clip_->setRect(0, 0, x, all.height());
        line_->setLine(x, 0, x, all.height());
    } else {
        const qreal y = std::round(all.height() * divider_);
        clip_->setRect(0, 0, all.width(), y);
        line_->setLine(0, y, all.width(), y);
    }
}

void ProofingTools::holdOriginal(bool held)
{
    if (held == holding_) return;
    holding_ = held;
    if (held) scheduler_->showOriginal();
    else refresh_();
}

bool ProofingTools::eventFilter(QObject* watched, QEvent* event)
{
    // Every event of the program passes here, also while the window is
    // being taken down: only the pointers that know it are used.
    const QEvent::Type type = event->type();
    const bool key = type == QEvent::KeyPress || type == QEvent::KeyRelease;
    const bool mouse = type == QEvent::MouseButtonPress || type == QEvent::MouseMove || type == QEvent::MouseButtonRelease;
    if (!key && !mouse) return false;
    if (key) {
        auto* press = static_cast<QKeyEvent*>(event);
        if (press->key() != Qt::Key_Backslash || press->isAutoRepeat() || !watched->isWidgetType()) return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->window() != window_ || takesText(widget) || !previewAction_ || !previewAction_->isEnabled())
            return false;
        holdOriginal(type == QEvent::KeyPress);
        return true;
    }
    if (!view_ || watched != view_->viewport() || split_ == Split::None || !overlayScene_) return false;
    auto* click = static_cast<QMouseEvent*>(event);
    const QPointF at = view_->mapToScene(click->position().toPoint());
    const QRectF all = overlayScene_->sceneRect();
    const bool vertical = split_ == Split::Vertical;
    const double fraction = vertical ? at.x() / std::max<qreal>(1, all.width()) : at.y() / std::max<qreal>(1, all.height());
    if (type == QEvent::MouseButtonPress && click->button() == Qt::LeftButton) {
        const QPoint line = view_->mapFromScene(vertical ? QPointF(all.width() * divider_, at.y())
                                                         : QPointF(at.x(), all.height() * divider_));
        const QPoint press = click->position().toPoint();
        if (std::abs(vertical ? line.x() - press.x() : line.y() - press.y()) > DividerGrip) return false;
        dragging_ = true;
        return true;
    }
    if (!dragging_) return false;
    setDividerPosition(fraction);
    if (type == QEvent::MouseButtonRelease) dragging_ = false;
    return true;
}
