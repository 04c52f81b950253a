#include "curves/widgets/channelmodifier.h"

#include "curves/widgets/curvesscene.h"
#include "curves/widgets/spinnedslider.h"
#include "curves/widgets/tabulatedcurvedlg.h"
#include "curves/widgets/tabulatedcurvexydlg.h"
#include "ui_channelmodifier.h"

#include <QContextMenuEvent>
#include <QDataStream>
#include <QFile>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QScopedValueRollback>
#include <QSignalBlocker>

namespace {

constexpr QSize LockIconSize(16, 22);

// A padlock for when the lock pictures are missing: the shackle closed into
// the body, or lifted and swung open.
QPixmap drawnLock(bool closed, const QColor& colour)
{
    QPixmap pixmap(LockIconSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour, 2));
    const QRectF shackle = closed ? QRectF(4, 3, 8, 12) : QRectF(7, 1, 8, 12);
    painter.drawArc(shackle, 0, 180 * 16);
    painter.drawLine(QPointF(shackle.left(), shackle.center().y()), QPointF(shackle.left(), 11));
    if (closed) painter.drawLine(QPointF(shackle.right(), shackle.center().y()), QPointF(shackle.right(), 11));
    painter.fillRect(QRectF(2, 11, 12, 9), colour);
    return pixmap;
}

QIcon lockIcon(bool light)
{
    if (light)
        return makeLockIcon(QStringLiteral(":/lock_white_off.png"), QStringLiteral(":/lock_white_on.png"), Qt::white);
    return makeLockIcon(QStringLiteral(":/lock_black_off.png"), QStringLiteral(":/lock_black_on.png"), Qt::black);
}

} // namespace

QIcon makeLockIcon(const QString& offFile, const QString& onFile, const QColor& fallback)
{
    QIcon icon;
    for (const bool closed : {false, true}) {
        QPixmap pixmap;
        const QString& file = closed ? onFile : offFile;
        if (QFile::exists(file)) pixmap.load(file);
        if (pixmap.isNull()) pixmap = drawnLock(closed, fallback);
        icon.addPixmap(pixmap, QIcon::Normal, closed ? QIcon::On : QIcon::Off);
    }
    return icon;
}

ChannelModifier::ChannelModifier(QWidget* parent)
    : QWidget(parent)
    , ui_(std::make_unique<Ui::ChannelModifier>())
{
    ui_->setupUi(this);
    valuePair_ = new SpinnedSlider(ui_->spinValue, ui_->sliderValue, this);
    offsetPair_ = new SpinnedSlider(ui_->spinOffset, ui_->sliderOffset, this);
    setLockIconsLight(true);

    // Nothing is offered yet: no selectors and no parameter controls.
    ui_->comboCorrelates->hide();
    ui_->comboFamily->hide();
    configureControls();

    connect(ui_->lockButton, &QToolButton::clicked, this, &ChannelModifier::setLockedState);
    connect(ui_->comboCorrelates, &QComboBox::currentIndexChanged, this, &ChannelModifier::setFunctionControls);
    connect(ui_->comboFamily, &QComboBox::currentIndexChanged, this, &ChannelModifier::setFunctionControls);
    connect(ui_->btnData, &QToolButton::clicked, this, &ChannelModifier::editCurveData);
    connect(valuePair_, &SpinnedSlider::valueChanged, this, &ChannelModifier::propagateValueChanged);
    connect(offsetPair_, &SpinnedSlider::valueChanged, this, &ChannelModifier::propagateValueChanged);
}

ChannelModifier::~ChannelModifier() = default;

// ---------------------------------------------------------------------------
// Families, correlates and the lock
// ---------------------------------------------------------------------------

void ChannelModifier::setFamilies(int mask)
{
    curve_.setFamilies(FamilyMask(mask));
    QComboBox* combo = ui_->comboFamily;
    {
        const QSignalBlocker block(combo);
        combo->clear();
        for (const CurveFamily f : familiesInMask(FamilyMask(mask)))
            combo->addItem(QIcon(), QString::fromUtf8(familyLabel(f)), int(f));
        familySelectorActive_ = combo->count() >= 2;
        if (familySelectorActive_) combo->setCurrentIndex(0);
    }
    combo->setVisible(familySelectorActive_);
    setFunctionControls();
}

