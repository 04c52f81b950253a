// The one-line editor of a channel curve.
//
// This is the editor's outer face: what the main window and the forms use
// (families, correlates or a component label, the parameters, reset and the
// change signal). The curve controls themselves come with the curve editing.
#pragma once

#include <QStringList>
#include <QWidget>

class QLabel;

class ChannelModifier : public QWidget {
    Q_OBJECT

public:
    explicit ChannelModifier(QWidget* parent = nullptr);

    // Offers the curve families whose bits are set in `mask`.
    void setFamilies(int mask);
    int families() const;
    void selectFamily(int family);
    int family() const;

    // Either a correlate selector (several names) or a fixed component label.
    void setCorrelates(const QStringList& names);
    void setLabel(const QString& text);
    int correlateIndex() const;
    QString componentName() const;

    void setLockIconsLight(bool light);
    void setLockVisible(bool visible);
    bool isLocked() const;

signals:
    void valueChanged(double d);

public slots:
    void reset();
    void setValue(double v);
    void setOffset(double o);

private:
    QLabel* label_ = nullptr;
    QStringList correlates_;
    int correlate_ = 0;
    int mask_ = 0;
    int family_ = 0;
    bool locked_ = false;
    bool lockVisible_ = true;
    bool lockIconsLight_ = true;
    double value_ = 1.0;
    double offset_ = 0.0;
};
