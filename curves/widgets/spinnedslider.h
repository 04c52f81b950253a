// Couples a spin box and a slider that its parent owns, so that moving one
// moves the other through a scale mode, and announces each change once.
#pragma once

#include "curves/core/sliderscale.h"

#include <QObject>

class QDoubleSpinBox;
class QSlider;
struct ParameterControl;

class SpinnedSlider : public QObject {
    Q_OBJECT

public:
    SpinnedSlider(QDoubleSpinBox* spin, QSlider* slider, QObject* parent = nullptr);

    QDoubleSpinBox* spinBox() const { return spin_; }
    QSlider* slider() const { return slider_; }

    // How slider positions map to values (see sliderscale.h).
    void setScaleMode(int mode) { scaleMode_ = mode; }
    int scaleMode() const { return scaleMode_; }

    // The value resetToDefault() restores.
    void setDefaultValue(double v) { default_ = v; }
    double defaultValue() const { return default_; }

    // While blocking, neither control's notifications pass through the pair.
    void setBlocking(bool blocking) { blocking_ = blocking; }
    bool isBlocking() const { return blocking_; }

    // Applies a parameter's scale, default and ranges to both controls without
    // passing on the clamping the new ranges cause, then puts the slider where
    // the spin box's value belongs. Does nothing for an unconfigured control.
    void configure(const ParameterControl& control);

    // Both controls to the default value; announced once unless blocking.
    void resetToDefault();

signals:
    void valueChanged(double val);

protected slots:
    void fromSliderToSpin(int val);
    void fromSpinToSlider(double v);

private:
    // Puts the slider at the position of v without passing it on.
    void placeSlider(double v);

    bool blocking_ = false;
    int scaleMode_ = LogarithmicGamma;
    double default_ = 1.0;
    QDoubleSpinBox* spin_;
    QSlider* slider_;
};