int ChannelModifier::families() const
{
    return int(curve_.families());
}

void ChannelModifier::selectFamily(int family)
{
    if (familySelectorActive_) {
        const int index = ui_->comboFamily->findData(family);
        if (index >= 0) ui_->comboFamily->setCurrentIndex(index);   // reconfigures when it changes
        return;
    }
    if (family != int(curve_.family()) && curve_.selectFamily(CurveFamily(family))) setFunctionControls();
}

int ChannelModifier::family() const
{
    return int(curve_.family());
}

void ChannelModifier::setCorrelates(const QStringList& names)
{
    hasCorrelates_ = true;
    ui_->labelComponent->hide();
    {
        const QSignalBlocker block(ui_->comboCorrelates);
        ui_->comboCorrelates->clear();
        ui_->comboCorrelates->addItems(names);
        ui_->comboCorrelates->setCurrentIndex(0);
    }
    ui_->comboCorrelates->show();
    curve_.setCorrelateCount(int(names.size()));
    show();
    setFunctionControls();
}

void ChannelModifier::setLabel(const QString& text)
{
    hasCorrelates_ = false;
    curve_.setCorrelateCount(0);
    ui_->comboCorrelates->hide();
    ui_->labelComponent->setText(text);
    ui_->labelComponent->show();
    show();
}

int ChannelModifier::correlateIndex() const
{
    return hasCorrelates_ ? std::max(ui_->comboCorrelates->currentIndex(), 0) : 0;
}

QString ChannelModifier::componentName() const
{
    return hasCorrelates_ ? ui_->comboCorrelates->currentText() : ui_->labelComponent->text();
}

void ChannelModifier::setLockIconsLight(bool light)
{
    ui_->lockButton->setIcon(lockIcon(light));
}

void ChannelModifier::setLockVisible(bool visible)
{
    ui_->lockButton->setVisible(visible);
    if (!visible) {
        ui_->lockButton->setChecked(false);
        setLockedState();
    }
}

bool ChannelModifier::isLocked() const
{
    return ui_->lockButton->isChecked();
}

void ChannelModifier::setLockedState()
{
    const bool locked = ui_->lockButton->isChecked();
    curve_.setLocked(locked);
    for (QWidget* w : {static_cast<QWidget*>(ui_->comboCorrelates), static_cast<QWidget*>(ui_->labelComponent),
                       static_cast<QWidget*>(ui_->comboFamily), static_cast<QWidget*>(ui_->spinValue),
                       static_cast<QWidget*>(ui_->sliderValue), static_cast<QWidget*>(ui_->spinOffset),
                       static_cast<QWidget*>(ui_->sliderOffset)})
        w->setEnabled(!locked);
    update();
}

// ---------------------------------------------------------------------------
// Parameters
// ---------------------------------------------------------------------------

void ChannelModifier::configureControls()
{
    const FamilyControls c = familyControls(curve_.family());
    valuePair_->configure(c.value);
    offsetPair_->configure(c.offset);
    ui_->spinValue->setVisible(c.value.shown);
    ui_->sliderValue->setVisible(c.value.shown);
    ui_->spinOffset->setVisible(c.offset.shown);
    ui_->sliderOffset->setVisible(c.offset.shown);
    ui_->btnData->setVisible(c.dataButton);
}

void ChannelModifier::setFunctionControls()
{
    // The selections into the curve first: a new correlate or family resets
    // an unlocked curve there as it does here.
    if (hasCorrelates_ && ui_->comboCorrelates->currentIndex() >= 0)
        curve_.setCorrelateIndex(ui_->comboCorrelates->currentIndex());
    if (familySelectorActive_) {
        bool ok = false;
        const int f = ui_->comboFamily->currentData().toInt(&ok);
        if (ok) curve_.selectFamily(CurveFamily(f));
    }
    configureControls();
    if (!isLocked()) {
        const QScopedValueRollback mute(muted_, true);
        valuePair_->resetToDefault();
        offsetPair_->resetToDefault();
    }
    pullParameters();
    emit valueChanged(ui_->spinValue->value());
}

