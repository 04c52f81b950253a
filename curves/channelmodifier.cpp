#include "curves/channelmodifier.h"

#include <QHBoxLayout>
#include <QLabel>

namespace {

constexpr double DefaultValue = 1.0;
constexpr double DefaultOffset = 0.0;

} // namespace

ChannelModifier::ChannelModifier(QWidget* parent) : QWidget(parent), label_(new QLabel(this))
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label_->setToolTip(tr("Settings at the right affects this component"));
    layout->addWidget(label_);
    layout->addStretch();
}

void ChannelModifier::setFamilies(int mask)
{
    mask_ = mask;
    // The preserve family comes first whenever it is offered.
    family_ = 0;
    for (int bit = 1; bit <= 256; bit <<= 1) {
        if (mask & bit) {
            family_ = bit;
            break;
        }
    }
}

int ChannelModifier::families() const
{
    return mask_;
}

void ChannelModifier::selectFamily(int family)
{
    if (mask_ & family) family_ = family;
}

int ChannelModifier::family() const
{
    return family_;
}

void ChannelModifier::setCorrelates(const QStringList& names)
{
    correlates_ = names;
    correlate_ = 0;
    label_->setText(names.value(0));
    show();
}

void ChannelModifier::setLabel(const QString& text)
{
    correlates_.clear();
    correlate_ = 0;
    label_->setText(text);
    show();
}

int ChannelModifier::correlateIndex() const
{
    return correlates_.isEmpty() ? 0 : correlate_;
}

QString ChannelModifier::componentName() const
{
    return label_->text();
}

void ChannelModifier::setLockIconsLight(bool light)
{
    lockIconsLight_ = light;
}

void ChannelModifier::setLockVisible(bool visible)
{
    lockVisible_ = visible;
    if (!visible) locked_ = false;
}

bool ChannelModifier::isLocked() const
{
    return locked_;
}

void ChannelModifier::reset()
{
    if (locked_) return;
    value_ = DefaultValue;
    offset_ = DefaultOffset;
    emit valueChanged(value_);
}

void ChannelModifier::setValue(double v)
{
    value_ = v;
    emit valueChanged(v);
}

void ChannelModifier::setOffset(double o)
{
    offset_ = o;
    emit valueChanged(o);
}
