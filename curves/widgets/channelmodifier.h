// The one-line editor of a channel curve: a lock, a correlate selector or a
// fixed component label, a curve-family selector, two parameters (each a spin
// box coupled to a slider) and a button that opens the free-form data editors.
//
// The editor keeps its curve in a ChannelCurve, which does the arithmetic:
// rounding and clamping of the parameters, the curve itself and the state
// text the recipe stores.
#pragma once

#include "curves/core/channelcurve.h"

#include <QList>
#include <QMap>
#include <QPainterPath>
#include <QStringList>
#include <QWidget>

#include <memory>

class QColor;
class QDataStream;
class QIcon;
class SpinnedSlider;

namespace Ui {
class ChannelModifier;
}

class ChannelModifier : public QWidget {
    Q_OBJECT

public:
    explicit ChannelModifier(QWidget* parent = nullptr);
    ~ChannelModifier() override;

    // Offers the curve families whose bits are set in `mask`, in selector
    // order, and selects the first. With fewer than two the family selector
    // is hidden.
    void setFamilies(int mask);
    int families() const;
    // Selects a family on offer (any family while nothing is offered); other
    // values change nothing.
    void selectFamily(int family);
    int family() const;

    // Either a correlate selector (CAM16 correlates) or a fixed component label.
    void setCorrelates(const QStringList& names);
    void setLabel(const QString& text);
    int correlateIndex() const;
    QString componentName() const;

    // Light (white) lock icons for the program's own style, dark ones for the
    // plain system look.
    void setLockIconsLight(bool light);
    // A hidden lock is also released.
    void setLockVisible(bool visible);
    bool isLocked() const;

    // The curve as edited: family, parameters, free-form data, lock and correlate.
    const ChannelCurve& curve() const { return curve_; }
    // A new engine curve, owned by the caller (release with freeCurve).
    ToneCurve* buildCurve() const { return curve_.buildCurve(); }
    // The curve plotted with n samples on a w × h drawing.
    QPainterPath curvePath(int w, int h, int n) const;

    // The whole state as Base64 text, and back. Restoring hands the record to
    // the curve (ChannelCurve::applyState) and shows the result in the
    // controls: a new correlate or family is announced once, then each
    // parameter that moves. Empty text changes nothing. Returns whether the
    // whole record was there.
    QString toStateString() const;
    bool fromStateString(const QString& text);
    void applyState(const ChannelStateRecord& record);

signals:
    void valueChanged(double d);

public slots:
    // Unless locked, both parameters back to the family's defaults.
    void reset();
    void setValue(double v);
    void setOffset(double o);
    // Replace the free-form data without announcing it.
    void setUserData(bool normalized, double smoothing, QList<float> data);
    void setUserData(bool normalized, QMap<float, float> data);

protected slots:
    void setLockedState();
    void setFunctionControls();
    void propagateValueChanged(double d);
    void editCurveData();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // Shows, hides and configures the parameter controls and the data button
    // for the current family.
    void configureControls();
    // The spin boxes' values into the curve.
    void pullParameters();

    std::unique_ptr<Ui::ChannelModifier> ui_;
    SpinnedSlider* valuePair_ = nullptr;
    SpinnedSlider* offsetPair_ = nullptr;
    ChannelCurve curve_;
    bool hasCorrelates_ = false;
    bool familySelectorActive_ = false;
    // Set while several controls change as one, so that only the end is announced.
    bool muted_ = false;
};

QDataStream& operator<<(QDataStream& stream, const ChannelModifier& modifier);
QDataStream& operator>>(QDataStream& stream, ChannelModifier& modifier);

// The two-state lock icon (16 × 22): the pictures in `offFile` (open) and
// `onFile` (closed), or a padlock drawn in `fallback` for a picture that is
// missing or unreadable.
QIcon makeLockIcon(const QString& offFile, const QString& onFile, const QColor& fallback);