void ChannelModifier::pullParameters()
{
    curve_.setValue(ui_->spinValue->value());
    curve_.setOffset(ui_->spinOffset->value());
}

void ChannelModifier::propagateValueChanged(double d)
{
    pullParameters();
    if (!muted_) emit valueChanged(d);
}

void ChannelModifier::reset()
{
    if (isLocked()) return;
    {
        const QScopedValueRollback mute(muted_, true);
        valuePair_->resetToDefault();
        offsetPair_->resetToDefault();
    }
    pullParameters();
    emit valueChanged(ui_->spinValue->value());
}

void ChannelModifier::setValue(double v)
{
    // The curve rounds and clamps; the spin box shows what it kept and
    // announces a change.
    curve_.setValue(v);
    ui_->spinValue->setValue(curve_.value());
    pullParameters();
}

void ChannelModifier::setOffset(double o)
{
    curve_.setOffset(o);
    ui_->spinOffset->setValue(curve_.offset());
    pullParameters();
}

void ChannelModifier::setUserData(bool normalized, double smoothing, QList<float> data)
{
    curve_.setUserData(normalized, smoothing, data);
}

void ChannelModifier::setUserData(bool normalized, QMap<float, float> data)
{
    curve_.setUserData(normalized, data);
}

// ---------------------------------------------------------------------------
// Free-form data, context menu, plotting
// ---------------------------------------------------------------------------

void ChannelModifier::editCurveData()
{
    bool normalized = curve_.normalized();
    if (curve_.family() == CurveFamily::PointList) {
        QMap<float, float> points = curve_.points();
        TabulatedCurveXYDlg dialog(points, normalized, this);
        if (dialog.exec() == QDialog::Accepted) curve_.setUserData(normalized, points);
    } else {
        QList<float> values = curve_.values();
        double smoothing = curve_.smoothing();
        TabulatedCurveDlg dialog(values, normalized, smoothing, this);
        if (dialog.exec() == QDialog::Accepted) curve_.setUserData(normalized, smoothing, values);
    }
    emit valueChanged(0.0);
}

void ChannelModifier::contextMenuEvent(QContextMenuEvent* event)
{
    event->accept();
    if (isLocked()) return;
    QMenu menu(this);
    menu.addAction(tr("Reset"), this, &ChannelModifier::reset);
    menu.exec(event->globalPos());
}

QPainterPath ChannelModifier::curvePath(int w, int h, int n) const
{
    return ::curvePath(curve_, w, h, n);
}

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------

QString ChannelModifier::toStateString() const
{
    return curve_.toStateString();
}

bool ChannelModifier::fromStateString(const QString& text)
{
    ChannelStateRecord record;
    bool complete = false;
    if (!readStateString(text, record, &complete)) return false;
    applyState(record);
    return complete;
}

// The curve applies the record (ChannelCurve::applyState); the controls then
// show what it holds. A new correlate or family is announced once, as
// choosing it is, then each parameter that moves.
void ChannelModifier::applyState(const ChannelStateRecord& record)
{
    const CurveFamily family = curve_.family();
    const int correlate = curve_.correlateIndex();
    curve_.applyState(record);
    const double value = curve_.value();
    const double offset = curve_.offset();
    {
        const QSignalBlocker blockCorrelates(ui_->comboCorrelates);
        const QSignalBlocker blockFamily(ui_->comboFamily);
        if (hasCorrelates_) ui_->comboCorrelates->setCurrentIndex(curve_.correlateIndex());
        if (familySelectorActive_) ui_->comboFamily->setCurrentIndex(ui_->comboFamily->findData(int(curve_.family())));
    }
    ui_->lockButton->setChecked(curve_.isLocked());
    setLockedState();
    if (curve_.family() != family || curve_.correlateIndex() != correlate) {
        configureControls();
        emit valueChanged(ui_->spinValue->value());
    }
    ui_->spinValue->setValue(value);
    ui_->spinOffset->setValue(offset);
    pullParameters();
}

QDataStream& operator<<(QDataStream& stream, const ChannelModifier& modifier)
{
    return stream << modifier.curve();
}

QDataStream& operator>>(QDataStream& stream, ChannelModifier& modifier)
{
    ChannelStateRecord record;
    stream >> record;
    modifier.applyState(record);
    return stream;
}
