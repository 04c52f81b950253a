#include "curves/widgets/spinnedslider.h"

#include "curves/core/curvefamily.h"

#include <QDoubleSpinBox>
#include <QScopedValueRollback>
#include <QSlider>

SpinnedSlider::SpinnedSlider(QDoubleSpinBox* spin, QSlider* slider, QObject* parent)
    : QObject(parent)
    , spin_(spin)
    , slider_(slider)
{
    connect(spin_, &QDoubleSpinBox::valueChanged, this, &SpinnedSlider::fromSpinToSlider);
    connect(slider_, &QSlider::valueChanged, this, &SpinnedSlider::fromSliderToSpin);
}

void SpinnedSlider::fromSliderToSpin(int val)
{
    if (blocking_) return;
    const double v = sliderToValue(scaleMode_, val);
    {
        const QScopedValueRollback block(blocking_, true);
        spin_->setValue(v);
    }
    // The value the position stands for, before the spin box rounds it.
    emit valueChanged(v);
}

void SpinnedSlider::fromSpinToSlider(double v)
{
    if (blocking_) return;
    placeSlider(v);
    emit valueChanged(v);
}

void SpinnedSlider::placeSlider(double v)
{
    const QScopedValueRollback block(blocking_, true);
    slider_->setValue(valueToSlider(scaleMode_, v));
}

void SpinnedSlider::configure(const ParameterControl& control)
{
    if (!control.configured) return;
    const QScopedValueRollback block(blocking_, true);
    scaleMode_ = control.scaleMode;
    default_ = control.defaultValue;
    spin_->setRange(control.minimum, control.maximum);
    spin_->setSingleStep(control.step);
    slider_->setRange(control.sliderMinimum, control.sliderMaximum);
    slider_->setSingleStep(SliderSingleStep);
    slider_->setPageStep(SliderPageStep);
    slider_->setInvertedAppearance(control.sliderInverted);
    placeSlider(spin_->value());
}

void SpinnedSlider::resetToDefault()
{
    const bool announce = !blocking_;
    {
        const QScopedValueRollback block(blocking_, true);
        spin_->setValue(default_);
        placeSlider(default_);
    }
    if (announce) emit valueChanged(default_);
}
